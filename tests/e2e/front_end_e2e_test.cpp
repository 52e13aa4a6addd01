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

TEST(UsageWaitTest, CtrlCEndsTheWaitLikeAnyKey) {
  SKIP_UNDER_WINE(
      "wine's terminal front end turns Ctrl+C into a control event, not a key");
  Terminal terminal;
  terminal.Start({});
  ASSERT_TRUE(terminal.WaitForText("Press any key to continue"));
  terminal.Type("\x03");
  EXPECT_EQ(terminal.Wait(), 64) << "Ctrl+C must not stop the tool by signal";
  EXPECT_TRUE(terminal.InLineMode());
}

TEST(UsageWaitTest, AnEscapeSequenceIsTakenWhole) {
  Terminal terminal;
  terminal.Start({"one"});
  ASSERT_TRUE(terminal.WaitForText("Press any key to continue"));
  terminal.Type("\x1b[A");  // cursor up
  EXPECT_EQ(terminal.Wait(), 64);
  EXPECT_EQ(terminal.UnreadInput(), 0);
}

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
        KindCase{"bin", ErrorBlock("Can't find file bin"), 66}));

}  // namespace
}  // namespace kestrel::e2e
