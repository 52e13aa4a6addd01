/* ptyrun COMMAND...: runs COMMAND in a new pseudo-terminal, reads all it
 * shows, and exits with its status. With PTYRUN_RSS_FILE set, writes the
 * command's peak resident memory in KiB there. Every command of the
 * benchmark runs inside this same wrapper. */
#include <pty.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utmp.h>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  int master, slave;
  struct winsize size = {25, 80, 0, 0};
  if (openpty(&master, &slave, NULL, NULL, &size) != 0) return 2;
  pid_t child = fork();
  if (child == 0) {
    close(master);
    login_tty(slave);
    execvp(argv[1], argv + 1);
    _exit(127);
  }
  close(slave);
  char buffer[4096];
  while (read(master, buffer, sizeof buffer) > 0) {
  }
  int status = 0;
  struct rusage usage;
  if (wait4(child, &status, 0, &usage) != child) return 2;
  const char* rss_file = getenv("PTYRUN_RSS_FILE");
  if (rss_file != NULL) {
    FILE* out = fopen(rss_file, "w");
    if (out != NULL) {
      fprintf(out, "%ld\n", usage.ru_maxrss);
      fclose(out);
    }
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
