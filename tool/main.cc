#include "driver.h"

int main(int argc, char *argv[]) {
  return esimctl_main(argc, argv);
}
