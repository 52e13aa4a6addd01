#include <gtest/gtest.h>

#include "e2e/terminal.h"
#include "e2e/tool_run.h"

namespace kestrel::e2e {
namespace {

using std::chrono::milliseconds;

std::vector<std::string> Words(int count) {
  std::vector<std::string> words;
  for (int i = 0; i < count; ++i)
    words.push_back("a" + std::to_string(i) + ".hex");
  return words;
}

class UsageWait : public ::testing::TestWithParam<int> {};

TEST_P(UsageWait, ShowsUsageAndWaitsForAKeyThatNeverReachesTheShell) {
  ScratchDirectory dir;
  Terminal terminal;
  RunOptions options;
  options.directory = dir.path();
  terminal.Start(Words(GetParam()), options);
  ASSERT_TRUE(terminal.WaitForText("Press any key to continue"));
  EXPECT_TRUE(terminal.StaysRunning(milliseconds(400)));
  EXPECT_EQ(terminal.Screen(), UsageBlock());

  terminal.Type("x");
  EXPECT_EQ(terminal.Wait(), 64);
  EXPECT_EQ(terminal.Screen(), UsageBlock()) << "the key must not be echoed";
  EXPECT_EQ(terminal.UnreadInput(), 0);
  EXPECT_TRUE(terminal.InLineMode());
}

INSTANTIATE_TEST_SUITE_P(ArgumentCounts, UsageWait,
                         ::testing::Values(0, 1, 3, 200));

struct KeyCase {
  const char* name;
  std::string bytes;
  bool flow_control = false;
};

void PrintTo(const KeyCase& c, std::ostream* out) { *out << c.name; }

class KeyEndsTheWait : public ::testing::TestWithParam<KeyCase> {};

// Ctrl+C must not stop the tool by signal, nor Ctrl+S and Ctrl+Q act as
// flow control; an escape sequence is taken whole.
TEST_P(KeyEndsTheWait, AndNothingOfItIsLeftForTheShell) {
  if (GetParam().flow_control) {
    SKIP_UNDER_WINE("wine's console may leave the terminal's flow control on");
  }
  Terminal terminal;
  terminal.Start({"one"});
  ASSERT_TRUE(terminal.WaitForText("Press any key to continue"));
  terminal.Type(GetParam().bytes);
  EXPECT_EQ(terminal.Wait(), 64);
  EXPECT_EQ(terminal.UnreadInput(), 0);
  EXPECT_TRUE(terminal.InLineMode());
}

INSTANTIATE_TEST_SUITE_P(Keys, KeyEndsTheWait,
                         ::testing::Values(KeyCase{"CtrlC", "\x03"},
                                           KeyCase{"CtrlS", "\x13", true},
                                           KeyCase{"CtrlQ", "\x11", true},
                                           KeyCase{"CursorUp", "\x1b[A"}),
                         [](const auto& test) { return test.param.name; });

TEST(UsageWaitTest, EndsAtOnceWhenStandardInputIsNoTerminal) {
  Terminal terminal;
  RunOptions options;
  options.mode = RunOptions::Mode::kNoKeyboard;
  terminal.Start({}, options);
  EXPECT_EQ(terminal.Wait(std::chrono::seconds(10)), 64);
  EXPECT_EQ(terminal.Screen(), UsageBlock());
}

struct KindCase {
  std::string image;
  std::vector<std::string> screen;
  int status;
};

void PrintTo(const KindCase& c, std::ostream* out) {
  *out << '"' << c.image << '"';
}

class KindDispatch : public ::testing::TestWithParam<KindCase> {};

TEST_P(KindDispatch, ChoosesThePatcherByTheLastThreeLetters) {
  ScratchDirectory dir;
  Finished run = RunToEnd({GetParam().image, "not checked"}, dir.path());
  EXPECT_EQ(run.screen, GetParam().screen);
  EXPECT_EQ(run.status, GetParam().status);
}

Lines Unknown(const std::string& image) {
  return ErrorBlock("Unknown file type. " + image +
                    " is not a BIN or HEX file");
}

INSTANTIATE_TEST_SUITE_P(
    Names, KindDispatch,
    ::testing::Values(
        KindCase{"image.txt", Unknown("image.txt"), 64},
        KindCase{"ab", Unknown("ab"), 64}, KindCase{"", Unknown(""), 64},
        KindCase{"image.he ", Unknown("image.he "), 64},
        KindCase{"image.hexx", Unknown("image.hexx"), 64},
        // The patchers open the image before looking at the serial number.
        KindCase{"hex", ErrorBlock("Can't find file hex"), 66},
        KindCase{"imagehex", ErrorBlock("Can't find file imagehex"), 66},
        KindCase{"board.Hex", ErrorBlock("Can't find file board.Hex"), 66},
        KindCase{"board.HEX", ErrorBlock("Can't find file board.HEX"), 66},
        KindCase{"IMAGE.Bin", ErrorBlock("Can't find file IMAGE.Bin"), 66},
        KindCase{"bin", ErrorBlock("Can't find file bin"), 66},
        // On Windows a device, which would be read from forever.
        KindCase{"con.hex", ErrorBlock("Can't find file con.hex"), 66}));

}  // namespace
}  // namespace kestrel::e2e
