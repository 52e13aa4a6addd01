// StringToInteger and ParseSerialNumber on any text: they either convert or
// raise ConversionError, and agree with a plain reference conversion.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "runtime/failure.h"
#include "stamp/serial.h"

namespace {

// The reference: true with the value when `text` converts.
bool Reference(const std::string& whole, std::int32_t* value) {
  if (whole == "-2147483648") {
    *value = INT32_MIN;
    return true;
  }
  std::string text = whole.substr(0, 255);
  std::size_t i = text.find_first_not_of(" \t");
  if (i == std::string::npos) return false;
  bool negative = text[i] == '-';
  if (text[i] == '-' || text[i] == '+') ++i;
  int base = 10;
  if (i < text.size() && text[i] == '$')
    base = 16, ++i;
  else if (i < text.size() && text[i] == '%')
    base = 2, ++i;
  if (i == text.size()) return false;
  unsigned long long magnitude = 0;
  const std::string digits = "0123456789abcdef";
  for (; i < text.size(); ++i) {
    char c = text[i] >= 'A' && text[i] <= 'F'
                 ? static_cast<char>(text[i] - 'A' + 'a')
                 : text[i];
    std::size_t digit = digits.find(c);
    if (digit == std::string::npos || static_cast<int>(digit) >= base)
      return false;
    magnitude = magnitude * static_cast<unsigned>(base) + digit;
    if (magnitude > (base == 10 ? 2147483647ull : 4294967295ull)) return false;
  }
  std::uint32_t pattern = static_cast<std::uint32_t>(magnitude);
  *value = static_cast<std::int32_t>(negative ? 0u - pattern : pattern);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::int32_t expected = 0;
  bool converts = Reference(text, &expected);
  try {
    FUZZ_ASSERT(kestrel::StringToInteger(text) == expected && converts);
  } catch (const kestrel::ConversionError& failure) {
    FUZZ_ASSERT(!converts);
    FUZZ_ASSERT(failure.message() == "\"" + text + "\" is an invalid integer");
  }

  std::string digits;
  for (char c : text) {
    if (c != '.') digits += c;
  }
  converts = Reference(digits, &expected);
  try {
    kestrel::SerialNumber serial = kestrel::ParseSerialNumber(text);
    FUZZ_ASSERT(converts && serial.value == expected);
    FUZZ_ASSERT(serial.length_ok == (digits.size() == 9));
  } catch (const kestrel::ConversionError&) {
    FUZZ_ASSERT(!converts);
  }
  return 0;
}
