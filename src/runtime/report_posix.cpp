#include <dlfcn.h>
#include <execinfo.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "runtime/report.h"

namespace kestrel {
namespace platform {

std::size_t CaptureFrames(int skip, void** frames, std::size_t size) {
  void* all[kMaxFrames];
  int count = ::backtrace(all, static_cast<int>(kMaxFrames));
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
