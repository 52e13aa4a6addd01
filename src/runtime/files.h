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

// What both kinds of file hold: the handle, the name, and the file as it
// was when it was opened. A copy (a file created for writing) is written
// aside, under a lock that keeps every other run of the tool from the same
// place, and appears under its name only when it is kept, whole; thrown
// away before that, it is gone.
class HeldFile {
 public:
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;

  const std::string& name() const { return name_; }

 protected:
  HeldFile() = default;
  ~HeldFile();

  // Opens, checks and locks an existing file; a failure leaves its code
  // pending and the file closed.
  void OpenHeld(std::string_view name, OsAccess access);
  // Creates the copy aside, once what stands under its name (through its
  // links) is known not to be held by another program nor `image` under
  // any spelling, and to be removable; then removes that. A character
  // device is written directly. A failure leaves its code pending: one
  // before the removal leaves everything as it was, one after it no copy.
  void CreateHeld(std::string_view name, const HeldFile* image);
  // Closes the file; a copy is put in place, and a failure to do so leaves
  // its code pending and no copy.
  void Keep();
  // Closes the file and leaves no code: a copy not yet kept is gone, as if
  // it had never been begun.
  void ThrowAway();

  OsHandle handle_ = kNoHandle;
  std::string name_;
  OsFileInfo opened_;

 private:
  friend bool UnchangedSinceOpened(const HeldFile&);
  friend std::uint64_t SizeWhenOpened(const HeldFile&);
  friend void ThrowAway(HeldFile&);

  bool CreateAside(Os& os, std::uint16_t* code);
  bool PutInPlace(Os& os, std::uint16_t* code);
  void DropLock(Os& os);

  std::string path_;        // where the copy goes, its links followed
  bool aside_ = false;      // a copy on its way, put in place when kept
  bool placed_ = false;     // in place, but its folder not yet flushed
  std::string aside_name_;  // its hidden name; empty for an unnamed file
  OsHandle lock_ = kNoHandle;
  std::string lock_name_;
};

// True when the file, still open, has the size and times it had when it
// was opened: no other program has rewritten or cut it since. A failure to
// look leaves its code pending.
bool UnchangedSinceOpened(const HeldFile& file);
// The file's size when it was opened.
std::uint64_t SizeWhenOpened(const HeldFile& file);
// Closes the file, dropping what is buffered, and leaves no code: a copy
// not yet closed is gone, as if it had never been begun.
void ThrowAway(HeldFile& file);

// A file read or written line by line through a buffer of 32 KiB: a few
// system calls for a whole image, and the same memory for any size of it
// (two buffers of 64 KiB would add 7% to the tool's memory).
// Letting it go without CloseText releases the handle but drops what is
// buffered.
class TextFile : public HeldFile {
 public:
  TextFile() = default;

  enum class Mode { kClosed, kReading, kWriting };
  static constexpr std::size_t kBufferSize = 32 << 10;

  // The state the file rules define (a failed open still records the
  // name); the tests read it.
  Mode mode() const { return mode_; }

 private:
  friend void OpenTextForRead(TextFile&, std::string_view);
  friend void CreateTextForWrite(TextFile&, std::string_view, const HeldFile*);
  friend std::string_view ReadTextLine(TextFile&, std::string&);
  friend void WriteTextLine(TextFile&, std::string_view);
  friend bool TextAtEnd(TextFile&);
  friend bool TextAtCtrlZ(const TextFile&);
  friend void CloseText(TextFile&);
  friend bool CopyTextLines(TextFile&, TextFile&,
                            bool (*)(std::string_view, void*), void*);

  void Open(std::string_view name, Mode mode, const HeldFile* image);
  bool Refill();
  void Flush();

  Mode mode_ = Mode::kClosed;
  bool device_ = false;
  // Left uninitialised: only what is used is touched.
  char buffer_[kBufferSize];
  std::size_t position_ = 0;  // next byte to read or write
  std::size_t valid_ = 0;     // bytes read into the buffer
};

// Opens an existing file for reading.
void OpenTextForRead(TextFile& file, std::string_view name);
// Creates the copy `name` for writing, aside until it is closed; it may
// never be `image`.
void CreateTextForWrite(TextFile& file, std::string_view name,
                        const HeldFile* image = nullptr);
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
// True when TextAtEnd stopped at a Ctrl-Z rather than at the file's end.
bool TextAtCtrlZ(const TextFile& file);
// Writes out what is buffered and closes; a copy is then put in place.
void CloseText(TextFile& file);
// Copies the lines of `input` to `output` as a loop of TextAtEnd,
// ReadTextLine and WriteTextLine does, with the same system calls in the
// same order, and hands each line to `take` once it is written. Stops at
// the end of the input or at a pending code, and then answers true; or
// after the line `take` refuses, and then answers false.
bool CopyTextLines(TextFile& input, TextFile& output,
                   bool (*take)(std::string_view line, void* context),
                   void* context);

// A file moved in blocks of records with no buffer: one OS call a block.
class ByteFile : public HeldFile {
 public:
  bool is_open() const { return handle_ != kNoHandle; }

 private:
  friend void OpenByteFile(ByteFile&, std::string_view, std::size_t);
  friend void CreateByteFile(ByteFile&, std::string_view, std::size_t,
                             const HeldFile*);
  friend void ReadBlock(ByteFile&, void*, std::size_t, std::size_t*);
  friend void WriteBlock(ByteFile&, const void*, std::size_t, std::size_t*);
  friend void CloseByteFile(ByteFile&);

  void Open(std::string_view name, std::size_t record_size, bool create,
            const HeldFile* image);
  // One OS call moving `count` records; `short_code` when fewer arrive and
  // there is no place for the count.
  template <typename Move>
  void Transfer(std::size_t count, std::size_t* moved, std::uint16_t short_code,
                Move move);

  std::size_t record_size_ = 0;
};

// Opens an existing file for reading and writing, as every byte file is.
void OpenByteFile(ByteFile& file, std::string_view name,
                  std::size_t record_size);
// Creates the copy `name`, aside until it is closed; it may never be
// `image`.
void CreateByteFile(ByteFile& file, std::string_view name,
                    std::size_t record_size, const HeldFile* image = nullptr);
// Reads up to `count` records. With `delivered`, stores the number of whole
// records read and sets no code for a short read; without it, fewer than
// `count` records set code 100.
void ReadBlock(ByteFile& file, void* buffer, std::size_t count,
               std::size_t* delivered = nullptr);
// Writes `count` records. With `written`, stores the number of whole records
// written; without it, fewer than `count` set code 101.
void WriteBlock(ByteFile& file, const void* buffer, std::size_t count,
                std::size_t* written = nullptr);
// Closes; a copy is then put in place.
void CloseByteFile(ByteFile& file);

}  // namespace kestrel

#endif  // KESTREL_RUNTIME_FILES_H_
