#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "e2e/images.h"
#include "e2e/terminal.h"
#include "e2e/tool_run.h"

namespace kestrel::e2e {
namespace {

// The first record holds the bytes 0 to 15.
const std::string kFirst = ":10000000000102030405060708090A0B0C0D0E0F78";
const std::string kStampedFirst = ":10000000000102030012D68708090A0B0C0D0E0F1F";
const std::string kSecond = Record(0, 0x10, SomeBytes(16));
const std::string kEnd = ":00000001FF";

// The first record as stamped with `serial`, built independently.
std::string FirstWith(std::uint32_t serial) {
  std::string bytes;
  for (char byte = 0; byte < 16; ++byte) bytes += byte;
  return Record(0, 0, Stamped(bytes, serial));
}

class HexPatch : public ::testing::Test {
 protected:
  Finished Run(const std::string& image_name, const std::string& serial) {
    return RunToEnd({image_name, serial}, dir_.path());
  }
  Lines Crc(const std::string& found, const std::string& title) {
    return {found + " found, 0 expected", "", title,
            "board.hex doesn't seem to be a valid HEX file"};
  }
  ScratchDirectory dir_;
};

struct SerialCase {
  std::string text;
  std::string first_line;
};

void PrintTo(const SerialCase& c, std::ostream* out) { *out << c.text; }

class HexSerials : public HexPatch,
                   public ::testing::WithParamInterface<SerialCase> {};

TEST_P(HexSerials, StampsTheFirstRecordAndCopiesEveryOtherLine) {
  std::string image = kFirst + "\r\n" + kSecond + "\r\n" + kEnd + "\r\n";
  dir_.Write("board.hex", image);
  Finished run = Run("board.hex", GetParam().text);
  EXPECT_EQ(run.screen, SuccessBlock("kestrel.hex"));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(dir_.Read("kestrel.hex"),
            GetParam().first_line + "\r\n" + kSecond + "\r\n" + kEnd + "\r\n");
  EXPECT_EQ(dir_.Read("board.hex"), image);
}

INSTANTIATE_TEST_SUITE_P(
    Values, HexSerials,
    ::testing::Values(SerialCase{"001.234.567", kStampedFirst},
                      SerialCase{"001234567", kStampedFirst},
                      SerialCase{"000000000", FirstWith(0)},
                      SerialCase{"999999999", FirstWith(0x3B9AC9FF)},
                      SerialCase{"-12345678", FirstWith(0xFF439EB2)},
                      SerialCase{"1.2.3.4.5.6.7.8.9", FirstWith(123456789)},
                      SerialCase{"$FFFFFFFF", FirstWith(0xFFFFFFFF)},
                      SerialCase{"%11111111", FirstWith(255)},
                      SerialCase{" 12345678", FirstWith(12345678)}));

TEST_F(HexPatch, ReadsEveryKindOfLineEndAndWritesCrLf) {
  std::string expected =
      kStampedFirst + "\r\n" + kSecond + "\r\n" + kEnd + "\r\n";
  for (const std::string& image :
       std::vector<std::string>{kFirst + "\n" + kSecond + "\n" + kEnd + "\n",
                                kFirst + "\r" + kSecond + "\r" + kEnd + "\r",
                                kFirst + "\r\n" + kSecond + "\n" + kEnd}) {
    dir_.Write("board.hex", image);
    EXPECT_EQ(Run("board.hex", "001.234.567").status, 0);
    EXPECT_EQ(dir_.Read("kestrel.hex"), expected);
  }
  // Block edges: a CR LF split across two 32 KiB blocks, a line across one,
  // a line longer than one, a last line with no end. Lines before end in LF
  // alone, so the copy's blocks end elsewhere.
  std::string lines;
  while (lines.size() < 65400) lines += kSecond + "\n";
  for (std::size_t cr_at : {65535u, 65556u, 131072u}) {
    std::string image = kFirst + "\n" + lines + kSecond;
    image += std::string(cr_at - image.size(), ' ') + "\r\n" + kEnd;
    dir_.Write("board.hex", image);
    EXPECT_EQ(Run("board.hex", "001.234.567").status, 0);
    std::string copy = kStampedFirst;
    for (char c : image.substr(kFirst.size()))
      copy += c == '\n' && copy.back() != '\r' ? "\r\n" : std::string(1, c);
    EXPECT_TRUE(dir_.Read("kestrel.hex") == copy + "\r\n") << cr_at;
  }
}

TEST_F(HexPatch, CopiesLinesAfterTheEndRecordButStopsAtCtrlZ) {
  dir_.Write("board.hex",
             kFirst + "\r\n" + kEnd + "\r\n" + kSecond + "\r\n\x1Azz\r\n");
  Finished run = Run("board.hex", "001234567");
  EXPECT_EQ(run.screen, SuccessBlock("kestrel.hex"));
  EXPECT_EQ(dir_.Read("kestrel.hex"),
            kStampedFirst + "\r\n" + kEnd + "\r\n" + kSecond + "\r\n");
  // Before the end record a Ctrl-Z cuts the image short.
  dir_.Write("board.hex", kFirst + "\r\n\x1A" + kSecond + "\r\n" + kEnd);
  run = Run("board.hex", "001234567");
  EXPECT_EQ(run.screen,
            ErrorBlock("board.hex doesn't seem to be a valid HEX file"));
  EXPECT_EQ(run.status, 65);
  EXPECT_FALSE(dir_.Exists("kestrel.hex"));
}

TEST_F(HexPatch, ASingleLineImageGivesTheStampedLineAlone) {
  dir_.Write("board.hex", kFirst);
  EXPECT_EQ(Run("board.hex", "001234567").status, 0);
  EXPECT_EQ(dir_.Read("kestrel.hex"), kStampedFirst + "\r\n");
}

TEST_F(HexPatch, KeepsLowerCaseWhereNothingChanges) {
  dir_.Write("board.hex",
             ":10000000000102030405060708090a0b0c0d0e0f78  tail\n");
  EXPECT_EQ(Run("board.hex", "001234567").status, 0);
  EXPECT_EQ(dir_.Read("kestrel.hex"),
            ":10000000000102030012D68708090a0b0c0d0e0f1F  tail\r\n");
}

TEST_F(HexPatch, AQuotedNameWithABlankIsOneArgument) {
  dir_.Write("my image.hex", kFirst + "\r\n");
  Finished run = Run("my image.hex", "001234567");
  EXPECT_EQ(run.screen, SuccessBlock("kestrel.hex"));
}

TEST_F(HexPatch, AFirstLineWithAWrongChecksumTouchesNoOutput) {
  dir_.Write("board.hex", kFirst.substr(0, 41) + "79\r\n" + kEnd + "\r\n");
  dir_.Write("kestrel.hex", "from an earlier run");
  Finished run = Run("board.hex", "001234567");
  EXPECT_EQ(run.screen, Crc("1", "Kestrel Tool. **** CRC error ****"));
  EXPECT_EQ(run.status, 65);
  EXPECT_EQ(dir_.Read("kestrel.hex"), "from an earlier run");
}

TEST_F(HexPatch, ALaterLineWithAWrongChecksumStopsTheCopy) {
  dir_.Write("board.hex",
             kFirst + "\r\n" + kFirst.substr(0, 41) + "77\r\n" + kEnd + "\r\n");
  Finished run = Run("board.hex", "001234567");
  EXPECT_EQ(run.screen, Crc("FF", "Kestrel Tool 2. **** CRC error ****"));
  EXPECT_EQ(run.status, 65);
  EXPECT_FALSE(dir_.Exists("kestrel.hex")) << "no partial copy is left";
  // A link of the user's own: its target is emptied, never left partial.
  if (UnderWine()) return;  // Windows replaces the link itself
  dir_.Write("station.hex", "an earlier board's");
  std::filesystem::create_symlink("station.hex", dir_.File("kestrel.hex"));
  EXPECT_EQ(Run("board.hex", "001234567").status, 65);
  EXPECT_EQ(dir_.Read("station.hex"), "");
}

TEST_F(HexPatch, BrokenLinesFailTheCheck) {
  struct Broken {
    std::string line;
    std::string found;
  };
  for (const Broken& broken :
       {Broken{":", "0"}, Broken{":1000", "10"},
        Broken{":10000000000102030405060708090A0B0C0D0E0FZ8", "90"},
        Broken{std::string(":\0\0\0", 4), "0"}}) {
    dir_.Write("board.hex", kFirst + "\r\n" + broken.line + "\r\n");
    Finished run = Run("board.hex", "001234567");
    EXPECT_EQ(run.screen,
              Crc(broken.found, "Kestrel Tool 2. **** CRC error ****"))
        << broken.line;
    EXPECT_EQ(run.status, 65);
  }
}

TEST_F(HexPatch, TheFirstDataRecordIsStampedAfterTheLeadingRecords) {
  const std::string zero = ":020000040000fa  \r\n:020000020000FC\r\n";
  const std::string pic18 = ":0200000400f00a\r\n";
  for (const std::string& head : std::vector<std::string>{
           zero, pic18, zero + pic18, ":0400000500000100F6\r\n",
           ":0400000300000100F8\r\n" + zero}) {
    for (const std::string& data : {SomeBytes(8, 3), SomeBytes(255, 5)}) {
      dir_.Write("board.hex", head + Record(0, 0x40, data) + "\n");
      EXPECT_EQ(Run("board.hex", "001234567").status, 0) << head;
      EXPECT_EQ(dir_.Read("kestrel.hex"),
                head + Record(0, 0x40, Stamped(data, 1234567)) + "\r\n");
    }
  }
}

TEST_F(HexPatch, AFirstLineThatIsNoStampableRecordIsRefused) {
  const std::string padding(32, ' ');
  for (const std::string& image : std::vector<std::string>{
           ":020000040800F2\r\n" + kFirst + "\r\n",
           ":0200000400F109\r\n" + kFirst + "\r\n",
           [] {
             std::string zeros;  // one more than is kept
             for (int i = 0; i < 17; ++i) zeros += ":020000040000FA\r\n";
             return zeros;
           }() +
               kFirst + "\r\n",
           ":020000040000FA\r\n" + kEnd + "\r\n",
           Record(0, 0, SomeBytes(7)) + padding + "\r\n",
           kEnd + padding + "\r\n", std::string(), std::string("\r\n\r\n")}) {
    dir_.Write("board.hex", image);
    Finished run = Run("board.hex", "001234567");
    EXPECT_EQ(run.screen,
              ErrorBlock("board.hex doesn't seem to be a valid HEX file"));
    EXPECT_EQ(run.status, 65);
    EXPECT_FALSE(dir_.Exists("kestrel.hex"));
  }
}

TEST_F(HexPatch, ARejectedSerialNumberCreatesNoOutput) {
  dir_.Write("board.hex", kFirst + "\r\n");
  for (const std::string& serial :
       std::vector<std::string>{"12345678", "12345", "1.5", "1234567890"}) {
    Finished run = Run("board.hex", serial);
    EXPECT_EQ(run.screen, LengthBlock()) << serial;
    EXPECT_EQ(run.status, 64);
  }
  for (const std::string& serial : std::vector<std::string>{
           "12345678a", "9999999999", "...", "1234 5678", "-2147483649", ""}) {
    Finished run = Run("board.hex", serial);
    EXPECT_EQ(run.screen, NotANumberBlock(serial)) << serial;
    EXPECT_EQ(run.status, 64);
  }
  EXPECT_FALSE(dir_.Exists("kestrel.hex"));
}

TEST_F(HexPatch, ASerialNumberWithBytesAbove127IsNoNumber) {
  dir_.Write("board.hex", kFirst + "\r\n");
  // A Windows command line is UTF-16, so a Windows user types the letter,
  // never the lone byte: wine turns a byte that is no UTF-8 into U+FFFD and
  // adds characters that depend on where the program's path lies in memory.
  Finished run =
      Run("board.hex", UnderWine() ? "12345678\xC3\xA9" : "12345678\xE9");
  ASSERT_GE(run.screen.size(), 6u) << ::testing::PrintToString(run.screen);
  std::string message;
  for (auto row = run.screen.begin() + 1; row != run.screen.end() - 4; ++row) {
    message += *row;
  }
  EXPECT_EQ(run.screen.front(), "");
  EXPECT_EQ(message.rfind("Kestrel Tool 2. Inadequate parameter. 12345678", 0),
            0u)
      << message;
  const std::string tail = " doesn't seem to be a number";
  EXPECT_TRUE(
      message.size() > tail.size() &&
      message.compare(message.size() - tail.size(), tail.size(), tail) == 0)
      << message;
  EXPECT_EQ(Lines(run.screen.end() - 4, run.screen.end()),
            UsageExamples("001234567"));
  EXPECT_EQ(run.status, 64);
  EXPECT_FALSE(dir_.Exists("kestrel.hex"));
}

// Windows maps characters its code page lacks to look-alikes.
TEST_F(HexPatch, NoNameOrSerialNumberIsTakenForALookAlike) {
  dir_.Write("Zaslepka.hex", kFirst + "\r\n");
  const std::string name = "Za\xC5\x9Blepka.hex";
  const std::string fullwidth =
      "\xEF\xBC\x91"
      "23456789";
  Finished refused = Run(name, "001234567");
  Finished serial = Run("Zaslepka.hex", fullwidth);
  EXPECT_EQ(refused.status, 66);
  EXPECT_EQ(serial.status, 64);
  // Echoed as typed, whatever the code page lacks (wine writes UTF-8 here;
  // a native tool writes the bytes it was given).
  if (UnderWine()) {
    EXPECT_NE(refused.output.find(name), std::string::npos);
    EXPECT_NE(serial.output.find(fullwidth), std::string::npos);
  }
  EXPECT_FALSE(dir_.Exists("kestrel.hex"));
}

TEST_F(HexPatch, GarbageIsNeverStampedAsAnImage) {
  std::string long_line(10u << 20, 'A');
  for (const std::string& image : std::vector<std::string>{
           SomeBytes(5000, 5), std::string(100, '\0'), ":", long_line + "\r\n",
           kFirst + "\r\n" + long_line + "\r\n" + kEnd + "\r\n",
           kFirst + "\r\n" + SomeBytes(300, 9)}) {
    dir_.Write("board.hex", image);
    Finished run = Run("board.hex", "001234567");
    EXPECT_EQ(run.status, 65) << image.substr(0, 20);
    EXPECT_EQ(run.screen.back(),
              "board.hex doesn't seem to be a valid HEX file");
    EXPECT_TRUE(dir_.Read("board.hex") == image);
  }
}

TEST_F(HexPatch, AMissingImageIsReportedBeforeTheSerialNumber) {
  Finished run = Run("missing.hex", "bad");
  EXPECT_EQ(run.screen, ErrorBlock("Can't find file missing.hex"));
  EXPECT_EQ(run.status, 66);
}

TEST_F(HexPatch, ADirectoryGivesTheInputBlock) {
  std::filesystem::create_directory(dir_.File("folder.hex"));
  Finished run = Run("folder.hex", "001234567");
  EXPECT_EQ(run.screen, ErrorBlock("Can't find file folder.hex"));
  EXPECT_EQ(run.status, 66);
}

TEST_F(HexPatch, AnImageHeldByAnotherProgramGivesTheInputBlock) {
  SKIP_UNDER_WINE("a Linux lock taken by the test is invisible to wine");
  dir_.Write("board.hex", kFirst + "\r\n");
  for (bool still_writing : {false, true}) {
    HeldOpen held(dir_.File("board.hex"), still_writing ? O_WRONLY : O_RDONLY,
                  !still_writing);
    Finished run = Run("board.hex", "001234567");
    EXPECT_EQ(run.screen, ErrorBlock("Can't find file board.hex"));
    EXPECT_EQ(run.status, 66);
    EXPECT_FALSE(dir_.Exists("kestrel.hex"));
  }
}

TEST_F(HexPatch, AnOutputThatCannotBeWrittenGivesTheOutputBlock) {
  std::string image = kFirst + "\r\n" + kEnd + "\r\n";
  dir_.Write("kestrel.hex", image);
  Finished itself = Run("kestrel.hex", "001234567");
  EXPECT_EQ(itself.screen, ErrorBlock("Can't create file kestrel.hex"));
  EXPECT_EQ(itself.status, 73);
  EXPECT_EQ(dir_.Read("kestrel.hex"), image) << "the input must stay intact";

  dir_.Write("board.hex", image);
  ::chmod(dir_.File("kestrel.hex").c_str(), 0444);
  EXPECT_EQ(Run("board.hex", "001234567").screen,
            ErrorBlock("Can't create file kestrel.hex"));
  EXPECT_EQ(dir_.Read("kestrel.hex"), image);
  std::filesystem::remove(dir_.File("kestrel.hex"));

  std::filesystem::create_symlink("/dev/full", dir_.File("kestrel.hex"));
  Finished full = Run("board.hex", "001234567");
  EXPECT_EQ(full.screen, ErrorBlock("Can't create file kestrel.hex"));
  EXPECT_EQ(full.status, 73);

  // Where the file system tells case apart, files spelled alike are two.
  if (UnderWine()) return;  // Windows finds a name in any case
  std::filesystem::remove(dir_.File("kestrel.hex"));
  dir_.Write("Kestrel.hex", image);
  dir_.Write("KESTREL.HEX", "another file");
  EXPECT_EQ(Run("Kestrel.hex", "001234567").status, 0);
}

TEST_F(HexPatch, AnOutputHeldByAnotherProgramIsLeftAlone) {
  SKIP_UNDER_WINE("a Linux lock taken by the test is invisible to wine");
  dir_.Write("board.hex", kFirst + "\r\n");
  dir_.Write("kestrel.hex", "held");
  for (bool locked : {true, false}) {
    HeldOpen held(dir_.File("kestrel.hex"), O_RDONLY, locked);
    Finished run = Run("board.hex", "001234567");
    EXPECT_EQ(run.screen, ErrorBlock("Can't create file kestrel.hex"));
    EXPECT_EQ(run.status, 73);
    EXPECT_EQ(dir_.Read("kestrel.hex"), "held");
  }
}

TEST_F(HexPatch, RunningOutOfMemoryGivesTheBlockOfItsStage) {
#ifdef KESTREL_SANITIZED
  GTEST_SKIP() << "the address sanitizer reserves terabytes of address space";
#endif
  SKIP_UNDER_QEMU("qemu's code buffer alone is larger than the limit");
  // A line longer than the address space left, of NUL bytes in a sparse
  // file. Wine itself needs more than 1.5 GiB to start.
  RunOptions limited;
  limited.address_space_kib = UnderWine() ? 2048 << 10 : 64 << 10;
  std::uintmax_t size = UnderWine() ? 3ull << 30 : 96u << 20;
  dir_.Write("first.hex", ":1");
  dir_.Write("later.hex", kFirst + "\r\n:1");
  for (const char* name : {"first.hex", "later.hex"}) {
    std::filesystem::resize_file(dir_.File(name), size);
  }

  Finished first = RunToEnd({"first.hex", "001234567"}, dir_.path(), limited);
  EXPECT_EQ(first.screen, NotANumberBlock("001234567"));
  EXPECT_EQ(first.status, 64);
  EXPECT_FALSE(dir_.Exists("kestrel.hex"));

  Finished later = RunToEnd({"later.hex", "001234567"}, dir_.path(), limited);
  EXPECT_EQ(later.screen, ErrorBlock("Can't create file kestrel.hex"));
  EXPECT_EQ(later.status, 73);
}

TEST_F(HexPatch, ALargeImageStreamsInTheSameMemoryAsASmallOne) {
#ifdef KESTREL_SANITIZED
  GTEST_SKIP() << "the address sanitizer's quarantine keeps freed memory "
                  "resident";
#endif
  std::string large;
  for (unsigned at = 0; at < 4u << 20; at += 16) {
    if (at % 0x10000 == 0 && at > 0) {
      large += Record(4, 0,
                      std::string{static_cast<char>(at >> 24),
                                  static_cast<char>(at >> 16)}) +
               "\r\n";
    }
    large += Record(0, at & 0xFFFF, SomeBytes(16, at)) + "\r\n";
  }
  large += kEnd + "\r\n";
  dir_.Write("small.hex", kFirst + "\r\n" + kEnd + "\r\n");
  dir_.Write("large.hex", large);

  RunOptions measured;
  measured.peak_file = dir_.File("peak.txt");
  Finished small = RunToEnd({"small.hex", "123456789"}, dir_.path(), measured);
  Finished big = RunToEnd({"large.hex", "123456789"}, dir_.path(), measured);
  EXPECT_EQ(big.screen, SuccessBlock("kestrel.hex"));
  std::string out = dir_.Read("kestrel.hex");
  std::size_t first_end = out.find("\r\n");
  EXPECT_EQ(out.substr(first_end), large.substr(large.find("\r\n")));
  EXPECT_EQ(out.substr(0, first_end),
            Record(0, 0, Stamped(SomeBytes(16, 0), 123456789)));
  std::printf("peak memory: %ld KiB for 1 line, %ld KiB for 4 MiB\n",
              small.peak_kib, big.peak_kib);
  EXPECT_LE(big.peak_kib, small.peak_kib + kMemorySlackKib)
      << "peak memory " << small.peak_kib << " KiB for 1 line, " << big.peak_kib
      << " KiB for 4 MiB";
}

}  // namespace
}  // namespace kestrel::e2e
