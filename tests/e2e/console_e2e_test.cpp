#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>

#include "e2e/terminal.h"
#include "e2e/tool_run.h"

namespace kestrel::e2e {
namespace {

using ::testing::MatchesRegex;

std::vector<std::string> SplitCrLf(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos;
       start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  EXPECT_EQ(start, text.size()) << "every line must end in CR LF";
  return lines;
}

TEST(ConsoleTest, MessagesStayOnTheTerminalWhenStandardOutputIsRedirected) {
  ScratchDirectory dir;
  RunOptions options;
  options.stdout_file = dir.File("out.txt");
  Finished run = RunToEnd({"image.txt", "123456789"}, dir.path(), options);
  EXPECT_EQ(
      run.screen,
      ErrorBlock("Unknown file type. image.txt is not a BIN or HEX file"));
  EXPECT_EQ(dir.Read("out.txt"), "");
  EXPECT_EQ(run.status, 64);
}

TEST(ConsoleTest, WithoutAnyTerminalSaysSoOnStandardError) {
  ScratchDirectory dir;
  RunOptions options;
  options.mode = RunOptions::Mode::kNoTerminal;
  options.stdout_file = dir.File("out.txt");
  options.stderr_file = dir.File("err.txt");
  Finished run = RunToEnd({}, dir.path(), options);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(dir.Read("err.txt"), "No way to get the console handle\r\n");
  EXPECT_EQ(dir.Read("out.txt"), "");
}

TEST(ConsoleTest, WithoutTerminalOrStandardErrorReportsARunTimeError) {
  ScratchDirectory dir;
  RunOptions options;
  options.mode = RunOptions::Mode::kNoTerminal;
  options.stdout_file = dir.File("out.txt");
  options.close_stderr = true;
  Finished run = RunToEnd({"board.hex", "123456789"}, dir.path(), options);
  EXPECT_EQ(run.status, 6) << "a closed handle is failure 6";
  std::vector<std::string> lines = SplitCrLf(dir.Read("out.txt"));
  ASSERT_GE(lines.size(), 3u);
  EXPECT_THAT(lines[0], MatchesRegex("Runtime error 6 at 0x[0-9A-F]{8}"));
  EXPECT_EQ(lines[1], "  0x" + lines[0].substr(lines[0].size() - 8));
  for (std::size_t i = 2; i + 1 < lines.size(); ++i) {
    EXPECT_THAT(lines[i], MatchesRegex("  0x[0-9A-F]{8}"));
  }
  EXPECT_EQ(lines.back(), "");
}

TEST(ConsoleTest, AProcessorFaultGivesTheUnhandledFailureReport) {
  SKIP_UNDER_WINE(
      "a Unix signal sent to wine is no processor fault of the program; "
      "tests/win32 checks the Windows fault report");
  ScratchDirectory dir;
  Terminal terminal;
  RunOptions options;
  options.directory = dir.path();
  options.stdout_file = dir.File("out.txt");
  terminal.Start({}, options);
  ASSERT_TRUE(terminal.WaitForText("Press any key to continue"));
  terminal.Signal(SIGSEGV);
  EXPECT_EQ(terminal.Wait(), 217);
  EXPECT_TRUE(terminal.InLineMode());

  std::vector<std::string> lines = SplitCrLf(dir.Read("out.txt"));
  ASSERT_GE(lines.size(), 4u);
  EXPECT_THAT(
      lines[0],
      MatchesRegex("An unhandled exception occurred at 0x[0-9A-F]{8} :"));
  EXPECT_EQ(lines[1], "Access violation");
  EXPECT_EQ(lines[2], "  0x" + lines[0].substr(lines[0].size() - 10, 8));
  EXPECT_LE(lines.size(), 4u + 257u);
  for (std::size_t i = 3; i + 1 < lines.size(); ++i) {
    EXPECT_THAT(lines[i], MatchesRegex("  0x[0-9A-F]{8}"));
  }
  EXPECT_EQ(lines.back(), "");
}

class EndingSignal : public ::testing::TestWithParam<int> {};

TEST_P(EndingSignal, PutsTheLineModeBackAndEndsByTheSameSignal) {
  SKIP_UNDER_WINE("the terminal mode is wine's own, not the program's");
  ScratchDirectory dir;  // where a core dump would land
  Terminal terminal;
  RunOptions options;
  options.directory = dir.path();
  terminal.Start({}, options);
  ASSERT_TRUE(terminal.WaitForText("Press any key to continue"));
  terminal.Signal(GetParam());
  EXPECT_EQ(terminal.Wait(), 1000 + GetParam());
  EXPECT_TRUE(terminal.InLineMode());
}

INSTANTIATE_TEST_SUITE_P(Signals, EndingSignal,
                         ::testing::Values(SIGTERM, SIGHUP, SIGINT, SIGQUIT,
                                           SIGALRM, SIGUSR1, SIGUSR2),
                         [](const auto& test) {
                           return std::string(sigabbrev_np(test.param));
                         });

TEST(ConsoleTest, ABackgroundJobStampsAndDoesNotWaitForAKey) {
  SKIP_UNDER_WINE("wine's console takes the terminal over whatever the job");
  ScratchDirectory dir;
  dir.Write("board.bin", "0123456789");
  RunOptions options;
  options.background = true;
  Finished stamp = RunToEnd({"board.bin", "001234567"}, dir.path(), options);
  EXPECT_EQ(stamp.status, 0);
  EXPECT_EQ(stamp.screen, SuccessBlock("kestrel.bin"));
  EXPECT_EQ(dir.Read("kestrel.bin"), std::string("0123\x00\x12\xD6\x87"
                                                 "89",
                                                 10));

  Finished usage = RunToEnd({}, dir.path(), options);
  EXPECT_EQ(usage.status, 64) << "a background job has no keyboard";
  EXPECT_EQ(usage.screen, UsageBlock());
}

TEST(ConsoleTest, ControlBytesInANameCannotDriveTheTerminal) {
  SKIP_UNDER_WINE("a Windows console shows such bytes as glyphs");
  ScratchDirectory dir;
  std::string name = "a\x1b]0;owned\x07\x1b[2J\x7f.hex";
  Finished run = RunToEnd({name, "001234567"}, dir.path());
  EXPECT_EQ(run.screen, ErrorBlock("Can't find file a?]0;owned??[2J?.hex"));
  EXPECT_EQ(run.output.find_first_of("\x1b\x07\x7f"), std::string::npos);
}

}  // namespace
}  // namespace kestrel::e2e
