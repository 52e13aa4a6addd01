#include "cli/front_end.h"
#include "runtime/process.h"

int main(int argc, char** argv) {
  kestrel::RunTool(argc, argv, kestrel::RunFrontEnd);
}
