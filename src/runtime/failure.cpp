#include "runtime/failure.h"

#include <utility>

#include "runtime/failure_codes.h"
#include "runtime/frames.h"

namespace kestrel {

std::uint16_t PendingIoError = 0;

// Not inlined, so that the return address is the place that raised it.
__attribute__((noinline)) Exception::Exception(std::string message)
    : message_(std::move(message)), address_(__builtin_return_address(0)) {
  void* frames[platform::kMaxFrames];
  std::size_t count = platform::CaptureFrames(1, frames, platform::kMaxFrames);
  frames_.assign(frames, frames + count);
}

void CheckIo() {
  if (PendingIoError == 0) return;
  int code = PendingIoError;
  PendingIoError = 0;
  const FailureEntry* entry = FindFailure(code);
  if (entry != nullptr && entry->io) throw IoError(entry->message);
  throw Exception(FailureText(code).c_str());
}

}  // namespace kestrel
