#include "bin/bin_patch.h"

#include <gtest/gtest.h>

#include "support/runtime_fixture.h"

namespace kestrel {
namespace {

class BinPatchTest : public RuntimeTest {
 protected:
  int Patch(const std::string& serial = "123456789") {
    return PatchBinImage("board.bin", serial);
  }
};

constexpr std::size_t kBlock = 64 << 10;

TEST_F(BinPatchTest, MovesTheImageInLargeBlocksAndAsksOnceMoreAtTheEnd) {
  std::string tail(kBlock - 19, 'i');  // one block and one byte more
  os_.files["board.bin"].data = "0123456789ABCDEFGHIJ" + tail;
  EXPECT_EQ(Patch(), 0);
  EXPECT_EQ(os_.files["kestrel.bin"].data, std::string("0123\x07\x5B\xCD\x15"
                                                       "89ABCDEFGHIJ") +
                                               tail);
  std::vector<std::string> transfers;
  for (const std::string& call : os_.calls) {
    if (call.rfind("read", 0) == 0 || call.rfind("write", 0) == 0) {
      transfers.push_back(call.substr(0, call.find(' ')) +
                          call.substr(call.rfind(' ')));
    }
  }
  EXPECT_EQ(transfers,
            (std::vector<std::string>{"read 65536", "write 65536", "read 65536",
                                      "read 65535", "write 1"}));
  EXPECT_EQ(os_.files["board.bin"].writes, 0);
}

TEST_F(BinPatchTest, AMultipleOfTheBlockEndsWithOneEmptyRead) {
  os_.files["board.bin"].data = std::string(2 * kBlock, 'i');
  EXPECT_EQ(Patch(), 0);
  int reads = 0;
  for (const std::string& call : os_.calls) reads += call.rfind("read", 0) == 0;
  EXPECT_EQ(reads, 3);
}

TEST_F(BinPatchTest, EveryFailedTransferGivesTheOutputBlock) {
  std::string image(2 * kBlock + 40, 'i');
  for (int n = 8; n <= 21; ++n) {  // from the copy's creation on
    os_ = FakeOs();
    os_.files["board.bin"].data = image;
    console_.shown.clear();
    os_.FailCall(n, 162);
    EXPECT_EQ(Patch(), 73) << "call " << n;
    EXPECT_EQ(console_.Lines().back(), "Can't create file kestrel.bin")
        << "call " << n;
    EXPECT_EQ(os_.files["board.bin"].data, image);
  }
}

TEST_F(BinPatchTest, AShortWriteIsNeverReportedAsSuccess) {
  os_.files["board.bin"].data = std::string(kBlock + 16, 'i');
  os_.ShortCall(14, 3);  // the second block's write
  EXPECT_EQ(Patch(), 73);
  EXPECT_EQ(console_.shown.find("successfully"), std::string::npos);
}

TEST_F(BinPatchTest, AShortOrCutImageLeavesNoOutput) {
  os_.files["board.bin"].data = "1234567";
  EXPECT_EQ(Patch(), 65);
  EXPECT_EQ(console_.Lines().back(), "Unexpected end of board.bin file");
  EXPECT_EQ(os_.files.count("kestrel.bin"), 0u);
  // Cut to one block by another program while the copy is made.
  os_ = FakeOs();
  os_.files["board.bin"].data = std::string(2 * kBlock, 'i');
  os_.ShortCall(12, 0);  // the second block's read
  EXPECT_EQ(Patch(), 65);
  EXPECT_EQ(os_.files.count("kestrel.bin"), 0u);
}

}  // namespace
}  // namespace kestrel
