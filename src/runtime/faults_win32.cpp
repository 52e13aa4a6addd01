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
// The thread that runs the tool, stopped when another one faults.
HANDLE main_thread = nullptr;
DWORD main_thread_id = 0;

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

// The executable's unwind table, recorded at start-up: the system's own
// look-up may take the loader's lock.
DWORD64 image_base = 0;
DWORD64 image_end = 0;
RUNTIME_FUNCTION* functions = nullptr;
DWORD function_count = 0;

void TakeUnwindTable() {
  const RecordedImage& image = Image();
  image_base = image.start;
  image_end = image.end;
  functions =
      static_cast<RUNTIME_FUNCTION*>(const_cast<void*>(image.functions));
  function_count =
      static_cast<DWORD>(image.function_bytes / sizeof(RUNTIME_FUNCTION));
}

// The table entry of the function holding `pc`; nullptr for a leaf.
RUNTIME_FUNCTION* LookUpFunction(DWORD64 pc) {
  auto offset = static_cast<DWORD>(pc - image_base);
  DWORD low = 0;
  DWORD high = function_count;
  while (low < high) {
    DWORD middle = low + (high - low) / 2;
    if (offset < functions[middle].BeginAddress) {
      high = middle;
    } else if (offset >= functions[middle].EndAddress) {
      low = middle + 1;
    } else {
      return &functions[middle];
    }
  }
  return nullptr;
}

bool InImage(DWORD64 pc) { return pc >= image_base && pc < image_end; }

// True when the eight bytes at `address` may be read: a smashed stack
// pointer must not fault the filter itself.
bool Readable(DWORD64 address) {
  MEMORY_BASIC_INFORMATION region;
  constexpr DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY |
                              PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE |
                              PAGE_EXECUTE_WRITECOPY;
  return VirtualQuery(reinterpret_cast<void*>(address), &region,
                      sizeof region) == sizeof region &&
         region.State == MEM_COMMIT && (region.Protect & kReadable) != 0 &&
         (region.Protect & PAGE_GUARD) == 0 &&
         address + 8 <=
             reinterpret_cast<DWORD64>(region.BaseAddress) + region.RegionSize;
}

// The return addresses of the frames that called the faulting one, unwound
// from the fault's own register state, as far as they lie in the image. A
// fault outside it (a jump to a wild address) is unwound as a leaf: what
// jumped there left its return address on top of the stack.
std::size_t FaultFrames(const CONTEXT& fault) {
  std::size_t count = 0;
  context = fault;
  bool first = true;
  while (count < kMaxFrames && (first || InImage(context.Rip))) {
    PRUNTIME_FUNCTION entry =
        InImage(context.Rip) ? LookUpFunction(context.Rip) : nullptr;
    first = false;
    if (entry == nullptr) {
      // A leaf function: the return address is on top of the stack.
      if (!Readable(context.Rsp)) break;
      context.Rip = *reinterpret_cast<DWORD64*>(context.Rsp);
      context.Rsp += 8;
      if (!InImage(context.Rip)) break;
    } else {
      void* handler_data = nullptr;
      DWORD64 establisher = 0;
      RtlVirtualUnwind(UNW_FLAG_NHANDLER, image_base, context.Rip, entry,
                       &context, &handler_data, &establisher, nullptr);
    }
    if (context.Rip == 0) break;
    fault_frames[count++] = reinterpret_cast<void*>(context.Rip);
  }
  return count;
}

LONG WINAPI OnFault(EXCEPTION_POINTERS* fault) {
  int number = FaultNumber(fault->ExceptionRecord->ExceptionCode);
  if (number == 0) return EXCEPTION_CONTINUE_SEARCH;  // left to the system
  // One report, by the first thread to fault: a fault inside the filter
  // itself gives it up; another thread's waits for the end it will bring.
  static volatile LONG reporter = 0;
  auto self = static_cast<LONG>(GetCurrentThreadId());
  LONG earlier = InterlockedCompareExchange(&reporter, self, 0);
  if (earlier == self) TerminateProcess(GetCurrentProcess(), kStatusUnhandled);
  if (earlier != 0) Sleep(INFINITE);
  // A fault on another thread (a control handler's) stops the main one,
  // which would go on writing into the report and end with its own status.
  if (GetCurrentThreadId() != main_thread_id) SuspendThread(main_thread);
  RestoreConsole();
  std::size_t count = FaultFrames(*fault->ContextRecord);
  ReportUnhandledFailure(fault->ExceptionRecord->ExceptionAddress,
                         FailureText(number).c_str(), fault_frames, count);
  // Nothing of the stopped thread's is run on the way out.
  TerminateProcess(GetCurrentProcess(), kStatusUnhandled);
  return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

void InstallFaultHandlers() {
  TakeUnwindTable();
  main_thread_id = GetCurrentThreadId();
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(),
                  &main_thread, THREAD_SUSPEND_RESUME, FALSE, 0);
  ULONG reserve = kFilterStack;
  SetThreadStackGuarantee(&reserve);
  SetUnhandledExceptionFilter(OnFault);
}

}  // namespace platform
}  // namespace kestrel
