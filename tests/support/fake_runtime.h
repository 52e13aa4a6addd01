// Puts the fake OS and console in place of the real ones for the patchers.
#ifndef KESTREL_TESTS_SUPPORT_FAKE_RUNTIME_H_
#define KESTREL_TESTS_SUPPORT_FAKE_RUNTIME_H_

#include <string>

#include "runtime/failure.h"
#include "support/fake_console.h"
#include "support/fake_os.h"

namespace kestrel {

inline void InstallFakeRuntime(FakeOs& os, FakeConsole& console) {
  SetOsForTest(&os);
  InstallConsole(&console);
  PendingIoError = 0;
}

inline void RemoveFakeRuntime() {
  SetOsForTest(nullptr);
  InstallConsole(nullptr);
  PendingIoError = 0;
}

using Patcher = int (*)(const std::string& name, const std::string& serial);

}  // namespace kestrel

#endif  // KESTREL_TESTS_SUPPORT_FAKE_RUNTIME_H_
