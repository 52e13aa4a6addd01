#include "runtime/console.h"

#include <gtest/gtest.h>

#include "support/fake_console.h"

namespace kestrel {
namespace {

class ConsoleLayerTest : public ::testing::Test {
 protected:
  void SetUp() override { InstallConsole(&device_); }
  void TearDown() override { InstallConsole(nullptr); }
  FakeConsole device_;
};

TEST_F(ConsoleLayerTest, HandsLinesOverAtTheirEndWithCrLf) {
  ConsoleWrite("Can't find file ");
  ConsoleWrite("x.hex");
  EXPECT_TRUE(device_.handovers.empty()) << "pieces wait for the line end";
  ConsoleWriteLine();
  ConsoleWriteLine();
  ConsoleWriteLine("next");
  EXPECT_EQ(device_.handovers,
            (std::vector<std::string>{"Can't find file x.hex\r\n", "\r\n",
                                      "next\r\n"}));
}

TEST_F(ConsoleLayerTest, HandsAFullBufferOverInTheMiddleOfALine) {
  ConsoleWriteLine(std::string(300, 'a'));
  ASSERT_EQ(device_.handovers.size(), 2u);
  EXPECT_EQ(device_.handovers[0], std::string(256, 'a'));
  EXPECT_EQ(device_.handovers[1], std::string(44, 'a') + "\r\n");
}

TEST_F(ConsoleLayerTest, AKeyOnceSeenStaysWaiting) {
  EXPECT_FALSE(KeyWaiting());
  device_.keys = "\x03";
  EXPECT_TRUE(KeyWaiting());
  EXPECT_TRUE(device_.keys.empty()) << "the key is taken out of the queue";
  EXPECT_TRUE(KeyWaiting());
}

}  // namespace
}  // namespace kestrel
