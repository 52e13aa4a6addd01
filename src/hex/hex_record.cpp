#include "hex/hex_record.h"

#include <cstdio>

#include "runtime/console.h"

namespace kestrel {

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::uint8_t HexRecordSum(std::string_view line, std::size_t last) {
  unsigned sum = 0;
  for (std::size_t position = 2; position + 1 <= last; position += 2) {
    int high = HexDigitValue(line[position - 1]);
    int low = HexDigitValue(line[position]);
    // Only whole digits count; CheckHexRecord fails such a line anyway.
    sum += static_cast<unsigned>((high < 0 ? 0 : high) * 16 + (low < 0 ? 0 : low));
  }
  return static_cast<std::uint8_t>(sum);
}

bool CheckHexRecord(std::string_view line) {
  if (line.empty() || (line.size() >= 2 && line[1] == '0')) return true;
  std::size_t end = line.size() < kRecordLength ? line.size() : kRecordLength;
  bool digits = true;
  for (std::size_t position = 2; position <= end; ++position) {
    if (HexDigitValue(line[position - 1]) < 0) digits = false;
  }
  std::size_t last = end % 2 == 1 ? end : end - 1;
  std::uint8_t sum = last >= 3 ? HexRecordSum(line, last) : 0;
  if (digits && line.size() >= kRecordLength && sum == 0) return true;

  char message[32];
  std::snprintf(message, sizeof message, "%X found, %X expected", sum, 0u);
  ConsoleWriteLine(message);
  return false;
}

}  // namespace kestrel
