#include "runtime/process.h"

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>
#include <typeinfo>

#include "runtime/arguments.h"
#include "runtime/console.h"
#include "runtime/exit_status.h"
#include "runtime/failure.h"
#include "runtime/failure_codes.h"
#include "runtime/faults.h"
#include "runtime/frames.h"
#include "runtime/report.h"
#include "runtime/standard_streams.h"

namespace kestrel {
namespace {

// A failure that is not the tool's own, reported where it was caught.
[[noreturn]] void EndUnhandled(const char* message) {
  void* frames[platform::kMaxFrames];
  std::size_t count = platform::CaptureFrames(1, frames, platform::kMaxFrames);
  ReportUnhandledFailure(__builtin_return_address(0), message, frames, count);
  EndProcess(kStatusUnhandled);
}

// Standard error is the last way left to tell the user; when it cannot be
// written either, the start-up report on standard output says why.
[[noreturn]] __attribute__((noinline)) void EndWithoutConsole(
    const char* message) {
  std::string line = std::string(message) + "\r\n";
  int failure = platform::WriteStandardError(line.data(), line.size());
  if (failure == 0) EndProcess(kStatusNoConsole);
  ReportRunTimeError(failure, __builtin_return_address(0));
  EndProcess(failure);
}

}  // namespace

void StartTool(int argc, char** argv) {
  SetArgumentTable(platform::ProgramFileName(argc, argv),
                   platform::ProgramArguments(argc, argv));
  SetArgumentsAsTyped(platform::ProgramArgumentsAsTyped());
  platform::RecordModules();
  if (const char* missing = platform::SetUpConsole()) {
    EndWithoutConsole(missing);
  }
  platform::InstallFaultHandlers();
}

void EndWithEscapedFailure() {
  try {
    throw;
  } catch (const Exception& failure) {
    ReportUnhandledFailure(failure.address(), failure.message().c_str(),
                           failure.frames().data(), failure.frames().size());
    EndProcess(kStatusUnhandled);
  } catch (const std::bad_alloc&) {
    EndUnhandled(FailureText(kOutOfMemory).c_str());
  } catch (...) {
    const std::type_info* type = abi::__cxa_current_exception_type();
    int demangled = -1;
    char* name = type != nullptr ? abi::__cxa_demangle(type->name(), nullptr,
                                                       nullptr, &demangled)
                                 : nullptr;
    char message[256];
    std::snprintf(message, sizeof message,
                  "Exception object %s is not of class Exception.",
                  demangled == 0 && name != nullptr ? name
                  : type != nullptr                 ? type->name()
                                                    : "unknown");
    std::free(name);
    EndUnhandled(message);
  }
}

void EndProcess(int status) {
  platform::ExitWithStatus(static_cast<std::uint8_t>(status & 0xFF));
}

}  // namespace kestrel
