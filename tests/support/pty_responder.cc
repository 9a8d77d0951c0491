#include "pty_responder.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "sleep_shim.h"

PtyResponder::PtyResponder(std::string link_path) : link_(std::move(link_path)) {
  char name[256] = {};
  if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
    perror("openpty");
    abort();
  }
  slave_name_ = name;
  struct termios raw;
  tcgetattr(slave_, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave_, TCSANOW, &raw);
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  if (pipe(wake_) != 0) abort();
  unlink(link_.c_str());
  if (symlink(slave_name_.c_str(), link_.c_str()) != 0) {
    perror("symlink");
    abort();
  }
  thread_ = std::thread([this] { run(); });
}

PtyResponder::~PtyResponder() {
  stop_ = true;
  char byte = 0;
  ssize_t ignored = write(wake_[1], &byte, 1);
  (void)ignored;
  thread_.join();
  unlink(link_.c_str());
  close(master_);
  close(slave_);
  close(wake_[0]);
  close(wake_[1]);
}

void PtyResponder::reply(Reply pieces) {
  std::lock_guard<std::mutex> guard(mu_);
  script_.push_back(std::move(pieces));
}

void PtyResponder::send(const std::string &bytes) {
  write_all(bytes);
}

std::vector<ReceivedCommand> PtyResponder::commands() {
  std::lock_guard<std::mutex> guard(mu_);
  return commands_;
}

std::vector<std::string> PtyResponder::command_lines() {
  std::vector<std::string> lines;
  for (const auto &c : commands()) lines.push_back(c.line);
  return lines;
}

std::string PtyResponder::received() {
  std::lock_guard<std::mutex> guard(mu_);
  return received_;
}

bool PtyResponder::wait_for_commands(size_t n, int timeout_ms) {
  std::unique_lock<std::mutex> guard(mu_);
  return cv_.wait_for(guard, std::chrono::milliseconds(timeout_ms),
                      [&] { return commands_.size() >= n; });
}

// Waits `ms` scaled by the sleep factor; false when the responder is stopping.
bool PtyResponder::pause_ms(int ms) {
  int scaled = static_cast<int>(ms * sleep_shim_factor());
  if (scaled <= 0) return !stop_;
  struct pollfd pfd = {wake_[0], POLLIN, 0};
  poll(&pfd, 1, scaled);
  return !stop_;
}

bool PtyResponder::write_all(const std::string &bytes) {
  size_t done = 0;
  while (done < bytes.size() && !stop_) {
    ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return false;
    } else {
      struct pollfd pfd[2] = {{master_, POLLOUT, 0}, {wake_[0], POLLIN, 0}};
      poll(pfd, 2, 50);
    }
  }
  return done == bytes.size();
}

void PtyResponder::answer(const Reply &reply) {
  for (const Piece &piece : reply) {
    for (int i = 0; i < piece.repeat; ++i) {
      if (!pause_ms(piece.delay_ms)) return;
      if (!write_all(piece.bytes)) return;
    }
  }
}

void PtyResponder::run() {
  char buf[4096];
  while (!stop_) {
    if (holding_) {
      struct pollfd pfd = {wake_[0], POLLIN, 0};
      poll(&pfd, 1, 10);
      continue;
    }
    struct pollfd pfd[2] = {{master_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    poll(pfd, 2, 10);
    ssize_t n = read(master_, buf, sizeof buf);
    if (n <= 0) continue;
    std::vector<Reply> due;
    {
      std::lock_guard<std::mutex> guard(mu_);
      received_.append(buf, static_cast<size_t>(n));
      for (ssize_t i = 0; i < n; ++i) {
        pending_line_.push_back(buf[i]);
        if (buf[i] != '\n') continue;
        commands_.push_back({pending_line_, std::chrono::steady_clock::now()});
        pending_line_.clear();
        if (!script_.empty()) {
          due.push_back(std::move(script_.front()));
          script_.pop_front();
        }
      }
    }
    cv_.notify_all();
    for (const Reply &r : due) answer(r);
  }
}
