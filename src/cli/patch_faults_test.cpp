// Every OS call of a full HEX run and a full BIN run, failed in turn with
// every error it can meet and by running out of memory: the run must end
// with the block and status of its stage, never print the success block,
// never touch its input, and leave the old copy as it was until the output
// stage removes it, and then no copy at all, nor any file made aside.
#include <gtest/gtest.h>

#include "bin/bin_patch.h"
#include "hex/hex_patch.h"
#include "runtime/failure_codes.h"
#include "support/runtime_fixture.h"

namespace kestrel {
namespace {

struct Kind {
  const char* image;
  std::string content;
  Patcher patch;
  const char* output;
};

const std::string kHexImage =
    ":10000000000102030405060708090A0B0C0D0E0F78" + std::string(260, ' ') +
    "\r\n" + ":10001000101112131415161718191A1B1C1D1E1F68\r\n:00000001FF\r\n";
const std::string kBinImage = "0123456789abcdefghijklmnopqrs";  // 29 bytes
const std::string kOldCopy = "an earlier board's copy";

void PrintTo(const Kind& kind, std::ostream* out) { *out << kind.image; }

class PatchFaultTest : public RuntimeTest,
                       public ::testing::WithParamInterface<Kind> {
 protected:
  // Runs the patch; the status it ends with.
  int Run() {
    console_.shown.clear();
    PendingIoError = 0;
    return GetParam().patch(GetParam().image, "001.234.567");
  }

  // A fresh fake OS holding the image and an earlier run's copy.
  void Reset() {
    os_ = FakeOs();
    os_.files[GetParam().image].data = GetParam().content;
    os_.files[GetParam().output].data = kOldCopy;
  }

  std::vector<std::string> CleanRun() {
    Reset();
    EXPECT_EQ(Run(), 0);
    return os_.calls;
  }

  // The number of the first call that begins with `prefix`.
  static std::size_t First(const std::vector<std::string>& calls,
                           const std::string& prefix) {
    for (std::size_t i = 0; i < calls.size(); ++i) {
      if (calls[i].rfind(prefix, 0) == 0) return i + 1;
    }
    ADD_FAILURE() << "no call " << prefix;
    return 0;
  }

  // The status a failure of call `n` must give: before the input is held,
  // the input stage; until the old copy is looked at, the serial stage
  // (only HEX reads its first line there); after that, the output stage.
  static int StageStatus(const std::vector<std::string>& calls, std::size_t n) {
    if (n <= First(calls, "lock")) return 66;
    return n < First(calls, "opencopy") ? 64 : 73;
  }

  // The old copy stays as it was until it is removed, and is gone after.
  void ExpectOldCopyOrNone(const std::vector<std::string>& calls,
                           std::size_t n) {
    if (n <= First(calls, "remove")) {
      EXPECT_EQ(os_.files[GetParam().output].data, kOldCopy);
      EXPECT_EQ(os_.files.size(), 2u) << "a file made aside is left";
    } else {
      EXPECT_EQ(os_.files.count(GetParam().output), 0u);
      EXPECT_EQ(os_.files.size(), 1u) << "a file made aside is left";
    }
  }

  void ExpectInputIntact() {
    EXPECT_EQ(os_.files[GetParam().image].data, GetParam().content);
    EXPECT_EQ(os_.files[GetParam().image].writes, 0);
  }
};

TEST_P(PatchFaultTest, EveryFailedCallEndsInItsStagesBlock) {
  std::vector<std::string> calls = CleanRun();
  ASSERT_GT(calls.size(), 8u);
  constexpr std::uint16_t kNoReason = 0;        // failed, saying no why
  constexpr std::uint16_t kExhausted = 0xFFFF;  // no code: memory runs out
  for (std::uint16_t code :
       {kFileNotFound, kAccessDenied, kInvalidHandle, kShortWrite,
        kWriteProtected, kGeneralFailure, kNoReason, kExhausted}) {
    for (std::size_t n = 1; n <= calls.size(); ++n) {
      // What a close refuses once the old copy is removed, or the new one
      // flushed and in place, puts nothing at risk.
      if (calls[n - 1].rfind("close", 0) == 0 &&
          (calls[n - 2].rfind("remove", 0) == 0 ||
           calls[n - 2].rfind("putinplace", 0) == 0)) {
        continue;
      }
      // No copy found is no failure: there is nothing to remove.
      if (code == kFileNotFound && calls[n - 1].rfind("opencopy", 0) == 0)
        continue;
      Reset();
      if (code == kExhausted) {
        os_.ExhaustMemoryAt(static_cast<int>(n));
      } else {
        os_.FailCall(static_cast<int>(n), code);
      }
      int status = Run();
      SCOPED_TRACE("call " + std::to_string(n) + " (" + calls[n - 1] +
                   ") fails with " +
                   (code == kExhausted ? "no memory" : std::to_string(code)));
      EXPECT_EQ(status, StageStatus(calls, n));
      EXPECT_EQ(console_.shown.find("successfully"), std::string::npos);
      ExpectOldCopyOrNone(calls, n);
      ExpectInputIntact();
    }
  }
}

TEST_P(PatchFaultTest, AShortWriteAnywhereIsNeverASuccess) {
  std::vector<std::string> calls = CleanRun();
  for (std::size_t n = 1; n <= calls.size(); ++n) {
    if (calls[n - 1].rfind("write", 0) != 0) continue;
    Reset();
    os_.ShortCall(static_cast<int>(n), 1);
    SCOPED_TRACE("short " + calls[n - 1]);
    EXPECT_EQ(Run(), 73);
    EXPECT_EQ(console_.Lines().back(),
              std::string("Can't create file ") + GetParam().output);
    ExpectInputIntact();
  }
}

TEST_P(PatchFaultTest, AShortReadAnywhereStillGivesTheWholeOutput) {
  std::vector<std::string> calls = CleanRun();
  std::string expected = os_.files[GetParam().output].data;
  for (std::size_t n = 1; n <= calls.size(); ++n) {
    if (calls[n - 1].rfind("read", 0) != 0) continue;
    for (std::size_t bytes : {1u, 3u, 7u}) {
      Reset();
      os_.ShortCall(static_cast<int>(n), bytes);
      SCOPED_TRACE(calls[n - 1] + " delivers " + std::to_string(bytes));
      EXPECT_EQ(Run(), 0);
      EXPECT_EQ(os_.files[GetParam().output].data, expected);
      ExpectInputIntact();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Patchers, PatchFaultTest,
                         ::testing::Values(Kind{"board.hex", kHexImage,
                                                PatchHexImage, "kestrel.hex"},
                                           Kind{"board.bin", kBinImage,
                                                PatchBinImage, "kestrel.bin"}),
                         [](const auto& test) {
                           return std::string(test.param.image) == "board.hex"
                                      ? "Hex"
                                      : "Bin";
                         });

}  // namespace
}  // namespace kestrel
