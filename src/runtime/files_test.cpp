#include "runtime/files.h"

#include <gtest/gtest.h>

#include "runtime/failure_codes.h"
#include "support/runtime_fixture.h"

namespace kestrel {
namespace {

class TextFileTest : public RuntimeTest {
 protected:
  std::vector<std::string> ReadAll(const std::string& content) {
    os_.files["in.hex"].data = content;
    TextFile file;
    OpenTextForRead(file, "in.hex");
    std::vector<std::string> lines;
    while (!TextAtEnd(file)) lines.push_back(ReadTextLine(file));
    EXPECT_EQ(PendingIoError, 0);
    return lines;
  }
};

using Lines = std::vector<std::string>;

TEST_F(TextFileTest, LfCrLfAndALoneCrEachEndOneLine) {
  EXPECT_EQ(ReadAll("a\nb\r\nc\rd"), (Lines{"a", "b", "c", "d"}));
  EXPECT_EQ(ReadAll("a\r\r\nb\n\n"), (Lines{"a", "", "b", ""}));
  EXPECT_EQ(ReadAll("a\n\rb"), (Lines{"a", "", "b"}))
      << "LF CR is two line ends";
}

TEST_F(TextFileTest, ALineEndSplitAcrossBuffersIsOneLineEnd) {
  std::string first(255, 'x');
  EXPECT_EQ(ReadAll(first + "\r\nnext"), (Lines{first, "next"}));
  EXPECT_EQ(ReadAll(first + "\r"), (Lines{first}));
}

TEST_F(TextFileTest, LongLinesAreReadWhole) {
  std::string line(300, 'y');
  EXPECT_EQ(ReadAll(line + "\n" + std::string(1000, 'z')),
            (Lines{line, std::string(1000, 'z')}));
}

TEST_F(TextFileTest, CtrlZAtTheStartOfALineEndsTheFileButNotInsideOne) {
  EXPECT_EQ(ReadAll("a\r\n\x1A"
                    "b\r\n"),
            (Lines{"a"}));
  EXPECT_EQ(ReadAll("\x1A"), Lines{});
  EXPECT_EQ(ReadAll("a\x1A"
                    "b\n"),
            (Lines{"a\x1A"
                   "b"}));
  EXPECT_EQ(ReadAll(""), Lines{});
}

TEST_F(TextFileTest, ReadingPastTheEndGivesTheEmptyTextWithoutACode) {
  os_.files["in.hex"].data = "last";
  TextFile file;
  OpenTextForRead(file, "in.hex");
  EXPECT_EQ(ReadTextLine(file), "last");
  EXPECT_TRUE(TextAtEnd(file));
  EXPECT_EQ(ReadTextLine(file), "");
  EXPECT_EQ(PendingIoError, 0);
}

TEST_F(TextFileTest, WritesCrLfAndHandsOverOnlyFullBuffersUntilClosed) {
  TextFile file;
  CreateTextForWrite(file, "out.hex");
  for (int i = 0; i < 10; ++i)
    WriteTextLine(file, std::string(41, 'a'));  // 430 bytes
  EXPECT_EQ(os_.files["#1"].data.size(), 256u);
  EXPECT_EQ(os_.files["#1"].writes, 1);
  CloseText(file);
  EXPECT_EQ(PendingIoError, 0);
  EXPECT_EQ(os_.files["out.hex"].data.size(), 430u);
  EXPECT_EQ(os_.files["out.hex"].data.substr(0, 43),
            std::string(41, 'a') + "\r\n");
}

TEST_F(TextFileTest, ADeviceGetsEveryLineAtItsEnd) {
  os_.files["kestrel.hex"].device = true;
  TextFile file;
  CreateTextForWrite(file, "kestrel.hex");
  WriteTextLine(file, "one");
  WriteTextLine(file, "two");
  EXPECT_EQ(os_.files["kestrel.hex"].writes, 2);
}

TEST_F(TextFileTest, AnUnclosedCopyIsGoneWithWhatIsStillBuffered) {
  {
    TextFile file;
    CreateTextForWrite(file, "out.hex");
    WriteTextLine(file, std::string(300, 'w'));
  }
  EXPECT_EQ(os_.files.size(), 0u);
  EXPECT_EQ(os_.open_handles(), 0);
}

TEST_F(TextFileTest, CreatingEmptiesAnExistingFileOnlyOnceItIsHeld) {
  os_.files["out.hex"].data = "old";
  os_.files["out.hex"].held_elsewhere = true;
  TextFile file;
  CreateTextForWrite(file, "out.hex");
  EXPECT_EQ(PendingIoError, kAccessDenied);
  EXPECT_EQ(os_.files["out.hex"].data, "old");
  EXPECT_EQ(os_.open_handles(), 0);
}

TEST_F(TextFileTest, AFileHeldByThisProcessCannotBeOpenedAgain) {
  os_.files["kestrel.hex"].data = "image";
  TextFile input, output;
  OpenTextForRead(input, "kestrel.hex");
  ASSERT_EQ(PendingIoError, 0);
  CreateTextForWrite(output, "kestrel.hex");
  EXPECT_EQ(PendingIoError, kAccessDenied);
  EXPECT_EQ(os_.files["kestrel.hex"].data, "image");
}

TEST_F(TextFileTest, OperationsInTheWrongModeSetTheirCodes) {
  os_.files["in.hex"].data = "x";
  struct Case {
    const char* what;
    std::uint16_t code;
    void (*run)(TextFile&);
  };
  for (const Case& c : {
           Case{"read closed", kFileNotOpen,
                [](TextFile& f) { ReadTextLine(f); }},
           Case{"end closed", kFileNotOpen,
                [](TextFile& f) { EXPECT_TRUE(TextAtEnd(f)); }},
           Case{"close closed", kFileNotOpen,
                [](TextFile& f) { CloseText(f); }},
           Case{"write closed", kFileNotOpen,
                [](TextFile& f) { WriteTextLine(f, "x"); }},
           Case{"write reading", kNotOpenForOutput,
                [](TextFile& f) {
                  OpenTextForRead(f, "in.hex");
                  WriteTextLine(f, "x");
                }},
           Case{"read writing", kNotOpenForInput,
                [](TextFile& f) {
                  CreateTextForWrite(f, "o.hex");
                  ReadTextLine(f);
                }},
           Case{"end writing", kNotOpenForInput,
                [](TextFile& f) {
                  CreateTextForWrite(f, "o.hex");
                  TextAtEnd(f);
                }},
           Case{"open missing", kFileNotFound,
                [](TextFile& f) { OpenTextForRead(f, "missing.hex"); }},
       }) {
    PendingIoError = 0;
    TextFile file;
    c.run(file);
    EXPECT_EQ(PendingIoError, c.code) << c.what;
  }
}

TEST_F(TextFileTest, WhileACodeIsPendingNothingHappens) {
  os_.files["in.hex"].data = "line\n";
  TextFile file;
  PendingIoError = kGeneralFailure;
  OpenTextForRead(file, "in.hex");
  EXPECT_EQ(file.mode(), TextFile::Mode::kClosed);
  EXPECT_EQ(file.name(), "in.hex") << "the name is still recorded";
  EXPECT_TRUE(TextAtEnd(file));
  EXPECT_EQ(PendingIoError, kGeneralFailure);
  EXPECT_TRUE(os_.calls.empty());
}

TEST_F(TextFileTest, FailuresOfTheSystemBecomeTheirCodes) {
  os_.files["in.hex"].data = std::string(300, 'a');
  TextFile input;
  OpenTextForRead(input, "in.hex");
  os_.FailCall(static_cast<int>(os_.calls.size()) + 1, kGeneralFailure);
  ReadTextLine(input);
  EXPECT_EQ(PendingIoError, kGeneralFailure);

  PendingIoError = 0;
  TextFile output;
  CreateTextForWrite(output, "out.hex");
  WriteTextLine(output, "abc");
  os_.ShortCall(static_cast<int>(os_.calls.size()) + 1, 2);
  CloseText(output);
  EXPECT_EQ(PendingIoError, kShortWrite) << "a short write out of the buffer";
  EXPECT_EQ(output.mode(), TextFile::Mode::kClosed)
      << "the close still goes on";
}

TEST_F(TextFileTest, ANameOver255CharactersIsRefusedNotCut) {
  std::string name(256, 'n');
  os_.files[name.substr(0, 255)].data = "another file\n";
  TextFile file;
  OpenTextForRead(file, name);
  EXPECT_EQ(PendingIoError, kPathNotFound);
  EXPECT_EQ(file.mode(), TextFile::Mode::kClosed);
  EXPECT_TRUE(os_.calls.empty()) << "nothing is opened";
}

class ByteFileTest : public RuntimeTest {};

TEST_F(ByteFileTest, ReadBlockCountsWithAResultPlaceAndSetsCode100Without) {
  os_.files["in.bin"].data = "abcdefghijk";  // 8 + 3
  ByteFile file;
  OpenByteFile(file, "in.bin", 1);
  char block[8];
  std::size_t got = 99;
  ReadBlock(file, block, 8, &got);
  EXPECT_EQ(got, 8u);
  ReadBlock(file, block, 8);
  EXPECT_EQ(PendingIoError, kShortRead);
  EXPECT_EQ(std::string(block, 3), "ijk") << "what arrived is in the buffer";

  PendingIoError = 0;
  ReadBlock(file, block, 8, &got);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(PendingIoError, 0);
  ReadBlock(file, block, 8);
  EXPECT_EQ(PendingIoError, kShortRead);
}

TEST_F(ByteFileTest, WriteBlockWithoutAResultPlaceSetsCode101WhenShort) {
  ByteFile file;
  CreateByteFile(file, "out.bin", 1);
  std::size_t put = 0;
  os_.ShortCall(static_cast<int>(os_.calls.size()) + 1, 5);
  WriteBlock(file, "12345678", 8, &put);
  EXPECT_EQ(put, 5u);
  EXPECT_EQ(PendingIoError, 0);
  os_.ShortCall(static_cast<int>(os_.calls.size()) + 1, 5);
  WriteBlock(file, "12345678", 8);
  EXPECT_EQ(PendingIoError, kShortWrite);
}

TEST_F(ByteFileTest, APendingCodeIsReplacedOnlyByTheFormsWithoutAResultPlace) {
  os_.files["in.bin"].data = "abcdefgh";
  ByteFile file;
  OpenByteFile(file, "in.bin", 1);
  char block[8];
  std::size_t got = 7;
  PendingIoError = kAccessDenied;
  ReadBlock(file, block, 8, &got);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(PendingIoError, kAccessDenied);
  ReadBlock(file, block, 8);
  EXPECT_EQ(PendingIoError, kShortRead);
  WriteBlock(file, block, 8);
  EXPECT_EQ(PendingIoError, kShortWrite);
  WriteBlock(file, block, 0);
  EXPECT_EQ(PendingIoError, kShortWrite);
}

TEST_F(ByteFileTest, OpeningNeedsWritePermissionAndARecordSize) {
  os_.files["ro.bin"].read_only = true;
  ByteFile file;
  OpenByteFile(file, "ro.bin", 1);
  EXPECT_EQ(PendingIoError, kAccessDenied)
      << "byte files are opened for reading and writing";
  EXPECT_FALSE(file.is_open());

  PendingIoError = 0;
  os_.files["in.bin"].data = "x";
  OpenByteFile(file, "in.bin", 0);
  EXPECT_EQ(PendingIoError, kFileNotFound);
  EXPECT_FALSE(file.is_open());

  PendingIoError = 0;
  os_.files["dir.bin"].directory = true;
  OpenByteFile(file, "dir.bin", 1);
  EXPECT_EQ(PendingIoError, kAccessDenied);
}

TEST_F(ByteFileTest, ClosedFilesAndFailedClosesSetTheirCodes) {
  ByteFile file;
  char block[8];
  ReadBlock(file, block, 8);
  EXPECT_EQ(PendingIoError, kFileNotOpen);
  PendingIoError = 0;
  CloseByteFile(file);
  EXPECT_EQ(PendingIoError, kFileNotOpen);

  PendingIoError = 0;
  CreateByteFile(file, "out.bin", 1);
  os_.FailCall(static_cast<int>(os_.calls.size()) + 1, kGeneralFailure);
  CloseByteFile(file);
  EXPECT_EQ(PendingIoError, kGeneralFailure);
  EXPECT_FALSE(file.is_open());
}

}  // namespace
}  // namespace kestrel
