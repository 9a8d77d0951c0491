#include "dbshell.h"

int main(int argc, char *argv[]) {
  return dbshell_main(argc, argv);
}
