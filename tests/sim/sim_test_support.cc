#include "sim_test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char **environ;

namespace simtest {

TransFields read_trans(const std::string &r, bool want_host) {
  TransFields f;
  size_t k = r.find("trans");
  if (k == std::string::npos) return f;
  f.keyword = true;
  size_t c1 = r.find(',', k + 1);
  size_t c2 = c1 == std::string::npos ? c1 : r.find(',', c1 + 1);
  if (c2 != std::string::npos) {
    f.has_status = true;
    f.status = r.substr(c1 + 1, c2 - c1 - 1);
    size_t q1 = r.find('"', c2 + 1);
    size_t q2 = q1 == std::string::npos ? q1 : r.find('"', q1 + 1);
    if (q2 != std::string::npos) {
      f.has_path = true;
      f.path = r.substr(q1 + 1, q2 - q1 - 1);
    }
  }
  size_t ob = r.find('{', k);
  size_t cb = r.rfind('}');
  if (ob == std::string::npos || cb == std::string::npos || cb <= ob) return f;
  f.has_payload = true;
  f.payload = r.substr(ob, cb - ob + 1);
  if (want_host) {
    size_t colon = f.payload.rfind(':');
    size_t q1 = colon == std::string::npos ? colon : f.payload.find('"', colon);
    size_t q2 = q1 == std::string::npos ? q1 : f.payload.find('"', q1 + 1);
    if (q2 != std::string::npos) {
      f.has_host = true;
      f.host = f.payload.substr(q1 + 1, q2 - q1 - 1);
    }
  }
  return f;
}

std::string read_status(const std::string &r, const std::string &keyword, bool *found) {
  *found = false;
  size_t k = r.find(keyword);
  if (k == std::string::npos) return "";
  size_t comma = r.find(',', k);
  if (comma == std::string::npos) return "";
  size_t cr = r.find('\r', comma + 1);
  if (cr == std::string::npos) return "";
  *found = true;
  return r.substr(comma + 1, cr - comma - 1);
}

int read_cfun_level(const std::string &r) {
  size_t p = r.find("CFUN");
  if (p == std::string::npos) return -1;
  if (p + 6 > r.size()) return 0;
  return atoi(r.c_str() + p + 6);
}

bool read_eid_status(const std::string &r, std::string *status) {
  size_t p = r.find("eid");
  if (p == std::string::npos) return false;
  size_t c1 = r.find(',', p);
  if (c1 == std::string::npos) return false;
  size_t c2 = r.find(',', c1 + 1);
  if (c2 == std::string::npos) return false;
  *status = r.substr(c1 + 1, c2 - c1 - 1);
  return true;
}

std::vector<std::string> read_iccids(const std::string &r) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < r.size()) {
    size_t end = r.find_first_of("\r\n", pos);
    std::string line = r.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    pos = end == std::string::npos ? r.size() : r.find_first_not_of("\r\n", end);
    if (pos == std::string::npos) pos = r.size();
    size_t q1 = line.find('"');
    if (q1 == std::string::npos || q1 + 1 >= line.size() || !isdigit((unsigned char)line[q1 + 1]))
      continue;
    size_t q2 = line.find('"', q1 + 1);
    if (q2 == std::string::npos) continue;
    std::string cand = line.substr(q1 + 1, q2 - q1 - 1);
    if (cand.size() < 15 || cand.size() > 20) continue;
    bool good = true;
    for (char c : cand) good = good && (isdigit((unsigned char)c) || toupper(c) == 'F');
    if (good) out.push_back(cand);
  }
  return out;
}

bool read_last_iccid(const std::string &r, std::string *iccid) {
  std::vector<std::string> all = read_iccids(r);
  if (all.empty()) return false;
  *iccid = all.back();
  return true;
}

namespace {
// The status check of the readers: NUL over the CR that ends the status.
bool status_check(std::vector<char> *buf, const char *keyword) {
  char *k = strstr(buf->data(), keyword);
  if (k == nullptr) return false;
  char *comma = strchr(k, ',');
  if (comma == nullptr) return false;
  char *cr = strchr(comma + 1, '\r');
  if (cr == nullptr) return false;
  *cr = '\0';
  return strcmp(comma + 1, "0") == 0;
}

const char *line_start(const char *buf, const char *p) {
  while (p > buf && p[-1] != '\n' && p[-1] != '\r') --p;
  return p;
}
}  // namespace

bool read_ntf_last(const std::string &r, const std::string &iccid, std::string *seq) {
  std::vector<char> buf(r.begin(), r.end());
  buf.resize(16384, '\0');
  if (!status_check(&buf, "ntf_list") || iccid.empty()) return false;
  const char *last = nullptr;
  const char *pos = buf.data() + 23;
  while (const char *m = strstr(pos, iccid.c_str())) {
    last = line_start(buf.data(), m);
    pos = m + iccid.size();
  }
  if (last == nullptr) return false;
  const char *comma = strchr(last, ',');
  if (comma == nullptr) return false;
  const char *start = comma + 1;
  const char *end = strchr(start, ',');
  if (end == nullptr) end = strpbrk(start, "\r\n");
  if (end == nullptr || end - start > 15) return false;
  *seq = std::string(start, end);
  return true;
}

