#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/arguments.h"
#include "runtime/console.h"
#include "runtime/exit_status.h"
#include "runtime/failure_codes.h"
#include "runtime/faults.h"
#include "runtime/os.h"
#include "runtime/process.h"
#include "runtime/report.h"

namespace kestrel {
namespace platform {
namespace {

// Standard error is the last way left to tell the user; when it cannot be
// written either, the start-up report on standard output says why.
[[noreturn]] __attribute__((noinline)) void EndWithoutConsole(
    const char* message) {
  std::string line = std::string(message) + "\r\n";
  ssize_t put;
  do {
    put = ::write(STDERR_FILENO, line.data(), line.size());
  } while (put < 0 && errno == EINTR);
  if (put == static_cast<ssize_t>(line.size())) ExitProcess(kStatusNoConsole);
  int number = put < 0
                   ? IoCodeFromSystemError(static_cast<unsigned long>(errno))
                   : kShortWrite;
  ReportRunTimeError(number, __builtin_return_address(0));
  ExitProcess(number);
}

}  // namespace

void ExitProcess(int status) {
  RestoreConsole();
  ::_exit(status & 0xFF);
}

}  // namespace platform

void RunTool(int argc, char** argv, void (*body)()) {
  char path[4096];
  ssize_t length = ::readlink("/proc/self/exe", path, sizeof path);
  std::string program =
      length > 0 ? std::string(path, static_cast<std::size_t>(length))
      : argc > 0 ? argv[0]
                 : "";
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
  SetArgumentTable(program, arguments);

  if (const char* missing = platform::SetUpConsole()) {
    platform::EndWithoutConsole(missing);
  }
  platform::InstallFaultHandlers();
  // A write to a pipe whose reader has gone fails like any other write.
  ::signal(SIGPIPE, SIG_IGN);

  RunBody(body);
}

}  // namespace kestrel
