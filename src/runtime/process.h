// The life of the process: start-up, the tool's body, and every way the
// process ends. One platform half each in process_posix.cpp and
// process_win32.cpp.
#ifndef KESTREL_RUNTIME_PROCESS_H_
#define KESTREL_RUNTIME_PROCESS_H_

namespace kestrel {

// Builds the argument table, sets the console up, catches processor faults,
// runs `body` and ends the process with its status. Never returns.
[[noreturn]] void RunTool(int argc, char** argv, void (*body)());

// Runs the tool's body and ends the process with its status; a failure
// that escapes it gets the unhandled-failure report and status 217.
[[noreturn]] void RunBody(void (*body)());

// The status a normal end of the process uses; 0 until something sets it.
void SetExitStatus(int status);
int ExitStatus();

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

// Puts the console input mode back and ends the process with `status`.
[[noreturn]] void ExitProcess(int status);

}  // namespace platform
}  // namespace kestrel

#endif  // KESTREL_RUNTIME_PROCESS_H_
