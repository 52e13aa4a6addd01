#include "runtime/process.h"

#include <gtest/gtest.h>

#include "runtime/failure.h"

namespace kestrel {
namespace {

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
