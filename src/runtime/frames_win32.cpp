#include <windows.h>

#include "runtime/frames.h"

namespace kestrel {
namespace platform {
namespace {

// The executable's own image; the frames that matter lie in it, as the C
// and C++ runtimes are linked in. An address in a system DLL is shown
// whole.
std::uintptr_t image_start = 0;
std::uintptr_t image_end = 0;

}  // namespace

std::size_t CaptureFrames(int skip, void** frames, std::size_t size) {
  DWORD wanted = size < kMaxFrames ? static_cast<DWORD>(size) : kMaxFrames;
  return RtlCaptureStackBackTrace(static_cast<DWORD>(skip + 1), wanted, frames,
                                  nullptr);
}

void RecordModules() {
  auto* image = reinterpret_cast<const BYTE*>(GetModuleHandleA(nullptr));
  if (image == nullptr) return;
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
  const auto* nt =
      reinterpret_cast<const IMAGE_NT_HEADERS*>(image + dos->e_lfanew);
  image_start = reinterpret_cast<std::uintptr_t>(image);
  image_end = image_start + nt->OptionalHeader.SizeOfImage;
}

std::uint32_t RelativeAddress(const void* address) {
  auto value = reinterpret_cast<std::uintptr_t>(address);
  if (value >= image_start && value < image_end) value -= image_start;
  return static_cast<std::uint32_t>(value);
}

}  // namespace platform
}  // namespace kestrel
