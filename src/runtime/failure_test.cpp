#include "runtime/failure.h"

#include <gtest/gtest.h>

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
  PendingIoError = 2;
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
  PendingIoError = 150;
  try {
    CheckIo();
    FAIL() << "no failure raised";
  } catch (const IoError&) {
    FAIL() << "150 is no file code";
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

TEST(ReportTest, UnhandledFailureLinesEndInCrLfAndStopAtTheFrameLimit) {
  EXPECT_EQ(UnhandledFailureReport(0x1A2B, "Division by zero",
                                   {0xAB, 0xCDEF0123, 0x1}, 2),
            "An unhandled exception occurred at 0x00001A2B :\r\n"
            "Division by zero\r\n"
            "  0x00001A2B\r\n"
            "  0x000000AB\r\n"
            "  0xCDEF0123\r\n"
            "\r\n");
}

TEST(ReportTest, RunTimeErrorGivesTheNumberInDecimal) {
  EXPECT_EQ(RunTimeErrorReport(6, 0xFF, {}, 9),
            "Runtime error 6 at 0x000000FF\r\n  0x000000FF\r\n\r\n");
}

TEST(EndProcessTest, EndsWithTheStatusGivenWithoutUnwindingToHandlers) {
  ThrowOnEndProcessForTest(true);
  try {
    try {
      EndProcess(65);
    } catch (const Exception&) {
      ADD_FAILURE() << "a handler of the tool caught the end";
    }
  } catch (const ProcessEnded& end) {
    EXPECT_EQ(end.status, 65);
  }
  ThrowOnEndProcessForTest(false);
}

}  // namespace
}  // namespace kestrel
