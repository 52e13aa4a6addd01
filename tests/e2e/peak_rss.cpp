// peak_rss FILE LIMIT COMMAND...: runs COMMAND with its address space limited
// to LIMIT KiB (0: no limit) and writes its peak resident memory in KiB to
// FILE ("-": nowhere). A process inherits the peak of whatever it was forked
// from, so the tool must start from a process as small as this one.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  pid_t child = fork();
  if (child == 0) {
    rlim_t limit = std::strtoul(argv[2], nullptr, 10) * 1024;
    struct rlimit address_space = {limit, limit};
    if (limit > 0 && setrlimit(RLIMIT_AS, &address_space) != 0) _exit(126);
    execvp(argv[3], argv + 3);
    _exit(127);
  }
  int status = 0;
  struct rusage usage = {};
  if (child < 0 || wait4(child, &status, 0, &usage) != child) return 2;
  FILE* out = std::string(argv[1]) == "-" ? nullptr : std::fopen(argv[1], "w");
  if (out != nullptr) {
    std::fprintf(out, "%ld\n", usage.ru_maxrss);
    std::fclose(out);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
