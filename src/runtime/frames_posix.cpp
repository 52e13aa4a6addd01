#include <link.h>
#include <unwind.h>

#include <iterator>

#include "runtime/frames.h"

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

// Where each loaded module lies: enough for the tool, the C library, the
// loader and the kernel's vDSO, with room to spare.
struct Module {
  std::uintptr_t base;
  std::uintptr_t start;
  std::uintptr_t end;
};
Module modules[32];
std::size_t module_count = 0;

int Record(dl_phdr_info* info, std::size_t, void*) {
  for (int i = 0; i < info->dlpi_phnum && module_count < std::size(modules);
       ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    if (segment.p_type != PT_LOAD) continue;
    std::uintptr_t start = info->dlpi_addr + segment.p_vaddr;
    modules[module_count++] = {info->dlpi_addr, start, start + segment.p_memsz};
  }
  return 0;
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

void RecordModules() {
  module_count = 0;
  ::dl_iterate_phdr(Record, nullptr);
}

std::uint32_t RelativeAddress(const void* address) {
  auto value = reinterpret_cast<std::uintptr_t>(address);
  for (std::size_t i = 0; i < module_count; ++i) {
    if (value >= modules[i].start && value < modules[i].end) {
      return static_cast<std::uint32_t>(value - modules[i].base);
    }
  }
  return static_cast<std::uint32_t>(value);
}

}  // namespace platform
}  // namespace kestrel
