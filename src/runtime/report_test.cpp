#include "runtime/report.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kestrel {
namespace {

// Addresses in no module, which the reports show as they are.
void* Address(std::uintptr_t value) { return reinterpret_cast<void*>(value); }

std::string collected;
std::vector<std::string> writes;
void Collect(const char* data, std::size_t size) {
  collected.append(data, size);
  writes.emplace_back(data, size);
}

class ReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    collected.clear();
    writes.clear();
  }
};

TEST_F(ReportTest, UnhandledFailureLinesEndInCrLfAndStopAtTheFrameLimit) {
  void* frames[] = {Address(0xAB), Address(0xCDEF0123), Address(0x1)};
  WriteUnhandledFailureReport(Collect, Address(0x1A2B), "Division by zero",
                              frames, 3, 2);
  EXPECT_EQ(collected,
            "An unhandled exception occurred at 0x00001A2B :\r\n"
            "Division by zero\r\n"
            "  0x00001A2B\r\n"
            "  0x000000AB\r\n"
            "  0xCDEF0123\r\n"
            "\r\n");
  // A line and its end in one write: another program's never cuts in.
  for (const std::string& write : writes)
    EXPECT_EQ(write.find("\r\n"), write.size() - 2) << write;
}

TEST_F(ReportTest, RunTimeErrorGivesTheNumberInDecimal) {
  WriteRunTimeErrorReport(Collect, 6, Address(0xFF), nullptr, 0, 9);
  EXPECT_EQ(collected, "Runtime error 6 at 0x000000FF\r\n  0x000000FF\r\n\r\n");
}

}  // namespace
}  // namespace kestrel
