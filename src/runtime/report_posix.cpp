#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unwind.h>

#include <cerrno>

#include "runtime/report.h"

namespace kestrel {
namespace platform {

namespace {

struct Walk {
  void** frames;
  std::size_t size;
  std::size_t count;
  bool own_frame_skipped;
};

_Unwind_Reason_Code Step(_Unwind_Context* context, void* argument) {
  auto* walk = static_cast<Walk*>(argument);
  if (!walk->own_frame_skipped) {
    walk->own_frame_skipped = true;
    return _URC_NO_REASON;
  }
  if (walk->count == walk->size) return _URC_END_OF_STACK;
  walk->frames[walk->count++] = reinterpret_cast<void*>(_Unwind_GetIP(context));
  return _URC_NO_REASON;
}

}  // namespace

// The unwinder linked into the tool, where the C library's backtrace()
// would load a shared one at every start.
__attribute__((noinline)) std::size_t Backtrace(void** frames,
                                                std::size_t size) {
  Walk walk = {frames, size, 0, false};
  _Unwind_Backtrace(Step, &walk);
  // The outermost frame may report no return address at all.
  if (walk.count > 1 && frames[walk.count - 1] == nullptr) --walk.count;
  return walk.count;
}

std::size_t CaptureFrames(int skip, void** frames, std::size_t size) {
  void* all[kMaxFrames];
  int count = static_cast<int>(Backtrace(all, kMaxFrames));
  std::size_t first = static_cast<std::size_t>(skip) + 1;
  std::size_t stored = 0;
  for (std::size_t i = first;
       i < static_cast<std::size_t>(count) && stored < size; ++i) {
    frames[stored++] = all[i];
  }
  return stored;
}

std::uint32_t RelativeAddress(const void* address) {
  Dl_info info;
  auto value = reinterpret_cast<std::uintptr_t>(address);
  if (::dladdr(address, &info) != 0 && info.dli_fbase != nullptr) {
    value -= reinterpret_cast<std::uintptr_t>(info.dli_fbase);
  }
  return static_cast<std::uint32_t>(value);
}

std::size_t ReportFrameLimit() {
  struct stat info;
  bool device = ::fstat(STDOUT_FILENO, &info) == 0 && S_ISCHR(info.st_mode);
  return device ? 9 : 257;
}

void WriteStandardOutput(const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t put = ::write(STDOUT_FILENO, data, size);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return;
    data += put;
    size -= static_cast<std::size_t>(put);
  }
}

}  // namespace platform
}  // namespace kestrel
