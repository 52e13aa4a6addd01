#include "runtime/process.h"

#include <gtest/gtest.h>

#include "runtime/failure.h"

namespace kestrel {
namespace {

TEST(EndProcessTest, EndsWithTheStatusGivenWithoutUnwindingToHandlers) {
  auto end = [](int status) {
    try {
      EndProcess(status);
    } catch (...) {
      std::_Exit(99);  // a handler of the tool caught the end
    }
  };
  EXPECT_EXIT(end(65), ::testing::ExitedWithCode(65), "");
  EXPECT_EXIT(end(256 + 65), ::testing::ExitedWithCode(65), "")
      << "only the low eight bits";
}

}  // namespace
}  // namespace kestrel
