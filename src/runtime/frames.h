// The calling frames of a failure, and their addresses as the reports show
// them. Allocates nothing and takes no lock once start-up has recorded the
// modules, so a fault handler may use it.
#ifndef KESTREL_RUNTIME_FRAMES_H_
#define KESTREL_RUNTIME_FRAMES_H_

#include <cstddef>
#include <cstdint>

namespace kestrel {
namespace platform {

// The most frames any walk keeps.
constexpr std::size_t kMaxFrames = 258;

// Return addresses of the calling frames, innermost first, leaving out the
// `skip` innermost (CaptureFrames itself not counted); the number stored.
std::size_t CaptureFrames(int skip, void** frames, std::size_t size);
#ifndef _WIN32
// The same from the caller's own frame on, as the C library's backtrace()
// gives them.
std::size_t Backtrace(void** frames, std::size_t size);
#endif

// Notes where the loaded modules lie. Called once at start-up: looking a
// module up later may take the loader's lock, which a fault handler must not.
void RecordModules();
// An address as an offset into the recorded module that holds it, so that
// it fits eight hexadecimal digits and can be looked up in that module.
std::uint32_t RelativeAddress(const void* address);
#ifdef _WIN32
// The executable's image as recorded at start-up: where it lies, and its
// table of function unwind entries (RUNTIME_FUNCTION), for the fault
// filter, which must not ask the loader.
struct RecordedImage {
  std::uintptr_t start;
  std::uintptr_t end;
  const void* functions;
  std::size_t function_bytes;
};
const RecordedImage& Image();
#else
// True when `address` lies in code of a recorded module: only from there
// can the frames be unwound.
bool InRecordedCode(const void* address);
#endif

}  // namespace platform
}  // namespace kestrel

#endif  // KESTREL_RUNTIME_FRAMES_H_
