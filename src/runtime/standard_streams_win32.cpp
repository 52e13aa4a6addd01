#include <windows.h>

#include "runtime/failure_codes.h"
#include "runtime/os.h"
#include "runtime/standard_streams.h"

namespace kestrel {
namespace platform {

void WriteStandardOutput(const char* data, std::size_t size) {
  DWORD put = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), data, static_cast<DWORD>(size),
            &put, nullptr);
}

bool StandardOutputIsDevice() {
  return GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_CHAR;
}

int WriteStandardError(const char* data, std::size_t size) {
  DWORD put = 0;
  if (WriteFile(GetStdHandle(STD_ERROR_HANDLE), data, static_cast<DWORD>(size),
                &put, nullptr)) {
    return put == size ? 0 : kShortWrite;
  }
  DWORD reason = GetLastError();
  return IoCodeFromSystemError(reason == 0 ? ERROR_INVALID_HANDLE : reason);
}

}  // namespace platform
}  // namespace kestrel
