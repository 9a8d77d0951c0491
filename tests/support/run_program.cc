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

  // A program built for another machine runs through the emulator, which
  // takes its name and the preloaded library as options of its own.
  std::vector<std::string> words = emulator_words();
  std::vector<std::string> env_text;
  for (char **e = environ; *e != nullptr; ++e) env_text.push_back(*e);
  for (const auto &e : env) {
    if (!words.empty() && e.rfind("LD_PRELOAD=", 0) == 0) {
      words.insert(words.end(), {"-E", e});
      continue;
    }
    env_text.push_back(e);
  }
  if (!words.empty()) words.insert(words.end(), {"-0", argv0 != nullptr ? argv0 : argv[0]});
  std::string path = words.empty() ? argv[0] : words[0];

  std::vector<char *> args;
  for (auto &w : words) args.push_back(const_cast<char *>(w.c_str()));
  if (words.empty())
    args.push_back(const_cast<char *>(argv0 != nullptr ? argv0 : argv[0].c_str()));
  else
    args.push_back(const_cast<char *>(argv[0].c_str()));
  for (size_t i = 1; i < argv.size(); ++i) args.push_back(const_cast<char *>(argv[i].c_str()));
  args.push_back(nullptr);
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
  int rc = posix_spawnp(&pid, path.c_str(), &actions, nullptr, args.data(), envp.data());
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

std::vector<std::string> emulator_words() {
  std::vector<std::string> words;
  std::string text = TARGET_EMULATOR;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find(' ', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) words.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return words;
}

void install_program(const std::string &program, const std::string &at) {
  std::vector<std::string> words = emulator_words();
  std::string script;
  if (words.empty()) {
    script = "cp '" + program + "' '" + at + "'";
  } else {
    // A wrapper that runs it through the emulator, since whoever starts it
    // (a shell, posix_spawn) runs on the build machine.
    std::string run;
    for (const auto &w : words) run += w + " ";
    script = "printf '#!/bin/sh\\nexec " + run + "%s \"$@\"\\n' '" + program + "' >'" + at +
             "' && chmod 755 '" + at + "'";
  }
  if (system(script.c_str()) != 0) abort();
}

std::vector<std::string> shortened_waits(double factor) {
  return {std::string("LD_PRELOAD=") + SLEEP_SHIM_LIB,
          "ESIMCTL_TIME_FACTOR=" + std::to_string(factor)};
}
