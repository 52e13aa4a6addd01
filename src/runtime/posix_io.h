// The one place where a POSIX call interrupted by a signal is made again.
#ifndef KESTREL_RUNTIME_POSIX_IO_H_
#define KESTREL_RUNTIME_POSIX_IO_H_

#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace kestrel {

// Runs `call` until it returns anything but -1 with EINTR. Never for close:
// its descriptor is gone either way.
template <typename Call>
auto RetryOnInterrupt(Call call) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

// Writes all of `data` to `fd`; false when a write fails or moves nothing.
inline bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t put = RetryOnInterrupt([&] { return ::write(fd, data, size); });
    if (put <= 0) return false;
    data += put;
    size -= static_cast<std::size_t>(put);
  }
  return true;
}

}  // namespace kestrel

#endif  // KESTREL_RUNTIME_POSIX_IO_H_
