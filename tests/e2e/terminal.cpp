#include "e2e/terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vterm.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kestrel::e2e {
namespace {

using Clock = std::chrono::steady_clock;

// Answers the emulator's replies (cursor reports and the like) back to the
// program, as a real terminal does.
void ReplyToProgram(const char* bytes, size_t size, void* user) {
  int master = *static_cast<int*>(user);
  while (size > 0) {
    ssize_t put = ::write(master, bytes, size);
    if (put <= 0) return;
    bytes += put;
    size -= static_cast<size_t>(put);
  }
}

// The command words from KESTREL_E2E_COMMAND.
std::vector<std::string> ToolCommand() {
  const char* command = std::getenv("KESTREL_E2E_COMMAND");
  if (command == nullptr || *command == '\0') {
    throw std::runtime_error("KESTREL_E2E_COMMAND is not set");
  }
  std::vector<std::string> words;
  std::istringstream split(command);
  for (std::string word; split >> word;) words.push_back(word);
  return words;
}

bool Set(const char* variable) {
  const char* set = std::getenv(variable);
  return set != nullptr && std::string(set) == "1";
}

}  // namespace

bool UnderWine() {
  static const bool wine = Set("KESTREL_E2E_WINE");
  return wine;
}

bool UnderQemu() {
  static const bool qemu = Set("KESTREL_E2E_QEMU");
  return qemu;
}

Terminal::Terminal() {
  vterm_ = vterm_new(kRows, kColumns);
  vterm_set_utf8(vterm_, 0);
  vterm_output_set_callback(vterm_, ReplyToProgram, &master_);
  vterm_screen_reset(vterm_obtain_screen(vterm_), 1);
}

Terminal::~Terminal() {
  if (child_ > 0 && status_ < 0) {
    ::kill(child_, SIGKILL);
    ::waitpid(child_, nullptr, 0);
  }
  if (master_ >= 0) ::close(master_);
  if (slave_ >= 0) ::close(slave_);
  vterm_free(vterm_);
}

