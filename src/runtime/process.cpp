#include "runtime/process.h"

#include <cxxabi.h>

#include <cstdlib>
#include <new>
#include <typeinfo>

#include "runtime/failure.h"

namespace kestrel {
namespace {

std::vector<std::uint32_t> Relative(const std::vector<void*>& frames) {
  std::vector<std::uint32_t> relative;
  relative.reserve(frames.size());
  for (void* frame : frames)
    relative.push_back(platform::RelativeAddress(frame));
  return relative;
}

std::string CurrentExceptionTypeName() {
  const std::type_info* type = abi::__cxa_current_exception_type();
  if (type == nullptr) return "unknown";
  int status = 0;
  char* name = abi::__cxa_demangle(type->name(), nullptr, nullptr, &status);
  std::string result = status == 0 && name != nullptr ? name : type->name();
  std::free(name);
  return result;
}

}  // namespace

void ReportUnhandledFailure(const void* address, const std::string& message,
                            const std::vector<void*>& frames) {
  platform::WriteStandardOutput(
      UnhandledFailureReport(platform::RelativeAddress(address), message,
                             Relative(frames), platform::ReportFrameLimit()));
}

void ReportRunTimeError(int number, const void* address) {
  platform::WriteStandardOutput(RunTimeErrorReport(
      number, platform::RelativeAddress(address),
      Relative(platform::CaptureFrames(1)), platform::ReportFrameLimit()));
}

void RunBody(void (*body)()) {
  try {
    body();
  } catch (const Exception& failure) {
    ReportUnhandledFailure(failure.address(), failure.message(),
                           failure.frames());
    platform::ExitProcess(kStatusUnhandled);
  } catch (const std::bad_alloc&) {
    ReportUnhandledFailure(__builtin_return_address(0), FailureMessage(203),
                           platform::CaptureFrames(0));
    platform::ExitProcess(kStatusUnhandled);
  } catch (...) {
    ReportUnhandledFailure(__builtin_return_address(0),
                           "Exception object " + CurrentExceptionTypeName() +
                               " is not of class Exception.",
                           platform::CaptureFrames(0));
    platform::ExitProcess(kStatusUnhandled);
  }
  platform::ExitProcess(ExitStatus());
}

}  // namespace kestrel
