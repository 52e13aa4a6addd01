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
  std::string first(TextFile::kBufferSize - 1, 'x');
  EXPECT_EQ(ReadAll(first + "\r\nnext"), (Lines{first, "next"}));
  EXPECT_EQ(ReadAll(first + "\r"), (Lines{first}));
}

TEST_F(TextFileTest, LongLinesAreReadWhole) {
  std::string line(300, 'y');
  EXPECT_EQ(ReadAll(line + "\n" + std::string(1000, 'z')),
            (Lines{line, std::string(1000, 'z')}));
  std::string longer(2 * TextFile::kBufferSize + 300, 'y');
  EXPECT_EQ(ReadAll("a\r\n" + longer + "\r\nb"), (Lines{"a", longer, "b"}));
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
  std::size_t lines = TextFile::kBufferSize / 43 + 1;
  for (std::size_t i = 0; i < lines; ++i)
    WriteTextLine(file, std::string(41, 'a'));  // 43 bytes each
  EXPECT_EQ(os_.files["#1"].data.size(), TextFile::kBufferSize);
  EXPECT_EQ(os_.files["#1"].writes, 1);
  CloseText(file);
  EXPECT_EQ(PendingIoError, 0);
  EXPECT_EQ(os_.files["out.hex"].data.size(), 43 * lines);
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

// A copy of "board.hex" stamped over an old "kestrel.hex": made, with the
// old one's owner and mode, where it may be; else refused with nothing
// touched.
TEST_F(TextFileTest, TheOldCopyGoesOnlyForANewOneAndIsNeverAnotherFile) {
  struct Row {
    const char* what;
    void (*set_up)(FakeOs&);
    const char* place = nullptr;  // where the copy goes; nullptr: refused
    const char* image = "board.hex";
  };
  for (const Row& row : {
           Row{"another run holds the place",
               [](FakeOs& os) {
                 os.files[".kestrel.hex.lock"].held_elsewhere = true;
               }},
           Row{"another user's copy in a sticky folder",
               [](FakeOs& os) {
                 os.folders["."].mode = kOsSticky | 0777;
                 os.folders["."].owner = 0;
                 os.files["kestrel.hex"].owner = 2000;
               }},
           Row{"a copy mounted on its name",
               [](FakeOs& os) { os.files["kestrel.hex"].mount_root = true; }},
           Row{"replaced by another program before its removal",
               [](FakeOs& os) { os.ReplaceBefore("setmode", "kestrel.hex"); }},
           Row{"the image under another spelling, with an inode of its own",
               [](FakeOs& os) {
                 os.folds_case = true;
                 os.files["KESTREL.HEX"].data = "image";
               },
               nullptr, "KESTREL.HEX"},
           Row{"the image through another spelling of its folder",
               [](FakeOs& os) {
                 os.folds_case = true;
                 os.unnamed = false;
                 os.spellings["../DIR/"] = "";
                 os.files["../DIR/kestrel.hex"].data = "image";
               },
               nullptr, "../DIR/kestrel.hex"},
           Row{"a link of another user at the second hop",
               [](FakeOs& os) {
                 os.files["kestrel.hex"].link_to = "tmp/next.hex";
                 os.files["tmp/next.hex"] = {};
                 os.files["tmp/next.hex"].link_to = "/old.hex";
                 os.files["tmp/next.hex"].owner = 2000;
                 os.folders["tmp"].mode = kOsSticky | 0777;
               }},
           Row{"a folder link of another user on the way",
               [](FakeOs& os) {
                 os.files["kestrel.hex"].link_to = "tmp/up/x.hex";
                 os.files["tmp/up"].link_to = "/";
                 os.files["tmp/up"].owner = 2000;
                 os.folders["tmp"].mode = kOsSticky | 0777;
               }},
           Row{"the user's own links, a folder link among them",
               [](FakeOs& os) {
                 os.files["kestrel.hex"].link_to = "tmp/next.hex";
                 os.files["tmp/next.hex"].link_to = "up/old.hex";
                 os.files["tmp/up"].link_to = "/";
                 os.folders["tmp"].mode = kOsSticky | 0777;
               },
               "/old.hex"},
           Row{"another run's copy put in place before the lock was had",
               [](FakeOs& os) {
                 os.files["kestrel.hex"].link_to = "new.hex";
                 os.ReplaceBefore("takelock", "new.hex");
               },
               "new.hex"},
           Row{"a link led to another folder before the lock was had",
               [](FakeOs& os) {
                 os.ReplaceBefore("takelock", "kestrel.hex", "/old.hex");
               }},
           Row{"a mode only the owner may set (FAT mounted for everyone)",
               [](FakeOs& os) { os.user = 2000; }, "kestrel.hex"},
           Row{"an owner and mode of the old copy's own",
               [](FakeOs& os) {
                 os.user = 0;
                 os.files["kestrel.hex"].owner = 1234;
                 os.files["kestrel.hex"].group = 77;
                 os.files["kestrel.hex"].mode = 0640;
               },
               "kestrel.hex"},
       }) {
    os_ = FakeOs();
    os_.files["board.hex"].data = "image";
    os_.files["kestrel.hex"].data = "old";
    row.set_up(os_);
    if (!os_.files["kestrel.hex"].link_to.empty())
      os_.files["/old.hex"].data = "old";
    std::map<std::string, FakeOs::File> before = os_.files;
    PendingIoError = 0;
    TextFile image, copy;
    OpenTextForRead(image, row.image);
    CreateTextForWrite(copy, "kestrel.hex", &image);
    WriteTextLine(copy, "new");
    CloseText(copy);
    if (row.place == nullptr) {
      EXPECT_EQ(PendingIoError, kAccessDenied) << row.what;
      for (auto& [name, file] : before) {
        EXPECT_EQ(os_.files[name].data, file.data) << row.what << ": " << name;
      }
      EXPECT_EQ(os_.files.size(), before.size()) << row.what;
      continue;
    }
    const FakeOs::File& old = before[row.place];
    const FakeOs::File& made = os_.files[row.place];
    EXPECT_EQ(PendingIoError, 0) << row.what;
    EXPECT_EQ(made.data, "new\r\n") << row.what;
    EXPECT_EQ(os_.files["kestrel.hex"].link_to, before["kestrel.hex"].link_to);
    EXPECT_EQ(made.owner * 10000 + made.group, old.owner * 10000 + old.group);
    EXPECT_EQ(made.mode, old.mode) << row.what;
  }
}

// Where the file system has no unnamed files, a killed run leaves its copy
// under a hidden name that no image search takes for an image, and the
// next run removes it.
TEST_F(TextFileTest, ACopyLeftByAKilledRunIsHiddenAndTheNextRunRemovesIt) {
  os_.unnamed = false;
  alignas(TextFile) static unsigned char killed[sizeof(TextFile)];
  CreateTextForWrite(*new (killed) TextFile, "kestrel.hex");  // never closed
  ASSERT_EQ(os_.files.size(), 2u);
  const std::string& left = os_.files.rbegin()->first;
  EXPECT_EQ(left[0], '.') << left;
  EXPECT_NE(left.substr(left.size() - 3), "hex") << left;
  os_.files.erase(".kestrel.hex.lock");
  TextFile copy;
  CreateTextForWrite(copy, "kestrel.hex");
  CloseText(copy);
  EXPECT_EQ(PendingIoError, 0);
  EXPECT_EQ(os_.files.size(), 1u) << os_.files.rbegin()->first;
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
