#include "stamp/serial.h"

#include <gtest/gtest.h>

#include "runtime/failure.h"

namespace kestrel {
namespace {

TEST(StringToIntegerTest, ConvertsEveryAcceptedForm) {
  struct Case {
    std::string text;
    std::int32_t value;
  };
  for (const Case& c :
       {Case{"123", 123}, Case{" \t42", 42}, Case{"+7", 7}, Case{"-0", 0},
        Case{"001234567", 1234567}, Case{"2147483647", 2147483647},
        Case{"-2147483648", INT32_MIN}, Case{"$ff", 255}, Case{"$0", 0},
        Case{"$000", 0}, Case{"%11", 3}, Case{"$FFFFFFFF", -1},
        Case{"$80000000", INT32_MIN}, Case{"-$80000000", INT32_MIN},
        Case{"-$FFFFFFFF", 1}, Case{"$00000000FFFFFFFF", -1},
        Case{"%" + std::string(32, '1'), -1},
        Case{std::string(254, '0') + "7xyz", 7}}) {
    EXPECT_EQ(StringToInteger(c.text), c.value) << c.text;
  }
}

TEST(StringToIntegerTest, RefusesEverythingElse) {
  for (const std::string& text :
       std::vector<std::string>{"",
                                " ",
                                "-",
                                "+",
                                "$",
                                "%",
                                "-$",
                                "12a",
                                "12 ",
                                "1.5",
                                "2147483648",
                                "-2147483649",
                                " -2147483648",
                                "-02147483648",
                                "+-1",
                                "--1",
                                "- 1",
                                "%102",
                                "0x10",
                                "\xE9"
                                "1",
                                "%1" + std::string(32, '0'),
                                "$1" + std::string(8, '0'),
                                std::string(256, '1')}) {
    EXPECT_THROW(StringToInteger(text), ConversionError) << text;
  }
}

TEST(StringToIntegerTest, TheFailureQuotesTheWholeText) {
  std::string text = "12a" + std::string(300, 'b');
  try {
    StringToInteger(text);
    FAIL();
  } catch (const ConversionError& failure) {
    EXPECT_EQ(failure.message(), "\"" + text + "\" is an invalid integer");
  }
}

TEST(ParseSerialNumberTest, DropsFullStopsThenConvertsThenCountsNine) {
  EXPECT_EQ(ParseSerialNumber("001.234.567").value, 1234567);
  EXPECT_TRUE(ParseSerialNumber("001.234.567").length_ok);
  EXPECT_EQ(ParseSerialNumber("1.2.3.4.5.6.7.8.9").value, 123456789);
  EXPECT_TRUE(ParseSerialNumber("-12345678").length_ok);
  EXPECT_TRUE(ParseSerialNumber(" 12345678").length_ok);
  EXPECT_TRUE(ParseSerialNumber("$075BCD15").length_ok);
  EXPECT_FALSE(ParseSerialNumber("12345").length_ok);
  EXPECT_FALSE(ParseSerialNumber("1.5").length_ok);
  EXPECT_FALSE(ParseSerialNumber("1234567890").length_ok);
  // The conversion comes first: a wrong length that does not convert fails.
  EXPECT_THROW(ParseSerialNumber("9999999999"), ConversionError);
  EXPECT_THROW(ParseSerialNumber("..."), ConversionError);
  EXPECT_THROW(ParseSerialNumber("1234 5678"), ConversionError);
}

}  // namespace
}  // namespace kestrel
