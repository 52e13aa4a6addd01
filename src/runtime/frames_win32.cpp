#include <windows.h>

#include "runtime/frames.h"

namespace kestrel {
namespace platform {
namespace {

// The executable's own image; the frames that matter lie in it, as the C
// and C++ runtimes are linked in. An address in a system DLL is shown
// whole.
RecordedImage image = {};

}  // namespace

std::size_t CaptureFrames(int skip, void** frames, std::size_t size) {
  DWORD wanted = size < kMaxFrames ? static_cast<DWORD>(size) : kMaxFrames;
  return RtlCaptureStackBackTrace(static_cast<DWORD>(skip + 1), wanted, frames,
                                  nullptr);
}

void RecordModules() {
  auto* base = reinterpret_cast<const BYTE*>(GetModuleHandleA(nullptr));
  if (base == nullptr) return;
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt =
      reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& table =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXCEPTION];
  image.start = reinterpret_cast<std::uintptr_t>(base);
  image.end = image.start + nt->OptionalHeader.SizeOfImage;
  image.functions = base + table.VirtualAddress;
  image.function_bytes = table.Size;
}

const RecordedImage& Image() { return image; }

std::uint32_t RelativeAddress(const void* address) {
  auto value = reinterpret_cast<std::uintptr_t>(address);
  if (value >= image.start && value < image.end) value -= image.start;
  return static_cast<std::uint32_t>(value);
}

}  // namespace platform
}  // namespace kestrel
