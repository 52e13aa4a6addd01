#include <windows.h>

#include "runtime/arguments.h"
#include "runtime/console.h"
#include "runtime/files.h"
#include "runtime/process.h"

namespace kestrel {
namespace platform {

std::string ProgramFileName(int, char**) {
  char program[MAX_PATH + 1] = {};
  GetModuleFileNameA(nullptr, program, MAX_PATH);
  return program;
}

// The C runtime's argv would follow other quoting rules than the tool's.
std::vector<std::string> ProgramArguments(int, char**) {
  std::vector<std::string> words = SplitCommandLine(GetCommandLineA());
  if (!words.empty()) words.erase(words.begin());
  return words;
}

void ExitWithStatus(int status) {
  DiscardUnfinishedOutput();
  RestoreConsole();
  ::ExitProcess(static_cast<UINT>(status & 0xFF));
}

}  // namespace platform
}  // namespace kestrel
