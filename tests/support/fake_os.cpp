#include "support/fake_os.h"

#include <cstring>
#include <new>

#include "runtime/failure_codes.h"

namespace kestrel {

bool FakeOs::Injected(const std::string& call, std::uint16_t* code) {
  calls.push_back(call);
  if (static_cast<int>(calls.size()) == change_at_)
    ++files[changed_name_].changes;
  if (static_cast<int>(calls.size()) == exhausted_at_) throw std::bad_alloc();
  auto failure = failures_.find(static_cast<int>(calls.size()));
  if (failure == failures_.end()) return false;
  *code = failure->second;
  return true;
}

std::size_t FakeOs::Allowed(std::size_t size) const {
  auto cap = short_calls_.find(static_cast<int>(calls.size()));
  return cap != short_calls_.end() && cap->second < size ? cap->second : size;
}

OsHandle FakeOs::Hold(const std::string& name, OsAccess access, bool aside) {
  File& file = files[name];
  if (file.id == 0) file.id = next_id_++;
  handles_[next_handle_] = Open_{name, access, 0, false, aside};
  return next_handle_++;
}

OsHandle FakeOs::Open(const std::string& name, OsAccess access,
                      std::uint16_t* code) {
  if (Injected("open " + name, code)) return kNoHandle;
  auto file = files.find(name);
  if (file == files.end()) {
    *code = kFileNotFound;
    return kNoHandle;
  }
  if (file->second.directory || file->second.device ||
      (access != OsAccess::kRead && file->second.read_only)) {
    *code = kAccessDenied;
    return kNoHandle;
  }
  return Hold(name, access, false);
}

OsHandle FakeOs::OpenCopy(const std::string& name, OsCopyPlace* place,
                          std::uint16_t* code) {
  if (Injected("opencopy " + name, code)) return kNoHandle;
  place->path = name;
  place->linked = false;
  auto file = files.find(name);
  if (file != files.end() && !file->second.link_to.empty()) {
    place->path = file->second.link_to;
    place->linked = true;
    file = files.find(place->path);
  }
  if (file == files.end()) {
    *code = kFileNotFound;
    return kNoHandle;
  }
  if (file->second.directory || file->second.read_only) {
    *code = kAccessDenied;
    return kNoHandle;
  }
  return Hold(place->path, OsAccess::kWrite, false);
}

bool FakeOs::Lock(OsHandle handle, std::uint16_t* code) {
  if (Injected("lock " + std::to_string(handle), code)) return false;
  Open_& open = handles_.at(handle);
  bool held = files.at(open.name).held_elsewhere;
  for (const auto& [other, entry] : handles_) {
    if (other != handle && entry.name == open.name && entry.locked) held = true;
  }
  if (held) {
    *code = kAccessDenied;
    return false;
  }
  open.locked = true;
  return true;
}

bool FakeOs::Truncate(OsHandle handle, std::uint16_t* code) {
  if (Injected("truncate " + std::to_string(handle), code)) return false;
  File& file = files.at(handles_.at(handle).name);
  if (!file.device) file.data.clear();
  ++file.changes;
  return true;
}

void FakeOs::Describe(const File& file, OsFileInfo* info) {
  *info = OsFileInfo();
  info->type = file.device ? OsFileType::kCharacterDevice : OsFileType::kDisk;
  info->device = 1;
  info->inode = static_cast<std::uint64_t>(file.id);
  info->size = file.data.size();
  info->modified = info->changed = file.changes;
}

bool FakeOs::Stat(OsHandle handle, OsFileInfo* info, std::uint16_t* code) {
  if (Injected("stat " + std::to_string(handle), code)) return false;
  Describe(files.at(handles_.at(handle).name), info);
  return true;
}

bool FakeOs::Remove(OsHandle handle, const std::string& path,
                    std::uint16_t* code) {
  if (Injected("remove " + std::to_string(handle) + " " + path, code))
    return false;
  auto file = files.find(path);
  if (file == files.end() ||
      file->second.id != files.at(handles_.at(handle).name).id) {
    *code = kAccessDenied;
    return false;
  }
  files.erase(file);
  return true;
}

OsHandle FakeOs::CreateAside(const std::string& path, const OsFileInfo*,
                             std::uint16_t* code) {
  if (Injected("createaside " + path, code)) return kNoHandle;
  return Hold("." + path + ".aside", OsAccess::kWrite, true);
}

bool FakeOs::PutInPlace(OsHandle aside, const std::string& path,
                        std::uint16_t* code) {
  if (Injected("putinplace " + std::to_string(aside) + " " + path, code))
    return false;
  Open_& open = handles_.at(aside);
  files[path] = files.at(open.name);
  files.erase(open.name);
  open.name = path;
  open.aside = false;
  return true;
}

long FakeOs::Read(OsHandle handle, void* buffer, std::size_t size,
                  std::uint16_t* code) {
  if (Injected("read " + std::to_string(handle) + " " + std::to_string(size),
               code)) {
    return -1;
  }
  Open_& open = handles_.at(handle);
  const std::string& data = files.at(open.name).data;
  std::size_t left =
      open.position < data.size() ? data.size() - open.position : 0;
  std::size_t n = Allowed(size < left ? size : left);
  std::memcpy(buffer, data.data() + open.position, n);
  open.position += n;
  return static_cast<long>(n);
}

long FakeOs::Write(OsHandle handle, const void* buffer, std::size_t size,
                   std::uint16_t* code) {
  if (Injected("write " + std::to_string(handle) + " " + std::to_string(size),
               code)) {
    return -1;
  }
  Open_& open = handles_.at(handle);
  File& file = files.at(open.name);
  ++file.writes;
  ++file.changes;
  std::size_t n = Allowed(size);
  if (file.device) return static_cast<long>(n);
  if (file.data.size() < open.position + n) file.data.resize(open.position + n);
  std::memcpy(&file.data[open.position], buffer, n);
  open.position += n;
  return static_cast<long>(n);
}

bool FakeOs::Close(OsHandle handle, std::uint16_t* code) {
  // The handle is gone even when the close reports a failure, and so is a
  // file made aside and never put in place.
  bool failed = Injected("close " + std::to_string(handle), code);
  const Open_& open = handles_.at(handle);
  if (open.aside) files.erase(open.name);
  handles_.erase(handle);
  return !failed;
}

}  // namespace kestrel
