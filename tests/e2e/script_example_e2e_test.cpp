// The README's shell example, run as a station runs it, with a flasher
// stand-in that keeps what it was given.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "e2e/terminal.h"

namespace kestrel::e2e {
namespace {

TEST(ScriptExample, FlashesOnlyAfterAGoodStamp) {
  SKIP_UNDER_WINE("the batch file is run under cmd by tests/examples");
  SKIP_UNDER_QEMU("the script calls the tool by name");
  ScratchDirectory dir;
  std::string tool = std::getenv("KESTREL_E2E_COMMAND");
  ASSERT_EQ(::symlink(tool.c_str(), dir.File("kestrel").c_str()), 0);
  dir.Write("flash-board", "#!/bin/sh\ncat \"$1\" > flashed\n");
  ::chmod(dir.File("flash-board").c_str(), 0755);
  dir.Write("board.bin", std::string(16 << 20, 'b'));
  std::string path = std::getenv("PATH");
  ::setenv("PATH", (dir.path() + ":" + path).c_str(), 1);
  ::setenv("KESTREL_E2E_COMMAND", "/bin/sh", 1);
  RunOptions options;
  options.directory = dir.path();
  const struct {
    const char* serial;
    bool interrupted, flashed;
  } cases[] = {{"001234567", false, true},
               {"12345", false, false},
               {"001234567", true, false}};
  for (const auto& c : cases) {
    dir.Write("kestrel.bin", "an earlier board's");
    ::unlink(dir.File("flashed").c_str());
    Terminal terminal;
    terminal.Start({KESTREL_EXAMPLES_DIR "/stamp.sh", "board.bin", c.serial},
                   options);
    std::string shell = std::to_string(terminal.pid());
    pid_t stamp = 0;  // the shell's child, killed as soon as it is seen
    for (int i = 0; c.interrupted && !stamp && i < 2000; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      std::ifstream("/proc/" + shell + "/task/" + shell + "/children") >> stamp;
    }
    if (stamp) ::kill(stamp, SIGTERM);
    EXPECT_EQ(terminal.Wait() == 0, c.flashed) << c.serial << c.interrupted;
    EXPECT_EQ(dir.Exists("flashed"), c.flashed) << c.serial << c.interrupted;
    if (c.flashed) {
      EXPECT_EQ(dir.Read("flashed")[5], '\x12');  // the new serial's
    }
  }
  ::setenv("KESTREL_E2E_COMMAND", tool.c_str(), 1);
  ::setenv("PATH", path.c_str(), 1);
}

}  // namespace
}  // namespace kestrel::e2e
