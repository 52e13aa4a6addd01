#include <windows.h>

#include "runtime/arguments.h"
#include "runtime/console.h"
#include "runtime/process.h"

namespace kestrel {
namespace platform {

std::string ProgramFileName(int, char**) {
  char program[MAX_PATH + 1] = {};
  GetModuleFileNameA(nullptr, program, MAX_PATH);
  return program;
}

namespace {

// The command line in `code_page`; a character it lacks becomes `missing`.
std::string Narrow(UINT code_page, DWORD flags, const char* missing) {
  const wchar_t* wide = GetCommandLineW();
  int size = WideCharToMultiByte(code_page, flags, wide, -1, nullptr, 0,
                                 missing, nullptr);
  if (size <= 0) return GetCommandLineA();
  std::string narrow(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(code_page, flags, wide, -1, narrow.data(), size, missing,
                      nullptr);
  narrow.resize(static_cast<std::size_t>(size) - 1);
  return narrow;
}

// The command line in the ANSI code page, as the files are opened, but
// without GetCommandLineA's look-alikes (s for \u015B, 1 for a fullwidth
// one), which would name another file or pass as digits: a character the
// code page lacks becomes '?', which no file name holds and no number.
// No character becomes a blank or a quote, so the splitting is unchanged.
std::string ExactCommandLine() {
  bool utf8 = GetACP() == CP_UTF8;  // lacks no character, takes no flags
  return Narrow(CP_ACP, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, utf8 ? nullptr : "?");
}

// The words of a command line after the program's name.
std::vector<std::string> WordsAfterProgram(const std::string& line) {
  std::vector<std::string> words = SplitCommandLine(line);
  if (!words.empty()) words.erase(words.begin());
  return words;
}

}  // namespace

// The C runtime's argv would follow other quoting rules than the tool's.
std::vector<std::string> ProgramArguments(int, char**) {
  return WordsAfterProgram(ExactCommandLine());
}

// Shown in messages as typed: a name refused for a character the code page
// lacks still reads as the user wrote it.
std::vector<std::string> ProgramArgumentsAsTyped() {
  return WordsAfterProgram(Narrow(CP_UTF8, 0, nullptr));
}

void ExitWithStatus(std::uint8_t status) {
  RestoreConsole();
  ::ExitProcess(static_cast<UINT>(status));
}

}  // namespace platform
}  // namespace kestrel
