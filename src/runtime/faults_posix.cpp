#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include "runtime/console.h"
#include "runtime/exit_status.h"
#include "runtime/failure_codes.h"
#include "runtime/faults.h"
#include "runtime/frames.h"
#include "runtime/os.h"
#include "runtime/report.h"

namespace kestrel {
namespace platform {
namespace {

// The handler may run on a broken heap or an exhausted stack: it runs on a
// stack of its own and calls nothing that allocates or takes a lock (the
// modules were recorded at start-up; the unwinder finds its tables through
// the C library's lock-free _dl_find_object).
char fault_stack[64 * 1024];
void* fault_frames[kMaxFrames];
struct sigaction fault_action;
// The fault signals the caller ignored: a copy sent by a process stays
// ignored, as every other ignored signal does.
sigset_t ignored_by_caller;

int FaultNumber(int signal, int code) {
  switch (signal) {
    case SIGSEGV:
    case SIGBUS:
      return kAccessViolation;
    case SIGFPE:
      switch (code) {
        case FPE_INTDIV:
        case FPE_FLTDIV:
          return kDivisionByZero;
        case FPE_INTOVF:
          return kArithmeticOverflow;
        case FPE_FLTOVF:
          return kFloatOverflow;
        case FPE_FLTUND:
          return kFloatUnderflow;
        case FPE_FLTSUB:
          return kRangeCheck;
        default:
          return kInvalidFloatOperation;
      }
    default:
      return kBadInstruction;
  }
}

// The faulting instruction, from the program counter in the signal's
// context. For a CPU not named here, si_addr stands in: right for SIGILL
// and SIGFPE, but for SIGSEGV and SIGBUS the data address, not the code's.
void* FaultAddress([[maybe_unused]] const siginfo_t* info, void* context) {
  [[maybe_unused]] auto* uc = static_cast<ucontext_t*>(context);
#if defined(__x86_64__)
  return reinterpret_cast<void*>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
  return reinterpret_cast<void*>(uc->uc_mcontext.pc);
#elif defined(__arm__)
  return reinterpret_cast<void*>(uc->uc_mcontext.arm_pc);
#else
  return info->si_addr;
#endif
}

void OnFault(int signal, siginfo_t* info, void* context) {
  if (info->si_code <= 0 && sigismember(&ignored_by_caller, signal)) {
    ::sigaction(signal, &fault_action, nullptr);
    return;
  }
  RemoveUnfinishedCopy();
  RestoreConsole();
  if (info->si_code <= 0) {
    // Sent by a process (kill, sigqueue, tgkill), not raised by a fault:
    // the default action is back, and the signal, pending until this
    // handler returns, ends the process by it.
    ::raise(signal);
    return;
  }
  void* address = FaultAddress(info, context);
  // A jump to a wild address (a smashed return address) leaves nothing to
  // unwind from: the unwinder would read the address to look for a signal
  // trampoline there and fault again. It is reported without frames.
  int count = InRecordedCode(address)
                  ? static_cast<int>(Backtrace(fault_frames, kMaxFrames))
                  : 0;
  // Skip this handler and the signal trampoline: the walk starts at the
  // caller of the faulting frame.
  int first = count;
  for (int i = 0; i < count; ++i) {
    if (fault_frames[i] == address) {
      first = i + 1;
      break;
    }
  }
  if (first == count) first = count < 2 ? count : 2;
  ReportUnhandledFailure(
      address, FailureText(FaultNumber(signal, info->si_code)).c_str(),
      fault_frames + first, static_cast<std::size_t>(count - first));
  ::_exit(kStatusUnhandled);
}

}  // namespace

void InstallFaultHandlers() {
  stack_t stack = {};
  stack.ss_sp = fault_stack;
  stack.ss_size = sizeof fault_stack;
  ::sigaltstack(&stack, nullptr);

  fault_action.sa_sigaction = OnFault;
  fault_action.sa_flags =
      static_cast<int>(SA_SIGINFO | SA_ONSTACK | SA_RESETHAND);
  sigemptyset(&fault_action.sa_mask);
  sigemptyset(&ignored_by_caller);
  for (int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) {
    struct sigaction previous;
    ::sigaction(signal, &fault_action, &previous);
    if (previous.sa_handler == SIG_IGN) sigaddset(&ignored_by_caller, signal);
  }
}

}  // namespace platform
}  // namespace kestrel
