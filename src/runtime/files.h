// Text files and byte files. No operation returns an error: a failing one
// leaves its code in PendingIoError, and while a code is pending every
// operation does nothing (TextAtEnd then answers true), except the
// ReadBlock and WriteBlock forms without a result place, which replace the
// pending code with 100 or 101. Files are held without sharing.
#ifndef KESTREL_RUNTIME_FILES_H_
#define KESTREL_RUNTIME_FILES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/os.h"

namespace kestrel {

// A file read or written line by line through a 256-byte buffer. Letting
// it go without CloseText releases the handle but drops what is buffered.
class TextFile {
 public:
  TextFile() = default;
  TextFile(const TextFile&) = delete;
  TextFile& operator=(const TextFile&) = delete;
  ~TextFile();

  enum class Mode { kClosed, kReading, kWriting };
  static constexpr std::size_t kBufferSize = 256;

  // The state the file rules define (a failed open still records the
  // name); the tests read it.
  Mode mode() const { return mode_; }
  const std::string& name() const { return name_; }

 private:
  friend void OpenTextForRead(TextFile&, std::string_view);
  friend void CreateTextForWrite(TextFile&, std::string_view);
  friend std::string_view ReadTextLine(TextFile&, std::string&);
  friend void WriteTextLine(TextFile&, std::string_view);
  friend bool TextAtEnd(TextFile&);
  friend void CloseText(TextFile&);

  bool Refill();
  void Flush();

  OsHandle handle_ = kNoHandle;
  Mode mode_ = Mode::kClosed;
  bool device_ = false;
  std::string name_;
  char buffer_[kBufferSize] = {};
  std::size_t position_ = 0;  // next byte to read or write
  std::size_t valid_ = 0;     // bytes read into the buffer
};

// Opens an existing file for reading.
void OpenTextForRead(TextFile& file, std::string_view name);
// Creates the file, or empties it once it is held, for writing.
void CreateTextForWrite(TextFile& file, std::string_view name);
// The next line without its end: LF, CR LF or a lone CR. At the end of the
// file, the empty text and no code.
std::string ReadTextLine(TextFile& file);
// The same, seen where it lies: in the file's buffer, or in `scratch` when
// it does not lie there whole. Valid until the next operation on `file` or
// `scratch`; a copy loop then neither copies nor allocates a line.
std::string_view ReadTextLine(TextFile& file, std::string& scratch);
// Writes `text` and CR LF.
void WriteTextLine(TextFile& file, std::string_view text);
// True when no byte remains or the next one is Ctrl-Z.
bool TextAtEnd(TextFile& file);
// Writes out what is buffered and closes.
void CloseText(TextFile& file);

// A file moved in blocks of records with no buffer: one OS call a block.
class ByteFile {
 public:
  ByteFile() = default;
  ByteFile(const ByteFile&) = delete;
  ByteFile& operator=(const ByteFile&) = delete;
  ~ByteFile();

  bool is_open() const { return handle_ != kNoHandle; }

 private:
  friend void OpenByteFile(ByteFile&, std::string_view, std::size_t);
  friend void CreateByteFile(ByteFile&, std::string_view, std::size_t);
  friend void ReadBlock(ByteFile&, void*, std::size_t, std::size_t*);
  friend void WriteBlock(ByteFile&, const void*, std::size_t, std::size_t*);
  friend void CloseByteFile(ByteFile&);

  void Open(std::string_view name, std::size_t record_size, bool create);
  // One OS call moving `count` records; `short_code` when fewer arrive and
  // there is no place for the count.
  template <typename Move>
  void Transfer(std::size_t count, std::size_t* moved, std::uint16_t short_code,
                Move move);

  OsHandle handle_ = kNoHandle;
  std::size_t record_size_ = 0;
  std::string name_;
};

// Opens an existing file for reading and writing, as every byte file is.
void OpenByteFile(ByteFile& file, std::string_view name,
                  std::size_t record_size);
// Creates the file, or empties it once it is held, for reading and writing.
void CreateByteFile(ByteFile& file, std::string_view name,
                    std::size_t record_size);
// Reads up to `count` records. With `delivered`, stores the number of whole
// records read and sets no code for a short read; without it, fewer than
// `count` records set code 100.
void ReadBlock(ByteFile& file, void* buffer, std::size_t count,
               std::size_t* delivered = nullptr);
// Writes `count` records. With `written`, stores the number of whole records
// written; without it, fewer than `count` set code 101.
void WriteBlock(ByteFile& file, const void* buffer, std::size_t count,
                std::size_t* written = nullptr);
void CloseByteFile(ByteFile& file);

}  // namespace kestrel

#endif  // KESTREL_RUNTIME_FILES_H_
