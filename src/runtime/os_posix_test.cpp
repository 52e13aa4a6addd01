#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "runtime/failure_codes.h"
#include "runtime/os.h"

namespace kestrel {
namespace {

TEST(IoCodeFromSystemErrorTest, MapsErrnoToTheToolsCodes) {
  EXPECT_EQ(IoCodeFromSystemError(ENOENT), kFileNotFound);
  EXPECT_EQ(IoCodeFromSystemError(ENOTDIR), kPathNotFound);
  EXPECT_EQ(IoCodeFromSystemError(EMFILE), kTooManyOpenFiles);
  EXPECT_EQ(IoCodeFromSystemError(ENFILE), kTooManyOpenFiles);
  EXPECT_EQ(IoCodeFromSystemError(EACCES), kAccessDenied);
  EXPECT_EQ(IoCodeFromSystemError(EPERM), kAccessDenied);
  EXPECT_EQ(IoCodeFromSystemError(EISDIR), kAccessDenied);
  EXPECT_EQ(IoCodeFromSystemError(EWOULDBLOCK), kAccessDenied);
  EXPECT_EQ(IoCodeFromSystemError(EBADF), kInvalidHandle);
  EXPECT_EQ(IoCodeFromSystemError(ENOSPC), kShortWrite);
  EXPECT_EQ(IoCodeFromSystemError(EROFS), kWriteProtected);
  EXPECT_EQ(IoCodeFromSystemError(EIO), kGeneralFailure);
  for (int other : {EINVAL, ENETDOWN, ENETUNREACH, ENXIO}) {
    EXPECT_EQ(IoCodeFromSystemError(static_cast<unsigned long>(other)),
              kGeneralFailure);
  }
}

class PosixOsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kestrel-os-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Make(const std::string& name, const std::string& content) {
    std::ofstream(dir_ + "/" + name) << content;
    return dir_ + "/" + name;
  }
  std::string dir_;
  Os& os_ = PlatformOs();
};

TEST_F(PosixOsTest, AFileWithoutWriteBitsIsReadOnlyEvenForRoot) {
  std::string path = Make("ro.bin", "data");
  ::chmod(path.c_str(), 0444);
  std::uint16_t code = 0;
  EXPECT_EQ(os_.Open(path, OsAccess::kReadWrite, &code), kNoHandle);
  EXPECT_EQ(code, kAccessDenied);
  OsHandle reading = os_.Open(path, OsAccess::kRead, &code);
  EXPECT_NE(reading, kNoHandle) << "reading needs no write bit";
  os_.Close(reading, &code);
}

TEST_F(PosixOsTest, ADirectoryIsNoFile) {
  std::uint16_t code = 0;
  EXPECT_EQ(os_.Open(dir_, OsAccess::kRead, &code), kNoHandle);
  EXPECT_EQ(code, kAccessDenied);
}

TEST_F(PosixOsTest, ASecondHoldOfTheSameFileIsRefusedAndNothingIsEmptied) {
  std::string path = Make("kestrel.hex", "image");
  std::uint16_t code = 0;
  OsHandle first = os_.Open(path, OsAccess::kRead, &code);
  ASSERT_TRUE(os_.Lock(first, &code));
  OsHandle second = os_.OpenCopy(path, &code);
  ASSERT_NE(second, kNoHandle) << "opening alone never empties";
  EXPECT_FALSE(os_.Lock(second, &code));
  EXPECT_EQ(code, kAccessDenied);
  os_.Close(second, &code);
  os_.Close(first, &code);
  EXPECT_EQ(std::filesystem::file_size(path), 5u);
}

TEST_F(PosixOsTest, WhereFlockGivesNoLockAtAllTheFileIsStillTaken) {
  // NFS refuses an exclusive lock on a file open only for reading with
  // EBADF; a descriptor that is only a path meets the same answer here.
  int path_only = ::open(Make("nfs.hex", "image").c_str(), O_PATH);
  std::uint16_t code = 0;
  EXPECT_TRUE(os_.Lock(path_only, &code));
  ::close(path_only);
}

TEST_F(PosixOsTest, ADeviceTakesTheCopyAndAFullOneReportsDiskFull) {
  std::uint16_t code = 0;
  OsHandle full = os_.OpenCopy("/dev/full", &code);
  ASSERT_NE(full, kNoHandle);
  OsFileInfo info;
  ASSERT_TRUE(os_.Stat(full, &info, &code));
  EXPECT_EQ(info.type, OsFileType::kCharacterDevice);
  EXPECT_EQ(os_.Write(full, "x", 1, &code), -1);
  EXPECT_EQ(code, kShortWrite);
  os_.Close(full, &code);
}

TEST_F(PosixOsTest, ALockFileMadeIsOpenToEveryUsersRunsWhateverTheUmask) {
  mode_t umask = ::umask(077);
  std::uint16_t code = 0;
  OsHandle lock = os_.TakeLock(dir_ + "/.kestrel.hex.lock", &code);
  ::umask(umask);
  EXPECT_EQ(std::filesystem::status(dir_ + "/.kestrel.hex.lock").permissions(),
            std::filesystem::perms(0666));
  os_.DropLock(lock, dir_ + "/.kestrel.hex.lock", &code);
}

// What a signal handler removes: the hidden copy, and never a file another
// program has put under its name since.
TEST_F(PosixOsTest, AfterASignalOnlyTheHiddenCopyItselfIsRemoved) {
  for (bool replaced : {false, true}) {
    std::string hidden = dir_ + "/.kestrel.hex.000001";
    std::uint16_t code = 0;
    OsHandle copy = os_.CreateHidden(hidden, &code);
    ASSERT_NE(copy, kNoHandle);
    if (replaced) ::rename(Make("theirs", "x").c_str(), hidden.c_str());
    platform::RemoveUnfinishedCopy();
    EXPECT_EQ(std::filesystem::exists(hidden), replaced);
    os_.Close(copy, &code);
    std::filesystem::remove(hidden);
  }
  // A copy put in place whose folder is not yet flushed goes too.
  std::uint16_t code = 0;
  OsHandle copy = os_.CreateHidden(dir_ + "/.kestrel.hex.000002", &code);
  ASSERT_TRUE(os_.Rename(copy, dir_ + "/.kestrel.hex.000002",
                         dir_ + "/kestrel.hex", &code));
  platform::RemoveUnfinishedCopy();
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/kestrel.hex"));
  os_.Close(copy, &code);
}

}  // namespace
}  // namespace kestrel
