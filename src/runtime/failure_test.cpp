#include "runtime/failure.h"

#include <gtest/gtest.h>

#include "runtime/failure_codes.h"

namespace kestrel {
namespace {

class CheckIoTest : public ::testing::Test {
 protected:
  void TearDown() override { PendingIoError = 0; }
};

TEST_F(CheckIoTest, PassesWhenNothingIsPending) {
  PendingIoError = 0;
  EXPECT_NO_THROW(CheckIo());
}

TEST_F(CheckIoTest, RaisesAnIoErrorForAFileCodeAndClearsIt) {
  PendingIoError = kFileNotFound;
  try {
    CheckIo();
    FAIL() << "no failure raised";
  } catch (const IoError& failure) {
    EXPECT_EQ(failure.message(), "File not found");
    EXPECT_EQ(PendingIoError, 0);
    EXPECT_NE(failure.address(), nullptr);
  }
}

TEST_F(CheckIoTest, OtherCodesRaiseTheBaseKindWithANumberedMessage) {
  PendingIoError = kWriteProtected;
  try {
    CheckIo();
    FAIL() << "no failure raised";
  } catch (const IoError&) {
    FAIL() << "a device error is no file code";
  } catch (const Exception& failure) {
    EXPECT_EQ(failure.message(), "Unknown Run-Time error : 150");
  }
}

TEST(FailureMessageTest, GivesTheTableTextOrTheZeroFilledNumber) {
  EXPECT_EQ(FailureMessage(5), "Access denied");
  EXPECT_EQ(FailureMessage(101), "Disk Full");
  EXPECT_EQ(FailureMessage(106), "Invalid input");
  EXPECT_EQ(FailureMessage(216), "Access violation");
  EXPECT_EQ(FailureMessage(7), "Unknown Run-Time error : 007");
  EXPECT_EQ(FailureMessage(1234), "Unknown Run-Time error : 1234");
}

}  // namespace
}  // namespace kestrel
