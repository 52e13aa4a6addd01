// One finished run of the tool, the message blocks it prints, and a file
// held by another program.
#ifndef KESTREL_TESTS_E2E_TOOL_RUN_H_
#define KESTREL_TESTS_E2E_TOOL_RUN_H_

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "e2e/terminal.h"

namespace kestrel::e2e {

struct Finished {
  int status;
  std::vector<std::string> screen;
  long peak_kib;       // when RunOptions::peak_file was given
  std::string output;  // every byte the tool wrote to the terminal
};

// Runs the tool to its end in a terminal, in `directory`.
inline Finished RunToEnd(const std::vector<std::string>& arguments,
                         const std::string& directory,
                         RunOptions options = {}) {
  options.directory = directory;
  for (int attempt = 1;; ++attempt) {
    Terminal terminal;
    terminal.Start(arguments, options);
    int status = terminal.Wait();
    // About one wine start in a few thousand on a loaded machine fails to
    // map its shared user data (an address-space clash) and ends at once
    // with status 1, having drawn nothing; once in a full run here wine gave
    // the program no console at all, which ended it with status 6 and an
    // empty screen. Run in a terminal, the tool always shows something, so
    // a run that shows nothing is made again.
    if (terminal.Screen().empty() && attempt < 3 &&
        options.mode != RunOptions::Mode::kNoTerminal && UnderWine()) {
      std::fprintf(stderr, "wine drew nothing (status %d); run again\n",
                   status);
      continue;
    }
    long peak = options.peak_file.empty()
                    ? 0
                    : std::atol(ReadFile(options.peak_file).c_str());
    return {status, terminal.Screen(), peak, terminal.output()};
  }
}

// Holds a file open as another program on the line would: locked, or
// merely open (`flags` O_WRONLY: a program still writing it).
class HeldOpen {
 public:
  explicit HeldOpen(const std::string& path, int flags = O_RDONLY,
                    bool locked = true)
      : fd_(::open(path.c_str(), flags)) {
    EXPECT_GE(fd_, 0);
    if (locked) {
      EXPECT_EQ(::flock(fd_, LOCK_EX | LOCK_NB), 0);
    }
  }
  ~HeldOpen() { ::close(fd_); }
  HeldOpen(const HeldOpen&) = delete;
  HeldOpen& operator=(const HeldOpen&) = delete;

 private:
  int fd_;
};

// How far a large image's peak memory may exceed a small one's: a quarter
// of the 4 MiB images, so keeping an image in memory still shows. Under wine
// the process's own memory varies by a few hundred KiB from run to run.
constexpr long kMemorySlackKib = 1024;

using Lines = std::vector<std::string>;

// `lines` as the terminal shows them, long ones wrapped at the last column.
inline Lines Wrapped(const Lines& lines) {
  Lines rows;
  for (const std::string& line : lines) {
    std::size_t at = 0;
    do {
      rows.push_back(line.substr(at, Terminal::kColumns));
      at += Terminal::kColumns;
    } while (at < line.size());
  }
  return rows;
}

inline Lines UsageExamples(const std::string& last) {
  return {"Usage:   kestrel <filename> <serial number>",
          "Examples: kestrel 42_17kx.hex 001.234.567",
          "          kestrel 42_17kx.hex 001234567",
          "          kestrel 42_17kx.bin " + last};
}

inline Lines Join(Lines first, const Lines& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

inline Lines UsageBlock() {
  return Join(Join({"", "Kestrel Tool 2. Wrong number of parameters."},
                   UsageExamples("001234567")),
              {"Press any key to continue"});
}

inline Lines NotANumberBlock(const std::string& serial) {
  return Join({"", "Kestrel Tool 2. Inadequate parameter. " + serial +
                       " doesn't seem to be a number"},
              UsageExamples("001234567"));
}

inline Lines LengthBlock() {
  return Join({"", "Kestrel Tool 2. Second parameter length must be 9"},
              UsageExamples("00123"));
}

inline Lines ErrorBlock(const std::string& last) {
  return {"", "Kestrel Tool 2. **** Error ****", last};
}

inline Lines SuccessBlock(const std::string& output) {
  return {"", "Kestrel Tool 2. File " + output + " successfully created"};
}

}  // namespace kestrel::e2e

#endif  // KESTREL_TESTS_E2E_TOOL_RUN_H_
