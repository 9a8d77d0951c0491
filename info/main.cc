#include "info_driver.h"

int main(int argc, char *argv[]) {
  return esimctl_info_main(argc, argv);
}
