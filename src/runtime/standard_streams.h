// Standard output and standard error, written directly, not through the
// console layer: the reports and the no-console messages go there.
#ifndef KESTREL_RUNTIME_STANDARD_STREAMS_H_
#define KESTREL_RUNTIME_STANDARD_STREAMS_H_

#include <cstddef>

namespace kestrel {
namespace platform {

// Writes all it can; allocates nothing, so a fault handler may use it.
void WriteStandardOutput(const char* data, std::size_t size);
// True when standard output is a console or terminal, not a file or pipe.
bool StandardOutputIsDevice();
// Writes all of `data`: 0, or the failure number of the write that failed
// (101 when it fell short).
int WriteStandardError(const char* data, std::size_t size);

}  // namespace platform
}  // namespace kestrel

#endif  // KESTREL_RUNTIME_STANDARD_STREAMS_H_
