// test_pki DIR: writes the tests' certificate authority and server
// certificates into DIR (see test_pki.h), for scenarios run in a sandbox.
#include <cstdio>

#include "test_pki.h"

int main(int argc, char *argv[]) {
  if (argc != 2) {
    fprintf(stderr, "usage: test_pki DIR\n");
    return 2;
  }
  return make_test_pki(argv[1]) ? 0 : 1;
}
