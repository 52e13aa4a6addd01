// How a file is held, and how a copy is made: which file the copy is,
// through which links, whether it may be removed, and the order of the
// steps that make it appear whole or not at all. The OS seam only carries
// them out, so that every decision here is what the tests exercise.
#include <cctype>
#include <cstdio>

#include "runtime/failure.h"
#include "runtime/failure_codes.h"
#include "runtime/files.h"

namespace kestrel {
namespace {

constexpr std::size_t kMaxNameLength = 255;
constexpr int kMaxHops = 40;  // as the kernel's own limit on a link chain
constexpr int kAsideTries = 100;
constexpr std::size_t kAsideDigits = 6;

// A call that failed without saying why still failed.
void Fail(std::uint16_t code) {
  if (PendingIoError == 0) PendingIoError = code != 0 ? code : kGeneralFailure;
}

bool Refuse(std::uint16_t* code) {
  *code = kAccessDenied;
  return false;
}

// The folder of `path` as a name that can be looked at.
std::string FolderToLook(const std::string& path) {
  std::string folder = FolderOf(path);
  return folder.empty() ? "." : folder;
}

// ".kestrel.hex." and six digits: a name that ends in neither hex nor bin,
// so that nothing that looks for images takes a copy on its way for one.
std::string AsidePrefix(const std::string& name) {
  return "." + BaseOf(name) + ".";
}

bool SameNameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// In a sticky folder that anyone may write to (/tmp), another user can
// plant a link: as fs.protected_symlinks does, and whether or not it is
// set, the link `path` there is followed only when it belongs to the
// running user or the folder's owner. Where it leads goes to *target.
bool MayFollow(Os& os, const std::string& path, const OsFileInfo& link,
               std::string* target, std::uint16_t* code) {
  OsFileInfo folder;
  if (!os.Look(FolderToLook(path), true, &folder, code)) return false;
  bool shared =
      (folder.mode & kOsSticky) != 0 && (folder.mode & kOsOthersWrite) != 0;
  if (shared && link.owner != os.UserId() && link.owner != folder.owner)
    return Refuse(code);
  return os.ReadLink(path, target, code);
}

// The links among the folders of `path` followed as realpath does, each
// checked as a hop is, so that the kernel follows none unchecked on the
// way to the place; the last name is left as it is, and so is the path
// where no link was found. A folder that cannot be looked at is taken as
// written: the system cannot go through it either.
bool FollowFolders(Os& os, std::string* path, int* hops, std::uint16_t* code) {
  bool followed = false;
  std::string done = path->compare(0, 1, "/") == 0 ? "/" : "";
  std::string rest = path->substr(done.size());
  for (std::size_t slash; (slash = rest.find('/')) != std::string::npos;) {
    std::string part = rest.substr(0, slash), target;
    rest.erase(0, slash + 1);
    bool above = done.empty() || (done.size() >= 3 &&
                                  done.compare(done.size() - 3, 3, "../") == 0);
    OsFileInfo link;
    std::uint16_t unseen = 0;
    if (part.empty() || part == ".") continue;
    if (part == ".." && !above) {
      if (done != "/") done = FolderOf(done.substr(0, done.size() - 1));
    } else if (part == ".." || !os.Look(done + part, false, &link, &unseen) ||
               link.type != OsFileType::kLink) {
      done += part + "/";
    } else if (++*hops > kMaxHops) {
      *code = kPathNotFound;
      return false;
    } else {
      if (!MayFollow(os, done + part, link, &target, code)) return false;
      followed = true;
      if (target.compare(0, 1, "/") == 0) done = "/";
      rest = target + "/" + rest;
    }
  }
  if (followed) *path = done + rest;
  return true;
}

// Where the file `name` is, or would be: its links followed hop by hop, so
// that the place is known even where nothing is there yet, every hop and
// every link among its folders checked.
// `there` tells what is at the place; when nothing is, *code is left at 2.
bool FindPlace(Os& os, const std::string& name, std::string* place,
               OsFileInfo* there, std::uint16_t* code) {
  *place = name;
  for (int hops = 0;; ++hops) {
    OsFileInfo& link = *there;
    std::string target;
    if (!FollowFolders(os, place, &hops, code)) return false;
    if (!os.Look(*place, false, &link, code)) {
      return *code == kFileNotFound;
    }
    if (link.type != OsFileType::kLink) return true;
    if (hops >= kMaxHops) {
      *code = kPathNotFound;
      return false;
    }
    if (!MayFollow(os, *place, link, &target, code)) return false;
    *place = !target.empty() && target[0] == '/' ? target
                                                 : FolderOf(*place) + target;
  }
}

// Removes `path` only while it still leads to the file `expected`, open as
// `handle`: a name can be changed under the tool, an identity cannot.
bool RemoveIfSame(Os& os, OsHandle handle, const OsFileInfo& expected,
                  const std::string& path, std::uint16_t* code) {
  OsFileInfo now;
  if (!os.Look(path, false, &now, code)) return false;
  if (now.type != OsFileType::kDisk || !SameFile(now, expected))
    return Refuse(code);
  return os.Remove(handle, path, code);
}

// The hidden copies of runs that were killed: only this tool's own names,
// only regular files, and only under the lock, when no other run can be
// writing one. A folder that cannot be listed keeps them.
void SweepLeftovers(Os& os, const std::string& folder,
                    const std::string& name) {
  std::vector<std::string> names;
  std::uint16_t ignored = 0;
  if (!os.ListFolder(folder, &names, &ignored)) return;
  std::string prefix = AsidePrefix(name);
  for (const std::string& entry : names) {
    if (entry.size() != prefix.size() + kAsideDigits ||
        entry.compare(0, prefix.size(), prefix) != 0 ||
        entry.find_first_not_of("0123456789", prefix.size()) !=
            std::string::npos) {
      continue;
    }
    OsFileInfo left;
    if (os.Look(folder + entry, false, &left, &ignored) &&
        left.type == OsFileType::kDisk) {
      os.Remove(kNoHandle, folder + entry, &ignored);
    }
  }
}

// Whether the old copy at `place` is the image under another spelling. An
// exFAT driver through FUSE gives each spelling of a name, and of a folder,
// its own inode number, and the image may be reached through another mount
// of the same volume: where the folder folds case and the names match
// ignoring case, the copy's hidden name `probe` is looked for in the
// image's folder, where it is found only when the two folders are one. An
// unnamed copy leaves no name to look for, but the file systems that give
// unnamed files number a folder the same under any spelling: there the
// folders' identities are compared. Where the tool cannot tell, it is the
// image.
bool IsTheImage(Os& os, const OsFileInfo& old, const std::string& place,
                const std::string& probe, const HeldFile& image,
                const OsFileInfo& image_info, std::uint16_t* code) {
  if (SameFile(old, image_info)) return true;
  bool folds = false;
  std::string image_place;
  OsFileInfo image_there;
  if (!os.FoldsCase(FolderToLook(place), &folds, code)) return true;
  if (!folds) return false;
  if (!FindPlace(os, image.name(), &image_place, &image_there, code))
    return true;
  if (!SameNameIgnoringCase(BaseOf(image_place), BaseOf(place))) return false;
  OsFileInfo image_folder, copy_folder;
  if (!probe.empty()) {
    return os.Look(FolderOf(image_place) + BaseOf(probe), false, &image_folder,
                   code) ||
           *code != kFileNotFound;
  }
  return !os.Look(FolderToLook(image_place), true, &image_folder, code) ||
         !os.Look(FolderToLook(place), true, &copy_folder, code) ||
         SameFile(image_folder, copy_folder);
}

// Whether the old copy's name may be removed at all, asked before anything
// is: a sticky folder keeps another user's file from all but its owner,
// the folder's and root; a file mounted on its name cannot be removed.
bool MayRemove(Os& os, const OsFileInfo& old, const std::string& place,
               std::uint16_t* code) {
  OsFileInfo folder;
  if (!os.Look(FolderToLook(place), true, &folder, code)) return false;
  std::uint32_t user = os.UserId();
  bool kept = (folder.mode & kOsSticky) != 0 && user != 0 &&
              old.owner != user && folder.owner != user;
  if (kept || old.mount_root || old.type != OsFileType::kDisk)
    return Refuse(code);
  return true;
}

}  // namespace

HeldFile::~HeldFile() { ThrowAway(); }

// A name too long for the table is refused whole: cut short, it would name
// another file.
void HeldFile::OpenHeld(std::string_view name, OsAccess access) {
  name_ = std::string(name);
  if (name_.size() > kMaxNameLength) return Fail(kPathNotFound);
  Os& os = CurrentOs();
  std::uint16_t code = 0;
  handle_ = os.Open(name_, access, &code);
  if (handle_ == kNoHandle) return Fail(code);
  if (!os.Stat(handle_, &opened_, &code) || !os.Lock(handle_, &code)) {
    ThrowAway();
    Fail(code);
  }
}

// Creates the file on its way: unnamed where the file system allows, else
// under a hidden name, a fresh number for each name found taken.
bool HeldFile::CreateAside(Os& os, std::uint16_t* code) {
  std::string folder = FolderOf(path_);
  handle_ = os.CreateUnnamed(folder, code);
  bool hidden = handle_ == kNoHandle && *code == kNotSupported;
  for (int attempt = 0; hidden && handle_ == kNoHandle && attempt < kAsideTries;
       ++attempt) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%06u", os.Ticket() % 1000000u);
    aside_name_ = folder + AsidePrefix(name_) + digits;
    *code = 0;
    handle_ = os.CreateHidden(aside_name_, code);
    if (handle_ == kNoHandle && *code != kFileExists) break;
  }
  if (handle_ == kNoHandle) {
    aside_name_.clear();
    return false;
  }
  aside_ = true;
  opened_ = OsFileInfo();  // not yet known
  return os.Stat(handle_, &opened_, code);
}

