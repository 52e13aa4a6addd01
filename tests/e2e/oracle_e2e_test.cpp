// Images written and read back by independent Intel HEX tools: GNU objcopy
// and SRecord's srec_cat. Beyond 64 KiB, so they carry address records;
// srec_cat by default starts with a zero address and writes 32-byte records.
#include <gtest/gtest.h>

#include <cstdlib>

#include "e2e/images.h"
#include "e2e/terminal.h"
#include "e2e/tool_run.h"

namespace kestrel::e2e {
namespace {

struct Writer {
  const char* name;         // the test's name
  const char* command;      // %s: input binary, then output hex
  const char* decode = "";  // srec_cat's options to read the copy back
};

void PrintTo(const Writer& w, std::ostream* out) { *out << w.name; }

class Oracle : public ::testing::TestWithParam<Writer> {};

int Shell(const std::string& command) { return std::system(command.c_str()); }

TEST_P(Oracle, StampedImageDecodesToTheOriginalWithOnlyTheSerialChanged) {
  ScratchDirectory dir;
  std::string original = SomeBytes(70001, 11);
  dir.Write("image.bin", original);
  char command[512];
  std::snprintf(command, sizeof command, GetParam().command,
                dir.File("image.bin").c_str(), dir.File("image.hex").c_str());
  ASSERT_EQ(Shell(command), 0) << command;
  std::string written = dir.Read("image.hex");
  ASSERT_TRUE(written.find(":02000004") != std::string::npos ||
              written.find(":02000002") != std::string::npos)
      << "no address record";

  Finished run = RunToEnd({"image.hex", "123.456.789"}, dir.path());
  ASSERT_EQ(run.screen, SuccessBlock("kestrel.hex"));
  EXPECT_EQ(dir.Read("image.hex"), written);

  // srec_cat refuses any record whose checksum does not match.
  ASSERT_EQ(
      Shell("srec_cat " + dir.File("kestrel.hex") + " -Intel " +
            GetParam().decode + " -o " + dir.File("decoded.bin") + " -Binary"),
      0);
  EXPECT_TRUE(dir.Read("decoded.bin") == Stamped(original, 123456789));
}

INSTANTIATE_TEST_SUITE_P(
    Writers, Oracle,
    ::testing::Values(
        Writer{"Objcopy", "objcopy -I binary -O ihex %s %s"},
        Writer{"SrecCat",
               "srec_cat %s -Binary -o %s -Intel -Output_Block_Size 16 "
               "-enable=optional-address"},
        Writer{"SrecCatDefault", "srec_cat %s -Binary -o %s -Intel"},
        // A PIC18's data EEPROM, as gpasm writes it: based at 0xF00000.
        Writer{"Pic18Eeprom",
               "srec_cat %s -Binary -offset 0xF00000 -o %s -Intel",
               "-offset -0xF00000"}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace kestrel::e2e
