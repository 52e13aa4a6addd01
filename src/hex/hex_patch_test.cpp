#include "hex/hex_patch.h"

#include <gtest/gtest.h>

#include "runtime/files.h"
#include "support/runtime_fixture.h"

namespace kestrel {
namespace {

const std::string kFirst = ":10000000000102030405060708090A0B0C0D0E0F78";
const std::string kStamped = ":10000000000102030012D68708090A0B0C0D0E0F1F";
const std::string kSecond = ":10001000101112131415161718191A1B1C1D1E1F68";
const std::string kEnd = ":00000001FF";

class HexPatchTest : public RuntimeTest {
 protected:
  // Runs the patcher; the exit status it leaves or ends the process with.
  int Patch(const std::string& serial = "001234567") {
    return PatchHexImage("board.hex", serial);
  }
  // The number of the `nth` OS call starting with `call` in a clean run.
  int CallAfter(const std::string& call, int nth = 1) {
    FakeOs probe;
    probe.files = os_.files;
    SetOsForTest(&probe);
    Patch();
    SetOsForTest(&os_);
    console_.shown.clear();
    PendingIoError = 0;
    for (std::size_t i = 0; i < probe.calls.size(); ++i) {
      if (probe.calls[i].rfind(call, 0) == 0 && --nth == 0)
        return static_cast<int>(i) + 1;
    }
    ADD_FAILURE() << "no call " << call;
    return 0;
  }
  std::vector<std::string> OutputBlock() {
    return {"", "Kestrel Tool 2. **** Error ****",
            "Can't create file kestrel.hex"};
  }
};

TEST_F(HexPatchTest, CopiesTheImageAndNeverWritesTheInput) {
  // A line longer than the buffer, its tail not part of the record.
  std::string tail = kSecond + std::string(257, 'x');
  std::string image = kFirst + "\r\n" + tail + "\n" + kEnd;
  os_.files["board.hex"].data = image;
  EXPECT_EQ(Patch(), 0);
  EXPECT_EQ(os_.files["kestrel.hex"].data,
            kStamped + "\r\n" + tail + "\r\n" + kEnd + "\r\n");
  EXPECT_EQ(os_.files["board.hex"].data, image);
  EXPECT_EQ(os_.files["board.hex"].writes, 0);
  EXPECT_EQ(os_.open_handles(), 0);
}

TEST_F(HexPatchTest, AFirstLineThatCannotBeReadGivesTheNotANumberBlock) {
  os_.files["board.hex"].data = kFirst + "\r\n";
  os_.FailCall(CallAfter("read"), 162);
  EXPECT_EQ(Patch(), 64);
  EXPECT_EQ(console_.Lines()[1],
            "Kestrel Tool 2. Inadequate parameter. 001234567 doesn't seem to "
            "be a number");
  EXPECT_EQ(os_.files.count("kestrel.hex"), 0u);
}

TEST_F(HexPatchTest, FailuresAfterTheOutputIsCreatedGiveTheOutputBlock) {
  // A first line filling the buffer, so later lines need more reads.
  std::string image = kFirst + std::string(TextFile::kBufferSize, ' ') +
                      "\r\n" + kEnd + "\r\n" + kEnd + "\r\n";
  struct Point {
    const char* call;
    int nth;
  };
  for (const Point& point :
       {Point{"takelock", 1}, Point{"createunnamed", 1}, Point{"stat", 2},
        Point{"write", 1}, Point{"read", 3}, Point{"close", 1},
        Point{"syncdata", 1}, Point{"link", 1}, Point{"syncfolder", 1}}) {
    std::string call = point.call + std::to_string(point.nth);
    os_ = FakeOs();
    os_.files["board.hex"].data = image;
    os_.FailCall(CallAfter(point.call, point.nth), 5);
    EXPECT_EQ(Patch(), 73) << call;
    EXPECT_EQ(console_.Lines(), OutputBlock()) << call;
    console_.shown.clear();
  }
}

TEST_F(HexPatchTest, AnImageRewrittenDuringTheStampLeavesNoOutput) {
  os_.files["board.hex"].data = kFirst + "\r\n" + kEnd + "\r\n";
  os_.ChangeAt(CallAfter("stat", 3), "board.hex");  // the image's last look
  EXPECT_EQ(Patch(), 65);
  EXPECT_EQ(console_.Lines().back(),
            "board.hex doesn't seem to be a valid HEX file");
  EXPECT_EQ(os_.files.count("kestrel.hex"), 0u);
}

TEST_F(HexPatchTest, AShortWriteIsNeverReportedAsSuccess) {
  os_.files["board.hex"].data = kFirst + "\r\n" + kEnd + "\r\n";
  os_.ShortCall(CallAfter("write"), 10);
  EXPECT_EQ(Patch(), 73);
  EXPECT_EQ(console_.Lines(), OutputBlock());
}

}  // namespace
}  // namespace kestrel
