#include "hex/hex_record.h"

#include <array>
#include <cstdint>
#include <cstdio>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

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

#ifdef __SSE2__
// Sixteen characters at once, the first of them the high digit of a pair;
// `skip` leading ones are left out. False when one is no hexadecimal digit;
// otherwise *sum gains the pairs.
bool AddSixteen(const char* at, int skip, unsigned* sum) {
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
  auto in_range = [](__m128i v, char lo, char hi) {
    return _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(lo - 1)),
                         _mm_cmpgt_epi8(_mm_set1_epi8(hi + 1), v));
  };
  const __m128i letter =
      in_range(_mm_or_si128(x, _mm_set1_epi8(0x20)), 'a', 'f');
  const __m128i hex = _mm_or_si128(in_range(x, '0', '9'), letter);
  const int wanted = 0xFFFF & ~((1 << skip) - 1);
  if ((_mm_movemask_epi8(hex) & wanted) != wanted) return false;
  // A digit is its low four bits; a letter nine more.
  __m128i value = _mm_add_epi8(_mm_and_si128(x, _mm_set1_epi8(0x0F)),
                               _mm_and_si128(letter, _mm_set1_epi8(9)));
  alignas(16) static const unsigned char kKeep[32] = {
      0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
      0,    0,    0,    0,    0,    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  value = _mm_and_si128(
      value,
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(kKeep + 16 - skip)));
  const __m128i zero = _mm_setzero_si128();
  const __m128i high =
      _mm_sad_epu8(_mm_and_si128(value, _mm_set1_epi16(0x00FF)), zero);
  const __m128i low = _mm_sad_epu8(_mm_srli_epi16(value, 8), zero);
  const __m128i both = _mm_add_epi64(_mm_slli_epi64(high, 4), low);
  *sum += static_cast<unsigned>(_mm_cvtsi128_si32(both)) +
          static_cast<unsigned>(_mm_cvtsi128_si32(_mm_srli_si128(both, 8)));
  return true;
}

// The check of a full record in place, for the lines that pass: positions
// 2 to 43 are digits whose pairs sum to 0. False sends the line to the
// exact check, which says what it found.
bool PassesQuickly(std::string_view line) {
  static_assert(kRecordLength == 43);
  unsigned sum = 0;
  const char* at = line.data();
  // Positions 2-17, 18-33, and 28-43 less the six already counted.
  return AddSixteen(at + 1, 0, &sum) && AddSixteen(at + 17, 0, &sum) &&
         AddSixteen(at + 27, 6, &sum) && sum % 256 == 0;
}
#else
bool PassesQuickly(std::string_view) { return false; }
#endif

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
  if (line.size() >= kRecordLength && PassesQuickly(line)) return true;
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
