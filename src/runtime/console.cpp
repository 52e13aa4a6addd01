#include "runtime/console.h"

#include <cstring>

namespace kestrel {
namespace {

constexpr std::size_t kBufferSize = 256;

struct ConsoleLayer {
  ConsoleDevice* device = nullptr;
  char buffer[kBufferSize];
  std::size_t used = 0;
  bool key_seen = false;
};

ConsoleLayer console;

void HandOver() {
  if (console.device != nullptr && console.used > 0) {
    console.device->Show(console.buffer, console.used);
  }
  console.used = 0;
}

}  // namespace

void InstallConsole(ConsoleDevice* device) {
  console.device = device;
  console.used = 0;
  console.key_seen = false;
}

void ConsoleWrite(std::string_view text) {
  while (!text.empty()) {
    std::size_t room = kBufferSize - console.used;
    std::size_t take = text.size() < room ? text.size() : room;
    std::memcpy(console.buffer + console.used, text.data(), take);
    console.used += take;
    text.remove_prefix(take);
    if (console.used == kBufferSize) HandOver();
  }
}

void ConsoleWriteLine(std::string_view text) {
  ConsoleWrite(text);
  ConsoleWrite("\r\n");
  HandOver();
}

void ConsoleWriteArgument(std::string_view text) {
  char shown[kBufferSize];
  while (!text.empty()) {
    std::size_t take = text.size() < sizeof shown ? text.size() : sizeof shown;
    for (std::size_t i = 0; i < take; ++i) {
      auto byte = static_cast<unsigned char>(text[i]);
      bool control = (byte < 32 && byte != '\t') || byte == 127;
      shown[i] = control ? '?' : text[i];
    }
    ConsoleWrite(std::string_view(shown, take));
    text.remove_prefix(take);
  }
}

bool KeyWaiting() {
  if (!console.key_seen && console.device != nullptr) {
    console.key_seen = console.device->TakeKeys();
  }
  return console.key_seen;
}

bool ConsoleHasKeyboard() {
  return console.device != nullptr && console.device->HasKeyboard();
}

}  // namespace kestrel
