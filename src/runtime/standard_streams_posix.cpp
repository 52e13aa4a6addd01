#include <sys/stat.h>
#include <unistd.h>

#include "runtime/failure_codes.h"
#include "runtime/os.h"
#include "runtime/posix_io.h"
#include "runtime/standard_streams.h"

namespace kestrel {
namespace platform {

void WriteStandardOutput(const char* data, std::size_t size) {
  WriteAll(STDOUT_FILENO, data, size);
}

bool StandardOutputIsDevice() {
  struct stat info;
  return ::fstat(STDOUT_FILENO, &info) == 0 && S_ISCHR(info.st_mode);
}

int WriteStandardError(const char* data, std::size_t size) {
  ssize_t put =
      RetryOnInterrupt([&] { return ::write(STDERR_FILENO, data, size); });
  if (put < 0) return IoCodeFromSystemError(static_cast<unsigned long>(errno));
  return static_cast<std::size_t>(put) == size ? 0 : kShortWrite;
}

}  // namespace platform
}  // namespace kestrel
