// The platform half of the process: start-up, the end of the process and
// what the failure reports need to know. One implementation per platform.
#ifndef KESTREL_RUNTIME_PROCESS_H_
#define KESTREL_RUNTIME_PROCESS_H_

#include <cstdint>
#include <string>
#include <vector>

namespace kestrel {

// Sets the runtime up, runs `body`, and ends the process with its status.
// Never returns.
[[noreturn]] void RunTool(int argc, char** argv, void (*body)());

// Runs the tool's body and ends the process with its status; a failure
// that escapes it gets the unhandled-failure report and status 217.
[[noreturn]] void RunBody(void (*body)());

// The reports on standard output, with addresses made relative.
void ReportUnhandledFailure(const void* address, const std::string& message,
                            const std::vector<void*>& frames);
void ReportRunTimeError(int number, const void* address);

namespace platform {

// Return addresses of the calling frames, innermost first, leaving out the
// `skip` innermost (CaptureFrames itself not counted).
std::vector<void*> CaptureFrames(int skip);
// An address as an offset into the module that holds it, so that it fits
// eight hexadecimal digits and can be looked up in that module.
std::uint32_t RelativeAddress(const void* address);
// How many frame lines a report may show on standard output.
std::size_t ReportFrameLimit();
// Writes to standard output directly, not through the console layer.
void WriteStandardOutput(const std::string& text);
// Sets the console layer up: finds the console even when standard output
// is redirected, and turns the keyboard's signal keys into ordinary keys.
// Without a console it ends the process with status 1 (or with the start-up
// run-time error report when standard error cannot be written either).
void SetUpConsole();
// Puts the console input mode back as it was at start-up. Safe to call from
// a signal handler, and more than once.
void RestoreConsole();
// Puts the console input mode back and ends the process.
[[noreturn]] void ExitProcess(int status);
// Tells on standard error that there is no console and ends with status 1;
// when standard error cannot be written either, ends with the start-up
// run-time error report.
[[noreturn]] void EndWithoutConsole(const char* message);

}  // namespace platform
}  // namespace kestrel

#endif  // KESTREL_RUNTIME_PROCESS_H_
