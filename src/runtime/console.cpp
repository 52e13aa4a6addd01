#include "runtime/console.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "runtime/arguments.h"

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

// The length of the valid UTF-8 character `text` starts with; 0 for none.
std::size_t Utf8Length(std::string_view text) {
  auto at = [&](std::size_t i) {
    return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u;
  };
  unsigned lead = at(0);
  std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
  // The second byte's range rules out overlong forms, surrogates and
  // code points past U+10FFFF.
  unsigned low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
  unsigned high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
  if (lead < 0xC2 || lead > 0xF4 || at(1) < low || at(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (at(i) < 0x80 || at(i) > 0xBF) return 0;
  }
  return length;
}

bool HasBytesAbove127(std::string_view text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return (c & 0x80) != 0; });
}

void ConsoleWriteArgument(std::string_view text) {
  text = ArgumentAsTyped(text);
  using Controls = ConsoleDevice::Controls;
  Controls controls = console.device != nullptr && HasBytesAbove127(text)
                          ? console.device->controls()
                          : Controls::kAsciiOnly;
  std::string shown;
  shown.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    auto byte = static_cast<unsigned char>(text[i]);
    std::size_t length = 1;
    bool control = (byte < 32 && byte != '\t') || byte == 127;
    if (byte >= 0x80 && controls == Controls::kC1Bytes) {
      control = byte <= 0x9F;
    } else if (byte >= 0x80 && controls == Controls::kC1CodePoints) {
      length = Utf8Length(text.substr(i));
      control =
          length == 0 ||
          (byte == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F);
      if (length == 0) length = 1;
    }
    if (control) {
      shown += '?';
    } else {
      shown.append(text, i, length);
    }
    i += length;
  }
  ConsoleWrite(shown);
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