// The copy is made whole before anything of the old one is touched: the
// lock first, so that no other run works on the same place; then the old
// copy looked at (another program's); then the new one created aside, the
// old one told from the image under any spelling, and the new one given
// the old one's owner and mode; only then is the old one removed, its
// removal flushed, so that from the output stage on there is no earlier
// board's copy to be flashed, not even after a power cut. A link's target is
// removed, never emptied: its other names keep their data.
void HeldFile::CreateHeld(std::string_view name, const HeldFile* image) {
  name_ = std::string(name);
  if (name_.size() > kMaxNameLength) return Fail(kPathNotFound);
  Os& os = CurrentOs();
  std::uint16_t code = 0;
  OsFileInfo there;
  if (!FindPlace(os, name_, &path_, &there, &code)) return Fail(code);
  bool found = code != kFileNotFound;
  code = 0;
  if (found && there.type == OsFileType::kCharacterDevice) {
    // A device (/dev/null) takes the copy as it comes, with nothing made
    // aside nor removed.
    handle_ = os.OpenCopy(path_, &code);
    if (handle_ == kNoHandle) return Fail(code);
    if (!os.Stat(handle_, &opened_, &code)) {
      ThrowAway();
      Fail(code);
    }
    return;
  }
  std::string folder = FolderOf(path_);
  lock_name_ = folder + "." + BaseOf(name_) + ".lock";
  lock_ = os.TakeLock(lock_name_, &code);
  if (lock_ == kNoHandle) return Fail(code);
  // Another run may have put its copy in place, or a link may have been
  // changed, before the lock was had: what is there is looked at again
  // under it, and a place that moved to another folder is not this lock's.
  code = 0;
  if (!FindPlace(os, name_, &path_, &there, &code) ||
      (FolderOf(path_) != folder && !Refuse(&code))) {
    ThrowAway();
    return Fail(code);
  }
  found = code != kFileNotFound;
  code = 0;
  SweepLeftovers(os, folder, name_);
  OsFileInfo old;
  OsHandle old_handle = kNoHandle;
  bool ok = true;
  if (found) {
    old_handle = os.OpenCopy(path_, &code);
    ok = old_handle != kNoHandle || code == kFileNotFound;
  }
  bool had_old = old_handle != kNoHandle;
  if (ok && had_old) {
    ok = os.Stat(old_handle, &old, &code) && os.Lock(old_handle, &code) &&
         MayRemove(os, old, path_, &code);
  }
  if (ok) {
    code = 0;
    ok = CreateAside(os, &code);
  }
  // After the copy is made aside: its hidden name is what tells the image.
  if (ok && had_old && image != nullptr) {
    if (IsTheImage(os, old, path_, aside_name_, *image, image->opened_, &code))
      ok = Refuse(&code);
  }
  if (ok && had_old) {
    // As install and rsync do: the owner and mode where the tool may give
    // them. FAT mounted for everyone refuses both to all but root, and
    // gives every file its mount's mode anyway.
    ok = (os.SetOwner(handle_, old.owner, old.group, &code) ||
          code == kAccessDenied) &&
         (os.SetMode(handle_, old.mode & kOsModeBits, &code) ||
          code == kAccessDenied) &&
         RemoveIfSame(os, old_handle, old, path_, &code);
  }
  std::uint16_t ignored = 0;
  if (had_old) os.Close(old_handle, &ignored);
  if (ok && had_old) ok = os.SyncFolder(folder, handle_, &code);
  if (!ok) {
    ThrowAway();
    Fail(code);
  }
}

