#include "stamp/serial.h"

#include "runtime/console.h"
#include "runtime/failure.h"
#include "stamp/hex_digit.h"

namespace kestrel {
namespace {

constexpr std::size_t kExaminedLength = 255;
constexpr std::size_t kSerialLength = 9;

int DigitValue(char c, int base) {
  int value = HexDigitValue(c);
  return value < base ? value : -1;
}

[[noreturn]] void Invalid(std::string_view text) {
  throw ConversionError("\"" + std::string(text) + "\" is an invalid integer");
}

}  // namespace

void PrintUsageExamples(std::string_view last_serial) {
  ConsoleWriteLine("Usage:   kestrel <filename> <serial number>");
  ConsoleWriteLine("Examples: kestrel 42_17kx.hex 001.234.567");
  ConsoleWriteLine("          kestrel 42_17kx.hex 001234567");
  ConsoleWrite("          kestrel 42_17kx.bin ");
  ConsoleWriteLine(last_serial);
}

std::int32_t StringToInteger(std::string_view text) {
  if (text == "-2147483648") return INT32_MIN;
  std::string_view s = text.substr(0, kExaminedLength);
  std::size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  int base = 10;
  if (i < s.size() && (s[i] == '$' || s[i] == '%'))
    base = s[i++] == '$' ? 16 : 2;
  if (i == s.size()) Invalid(text);

  const std::uint64_t limit = base == 10 ? 2147483647u : 4294967295u;
  std::uint64_t magnitude = 0;
  for (; i < s.size(); ++i) {
    int digit = DigitValue(s[i], base);
    if (digit < 0) Invalid(text);
    magnitude =
        magnitude * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
    if (magnitude > limit) Invalid(text);
  }
  auto pattern = static_cast<std::uint32_t>(magnitude);
  if (negative) pattern = 0u - pattern;
  return static_cast<std::int32_t>(pattern);
}

SerialNumber ParseSerialNumber(std::string_view text) {
  std::string digits;
  for (char c : text) {
    if (c != '.') digits += c;
  }
  std::int32_t value = StringToInteger(digits);
  return {value, digits.size() == kSerialLength};
}

void PrintNotANumberBlock(std::string_view text) {
  ConsoleWriteLine();
  ConsoleWrite("Kestrel Tool 2. Inadequate parameter. ");
  ConsoleWriteArgument(text);
  ConsoleWriteLine(" doesn't seem to be a number");
  PrintUsageExamples("001234567");
}

void PrintLengthBlock() {
  ConsoleWriteLine();
  ConsoleWriteLine("Kestrel Tool 2. Second parameter length must be 9");
  PrintUsageExamples("00123");
}

}  // namespace kestrel
