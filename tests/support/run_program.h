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

// The emulator that runs the tool's programs when they were built for another
// machine, as words (empty for a native build).
std::vector<std::string> emulator_words();

// Places `program` (one of the tool's own) at `at`: a copy, or for a build for
// another machine a script that runs it through the emulator.
void install_program(const std::string &program, const std::string &at);

// The environment that runs esimctl with its waits shortened by `factor`.
std::vector<std::string> shortened_waits(double factor);
