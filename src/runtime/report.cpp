#include "runtime/report.h"

#include "runtime/failure_codes.h"
#include "runtime/frames.h"
#include "runtime/standard_streams.h"

namespace kestrel {
namespace {

// One report line, built in place and written whole with its line end in
// one call, so that another program's output never lands inside it.
class Line {
 public:
  explicit Line(ReportSink sink) : sink_(sink) {}

  Line& Add(const char* piece) {
    while (*piece != '\0' && size_ < kText) text_[size_++] = *piece++;
    return *this;
  }
  Line& AddDecimal(int number) {
    char digits[11];
    digits[WriteDecimal(number, 1, digits)] = '\0';
    return Add(digits);
  }
  Line& AddHex8(const void* address) {
    std::uint32_t value = platform::RelativeAddress(address);
    for (int shift = 28; shift >= 0; shift -= 4) {
      const char digit[2] = {"0123456789ABCDEF"[(value >> shift) & 0xF]};
      Add(digit);
    }
    return *this;
  }
  void End() {
    text_[size_++] = '\r';
    text_[size_++] = '\n';
    sink_(text_, size_);
    size_ = 0;
  }

 private:
  // A message of the failure table, or a type's name in the report of an
  // object that is no Exception, fits whole.
  static constexpr std::size_t kText = 318;
  ReportSink sink_;
  char text_[kText + 2];
  std::size_t size_ = 0;
};

void WriteFrameLines(Line& line, const void* address, void* const* frames,
                     std::size_t count, std::size_t max_frames) {
  line.Add("  0x").AddHex8(address).End();
  for (std::size_t i = 0; i < count && i < max_frames; ++i) {
    line.Add("  0x").AddHex8(frames[i]).End();
  }
  line.End();
}

// Frame lines: a console shows a few, a file or a pipe takes them all.
constexpr std::size_t kFramesOnDevice = 9;
constexpr std::size_t kFramesElsewhere = 257;

std::size_t ReportFrameLimit() {
  return platform::StandardOutputIsDevice() ? kFramesOnDevice
                                            : kFramesElsewhere;
}

}  // namespace

void WriteUnhandledFailureReport(ReportSink sink, const void* address,
                                 const char* message, void* const* frames,
                                 std::size_t count, std::size_t max_frames) {
  Line line(sink);
  line.Add("An unhandled exception occurred at 0x").AddHex8(address);
  line.Add(" :").End();
  line.Add(message).End();
  WriteFrameLines(line, address, frames, count, max_frames);
}

void WriteRunTimeErrorReport(ReportSink sink, int number, const void* address,
                             void* const* frames, std::size_t count,
                             std::size_t max_frames) {
  Line line(sink);
  line.Add("Runtime error ").AddDecimal(number).Add(" at 0x");
  line.AddHex8(address).End();
  WriteFrameLines(line, address, frames, count, max_frames);
}

void ReportUnhandledFailure(const void* address, const char* message,
                            void* const* frames, std::size_t count) {
  WriteUnhandledFailureReport(platform::WriteStandardOutput, address, message,
                              frames, count, ReportFrameLimit());
}

void ReportRunTimeError(int number, const void* address) {
  void* frames[platform::kMaxFrames];
  std::size_t count = platform::CaptureFrames(1, frames, platform::kMaxFrames);
  WriteRunTimeErrorReport(platform::WriteStandardOutput, number, address,
                          frames, count, ReportFrameLimit());
}

}  // namespace kestrel
