// The text-file line reader over an in-memory file, with reads cut short
// at random: the lines it gives are the lines a reference splitter finds,
// and the copy loop writes what a loop of single operations writes, with
// the same system calls.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "runtime/failure.h"
#include "runtime/files.h"
#include "support/fake_os.h"

namespace {

// Copies image.hex to out.hex, every read and write cut to `cap` bytes, by
// the copy loop or by single operations: the copy, the code and the calls.
std::string Copy(const std::string& text, std::size_t cap, bool together) {
  kestrel::FakeOs os;
  os.files["image.hex"].data = text;
  for (int call = 1; cap > 0 && call < 8 + static_cast<int>(text.size());
       ++call)
    os.ShortCall(call, cap);
  kestrel::SetOsForTest(&os);
  kestrel::PendingIoError = 0;
  {
    kestrel::TextFile in, out;
    kestrel::OpenTextForRead(in, "image.hex");
    kestrel::CreateTextForWrite(out, "out.hex");
    std::string scratch;
    if (together)
      kestrel::CopyTextLines(
          in, out, [](auto, void*) { return true; }, nullptr);
    while (!together && !kestrel::TextAtEnd(in))
      kestrel::WriteTextLine(out, kestrel::ReadTextLine(in, scratch));
    kestrel::CloseText(out);
  }
  kestrel::SetOsForTest(nullptr);
  std::string result =
      os.files["out.hex"].data + std::to_string(kestrel::PendingIoError);
  for (const std::string& call : os.calls) result += "\n" + call;
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size < 1) return 0;
  // The first byte chooses how short the reads are.
  std::size_t cap = data[0] % 17;
  std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);

  kestrel::FakeOs os;
  os.files["image.hex"].data = text;
  for (int call = 3; cap > 0 && call < 3 + static_cast<int>(text.size()) + 4;
       ++call) {
    os.ShortCall(call, cap);
  }
  kestrel::SetOsForTest(&os);
  kestrel::PendingIoError = 0;
  std::vector<std::string> lines;
  {
    kestrel::TextFile file;
    kestrel::OpenTextForRead(file, "image.hex");
    while (!kestrel::TextAtEnd(file))
      lines.push_back(kestrel::ReadTextLine(file));
    FUZZ_ASSERT(kestrel::PendingIoError == 0);
    if (text.find('\x1a') == std::string::npos) {
      FUZZ_ASSERT(kestrel::ReadTextLine(file).empty());
      FUZZ_ASSERT(kestrel::PendingIoError == 0);
    }
    kestrel::CloseText(file);
  }
  kestrel::SetOsForTest(nullptr);
  FUZZ_ASSERT(lines == ReferenceLines(text, false));
  FUZZ_ASSERT(os.files["image.hex"].data == text);

  FUZZ_ASSERT(Copy(text, cap, true) == Copy(text, cap, false));
  return 0;
}
