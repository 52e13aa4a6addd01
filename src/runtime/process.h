// The life of the process: start-up, the tool's body, and every way the
// process ends. The platform halves are in process_posix.cpp and
// process_win32.cpp.
#ifndef KESTREL_RUNTIME_PROCESS_H_
#define KESTREL_RUNTIME_PROCESS_H_

#include <cstdint>
#include <string>
#include <vector>

namespace kestrel {

// Builds the argument table, records the modules, sets the console up and
// catches processor faults. Without a console it says so on standard error
// and ends with status 1, or, when standard error cannot be written either,
// gives the start-up report and ends with that failure's number.
void StartTool(int argc, char** argv);

// From a handler of every failure: the unhandled-failure report for the
// failure being handled, and status 217.
[[noreturn]] void EndWithEscapedFailure();

// Ends the process at once with the low eight bits of `status`, from
// anywhere, without unwinding: the one place a status is narrowed.
[[noreturn]] void EndProcess(int status);

namespace platform {

// The running program's full file name.
std::string ProgramFileName(int argc, char** argv);
// The arguments after the program name: as handed over where the system
// splits them, split from the raw command line on Windows.
std::vector<std::string> ProgramArguments(int argc, char** argv);
// The same arguments in UTF-8 as typed, where ProgramArguments may lack
// characters the user typed; empty elsewhere.
std::vector<std::string> ProgramArgumentsAsTyped();
// Puts the console input mode back and ends the process with `status`.
[[noreturn]] void ExitWithStatus(std::uint8_t status);

}  // namespace platform
}  // namespace kestrel

#endif  // KESTREL_RUNTIME_PROCESS_H_
