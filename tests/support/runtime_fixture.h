// Puts the fake OS and console in place for one test and takes them away.
#ifndef KESTREL_TESTS_SUPPORT_RUNTIME_FIXTURE_H_
#define KESTREL_TESTS_SUPPORT_RUNTIME_FIXTURE_H_

#include <gtest/gtest.h>

#include "runtime/failure.h"
#include "support/fake_console.h"
#include "support/fake_os.h"

namespace kestrel {

class RuntimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetOsForTest(&os_);
    InstallConsole(&console_);
    ThrowOnEndProcessForTest(true);
    PendingIoError = 0;
    SetExitStatus(0);
  }
  void TearDown() override {
    SetOsForTest(nullptr);
    InstallConsole(nullptr);
    ThrowOnEndProcessForTest(false);
    PendingIoError = 0;
  }

  FakeOs os_;
  FakeConsole console_;
};

}  // namespace kestrel

#endif  // KESTREL_TESTS_SUPPORT_RUNTIME_FIXTURE_H_
