// Preloaded into kestrel in the guest: prints a line on the marker port
// before and after each call that removes, links, renames or flushes, so
// that the host can cut the power at that moment. Nothing else changes.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

static void Mark(const char* what, const char* name, int result, int before) {
  static int port = -2;
  if (port == -2) port = open("/dev/ttyS1", O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (port < 0) return;
  char line[160];
  const char* slash = strrchr(name, '/');
  int length = before ? snprintf(line, sizeof line, "@K > %s %s\n", what,
                                 slash ? slash + 1 : name)
                      : snprintf(line, sizeof line, "@K < %s %s %d\n", what,
                                 slash ? slash + 1 : name, result);
  write(port, line, (size_t)length);
  tcdrain(port);  // out of the guest before the call goes on
}

static const char* Kind(int fd) {
  struct stat info;
  return fstat(fd, &info) == 0 && S_ISDIR(info.st_mode) ? "dir" : "file";
}

#define REAL(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))
#define MARKED(what, name, call)   \
  do {                             \
    Mark(what, name, 0, 1);        \
    int result = call;             \
    Mark(what, name, result, 0);   \
    return result;                 \
  } while (0)

int unlink(const char* path) { MARKED("unlink", path, REAL(unlink)(path)); }
int unlinkat(int dir, const char* path, int flags) {
  MARKED("unlink", path, REAL(unlinkat)(dir, path, flags));
}
int rename(const char* from, const char* to) {
  MARKED("rename", to, REAL(rename)(from, to));
}
int renameat(int a, const char* from, int b, const char* to) {
  MARKED("rename", to, REAL(renameat)(a, from, b, to));
}
int renameat2(int a, const char* from, int b, const char* to, unsigned flags) {
  MARKED("rename", to, REAL(renameat2)(a, from, b, to, flags));
}
int link(const char* from, const char* to) {
  MARKED("link", to, REAL(link)(from, to));
}
int linkat(int a, const char* from, int b, const char* to, int flags) {
  MARKED("link", to, REAL(linkat)(a, from, b, to, flags));
}
int fsync(int fd) { MARKED("fsync", Kind(fd), REAL(fsync)(fd)); }
int fdatasync(int fd) { MARKED("fsync", Kind(fd), REAL(fdatasync)(fd)); }
int syncfs(int fd) { MARKED("syncfs", Kind(fd), REAL(syncfs)(fd)); }
