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
// Sixteen characters as digit values, 0 to 15 where they are hexadecimal
// digits of either case; *bad gets a non-zero byte for each that is not.
inline __m128i DigitValues(const char* at, __m128i* bad) {
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
  // Distances from '0' and, folded to lower case, from 'a', as unsigned
  // bytes: one of them is the digit's value (less ten for a letter), the
  // other far above 15.
  const __m128i digit = _mm_sub_epi8(x, _mm_set1_epi8('0'));
  const __m128i letter =
      _mm_sub_epi8(_mm_or_si128(x, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
  *bad =
      _mm_or_si128(*bad, _mm_min_epu8(_mm_subs_epu8(digit, _mm_set1_epi8(9)),
                                      _mm_subs_epu8(letter, _mm_set1_epi8(5))));
  return _mm_min_epu8(digit, _mm_add_epi8(letter, _mm_set1_epi8(10)));
}

// The check of a 16-byte record in place, for the lines that pass:
// positions 2 to 43 are digits whose pairs sum to 0. False sends the line
// to the exact check, which says what it found.
bool PassesQuickly(std::string_view line) {
  static_assert(RecordEnd(16) == 43);
  const char* at = line.data();
  // Positions 2-17, 18-33, and 28-43 less the six already counted; each
  // load begins with a high digit.
  const __m128i last_ten = _mm_slli_si128(_mm_set1_epi8(-1), 6);
  __m128i bad = _mm_setzero_si128();
  __m128i a = DigitValues(at + 1, &bad);
  __m128i b = DigitValues(at + 17, &bad);
  __m128i c_bad = _mm_setzero_si128();
  __m128i c = _mm_and_si128(DigitValues(at + 27, &c_bad), last_ten);
  bad = _mm_or_si128(bad, _mm_and_si128(c_bad, last_ten));
  // At most 3 times 15 in a byte: no carry between bytes.
  const __m128i all = _mm_add_epi8(_mm_add_epi8(a, b), c);
  const __m128i zero = _mm_setzero_si128();
  const __m128i high =
      _mm_sad_epu8(_mm_and_si128(all, _mm_set1_epi16(0x00FF)), zero);
  const __m128i low = _mm_sad_epu8(_mm_srli_epi16(all, 8), zero);
  const __m128i sum = _mm_add_epi64(_mm_slli_epi64(high, 4), low);
  unsigned total =
      static_cast<unsigned>(_mm_cvtsi128_si32(sum)) +
      static_cast<unsigned>(_mm_cvtsi128_si32(_mm_srli_si128(sum, 8)));
  return _mm_movemask_epi8(_mm_cmpeq_epi8(bad, zero)) == 0xFFFF &&
         total % 256 == 0;
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
  // Nearly every line of an image: a 16-byte record that passes.
  if (line.size() >= RecordEnd(16) && line[1] == '1' && line[2] == '0' &&
      PassesQuickly(line))
    return true;
  int count = ByteAt(line, kCountPosition);
  std::size_t end = RecordEnd(count < 0 ? 16 : count);
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
