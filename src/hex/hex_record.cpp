#include "hex/hex_record.h"

#include <array>
#include <cstdio>

#include "runtime/console.h"

namespace kestrel {
namespace {

// Each byte's digit value in the low four bits, with kNotHex set for a
// byte that is no hexadecimal digit (its value bits then read as 0). Every
// line of an image goes through here, so the check is one table look-up a
// character.
constexpr unsigned char kNotHex = 0x10;

constexpr std::array<unsigned char, 256> MakeDigitTable() {
  std::array<unsigned char, 256> table{};
  for (unsigned c = 0; c < 256; ++c) {
    table[c] = c >= '0' && c <= '9'   ? static_cast<unsigned char>(c - '0')
               : c >= 'A' && c <= 'F' ? static_cast<unsigned char>(c - 'A' + 10)
               : c >= 'a' && c <= 'f' ? static_cast<unsigned char>(c - 'a' + 10)
                                      : kNotHex;
  }
  return table;
}

constexpr std::array<unsigned char, 256> kDigits = MakeDigitTable();

unsigned char Digit(char c) { return kDigits[static_cast<unsigned char>(c)]; }

// Sums the bytes at positions 2 to `last`; *all_digits tells whether every
// character there was a hexadecimal digit.
unsigned SumPairs(std::string_view line, std::size_t last, bool* all_digits) {
  unsigned sum = 0;
  unsigned flags = 0;
  for (std::size_t at = 1; at + 2 <= last; at += 2) {
    unsigned char high = Digit(line[at]);
    unsigned char low = Digit(line[at + 1]);
    flags |= high | low;
    sum += (high & 0xFu) * 16u + (low & 0xFu);
  }
  *all_digits = (flags & kNotHex) == 0;
  return sum;
}

}  // namespace

int HexDigitValue(char c) {
  unsigned char value = Digit(c);
  return (value & kNotHex) != 0 ? -1 : value;
}

std::uint8_t HexRecordSum(std::string_view line, std::size_t last) {
  bool all_digits = true;
  return static_cast<std::uint8_t>(SumPairs(line, last, &all_digits));
}

bool CheckHexRecord(std::string_view line) {
  if (line.empty() || (line.size() >= 2 && line[1] == '0')) return true;
  std::size_t end = line.size() < kRecordLength ? line.size() : kRecordLength;
  std::size_t last = end % 2 == 1 ? end : end - 1;
  bool all_digits = true;
  auto sum = static_cast<std::uint8_t>(
      last >= 3 ? SumPairs(line, last, &all_digits) : 0);
  if (all_digits && line.size() >= kRecordLength && sum == 0) return true;

  char message[32];
  std::snprintf(message, sizeof message, "%X found, %X expected", sum, 0u);
  ConsoleWriteLine(message);
  return false;
}

}  // namespace kestrel
