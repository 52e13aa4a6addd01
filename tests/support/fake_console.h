// A console that records what is shown and hands out typed keys.
#ifndef KESTREL_TESTS_SUPPORT_FAKE_CONSOLE_H_
#define KESTREL_TESTS_SUPPORT_FAKE_CONSOLE_H_

#include <string>
#include <vector>

#include "runtime/console.h"

namespace kestrel {

class FakeConsole final : public ConsoleDevice {
 public:
  std::string shown;                   // every byte handed over
  std::vector<std::string> handovers;  // one entry per hand-over
  std::string keys;                    // waiting to be taken
  bool keyboard = true;

  void Show(const char* data, std::size_t size) override {
    shown.append(data, size);
    handovers.emplace_back(data, size);
  }
  bool TakeKeys() override {
    if (keys.empty()) return false;
    keys.clear();
    return true;
  }
  bool HasKeyboard() override { return keyboard; }

  // What was shown, split at each CR LF.
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end;
         (end = shown.find("\r\n", start)) != std::string::npos;
         start = end + 2) {
      lines.push_back(shown.substr(start, end - start));
    }
    if (start < shown.size()) lines.push_back(shown.substr(start));
    return lines;
  }
};

}  // namespace kestrel

#endif  // KESTREL_TESTS_SUPPORT_FAKE_CONSOLE_H_
