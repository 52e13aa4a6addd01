/* floor8 IN OUT: copies IN to OUT with one 8-byte read and one write per
 * block, the least any 8-byte block copy can do. */
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  int in = open(argv[1], O_RDONLY);
  int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (in < 0 || out < 0) return 1;
  char block[8];
  ssize_t got;
  while ((got = read(in, block, sizeof block)) > 0) {
    if (write(out, block, (size_t)got) != got) return 1;
  }
  return got < 0;
}
