// The value of one hexadecimal digit, for the serial number and the record
// checksum alike.
#ifndef KESTREL_STAMP_HEX_DIGIT_H_
#define KESTREL_STAMP_HEX_DIGIT_H_

namespace kestrel {

// 0 to 15 for a hexadecimal digit of either case; -1 for any other byte.
// Looked up, not compared: an image's digits and letters come in no order,
// and a comparison would mispredict on every other one.
inline constexpr struct HexDigits {
  signed char value[256];
  constexpr HexDigits() : value() {
    for (int c = 0; c < 256; ++c) {
      value[c] = c >= '0' && c <= '9'   ? static_cast<signed char>(c - '0')
                 : c >= 'A' && c <= 'F' ? static_cast<signed char>(c - 'A' + 10)
                 : c >= 'a' && c <= 'f' ? static_cast<signed char>(c - 'a' + 10)
                                        : static_cast<signed char>(-1);
    }
  }
} kHexDigits;

constexpr int HexDigitValue(char c) {
  return kHexDigits.value[static_cast<unsigned char>(c)];
}

}  // namespace kestrel

#endif  // KESTREL_STAMP_HEX_DIGIT_H_
