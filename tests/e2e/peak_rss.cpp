// peak_rss FILE COMMAND...: runs COMMAND and writes its peak resident memory
// in KiB to FILE. A process inherits the peak of whatever it was forked
// from, so the tool must start from a process as small as this one.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  pid_t child = fork();
  if (child == 0) {
    execvp(argv[2], argv + 2);
    _exit(127);
  }
  int status = 0;
  struct rusage usage = {};
  if (child < 0 || wait4(child, &status, 0, &usage) != child) return 2;
  if (FILE* out = std::fopen(argv[1], "w")) {
    std::fprintf(out, "%ld\n", usage.ru_maxrss);
    std::fclose(out);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
