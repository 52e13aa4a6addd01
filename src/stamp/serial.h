// The serial-number argument and the integer conversion behind it.
#ifndef KESTREL_STAMP_SERIAL_H_
#define KESTREL_STAMP_SERIAL_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrel {

// Converts the first 255 characters of `text`: leading blanks and tabs, one
// optional sign, then decimal digits, '$' and base-16 digits, or '%' and
// base-2 digits, to the very end. Decimal stays within 2147483647 except
// for the exact text "-2147483648"; base 16 and 2 take any 32-bit pattern.
// Raises ConversionError otherwise.
std::int32_t StringToInteger(std::string_view text);

struct SerialNumber {
  std::int32_t value;
  bool length_ok;  // the digit text has exactly nine characters
};

// Removes every full stop from `text` and converts what is left; the length
// verdict is only given once the conversion has succeeded. Prints nothing.
SerialNumber ParseSerialNumber(std::string_view text);

// The usage and example lines that close the usage and parameter blocks;
// the last example ends in `last_serial`.
void PrintUsageExamples(std::string_view last_serial);

// The two blocks that reject a serial number; neither waits for a key.
void PrintNotANumberBlock(std::string_view text);
void PrintLengthBlock();

}  // namespace kestrel

#endif  // KESTREL_STAMP_SERIAL_H_
