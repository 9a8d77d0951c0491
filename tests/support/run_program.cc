#include "run_program.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "tool_state.h"

extern char **environ;

ProgramResult run_program(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                          const char *argv0) {
  ProgramResult result;
  TempDir dir;
  std::string out_path = dir.path() + "/out", err_path = dir.path() + "/err";

  std::vector<char *> args;
  args.push_back(const_cast<char *>(argv0 != nullptr ? argv0 : argv[0].c_str()));
  for (size_t i = 1; i < argv.size(); ++i) args.push_back(const_cast<char *>(argv[i].c_str()));
  args.push_back(nullptr);

  std::vector<std::string> env_text;
  for (char **e = environ; *e != nullptr; ++e) env_text.push_back(*e);
  for (const auto &e : env) env_text.push_back(e);
  std::vector<char *> envp;
  for (auto &e : env_text) envp.push_back(const_cast<char *>(e.c_str()));
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  pid_t pid;
  int rc = posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return result;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  result.out = read_file(out_path);
  result.err = read_file(err_path);
  return result;
}

std::vector<std::string> shortened_waits(double factor) {
  return {std::string("LD_PRELOAD=") + SLEEP_SHIM_LIB,
          "ESIMCTL_TIME_FACTOR=" + std::to_string(factor)};
}
