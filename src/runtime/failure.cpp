#include "runtime/failure.h"

#include <cstdio>
#include <utility>

#include "runtime/process.h"

namespace kestrel {

std::uint16_t PendingIoError = 0;

namespace {

int exit_status = 0;
bool throw_on_end = false;

}  // namespace

const char* FailureText(int number) {
  switch (number) {
    case 2:
      return "File not found";
    case 3:
      return "Invalid filename";
    case 4:
      return "Too many open files";
    case 5:
      return "Access denied";
    case 6:
      return "Invalid file handle";
    case 15:
      return "Invalid drive specified";
    case 100:
      return "Read past end of file";
    case 101:
      return "Disk Full";
    case 102:
      return "File not assigned";
    case 103:
      return "File not open";
    case 104:
      return "File not open for input";
    case 105:
      return "File not open for output";
    case 106:
      return "Invalid input";
    case 1:
    case 203:
      return "Out of memory";
    case 204:
      return "Invalid pointer operation";
    case 200:
      return "Division by zero";
    case 201:
      return "Range check error";
    case 205:
      return "Floating point overflow";
    case 206:
      return "Floating point underflow";
    case 207:
      return "Invalid floating point operation";
    case 211:
      return "Abstract method called";
    case 215:
      return "Arithmetic overflow";
    case 216:
      return "Access violation";
    case 219:
      return "Invalid type cast";
    case 227:
      return "Assertion failed";
    default:
      return nullptr;
  }
}

namespace {

bool IsFileCode(int number) {
  return (number >= 2 && number <= 6) || number == 15 ||
         (number >= 100 && number <= 106);
}

std::string Hex8(std::uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
  return text;
}

std::string FrameLines(std::uint32_t address,
                       const std::vector<std::uint32_t>& frames,
                       std::size_t max_frames) {
  std::string lines = "  0x" + Hex8(address) + "\r\n";
  for (std::size_t i = 0; i < frames.size() && i < max_frames; ++i) {
    lines += "  0x" + Hex8(frames[i]) + "\r\n";
  }
  return lines + "\r\n";
}

}  // namespace

// Not inlined, so that the return address is the place that raised it.
__attribute__((noinline)) Exception::Exception(std::string message)
    : message_(std::move(message)),
      address_(__builtin_return_address(0)),
      frames_(platform::CaptureFrames(1)) {}

std::string FailureMessage(int number) {
  if (const char* known = FailureText(number)) return known;
  char text[48];
  std::snprintf(text, sizeof text, "Unknown Run-Time error : %3.3d", number);
  return text;
}

void CheckIo() {
  if (PendingIoError == 0) return;
  int code = PendingIoError;
  PendingIoError = 0;
  if (IsFileCode(code)) throw IoError(FailureMessage(code));
  throw Exception(FailureMessage(code));
}

void SetExitStatus(int status) { exit_status = status & 0xFF; }
int ExitStatus() { return exit_status; }

void EndProcess(int status) {
  if (throw_on_end) throw ProcessEnded{status & 0xFF};
  platform::ExitProcess(status & 0xFF);
}

void ThrowOnEndProcessForTest(bool on) { throw_on_end = on; }

std::string UnhandledFailureReport(std::uint32_t address,
                                   const std::string& message,
                                   const std::vector<std::uint32_t>& frames,
                                   std::size_t max_frames) {
  return "An unhandled exception occurred at 0x" + Hex8(address) + " :\r\n" +
         message + "\r\n" + FrameLines(address, frames, max_frames);
}

std::string RunTimeErrorReport(int number, std::uint32_t address,
                               const std::vector<std::uint32_t>& frames,
                               std::size_t max_frames) {
  return "Runtime error " + std::to_string(number) + " at 0x" + Hex8(address) +
         "\r\n" + FrameLines(address, frames, max_frames);
}

}  // namespace kestrel