// The copy's data on the device before its name is, and its name before
// success is reported: a stick pulled at once still holds it whole. An
// unnamed file is linked straight to its name, so that a kill at any moment
// leaves no copy under another name.
bool HeldFile::PutInPlace(Os& os, std::uint16_t* code) {
  if (!os.SyncData(handle_, code)) return false;
  if (aside_name_.empty()) {
    if (!os.Link(handle_, path_, code)) return false;
  } else {
    OsFileInfo now;
    if (!os.Look(aside_name_, false, &now, code)) return false;
    // Another program took the hidden name away.
    if (!SameFile(now, opened_)) return Refuse(code);
    if (!os.Rename(handle_, aside_name_, path_, code)) return false;
  }
  bool renamed = !aside_name_.empty();
  aside_name_.clear();
  placed_ = true;
  // FAT writes a renamed file's entry from the file itself, not from its
  // folder: unflushed, a power cut leaves the name with no data.
  if (renamed && !os.SyncData(handle_, code)) return false;
  if (!os.SyncFolder(FolderOf(path_), handle_, code)) return false;
  aside_ = false;
  return true;
}

void HeldFile::Keep() {
  if (handle_ == kNoHandle) return;
  Os& os = CurrentOs();
  std::uint16_t code = 0;
  if (aside_) {
    // A copy that failed to be written whole never takes its name.
    if (PendingIoError == 0 && !PutInPlace(os, &code)) Fail(code);
    if (aside_) return ThrowAway();
    // Flushed and in place: what its close might say puts nothing at risk.
    os.Close(handle_, &code);
  } else if (!os.Close(handle_, &code)) {
    Fail(code);
  }
  handle_ = kNoHandle;
  DropLock(os);
}

