// Every OS call of a full HEX run and a full BIN run, with unnamed files and
// without, failed in turn with every error it can meet and by running out
// of memory: the run must end with the block and status of its stage, never
// print the success block, never touch its input, and leave the old copy as
// it was until the output stage removes it, and then no copy at all, nor
// any file made aside, nor its lock. And the power cut at every call.
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
  bool unnamed = true;  // the file system gives unnamed files
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
    os_.unnamed = GetParam().unnamed;
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
  // the input stage; until the copy's name is looked at, the serial stage
  // (only HEX reads its first line there); after that, the output stage.
  static int StageStatus(const std::vector<std::string>& calls, std::size_t n) {
    if (n <= First(calls, "lock")) return 66;
    return n < First(calls, "look") ? 64 : 73;
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

// What may fail and still leave a stamp: the close of a file whose work is
// done, the sweep of leftovers, the lock's removal, an owner or mode not
// given, a copy not found before the lock.
bool Harmless(const std::vector<std::string>& calls, std::size_t n,
              std::uint16_t code) {
  auto is = [&](std::size_t i, const char* call) {
    return calls[i - 1].rfind(call, 0) == 0;
  };
  bool placed = false, locked = false;
  for (std::size_t i = 1; i < n; ++i) {
    placed |= is(i, "link") || is(i, "rename");
    locked |= is(i, "takelock");
  }
  return (is(n, "look") && !locked && code == kFileNotFound) ||
         (is(n, "close") && (is(n - 1, "remove") || placed)) || is(n, "list") ||
         is(n, "droplock") ||
         ((is(n, "setowner") || is(n, "setmode")) && code == kAccessDenied);
}

TEST_P(PatchFaultTest, EveryFailedCallEndsInItsStagesBlock) {
  std::vector<std::string> calls = CleanRun();
  ASSERT_GT(calls.size(), 8u);
  constexpr std::uint16_t kNoReason = 0;        // failed, saying no why
  constexpr std::uint16_t kExhausted = 0xFFFF;  // no code: memory runs out
  for (std::uint16_t code :
       {kFileNotFound, kAccessDenied, kInvalidHandle, kShortWrite,
        kWriteProtected, kGeneralFailure, kNoReason, kExhausted}) {
    for (std::size_t n = 1; n <= calls.size(); ++n) {
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
      // Only the fake runs out of memory where nothing is at risk.
      if (Harmless(calls, n, code)) {
        EXPECT_TRUE(code == kExhausted || status == 0);
        continue;
      }
      EXPECT_EQ(status, StageStatus(calls, n));
      EXPECT_EQ(console_.shown.find("successfully"), std::string::npos);
      ExpectOldCopyOrNone(calls, n);
      ExpectInputIntact();
    }
  }
}

// The power cut as call n is made, where the run stops: before the copy is
// written, the old copy or none on the device; from then on, none or the
// whole new one; once the run has ended, the new one.
TEST_P(PatchFaultTest, APowerCutAnywhereLeavesTheOldCopyNoneOrTheNewOne) {
  std::vector<std::string> calls = CleanRun();
  std::string stamped = os_.files[GetParam().output].data;
  EXPECT_EQ(os_.Disk()[GetParam().output], stamped);
  for (std::size_t n = 1; n <= calls.size(); ++n) {
    Reset();
    os_.ExhaustMemoryAt(static_cast<int>(n));
    Run();
    auto disk = os_.Disk();
    auto copy = disk.find(GetParam().output);
    if (copy != disk.end() &&
        (n > First(calls, "write") || copy->second != kOldCopy)) {
      EXPECT_EQ(copy->second, stamped) << "cut at " << calls[n - 1];
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

INSTANTIATE_TEST_SUITE_P(
    Patchers, PatchFaultTest,
    ::testing::Values(
        Kind{"board.hex", kHexImage, PatchHexImage, "kestrel.hex"},
        Kind{"board.bin", kBinImage, PatchBinImage, "kestrel.bin"},
        Kind{"board.hex", kHexImage, PatchHexImage, "kestrel.hex", false},
        Kind{"board.bin", kBinImage, PatchBinImage, "kestrel.bin", false}),
    [](const auto& test) {
      return std::string(test.param.output == std::string("kestrel.hex")
                             ? "Hex"
                             : "Bin") +
             (test.param.unnamed ? "" : "WithoutUnnamedFiles");
    });

}  // namespace
}  // namespace kestrel
