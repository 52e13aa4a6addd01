#include <windows.h>

#include "runtime/console.h"
#include "runtime/exit_status.h"
#include "runtime/failure_codes.h"
#include "runtime/faults.h"
#include "runtime/frames.h"
#include "runtime/report.h"

namespace kestrel {
namespace platform {
namespace {

// The filter may run on a broken heap or a nearly exhausted stack: the
// frames and the unwound context go into static storage, nothing it calls
// allocates, and start-up reserved stack for it.
void* fault_frames[kMaxFrames];
CONTEXT context;
constexpr ULONG kFilterStack = 32 * 1024;

int FaultNumber(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
      return kAccessViolation;
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
      return kDivisionByZero;
    case EXCEPTION_INT_OVERFLOW:
      return kArithmeticOverflow;
    case EXCEPTION_FLT_OVERFLOW:
      return kFloatOverflow;
    case EXCEPTION_FLT_UNDERFLOW:
      return kFloatUnderflow;
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_STACK_CHECK:
    case EXCEPTION_FLT_INEXACT_RESULT:
      return kInvalidFloatOperation;
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
      return kRangeCheck;
    case EXCEPTION_STACK_OVERFLOW:
      return kStackOverflow;
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_SINGLE_STEP:
      return kBadInstruction;
    default:
      return 0;
  }
}

// The return addresses of the frames that called the faulting one, unwound
// from the fault's own register state with the unwind tables of the image.
std::size_t FaultFrames(const CONTEXT& fault) {
  std::size_t count = 0;
  context = fault;
  while (count < kMaxFrames) {
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
    fault_frames[count++] = reinterpret_cast<void*>(context.Rip);
  }
  return count;
}

LONG WINAPI OnFault(EXCEPTION_POINTERS* fault) {
  int number = FaultNumber(fault->ExceptionRecord->ExceptionCode);
  if (number == 0) return EXCEPTION_CONTINUE_SEARCH;  // left to the system
  RestoreConsole();
  std::size_t count = FaultFrames(*fault->ContextRecord);
  ReportUnhandledFailure(fault->ExceptionRecord->ExceptionAddress,
                         FailureText(number).c_str(), fault_frames, count);
  ::ExitProcess(kStatusUnhandled);
}

}  // namespace

void InstallFaultHandlers() {
  ULONG reserve = kFilterStack;
  SetThreadStackGuarantee(&reserve);
  SetUnhandledExceptionFilter(OnFault);
}

}  // namespace platform
}  // namespace kestrel
