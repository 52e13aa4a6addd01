#include <windows.h>

#include <string>
#include <vector>

#include "runtime/arguments.h"
#include "runtime/failure.h"
#include "runtime/os.h"
#include "runtime/process.h"

namespace kestrel {
namespace platform {

namespace {

constexpr int kMaxFrames = 258;

void WriteHandle(HANDLE handle, const std::string& text) {
  DWORD put = 0;
  WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &put,
            nullptr);
}

int FaultNumber(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
      return 216;
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
      return 200;
    case EXCEPTION_INT_OVERFLOW:
      return 215;
    case EXCEPTION_FLT_OVERFLOW:
      return 205;
    case EXCEPTION_FLT_UNDERFLOW:
      return 206;
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_STACK_CHECK:
    case EXCEPTION_FLT_INEXACT_RESULT:
      return 207;
    case EXCEPTION_FLT_DENORMAL_OPERAND:
      return 216;
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
      return 201;
    case EXCEPTION_STACK_OVERFLOW:
      return 202;
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_SINGLE_STEP:
      return 217;
    default:
      return 0;
  }
}

// The return addresses of the frames that called the faulting one, unwound
// from the fault's own register state with the unwind tables of the image.
std::vector<void*> FaultFrames(const CONTEXT& fault) {
  std::vector<void*> frames;
  CONTEXT context = fault;
  while (frames.size() < kMaxFrames) {
    DWORD64 base = 0;
    PRUNTIME_FUNCTION entry =
        RtlLookupFunctionEntry(context.Rip, &base, nullptr);
    if (entry == nullptr) {
      // A leaf function: the return address is on top of the stack.
      context.Rip = *reinterpret_cast<DWORD64*>(context.Rsp);
      context.Rsp += 8;
    } else {
      void* handler_data = nullptr;
      DWORD64 establisher = 0;
      RtlVirtualUnwind(UNW_FLAG_NHANDLER, base, context.Rip, entry, &context,
                       &handler_data, &establisher, nullptr);
    }
    if (context.Rip == 0) break;
    frames.push_back(reinterpret_cast<void*>(context.Rip));
  }
  return frames;
}

LONG WINAPI OnFault(EXCEPTION_POINTERS* fault) {
  int number = FaultNumber(fault->ExceptionRecord->ExceptionCode);
  if (number == 0) return EXCEPTION_CONTINUE_SEARCH;  // left to the system
  RestoreConsole();
  ReportUnhandledFailure(fault->ExceptionRecord->ExceptionAddress,
                         FailureMessage(number),
                         FaultFrames(*fault->ContextRecord));
  ::ExitProcess(kStatusUnhandled);
}

}  // namespace

std::vector<void*> CaptureFrames(int skip) {
  void* frames[kMaxFrames];
  USHORT count = RtlCaptureStackBackTrace(static_cast<DWORD>(skip + 1),
                                          kMaxFrames, frames, nullptr);
  return std::vector<void*>(frames, frames + count);
}

std::uint32_t RelativeAddress(const void* address) {
  HMODULE module = nullptr;
  auto value = reinterpret_cast<std::uintptr_t>(address);
  if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                             GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         static_cast<LPCSTR>(address), &module)) {
    value -= reinterpret_cast<std::uintptr_t>(module);
  }
  return static_cast<std::uint32_t>(value);
}

std::size_t ReportFrameLimit() {
  return GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_CHAR ? 9
                                                                        : 257;
}

void WriteStandardOutput(const std::string& text) {
  WriteHandle(GetStdHandle(STD_OUTPUT_HANDLE), text);
}

void ExitProcess(int status) {
  RestoreConsole();
  ::ExitProcess(static_cast<UINT>(status & 0xFF));
}

// Standard error is the last way left to tell the user; when it cannot be
// written either, the start-up report on standard output says why.
__attribute__((noinline)) void EndWithoutConsole(const char* message) {
  std::string line = std::string(message) + "\r\n";
  DWORD put = 0;
  HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  if (WriteFile(error, line.data(), static_cast<DWORD>(line.size()), &put,
                nullptr) &&
      put == line.size()) {
    ExitProcess(1);
  }
  DWORD reason = GetLastError();
  int number =
      put != 0
          ? 101
          : IoCodeFromSystemError(reason == 0 ? ERROR_INVALID_HANDLE : reason);
  ReportRunTimeError(number, __builtin_return_address(0));
  ExitProcess(number);
}

}  // namespace platform

void RunTool(int, char**, void (*body)()) {
  std::vector<std::string> words = SplitCommandLine(GetCommandLineA());
  if (!words.empty()) words.erase(words.begin());
  char program[MAX_PATH + 1] = {};
  GetModuleFileNameA(nullptr, program, MAX_PATH);
  SetArgumentTable(program, words);

  platform::SetUpConsole();
  SetUnhandledExceptionFilter(platform::OnFault);

  RunBody(body);
}

}  // namespace kestrel
