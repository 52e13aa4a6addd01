// Puts the fake OS and console in place for one test and takes them away.
#ifndef KESTREL_TESTS_SUPPORT_RUNTIME_FIXTURE_H_
#define KESTREL_TESTS_SUPPORT_RUNTIME_FIXTURE_H_

#include <gtest/gtest.h>

#include "support/fake_runtime.h"

namespace kestrel {

class RuntimeTest : public ::testing::Test {
 protected:
  void SetUp() override { InstallFakeRuntime(os_, console_); }
  void TearDown() override { RemoveFakeRuntime(); }

  FakeOs os_;
  FakeConsole console_;
};

}  // namespace kestrel

#endif  // KESTREL_TESTS_SUPPORT_RUNTIME_FIXTURE_H_