void Terminal::Start(const std::vector<std::string>& arguments,
                     const RunOptions& options) {
  std::vector<std::string> words;
  if (options.background) {
    // A job-control shell puts the job in a process group of its own.
    words = {"/bin/sh", "-mc", "\"$@\" & wait $!", "sh"};
  } else if (options.open_files > 0) {
    words = {
        "/bin/sh", "-c",
        "ulimit -n " + std::to_string(options.open_files) + " && exec \"$@\"",
        "sh"};
  }
  if (!options.peak_file.empty() || options.address_space_kib > 0) {
    words.insert(
        words.end(),
        {KESTREL_PEAK_RSS, options.peak_file.empty() ? "-" : options.peak_file,
         std::to_string(options.address_space_kib)});
  }
  std::vector<std::string> tool = ToolCommand();
  words.insert(words.end(), tool.begin(), tool.end());
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  std::string slave_name;
  if (options.mode != RunOptions::Mode::kNoTerminal) {
    struct winsize size = {};
    size.ws_row = kRows;
    size.ws_col = kColumns;
    if (::openpty(&master_, &slave_, nullptr, nullptr, &size) != 0) {
      throw std::runtime_error("openpty failed");
    }
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
    slave_name = ::ptsname(master_);
    // The new session's first terminal opened becomes its controlling one.
    posix_spawn_file_actions_addopen(&actions, 0, slave_name.c_str(), O_RDWR,
                                     0);
    posix_spawn_file_actions_adddup2(&actions, 0, 1);
    posix_spawn_file_actions_adddup2(&actions, 0, 2);
    if (options.mode == RunOptions::Mode::kNoKeyboard) {
      posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (options.close_stderr) {
      posix_spawn_file_actions_addclose(&actions, 2);
    } else {
      posix_spawn_file_actions_addopen(&actions, 2,
                                       options.stderr_file.empty()
                                           ? "/dev/null"
                                           : options.stderr_file.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
  }
  if (!options.stdout_file.empty()) {
    posix_spawn_file_actions_addopen(&actions, 1, options.stdout_file.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  if (!options.directory.empty()) {
    posix_spawn_file_actions_addchdir_np(&actions, options.directory.c_str());
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  int failed = ::posix_spawnp(&child_, argv[0], &actions, &attributes,
                              argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) throw std::runtime_error("cannot start " + words[0]);
}

void Terminal::Type(const std::string& bytes) {
  ReplyToProgram(bytes.data(), bytes.size(), &master_);
}

void Terminal::Pump(std::chrono::milliseconds limit) {
  auto deadline = Clock::now() + limit;
  while (true) {
    if (status_ < 0) {
      int status = 0;
      if (::waitpid(child_, &status, WNOHANG) == child_) {
        status_ =
            WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
      }
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - Clock::now());
    // Once the tool has ended, what is still to come is read until the
    // terminal falls quiet: under wine the console's own process may still
    // be drawing.
    int wait_ms = status_ >= 0 ? (UnderWine() ? 50 : 0)
                               : static_cast<int>(std::max<long>(
                                     0, std::min<long>(left.count(), 20)));
    if (master_ >= 0) {
      struct pollfd ready = {master_, POLLIN, 0};
      if (::poll(&ready, 1, wait_ms) > 0 && (ready.revents & POLLIN) != 0) {
        char bytes[4096];
        ssize_t got = ::read(master_, bytes, sizeof bytes);
        if (got > 0) {
          output_.append(bytes, static_cast<size_t>(got));
          vterm_input_write(vterm_, bytes, static_cast<size_t>(got));
          continue;
        }
      }
    } else if (wait_ms > 0) {
      ::usleep(static_cast<useconds_t>(wait_ms) * 1000);
    }
    if (status_ >= 0 || Clock::now() >= deadline) return;
  }
}

bool Terminal::WaitForText(const std::string& text,
                           std::chrono::milliseconds limit) {
  auto deadline = Clock::now() + limit;
  while (true) {
    for (const std::string& row : Screen()) {
      if (row.find(text) != std::string::npos) return true;
    }
    if (status_ >= 0 || Clock::now() >= deadline) return false;
    Pump(std::chrono::milliseconds(50));
  }
}

bool Terminal::StaysRunning(std::chrono::milliseconds period) {
  Pump(period);
  return status_ < 0;
}

int Terminal::Wait(std::chrono::milliseconds limit) {
  Pump(limit);
  if (status_ < 0) {
    ::kill(child_, SIGKILL);
    ::waitpid(child_, nullptr, 0);
    status_ = -2;
    return -1;
  }
  return status_;
}

void Terminal::Signal(int signal) { ::kill(child_, signal); }

void Terminal::HangUp() {
  ::close(master_);
  master_ = -1;
}

void Terminal::SetLineMode() {
  struct termios mode;
  ::tcgetattr(slave_, &mode);
  mode.c_lflag |= ICANON | ECHO | ISIG;
  mode.c_iflag |= IXON;
  ::tcsetattr(slave_, TCSANOW, &mode);
}

std::vector<std::string> Terminal::Screen() const {
  VTermScreen* screen = vterm_obtain_screen(vterm_);
  std::vector<std::string> rows;
  for (int row = 0; row < kRows; ++row) {
    char text[kColumns * 4 + 1];
    VTermRect rect = {row, row + 1, 0, kColumns};
    size_t size = vterm_screen_get_text(screen, text, sizeof text - 1, rect);
    std::string line(text, size);
    while (!line.empty() && line.back() == ' ') line.pop_back();
    rows.push_back(line);
  }
  while (!rows.empty() && rows.back().empty()) rows.pop_back();
  return rows;
}

int Terminal::UnreadInput() const {
  int waiting = 0;
  if (slave_ >= 0) ::ioctl(slave_, FIONREAD, &waiting);
  return waiting;
}

bool Terminal::InLineMode() const {
  // A native tool puts the mode back before it ends, and nothing else would
  // afterwards; under wine the console's own process does it, a little
  // after the program's end.
  auto deadline = Clock::now() + std::chrono::seconds(2);
  tcflag_t wanted = ICANON | ECHO | ISIG;
  struct termios mode;
  while (slave_ >= 0 && ::tcgetattr(slave_, &mode) == 0) {
    if ((mode.c_lflag & wanted) == wanted && (mode.c_iflag & IXON) != 0) {
      return true;
    }
    if (Clock::now() >= deadline) return false;
    ::usleep(10000);
  }
  return false;
}

ScratchDirectory::ScratchDirectory() {
  char pattern[] = "/tmp/kestrel-e2e-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code ignored;
  // Files made read-only by a test must not stop the clean-up.
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

void ScratchDirectory::Write(const std::string& name,
                             const std::string& content) const {
  std::ofstream out(File(name), std::ios::binary | std::ios::trunc);
  out << content;
}

std::string ScratchDirectory::Read(const std::string& name) const {
  return ReadFile(File(name));
}

bool ScratchDirectory::Exists(const std::string& name) const {
  return std::filesystem::exists(File(name));
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

}  // namespace kestrel::e2e
