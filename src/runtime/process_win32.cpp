#include <windows.h>

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
  DWORD put = 0;
  HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  if (WriteFile(error, line.data(), static_cast<DWORD>(line.size()), &put,
                nullptr) &&
      put == line.size()) {
    ExitProcess(kStatusNoConsole);
  }
  DWORD reason = GetLastError();
  int number =
      put != 0
          ? kShortWrite
          : IoCodeFromSystemError(reason == 0 ? ERROR_INVALID_HANDLE : reason);
  ReportRunTimeError(number, __builtin_return_address(0));
  ExitProcess(number);
}

}  // namespace

void ExitProcess(int status) {
  RestoreConsole();
  ::ExitProcess(static_cast<UINT>(status & 0xFF));
}

}  // namespace platform

void RunTool(int, char**, void (*body)()) {
  std::vector<std::string> words = SplitCommandLine(GetCommandLineA());
  if (!words.empty()) words.erase(words.begin());
  char program[MAX_PATH + 1] = {};
  GetModuleFileNameA(nullptr, program, MAX_PATH);
  SetArgumentTable(program, words);

  if (const char* missing = platform::SetUpConsole()) {
    platform::EndWithoutConsole(missing);
  }
  platform::InstallFaultHandlers();

  RunBody(body);
}

}  // namespace kestrel
