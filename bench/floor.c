/* floor SIZE IN OUT: the least a sound copy in blocks of SIZE bytes can do.
 * It copies IN with one read and one write a block into an unnamed file in
 * the current folder, flushes it to the device, gives it the name OUT in
 * one step and flushes the folder: no reader ever sees half of OUT. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  size_t size = strtoul(argv[1], NULL, 10);
  int in = open(argv[2], O_RDONLY);
  int out = open(".", O_TMPFILE | O_WRONLY, 0666);
  int folder = open(".", O_RDONLY | O_DIRECTORY);
  char* block = malloc(size);
  if (in < 0 || out < 0 || folder < 0 || size == 0 || block == NULL) return 1;
  ssize_t got;
  while ((got = read(in, block, size)) > 0) {
    if (write(out, block, (size_t)got) != got) return 1;
  }
  char through[32], aside[64];
  snprintf(through, sizeof through, "/proc/self/fd/%d", out);
  snprintf(aside, sizeof aside, ".floor.%d", (int)getpid());
  return got < 0 || fsync(out) != 0 ||
         linkat(AT_FDCWD, through, AT_FDCWD, aside, AT_SYMLINK_FOLLOW) != 0 ||
         rename(aside, argv[3]) != 0 || fsync(folder) != 0;
}
