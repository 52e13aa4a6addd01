// CheckHexRecord on any line: it passes exactly the lines a reference
// accepts, prints one line when it fails, and never reads past the line
// (the address sanitizer sees to that).
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "hex/hex_record.h"
#include "support/fake_console.h"

namespace {

bool IsHex(const std::string& text) {
  return text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

// The record its byte count declares: 2N+11 characters at least, digits
// from the second on, whose bytes sum to 0.
bool ReferencePasses(const std::string& line) {
  if (line.empty()) return true;
  if (line.size() < 3 || !IsHex(line.substr(1, 2))) return false;
  std::size_t end = 2 * std::stoul(line.substr(1, 2), nullptr, 16) + 11;
  if (line.size() < end) return false;
  unsigned sum = 0;
  for (std::size_t at = 1; at < end; at += 2) {
    std::string pair = line.substr(at, 2);
    if (!IsHex(pair)) return false;
    sum += static_cast<unsigned>(std::stoul(pair, nullptr, 16));
  }
  return sum % 256 == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  static kestrel::FakeConsole console;
  kestrel::InstallConsole(&console);
  console.shown.clear();
  console.handovers.clear();
  // The line lives in a buffer of exactly its size, so any read past its
  // end is caught.
  std::string line(reinterpret_cast<const char*>(data), size);
  bool passed = kestrel::CheckHexRecord(line);
  FUZZ_ASSERT(passed == ReferencePasses(line));
  if (passed) {
    FUZZ_ASSERT(console.shown.empty());
  } else {
    FUZZ_ASSERT(console.Lines().size() == 1);
    FUZZ_ASSERT(console.shown.find(" found, 0 expected\r\n") !=
                std::string::npos);
  }
  return 0;
}
