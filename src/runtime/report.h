// The two reports that a run gone wrong leaves on standard output, not on
// the console. Both format in fixed buffers and allocate nothing, so a fault
// handler on a damaged heap can still give them.
#ifndef KESTREL_RUNTIME_REPORT_H_
#define KESTREL_RUNTIME_REPORT_H_

#include <cstddef>
#include <cstdint>

namespace kestrel {

// Where report lines go: standard output in the tool, a string in tests.
using ReportSink = void (*)(const char* data, std::size_t size);

// "An unhandled exception occurred at 0x…", the message, the address again
// and a line per calling frame, at most `max_frames` of them, then an empty
// line; every line ended by CR LF, addresses relative to their module.
void WriteUnhandledFailureReport(ReportSink sink, const void* address,
                                 const char* message, void* const* frames,
                                 std::size_t count, std::size_t max_frames);
// "Runtime error N at 0x…", then the address and frame lines as above.
void WriteRunTimeErrorReport(ReportSink sink, int number, const void* address,
                             void* const* frames, std::size_t count,
                             std::size_t max_frames);

// The same on standard output, with as many frame lines as it allows.
void ReportUnhandledFailure(const void* address, const char* message,
                            void* const* frames, std::size_t count);
// The start-up report, with the frames that called it.
void ReportRunTimeError(int number, const void* address);

namespace platform {

constexpr std::size_t kMaxFrames = 258;

// Return addresses of the calling frames, innermost first, leaving out the
// `skip` innermost (CaptureFrames itself not counted); the number stored.
std::size_t CaptureFrames(int skip, void** frames, std::size_t size);
#ifndef _WIN32
// The same from the caller's own frame on, as the C library's backtrace()
// gives them; allocates nothing, so a fault handler may use it.
std::size_t Backtrace(void** frames, std::size_t size);
#endif
// An address as an offset into the module that holds it, so that it fits
// eight hexadecimal digits and can be looked up in that module.
std::uint32_t RelativeAddress(const void* address);
// How many frame lines a report may show on standard output: a few on the
// console, all of them in a file.
std::size_t ReportFrameLimit();
// Writes to standard output directly, not through the console layer.
void WriteStandardOutput(const char* data, std::size_t size);

}  // namespace platform
}  // namespace kestrel

#endif  // KESTREL_RUNTIME_REPORT_H_
