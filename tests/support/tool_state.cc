#include "tool_state.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

#include "at_exchange.h"
#include "globals.h"
#include "run_log.h"

void reset_tool_state() {
  release_channel();
  log_drop_entries(false);
  chan_id = 0;
  delete_mode = disable_flag = donot_delete_flag = 0;
  print_flag = 1;
  memset(active_code, 0, sizeof active_code);
  memset(iccid, 0, sizeof iccid);
  memset(log_file, 0, sizeof log_file);
  memset(at_status, 0, sizeof at_status);
  memset(at_http_path, 0, sizeof at_http_path);
  memset(at_payload, 0, sizeof at_payload);
  memset(at_http_ip, 0, sizeof at_http_ip);
  memset(req_id, 0, sizeof req_id);
  memset(http_payload, 0, sizeof http_payload);
  snprintf(dev_dir, sizeof dev_dir, "%s", ESIMCTL_DEV_DIR);
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

RunLogCapture::RunLogCapture() {
  char name[] = "/tmp/esimlogXXXXXX";
  int fd = mkstemp(name);
  if (fd < 0) abort();
  path_ = name;
  log_fd = fdopen(fd, "ab+");
}

RunLogCapture::~RunLogCapture() {
  if (log_fd != nullptr) fclose(log_fd);
  log_fd = nullptr;
  unlink(path_.c_str());
}

std::string RunLogCapture::text() const {
  return read_file(path_);
}

std::string RunLogCapture::messages() const {
  static const std::regex stamp(R"((^|\n)\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\])");
  return std::regex_replace(text(), stamp, "$1");
}

TempDir::TempDir() {
  char name[] = "/tmp/esXXXXXX";
  if (mkdtemp(name) == nullptr) abort();
  path_ = name;
}

TempDir::~TempDir() {
  std::string cmd = "rm -rf '" + path_ + "'";
  int ignored = system(cmd.c_str());
  (void)ignored;
}

void use_device_dir(const std::string &dir) {
  if (dir.size() >= sizeof dev_dir) abort();
  snprintf(dev_dir, sizeof dev_dir, "%s", dir.c_str());
}
