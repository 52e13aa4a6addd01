// The life of the process: start-up, the tool's body, and every way the
// process ends. The platform halves are in process_posix.cpp and
// process_win32.cpp.
#ifndef KESTREL_RUNTIME_PROCESS_H_
#define KESTREL_RUNTIME_PROCESS_H_

#include <string>
#include <vector>

namespace kestrel {

// Builds the argument table, sets the console up, catches processor faults,
// runs `body` and ends the process with the status it returns. Without a
// console it says so on standard error and ends with status 1, or, when
// standard error cannot be written either, gives the start-up report and
// ends with that failure's number.
[[noreturn]] void RunTool(int argc, char** argv, int (*body)());

// Runs the tool's body and ends the process with its status; a failure
// that escapes it gets the unhandled-failure report and status 217.
[[noreturn]] void RunBody(int (*body)());

// Ends the process at once with `status`, from anywhere, without unwinding.
[[noreturn]] void EndProcess(int status);

// Unit tests watch the patchers end the process: while this is on,
// EndProcess throws ProcessEnded instead, which no handler of the tool
// catches, as none catches a real end.
struct ProcessEnded {
  int status;
};
void ThrowOnEndProcessForTest(bool on);

namespace platform {

// The running program's full file name.
std::string ProgramFileName(int argc, char** argv);
// The arguments after the program name: as handed over where the system
// splits them, split from the raw command line on Windows.
std::vector<std::string> ProgramArguments(int argc, char** argv);
// Puts the console input mode back and ends the process with `status`.
[[noreturn]] void ExitWithStatus(int status);

}  // namespace platform
}  // namespace kestrel

#endif  // KESTREL_RUNTIME_PROCESS_H_
