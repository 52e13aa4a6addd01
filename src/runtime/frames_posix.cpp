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

// The loaded segments of every module, each with its module's base: the
// tool, the C library, the loader and the vDSO have a handful each.
struct Segment {
  std::uintptr_t base;
  std::uintptr_t start;
  std::uintptr_t end;
  bool code;
};
Segment segments[32];
std::size_t segment_count = 0;

int Record(dl_phdr_info* info, std::size_t, void*) {
  for (int i = 0; i < info->dlpi_phnum && segment_count < std::size(segments);
       ++i) {
    const ElfW(Phdr)& header = info->dlpi_phdr[i];
    if (header.p_type != PT_LOAD) continue;
    std::uintptr_t start = info->dlpi_addr + header.p_vaddr;
    segments[segment_count++] = {info->dlpi_addr, start, start + header.p_memsz,
                                 (header.p_flags & PF_X) != 0};
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
  segment_count = 0;
  ::dl_iterate_phdr(Record, nullptr);
}

std::uint32_t RelativeAddress(const void* address) {
  auto value = reinterpret_cast<std::uintptr_t>(address);
  for (std::size_t i = 0; i < segment_count; ++i) {
    if (value >= segments[i].start && value < segments[i].end) {
      return static_cast<std::uint32_t>(value - segments[i].base);
    }
  }
  return static_cast<std::uint32_t>(value);
}

bool InRecordedCode(const void* address) {
  auto value = reinterpret_cast<std::uintptr_t>(address);
  for (std::size_t i = 0; i < segment_count; ++i) {
    if (segments[i].code && value >= segments[i].start &&
        value < segments[i].end) {
      return true;
    }
  }
  return false;
}

}  // namespace platform
}  // namespace kestrel
