#include "hex/hex_record.h"

#include <cctype>
#include <cstdint>
#include <cstdio>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "runtime/console.h"

namespace kestrel {
namespace {

// Sums the bytes at positions 2 to `last`; *all_digits tells whether every
// character there was a hexadecimal digit (any other counts as 0).
unsigned SumPairs(std::string_view line, std::size_t last, bool* all_digits) {
  unsigned sum = 0;
  int any = 0;  // negative once any character was no digit
  for (std::size_t at = 1; at + 2 <= last; at += 2) {
    int high = HexDigitValue(line[at]);
    int low = HexDigitValue(line[at + 1]);
    any |= high | low;
    sum +=
        static_cast<unsigned>((high < 0 ? 0 : high) * 16 + (low < 0 ? 0 : low));
  }
  *all_digits = any >= 0;
  return sum;
}

#ifdef __SSE2__
// Sixteen characters, the first of them the high digit of a pair: a mask
// with a bit set for each that is a hexadecimal digit. The pairs that
// `keep` keeps are added to the 16-bit lanes of *sum.
inline int AddSixteen(const char* at, __m128i keep, __m128i* sum) {
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
  auto in_range = [](__m128i v, char lo, char hi) {
    return _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(lo - 1)),
                         _mm_cmpgt_epi8(_mm_set1_epi8(hi + 1), v));
  };
  const __m128i letter =
      in_range(_mm_or_si128(x, _mm_set1_epi8(0x20)), 'a', 'f');
  const __m128i hex = _mm_or_si128(in_range(x, '0', '9'), letter);
  // A digit is its low four bits; a letter nine more.
  const __m128i value =
      _mm_and_si128(_mm_add_epi8(_mm_and_si128(x, _mm_set1_epi8(0x0F)),
                                 _mm_and_si128(letter, _mm_set1_epi8(9))),
                    keep);
  // Each lane holds a pair: the high digit in its low byte.
  const __m128i pairs = _mm_add_epi16(
      _mm_slli_epi16(_mm_and_si128(value, _mm_set1_epi16(0x00FF)), 4),
      _mm_srli_epi16(value, 8));
  *sum = _mm_add_epi16(*sum, pairs);
  return _mm_movemask_epi8(hex);
}

// The check of a 16-byte record in place, for the lines that pass:
// positions 2 to 43 are digits whose pairs sum to 0. False sends the line
// to the exact check, which says what it found.
bool PassesQuickly(std::string_view line) {
  static_assert(RecordEnd(16) == 43);
  const char* at = line.data();
  const __m128i all = _mm_set1_epi8(-1);
  // Positions 2-17, 18-33, and 28-43 less the six already counted.
  const __m128i last_ten = _mm_slli_si128(all, 6);
  __m128i sum = _mm_setzero_si128();
  int digits = AddSixteen(at + 1, all, &sum) & AddSixteen(at + 17, all, &sum) &
               (AddSixteen(at + 27, last_ten, &sum) | 0x3F);
  // Modulo 256 only the low byte of each lane counts.
  const __m128i low = _mm_sad_epu8(_mm_and_si128(sum, _mm_set1_epi16(0x00FF)),
                                   _mm_setzero_si128());
  unsigned total =
      static_cast<unsigned>(_mm_cvtsi128_si32(low)) +
      static_cast<unsigned>(_mm_cvtsi128_si32(_mm_srli_si128(low, 8)));
  return digits == 0xFFFF && total % 256 == 0;
}
#else
bool PassesQuickly(std::string_view) { return false; }
#endif

}  // namespace

int ByteAt(std::string_view line, std::size_t position) {
  if (line.size() < position + 1) return -1;
  int high = HexDigitValue(line[position - 1]);
  int low = HexDigitValue(line[position]);
  return high < 0 || low < 0 ? -1 : high * 16 + low;
}

std::uint8_t HexRecordSum(std::string_view line, std::size_t last) {
  bool all_digits = true;
  return static_cast<std::uint8_t>(SumPairs(line, last, &all_digits));
}

bool CheckHexRecord(std::string_view line) {
  if (line.empty()) return true;
  int count = ByteAt(line, kCountPosition);
  std::size_t end = RecordEnd(count < 0 ? 16 : count);
  if (count == 16 && line.size() >= end && PassesQuickly(line)) return true;
  // The sum says what the line holds: only whole byte pairs count.
  std::size_t have = line.size() < end ? line.size() : end;
  std::size_t last = have % 2 == 1 ? have : have - 1;
  bool all_digits = true;
  auto sum = static_cast<std::uint8_t>(
      last >= 3 ? SumPairs(line, last, &all_digits) : 0);
  if (count >= 0 && line.size() >= end && all_digits && sum == 0) return true;

  char message[32];
  std::snprintf(message, sizeof message, "%X found, %X expected", sum, 0u);
  ConsoleWriteLine(message);
  return false;
}

bool IsLeadingRecord(std::string_view line) {
  // Every other non-zero base is refused: a flash image at 0x08000000 has
  // its reset vector where the serial would go.
  constexpr std::string_view kLeading[] = {":020000040000FA", ":020000020000FC",
                                           ":0200000400F00A", ":04000005",
                                           ":04000003"};
  for (std::string_view leading : kLeading) {
    if (line.size() < leading.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < leading.size() && same; ++i) {
      same = std::toupper(static_cast<unsigned char>(line[i])) == leading[i];
    }
    if (same) return true;
  }
  return false;
}

bool IsStampableRecord(std::string_view line) {
  int count = ByteAt(line, kCountPosition);
  return !line.empty() && line[0] == ':' && count >= kFewestStampedBytes &&
         ByteAt(line, kTypePosition) == kDataRecord;
}

}  // namespace kestrel
