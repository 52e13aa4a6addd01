#include "runtime/process.h"

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <typeinfo>

#include "runtime/exit_status.h"
#include "runtime/failure.h"
#include "runtime/failure_codes.h"
#include "runtime/report.h"

namespace kestrel {
namespace {

int exit_status = 0;
bool throw_on_end = false;

// A failure that is not the tool's own, reported where it was caught.
[[noreturn]] void EndUnhandled(const char* message) {
  void* frames[platform::kMaxFrames];
  std::size_t count = platform::CaptureFrames(1, frames, platform::kMaxFrames);
  ReportUnhandledFailure(__builtin_return_address(0), message, frames, count);
  platform::ExitProcess(kStatusUnhandled);
}

}  // namespace

void RunBody(void (*body)()) {
  try {
    body();
  } catch (const Exception& failure) {
    ReportUnhandledFailure(failure.address(), failure.message().c_str(),
                           failure.frames().data(), failure.frames().size());
    platform::ExitProcess(kStatusUnhandled);
  } catch (const std::bad_alloc&) {
    EndUnhandled(FailureText(kOutOfMemory).c_str());
  } catch (...) {
    const std::type_info* type = abi::__cxa_current_exception_type();
    int status = -1;
    char* name = type != nullptr ? abi::__cxa_demangle(type->name(), nullptr,
                                                       nullptr, &status)
                                 : nullptr;
    char message[256];
    std::snprintf(message, sizeof message,
                  "Exception object %s is not of class Exception.",
                  status == 0 && name != nullptr ? name
                  : type != nullptr              ? type->name()
                                                 : "unknown");
    std::free(name);
    EndUnhandled(message);
  }
  platform::ExitProcess(ExitStatus());
}

void SetExitStatus(int status) { exit_status = status & 0xFF; }
int ExitStatus() { return exit_status; }

void EndProcess(int status) {
  if (throw_on_end) throw ProcessEnded{status & 0xFF};
  platform::ExitProcess(status & 0xFF);
}

void ThrowOnEndProcessForTest(bool on) { throw_on_end = on; }

}  // namespace kestrel