bool read_ntf_first(const std::string &r, const std::string &iccid, std::string *seq) {
  std::vector<char> buf(r.begin(), r.end());
  buf.resize(16384, '\0');
  const char *m = iccid.empty() ? nullptr : strstr(buf.data(), iccid.c_str());
  if (!status_check(&buf, "ntf_list") || m == nullptr) return false;
  const char *comma = strchr(line_start(buf.data(), m), ',');
  if (comma == nullptr) return false;
  const char *end = strchr(comma + 1, ',');
  if (end == nullptr || end - comma - 1 >= 16) return false;
  *seq = std::string(comma + 1, end);
  return true;
}

bool read_ntf_get(const std::string &r, std::string *status, std::string *data) {
  size_t k = r.find("ntf_get\",");
  if (k == std::string::npos) return false;
  size_t s = k + 9;
  size_t comma = r.find(',', s);
  *status = r.substr(s, comma == std::string::npos ? std::string::npos : comma - s);
  if (*status != "0" || comma == std::string::npos) return false;
  size_t q1 = r.find('"', comma + 1);
  size_t q2 = q1 == std::string::npos ? q1 : r.find('"', q1 + 1);
  if (q2 == std::string::npos) return false;
  *data = r.substr(q1 + 1, q2 - q1 - 1);
  return true;
}

PtyClient::PtyClient(const std::string &path) {
  fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd_ < 0) return;
  struct termios t;
  tcgetattr(fd_, &t);
  cfmakeraw(&t);
  tcsetattr(fd_, TCSANOW, &t);
}

PtyClient::~PtyClient() {
  if (fd_ >= 0) close(fd_);
}

void PtyClient::send(const std::string &bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
    if (n > 0)
      done += (size_t)n;
    else if (n < 0 && errno != EAGAIN)
      return;
  }
}

std::string PtyClient::exchange(const std::string &cmd, int first_ms, int quiet_ms) {
  send(cmd + "\r\n");
  std::string out;
  int wait = first_ms;
  for (;;) {
    struct pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, wait) <= 0) break;
    char buf[4096];
    ssize_t n = read(fd_, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, (size_t)n);
    wait = quiet_ms;
  }
  return out;
}

std::vector<std::pair<long, std::string>> PtyClient::collect(int ms) {
  std::vector<std::pair<long, std::string>> pieces;
  auto t0 = std::chrono::steady_clock::now();
  auto left = [&] {
    return ms - (long)std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - t0)
                    .count();
  };
  while (left() > 0) {
    struct pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, (int)left()) <= 0) break;
    char buf[4096];
    ssize_t n = read(fd_, buf, sizeof buf);
    if (n <= 0) break;
    pieces.emplace_back(ms - left(), std::string(buf, (size_t)n));
  }
  return pieces;
}

std::vector<std::string> chunk_commands(const std::string &hex) {
  std::vector<std::string> out;
  size_t index = 0, pos = 0;
  do {
    size_t n = std::min<size_t>(1400, hex.size() - pos);
    bool more = pos + n < hex.size();
    char head[96];
    snprintf(head, sizeof head, "AT+QESIM=\"trans\",%zu,%d,%zu,%zu,\"", hex.size(), more ? 1 : 0,
             index, n);
    out.push_back(head + hex.substr(pos, n) + "\"");
    pos += n;
    ++index;
  } while (pos < hex.size());
  return out;
}

Child::Child(const std::vector<std::string> &argv) {
  std::vector<char *> args;
  for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid;
  if (posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ) == 0) pid_ = pid;
}

Child::~Child() {
  stop();
}

void Child::stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status;
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

int run_to_end(const std::vector<std::string> &argv, const std::string &err_path, int ms) {
  std::vector<char *> args;
  for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t io;
  posix_spawn_file_actions_init(&io);
  posix_spawn_file_actions_addopen(&io, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&io, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid;
  int spawned = posix_spawn(&pid, args[0], &io, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&io);
  if (spawned != 0) return -1;
  int status = 0;
  for (int waited = 0; waited < ms; waited += 5) {
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(pid, SIGTERM);
  waitpid(pid, &status, 0);
  return -1;
}

bool wait_for_path(const std::string &path, int ms) {
  for (int i = 0; i < ms / 5; ++i) {
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && st.st_size > 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> read_lines(const std::string &path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line))
    if (!line.empty()) lines.push_back(line);
  return lines;
}

}  // namespace simtest
