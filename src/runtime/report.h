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

// The same on standard output, with a few frame lines on a console and all
// of them in a file.
void ReportUnhandledFailure(const void* address, const char* message,
                            void* const* frames, std::size_t count);
// The start-up report, with the frames that called it.
void ReportRunTimeError(int number, const void* address);

}  // namespace kestrel

#endif  // KESTREL_RUNTIME_REPORT_H_
