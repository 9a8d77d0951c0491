// Helpers for tests that call the tool's functions in-process.
#pragma once

#include <string>

// Puts every process-wide setting and buffer back to its start-up value,
// closing the channel device if a test left it open.
void reset_tool_state();

// Sends the run log to a private file for the life of the object.
class RunLogCapture {
 public:
  RunLogCapture();
  ~RunLogCapture();
  RunLogCapture(const RunLogCapture &) = delete;
  RunLogCapture &operator=(const RunLogCapture &) = delete;
  // Everything logged so far.
  std::string text() const;
  // Everything logged so far with the "[time]" stamps taken out: each entry
  // is then its message followed by the log's own line end.
  std::string messages() const;

 private:
  std::string path_;
};

// A private directory under /tmp, removed with its contents at the end.
// Its path is short enough to stand in for the channel device directory.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string &path() const { return path_; }

 private:
  std::string path_;
};

// Points the channel device directory at `dir` (at most 17 characters).
void use_device_dir(const std::string &dir);

std::string read_file(const std::string &path);
