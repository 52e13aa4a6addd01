#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "runtime/console.h"

namespace kestrel {
namespace platform {

namespace {

struct termios saved_input_mode;
volatile sig_atomic_t input_mode_saved = 0;

// A byte of an echoed name must not drive the terminal: an escape sequence
// could clear the screen or retitle the window, and a bell would ring.
char Harmless(char c) {
  auto byte = static_cast<unsigned char>(c);
  bool moves_cursor = c == '\r' || c == '\n' || c == '\b' || c == '\t';
  return (byte < 32 && !moves_cursor) || byte == 127 ? '?' : c;
}

class TerminalConsole final : public ConsoleDevice {
 public:
  TerminalConsole(int out, bool keyboard) : out_(out), keyboard_(keyboard) {}

  // The terminal places, wraps and scrolls the text itself.
  void Show(const char* data, std::size_t size) override {
    char shown[256];
    while (size > 0) {
      std::size_t take = size < sizeof shown ? size : sizeof shown;
      for (std::size_t i = 0; i < take; ++i) shown[i] = Harmless(data[i]);
      if (!WriteAll(shown, take)) return;
      data += take;
      size -= take;
    }
  }

  // Takes every byte waiting, so that the key that ends a wait (and the
  // rest of an escape sequence) never reaches the shell.
  bool TakeKeys() override {
    if (!keyboard_) return false;
    bool any = false;
    char bytes[64];
    while (true) {
      ssize_t got = ::read(STDIN_FILENO, bytes, sizeof bytes);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return any;
      any = true;
    }
  }

  bool HasKeyboard() override { return keyboard_; }

 private:
  bool WriteAll(const char* data, std::size_t size) {
    while (size > 0) {
      ssize_t put = ::write(out_, data, size);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) return false;
      data += put;
      size -= static_cast<std::size_t>(put);
    }
    return true;
  }

  int out_;
  bool keyboard_;
};

// Every signal whose default action ends the process and that can be
// caught, but for the processor faults, which have their own report, and
// SIGPIPE, which the tool ignores so that a broken pipe is a failed write.
void InstallEndingSignalHandlers() {
  struct sigaction ending = {};
  ending.sa_handler = [](int signal) {
    RestoreConsole();
    // The default action is back and the signal is not blocked: raising it
    // again ends the process by it, so the caller still sees the signal.
    ::raise(signal);
  };
  ending.sa_flags = static_cast<int>(SA_RESETHAND | SA_NODEFER);
  sigemptyset(&ending.sa_mask);
  for (int signal : {
           SIGHUP,
           SIGINT,
           SIGQUIT,
           SIGTRAP,
           SIGABRT,
           SIGUSR1,
           SIGUSR2,
           SIGALRM,
           SIGTERM,
           SIGXCPU,
           SIGXFSZ,
           SIGVTALRM,
           SIGPROF,
           SIGIO,
           SIGSYS,
#ifdef SIGSTKFLT
           SIGSTKFLT,
#endif
#ifdef SIGPWR
           SIGPWR,
#endif
       }) {
    ::sigaction(signal, &ending, nullptr);
  }
  for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) {
    ::sigaction(signal, &ending, nullptr);
  }
}

}  // namespace

const char* SetUpConsole() {
  struct winsize size;
  int out = STDOUT_FILENO;
  if (::ioctl(out, TIOCGWINSZ, &size) != 0) {
    out = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (out < 0) return "No way to get the console handle";
    if (::ioctl(out, TIOCGWINSZ, &size) != 0) {
      return "No way to get console screen buffer info";
    }
  }
  // A background job still shows its messages, even where the terminal
  // stops background output, and puts a changed mode back even after it
  // was moved to the background.
  ::signal(SIGTTOU, SIG_IGN);

  // Only the terminal's foreground job may take its keys and change its
  // mode; a background job has no keyboard, like a batch job.
  bool keyboard = ::isatty(STDIN_FILENO) == 1 &&
                  ::tcgetpgrp(STDIN_FILENO) == ::getpgrp() &&
                  ::tcgetattr(STDIN_FILENO, &saved_input_mode) == 0;
  if (keyboard) {
    InstallEndingSignalHandlers();
    struct termios raw = saved_input_mode;
    raw.c_lflag &= ~static_cast<tcflag_t>(ISIG | ICANON | ECHO);
    // Ctrl+S and Ctrl+Q are keys like any other, not flow control.
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF);
    raw.c_cc[VMIN] = 0;  // reads return at once: the key test never blocks
    raw.c_cc[VTIME] = 0;
    input_mode_saved = ::tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    keyboard = input_mode_saved != 0;
  }

  static TerminalConsole console(out, keyboard);
  InstallConsole(&console);
  return nullptr;
}

void RestoreConsole() {
  if (input_mode_saved) ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_input_mode);
}

}  // namespace platform
}  // namespace kestrel
