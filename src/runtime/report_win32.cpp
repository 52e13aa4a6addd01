#include <windows.h>

#include "runtime/report.h"

namespace kestrel {
namespace platform {

std::size_t CaptureFrames(int skip, void** frames, std::size_t size) {
  DWORD wanted = size < kMaxFrames ? static_cast<DWORD>(size) : kMaxFrames;
  return RtlCaptureStackBackTrace(static_cast<DWORD>(skip + 1), wanted, frames,
                                  nullptr);
}

std::uint32_t RelativeAddress(const void* address) {
  HMODULE module = nullptr;
  auto value = reinterpret_cast<std::uintptr_t>(address);
  if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                             GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         static_cast<LPCSTR>(address), &module)) {
    value -= reinterpret_cast<std::uintptr_t>(module);
  }
  return static_cast<std::uint32_t>(value);
}

std::size_t ReportFrameLimit() {
  return GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_CHAR ? 9
                                                                        : 257;
}

void WriteStandardOutput(const char* data, std::size_t size) {
  DWORD put = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), data, static_cast<DWORD>(size),
            &put, nullptr);
}

}  // namespace platform
}  // namespace kestrel
