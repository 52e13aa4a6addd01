// Runs the built tool the way a person does: inside a pseudo-terminal,
// typing keys and reading the screen as a terminal emulator renders it.
// The tool's command comes from KESTREL_E2E_COMMAND, which may carry a prefix
// ("wine64 build-windows/kestrel.exe"), so one suite serves every build; the
// Windows build's tests also set KESTREL_E2E_WINE=1, the ARM builds'
// KESTREL_E2E_QEMU=1.
#ifndef KESTREL_TESTS_E2E_TERMINAL_H_
#define KESTREL_TESTS_E2E_TERMINAL_H_

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

struct VTerm;

namespace kestrel::e2e {

struct RunOptions {
  std::string directory;  // working directory of the tool
  // kTerminal: the pseudo-terminal is standard input, output and error.
  // kNoKeyboard: as kTerminal, but standard input is /dev/null.
  // kNoTerminal: no controlling terminal at all; input is /dev/null.
  enum class Mode {
    kTerminal,
    kNoKeyboard,
    kNoTerminal
  } mode = Mode::kTerminal;
  std::string stdout_file;     // redirect standard output here
  std::string stderr_file;     // with kNoTerminal: standard error here
  bool close_stderr = false;   // with kNoTerminal: standard error closed
  std::string peak_file;       // write the tool's peak memory (KiB) here
  long address_space_kib = 0;  // limit the tool's address space to this
  int open_files = 0;          // limit the tool's open descriptors to this
  // With kTerminal: started by a job-control shell as a background job, so
  // that it is not in the terminal's foreground process group.
  bool background = false;
};

class Terminal {
 public:
  static constexpr int kRows = 25;
  static constexpr int kColumns = 80;

  Terminal();
  ~Terminal();
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  // Starts the tool with `arguments` after the command's own words.
  void Start(const std::vector<std::string>& arguments,
             const RunOptions& options = {});
  // Types bytes at the keyboard.
  void Type(const std::string& bytes);
  // Waits until the screen shows `text` somewhere; false on time-out.
  bool WaitForText(const std::string& text,
                   std::chrono::milliseconds limit = std::chrono::seconds(20));
  // Reads output for `period`; false if the tool ended meanwhile.
  bool StaysRunning(std::chrono::milliseconds period);
  // Waits for the end; the exit status, or -1 on time-out (the tool is
  // then killed), or 1000 + signal number when a signal ended it.
  int Wait(std::chrono::milliseconds limit = std::chrono::seconds(30));
  // Sends a signal to the tool.
  void Signal(int signal);
  // Closes the terminal's far end, as closing its window does.
  void HangUp();
  // Puts the terminal in line mode, as a shell does when a job stops.
  void SetLineMode();
  pid_t pid() const { return child_; }

  // The screen rows, trailing blanks removed, up to the last non-empty row.
  std::vector<std::string> Screen() const;
  // Everything the tool wrote to the terminal.
  const std::string& output() const { return output_; }
  // Bytes typed but never taken by the tool, still in the terminal's queue.
  int UnreadInput() const;
  // Whether the terminal is back in line mode with echo, signal keys and
  // flow control, waiting a moment for it.
  bool InLineMode() const;

 private:
  void Pump(std::chrono::milliseconds limit);

  int master_ = -1;
  int slave_ = -1;
  pid_t child_ = -1;
  int status_ = -1;
  std::string output_;
  VTerm* vterm_ = nullptr;
};

// True when the suite was set up to test the Windows build under wine.
bool UnderWine();

// True when the suite was set up to test a cross-built tool under qemu-user.
bool UnderQemu();

// Skips a case that wine or qemu cannot reproduce faithfully, saying why.
#define SKIP_UNDER_WINE(reason) \
  if (::kestrel::e2e::UnderWine()) GTEST_SKIP() << "under wine: " << (reason)
#define SKIP_UNDER_QEMU(reason) \
  if (::kestrel::e2e::UnderQemu()) GTEST_SKIP() << "under qemu: " << (reason)

// A scratch directory removed with everything in it at the end of scope.
class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  void Write(const std::string& name, const std::string& content) const;
  std::string Read(const std::string& name) const;
  bool Exists(const std::string& name) const;

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);

}  // namespace kestrel::e2e

#endif  // KESTREL_TESTS_E2E_TERMINAL_H_
