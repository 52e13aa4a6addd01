/* floor SIZE IN OUT: copies IN to OUT with one read and one write of at
 * most SIZE bytes per block, the least a copy in such blocks can do. */
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  size_t size = strtoul(argv[1], NULL, 10);
  int in = open(argv[2], O_RDONLY);
  int out = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC, 0666);
  char* block = malloc(size);
  if (in < 0 || out < 0 || size == 0 || block == NULL) return 1;
  ssize_t got;
  while ((got = read(in, block, size)) > 0) {
    if (write(out, block, (size_t)got) != got) return 1;
  }
  return got < 0;
}
