// The value of one hexadecimal digit, for the serial number and the record
// checksum alike.
#ifndef KESTREL_STAMP_HEX_DIGIT_H_
#define KESTREL_STAMP_HEX_DIGIT_H_

namespace kestrel {

// 0 to 15 for a hexadecimal digit of either case; -1 for any other byte.
constexpr int HexDigitValue(char c) {
  return c >= '0' && c <= '9'   ? c - '0'
         : c >= 'A' && c <= 'F' ? c - 'A' + 10
         : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                : -1;
}

}  // namespace kestrel

#endif  // KESTREL_STAMP_HEX_DIGIT_H_
