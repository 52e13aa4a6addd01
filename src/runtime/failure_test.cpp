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

TEST(FailureTextTest, GivesTheTableTextOrTheZeroFilledNumber) {
  EXPECT_STREQ(FailureText(5).c_str(), "Access denied");
  EXPECT_STREQ(FailureText(101).c_str(), "Disk Full");
  EXPECT_STREQ(FailureText(106).c_str(), "Invalid input");
  EXPECT_STREQ(FailureText(216).c_str(), "Access violation");
  EXPECT_STREQ(FailureText(7).c_str(), "Unknown Run-Time error : 007");
  EXPECT_STREQ(FailureText(1234).c_str(), "Unknown Run-Time error : 1234");
}

}  // namespace
}  // namespace kestrel
