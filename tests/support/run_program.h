// Runs a program to its end and collects what it printed.
#pragma once

#include <string>
#include <vector>

struct ProgramResult {
  int exit_status = -1;  // 0-255, or -1 when it did not exit normally
  std::string out;
  std::string err;
};

// Runs `argv` (argv[0] is the path; the program sees `argv0` as its name when
// given) with `env` added to the current environment.
ProgramResult run_program(const std::vector<std::string> &argv,
                          const std::vector<std::string> &env = {}, const char *argv0 = nullptr);

// The environment that runs esimctl with its waits shortened by `factor`.
std::vector<std::string> shortened_waits(double factor);
