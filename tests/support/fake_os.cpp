#include "support/fake_os.h"

#include <cstring>
#include <new>

#include "runtime/failure_codes.h"

namespace kestrel {
namespace {

void Describe(const FakeOs::File& file, bool link, OsFileInfo* info) {
  *info = OsFileInfo();
  info->type = link             ? OsFileType::kLink
               : file.directory ? OsFileType::kFolder
               : file.device    ? OsFileType::kCharacterDevice
                                : OsFileType::kDisk;
  info->device = 1;
  info->inode = static_cast<std::uint64_t>(file.id);
  info->size = file.data.size();
  info->modified = info->changed = file.changes;
  info->mode = file.mode;
  info->owner = file.owner;
  info->group = file.group;
  info->mount_root = file.mount_root;
}

std::string FolderKey(const std::string& folder) {
  if (folder.empty()) return ".";
  return folder.back() == '/' ? folder.substr(0, folder.size() - 1) : folder;
}

}  // namespace

bool FakeOs::Injected(const std::string& call, std::uint16_t* code) {
  if (!settled_) {
    settled_ = true;
    for (auto& [name, file] : files) {
      durable_names_[name] = IdOf(file);
      durable_data_[file.id] = file.data;
    }
  }
  calls.push_back(call);
  int n = static_cast<int>(calls.size());
  if (n == change_at_) ++files[changed_name_].changes;
  if (!replace_before_.empty() && call.rfind(replace_before_, 0) == 0) {
    files[replaced_name_].id = next_id_++;
    files[replaced_name_].link_to = replaced_link_;
    replace_before_.clear();
  }
  if (n == exhausted_at_) throw std::bad_alloc();
  auto failure = failures_.find(n);
  if (failure == failures_.end()) return false;
  *code = failure->second;
  return true;
}

std::map<std::string, std::string> FakeOs::Disk() const {
  std::map<std::string, std::string> disk;
  for (const auto& [name, id] : durable_names_) {
    auto data = durable_data_.find(id);
    disk[name] = data != durable_data_.end() ? data->second : "";
  }
  return disk;
}

std::size_t FakeOs::Allowed(std::size_t size) const {
  auto cap = short_calls_.find(static_cast<int>(calls.size()));
  return cap != short_calls_.end() && cap->second < size ? cap->second : size;
}

OsHandle FakeOs::Hold(const std::string& name, OsAccess access, bool aside) {
  IdOf(files[name]);
  handles_[next_handle_] = Open_{name, access, 0, false, aside};
  return next_handle_++;
}

FakeOs::File* FakeOs::Find(const std::string& path, bool follow) {
  if (path.empty() || path == "." || path.back() == '/') {
    File& folder = folders[FolderKey(path)];
    folder.directory = true;
    if (folder.mode == File().mode) folder.mode = 0755;
    IdOf(folder);
    return &folder;
  }
  auto file = files.find(path);
  for (const auto& [from, to] : spellings) {
    if (file == files.end() && path.rfind(from, 0) == 0)
      file = files.find(to + path.substr(from.size()));
  }
  for (int hops = 0; follow && file != files.end() &&
                     !file->second.link_to.empty() && hops < 40;
       ++hops) {
    file = files.find(file->second.link_to);
  }
  if (file == files.end()) return nullptr;
  IdOf(file->second);
  return &file->second;
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

bool FakeOs::Look(const std::string& path, bool follow, OsFileInfo* info,
                  std::uint16_t* code) {
  if (Injected("look " + path, code)) return false;
  File* file = Find(path, follow);
  if (file == nullptr) {
    *code = kFileNotFound;
    return false;
  }
  Describe(*file, !follow && !file->link_to.empty(), info);
  return true;
}

bool FakeOs::ReadLink(const std::string& path, std::string* target,
                      std::uint16_t* code) {
  if (Injected("readlink " + path, code)) return false;
  *target = files.at(path).link_to;
  return true;
}

bool FakeOs::FoldsCase(const std::string& folder, bool* folds,
                       std::uint16_t* code) {
  if (Injected("foldscase " + folder, code)) return false;
  *folds = folds_case;
  return true;
}

bool FakeOs::ListFolder(const std::string& folder,
                        std::vector<std::string>* names, std::uint16_t* code) {
  if (Injected("list " + folder, code)) return false;
  for (const auto& [name, file] : files) {
    if (FolderOf(name) == folder) names->push_back(BaseOf(name));
  }
  return true;
}

OsHandle FakeOs::TakeLock(const std::string& path, std::uint16_t* code) {
  if (Injected("takelock " + path, code)) return kNoHandle;
  if (files[path].held_elsewhere) {
    *code = kAccessDenied;
    return kNoHandle;
  }
  return Hold(path, OsAccess::kReadWrite, false);
}

bool FakeOs::DropLock(OsHandle lock, const std::string& path,
                      std::uint16_t* code) {
  bool failed = Injected("droplock " + std::to_string(lock), code);
  if (!failed) files.erase(path);
  handles_.erase(lock);
  return !failed;
}

OsHandle FakeOs::OpenCopy(const std::string& path, std::uint16_t* code) {
  if (Injected("opencopy " + path, code)) return kNoHandle;
  auto file = files.find(path);
  if (file == files.end()) {
    *code = kFileNotFound;
    return kNoHandle;
  }
  if (file->second.directory || file->second.read_only ||
      !file->second.link_to.empty()) {
    *code = kAccessDenied;
    return kNoHandle;
  }
  return Hold(path, OsAccess::kWrite, false);
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

bool FakeOs::Stat(OsHandle handle, OsFileInfo* info, std::uint16_t* code) {
  if (Injected("stat " + std::to_string(handle), code)) return false;
  Describe(At(handle), false, info);
  return true;
}

bool FakeOs::Remove(OsHandle handle, const std::string& path,
                    std::uint16_t* code) {
  if (Injected("remove " + std::to_string(handle) + " " + path, code))
    return false;
  if (files.erase(path) != 0) return true;
  *code = kFileNotFound;
  return false;
}

OsHandle FakeOs::CreateUnnamed(const std::string& folder, std::uint16_t* code) {
  if (Injected("createunnamed " + folder, code)) return kNoHandle;
  if (!unnamed) {
    *code = kNotSupported;
    return kNoHandle;
  }
  return Hold(folder + "#" + std::to_string(++unnamed_made_), OsAccess::kWrite,
              true);
}

OsHandle FakeOs::CreateHidden(const std::string& path, std::uint16_t* code) {
  if (Injected("createhidden " + path, code)) return kNoHandle;
  if (files.count(path) != 0) {
    *code = kFileExists;
    return kNoHandle;
  }
  return Hold(path, OsAccess::kWrite, false);
}

bool FakeOs::SetOwner(OsHandle handle, std::uint32_t owner, std::uint32_t group,
                      std::uint16_t* code) {
  if (Injected("setowner " + std::to_string(handle), code)) return false;
  At(handle).owner = owner;
  At(handle).group = group;
  return true;
}

bool FakeOs::SetMode(OsHandle handle, std::uint32_t mode, std::uint16_t* code) {
  if (Injected("setmode " + std::to_string(handle), code)) return false;
  if (user != 0 && At(handle).owner != user) {
    *code = kAccessDenied;
    return false;
  }
  At(handle).mode = mode;
  return true;
}

bool FakeOs::SyncData(OsHandle handle, std::uint16_t* code) {
  if (Injected("syncdata " + std::to_string(handle), code)) return false;
  durable_data_[At(handle).id] = At(handle).data;
  return true;
}

bool FakeOs::Link(OsHandle handle, const std::string& path,
                  std::uint16_t* code) {
  if (Injected("link " + std::to_string(handle) + " " + path, code))
    return false;
  if (files.count(path) != 0) {
    *code = kFileExists;
    return false;
  }
  Open_& open = handles_.at(handle);
  files[path] = files.at(open.name);
  files.erase(open.name);
  open.name = path;
  open.aside = false;
  return true;
}

bool FakeOs::Rename(OsHandle handle, const std::string& from,
                    const std::string& path, std::uint16_t* code) {
  if (Injected("rename " + std::to_string(handle) + " " + path, code))
    return false;
  if (files.count(path) != 0) {
    *code = kFileExists;
    return false;
  }
  files[path] = files.at(from);
  files.erase(from);
  handles_.at(handle).name = path;
  return true;
}

bool FakeOs::SyncFolder(const std::string& folder, OsHandle,
                        std::uint16_t* code) {
  if (Injected("syncfolder " + folder, code)) return false;
  for (auto name = durable_names_.begin(); name != durable_names_.end();) {
    name = FolderOf(name->first) == folder ? durable_names_.erase(name)
                                           : std::next(name);
  }
  for (auto& [name, file] : files) {
    if (FolderOf(name) == folder && name.find('#') == std::string::npos)
      durable_names_[name] = IdOf(file);
  }
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
  // The handle is gone even when the close reports a failure, and so is an
  // unnamed file never linked.
  bool failed = Injected("close " + std::to_string(handle), code);
  const Open_& open = handles_.at(handle);
  if (open.aside) files.erase(open.name);
  handles_.erase(handle);
  return !failed;
}

}  // namespace kestrel
