#include "hex/hex_record.h"

#include <gtest/gtest.h>

#include "hex/hex_patch.h"
#include "support/fake_console.h"

namespace kestrel {
namespace {

const std::string kRecord = ":10000000000102030405060708090A0B0C0D0E0F78";
constexpr std::size_t kChecksumPosition = RecordEnd(16) - 1;

class CheckHexRecordTest : public ::testing::Test {
 protected:
  void SetUp() override { InstallConsole(&console_); }
  void TearDown() override { InstallConsole(nullptr); }
  // "pass", or the one line the check printed.
  std::string Check(const std::string& line) {
    console_.shown.clear();
    bool passed = CheckHexRecord(line);
    EXPECT_EQ(passed, console_.shown.empty()) << line;
    return passed ? "pass" : console_.shown;
  }
  FakeConsole console_;
};

TEST_F(CheckHexRecordTest, VerifiesSixteenByteRecords) {
  EXPECT_EQ(Check(kRecord), "pass");
  EXPECT_EQ(Check(":10000000000102030405060708090a0b0c0d0e0f78"), "pass");
  EXPECT_EQ(Check(kRecord + "   trailing"), "pass");
  EXPECT_EQ(Check("X" + kRecord.substr(1)), "pass")
      << "the mark is not examined";
  EXPECT_EQ(Check(kRecord.substr(0, kChecksumPosition - 1) + "79"),
            "1 found, 0 expected\r\n");
  EXPECT_EQ(Check(kRecord.substr(0, kChecksumPosition - 1) + "77"),
            "FF found, 0 expected\r\n");
}

TEST_F(CheckHexRecordTest, VerifiesEveryRecordAsTheLengthItDeclares) {
  EXPECT_EQ(Check(":00000001FF"), "pass");
  EXPECT_EQ(Check(":00000001FE"), "FF found, 0 expected\r\n");
  EXPECT_EQ(Check(":03000000010203F7"), "pass");
  EXPECT_EQ(Check(":0300000001020300"), "9 found, 0 expected\r\n");
  EXPECT_EQ(Check(":0400100001020304FF"), "1D found, 0 expected\r\n");
  EXPECT_EQ(Check(":00001000101112131415161718191A1B1C1D1E1F68"),
            "20 found, 0 expected\r\n")
      << "a 16-byte record whose count lost a bit";
  EXPECT_EQ(Check("10 PRINT HELLO"), "E found, 0 expected\r\n");
  EXPECT_EQ(Check(":03ZZ0000010203F7"), "0 found, 0 expected\r\n")
      << "not hexadecimal, though what is there sums to 0";
  EXPECT_EQ(Check(""), "pass");
  // 32 data bytes whose checksum covers all of them, then text not examined.
  std::string record = ":20000000" + std::string(64, '1') + "C0";
  EXPECT_EQ(Check(record), "pass");
  EXPECT_EQ(Check(record + "zz"), "pass");
  EXPECT_NE(Check(record.substr(0, 73)), "pass");
}

TEST_F(CheckHexRecordTest, FailsBrokenLinesWithoutReadingPastTheirEnd) {
  EXPECT_EQ(Check(":"), "0 found, 0 expected\r\n");
  EXPECT_EQ(Check(":1"), "0 found, 0 expected\r\n");
  EXPECT_EQ(Check(":100000"), "10 found, 0 expected\r\n");
  EXPECT_EQ(Check(kRecord.substr(0, 42)), "88 found, 0 expected\r\n");
  EXPECT_NE(Check(":10000000000102030405060708090A0B0C0D0E0FG8"), "pass");
  EXPECT_EQ(Check(":10000000000102030405060708090A0B0C0D0G0D78"),
            "F0 found, 0 expected\r\n")
      << "a G taken for 16 would sum to 0";
  // Digits that are not hexadecimal must not sum to a pass by chance.
  EXPECT_NE(Check(":1" + std::string(42, 'z')), "pass");
}

TEST(HexRecordSumTest, SumsBytesModulo256) {
  EXPECT_EQ(HexRecordSum(kRecord, kChecksumPosition - 1), 0x88);
  EXPECT_EQ(HexRecordSum(kRecord, RecordEnd(16)), 0);
  EXPECT_EQ(HexRecordSum(":FFFF", 5), 0xFE);
  EXPECT_EQ(HexDigitValue('a'), 10);
  EXPECT_EQ(HexDigitValue('F'), 15);
  EXPECT_EQ(HexDigitValue('g'), -1);
}

TEST(PatchFirstRecordTest, PlacesTheSerialDigitsAndAFreshChecksum) {
  EXPECT_EQ(PatchFirstRecord(kRecord, 1234567),
            ":10000000000102030012D68708090A0B0C0D0E0F1F");
  EXPECT_EQ(PatchFirstRecord(kRecord, -12345678)
                .substr(kSerialPosition - 1, kSerialDigits),
            "FF439EB2");
  EXPECT_EQ(PatchFirstRecord(kRecord, 999999999)
                .substr(kSerialPosition - 1, kSerialDigits),
            "3B9AC9FF");
  EXPECT_EQ(PatchFirstRecord(kRecord + "xyz", 0).substr(kChecksumPosition - 1),
            "8Exyz");
}

}  // namespace
}  // namespace kestrel