void HeldFile::ThrowAway() {
  Os& os = CurrentOs();
  std::uint16_t ignored = 0;
  if (handle_ != kNoHandle) {
    // A hidden name whose file was not yet looked at was made by this run
    // a moment before, never over another file: it goes as it is. A copy
    // in place but not yet flushed there goes too: its name may not
    // outlast a power cut, and success was never reported.
    if (aside_ && !placed_ && !aside_name_.empty() && opened_.inode == 0) {
      os.Remove(handle_, aside_name_, &ignored);
    } else if (aside_ && (placed_ || !aside_name_.empty())) {
      RemoveIfSame(os, handle_, opened_, placed_ ? path_ : aside_name_,
                   &ignored);
    }
    os.Close(handle_, &ignored);
  }
  handle_ = kNoHandle;
  aside_name_.clear();
  aside_ = placed_ = false;
  DropLock(os);
}

void HeldFile::DropLock(Os& os) {
  std::uint16_t ignored = 0;
  if (lock_ != kNoHandle) os.DropLock(lock_, lock_name_, &ignored);
  lock_ = kNoHandle;
}

bool UnchangedSinceOpened(const HeldFile& file) {
  OsFileInfo now;
  std::uint16_t code = 0;
  if (!CurrentOs().Stat(file.handle_, &now, &code)) {
    Fail(code);
    return true;
  }
  return SameState(now, file.opened_);
}

std::uint64_t SizeWhenOpened(const HeldFile& file) { return file.opened_.size; }

void ThrowAway(HeldFile& file) { file.ThrowAway(); }

}  // namespace kestrel
