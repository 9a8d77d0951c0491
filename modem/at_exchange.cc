#include "at_exchange.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "com_intf.h"
#include "globals.h"
#include "run_log.h"

namespace {

constexpr int kDiscardSize = 128;
constexpr int kMaxReads = 30;
constexpr useconds_t kPollPauseUs = 500000;
// A look's pause between reads: short, since it stops at the reply's end.
constexpr useconds_t kLookPauseUs = 20000;
constexpr unsigned int kLongWaitS = 28;
constexpr unsigned int kTimeoutUnitS = 3;
// How long a run waits for a channel that another run holds.
constexpr int kLockWaitS = 60;
// How long a write may wait for a busy device to take the rest of a command.
constexpr int kWriteBoundMs = 5000;

long long now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The descriptor that holds the channel's lock, apart from at_fd.
int lock_fd = -1;
// Whether this run has already waited for the channel's lock.
bool lock_waited = false;
// Why the channel's device could not be opened the last time: the call and
// its errno.
const char *open_failed_call = "open";
int open_errno = 0;

// Opens the channel on first use, logging why when it cannot. A channel
// that another run holds is waited for, once a run and for kLockWaitS at
// most: a look at the channel (esimctl-info) or a run just ending must not
// cost this run its download. Later exchanges of a run that waited in vain
// fail at once, as before.
int open_channel(int chan) {
  int locked = lock_channel(chan);
  if (locked == -5 && !lock_waited) {
    lock_waited = true;
    char file_name[kDevicePathSize] = {};
    channel_device_path(chan, file_name, sizeof file_name);
    if (print_flag)
      log_print("chan %d device %s is held by another run: waiting up to %d s for it\n", chan,
                file_name, kLockWaitS);
    log_wait("another run to give up the channel", kLockWaitS);
    // Counted in pauses, not read off a clock, so the bound is the sum of
    // the run's own waits like every other wait of the tool.
    for (int pauses = 0; locked == -5 && pauses < kLockWaitS * 2; ++pauses) {
      usleep(kPollPauseUs);
      locked = lock_channel(chan);
    }
  }
  if (locked == -5) {
    char file_name[kDevicePathSize] = {};
    channel_device_path(chan, file_name, sizeof file_name);
    log_print("Error: chan %d device %s is in use by another esimctl run\n", chan, file_name);
  }
  if (locked != 0) {
    log_print("Error: open serial failed module [%d]\n", chan);
    // The entry above names no reason; every failed open gives its own.
    if (locked == -2) {
      char file_name[kDevicePathSize] = {};
      channel_device_path(chan, file_name, sizeof file_name);
      log_print("Error: chan %d device %s: %s failed, error-%d[%s]\n", chan, file_name,
                open_failed_call, open_errno, strerror(open_errno));
    }
    return -2;
  }
  return 0;
}

// Writes all of `cmd`. A busy device that takes part of it is waited on (poll
// for writability) until it takes the rest or the write bound passes, so a
// command never reaches the modem cut short. 0, or the failing errno.
int write_all(int fd, const char *cmd, size_t len) {
  size_t done = 0;
  long long deadline = now_ms() + kWriteBoundMs;
  while (done < len) {
    ssize_t n = write(fd, cmd + done, len - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return errno;
    long long left = deadline - now_ms();
    if (left <= 0) return ETIMEDOUT;
    struct pollfd pfd = {fd, POLLOUT, 0};
    int ready = poll(&pfd, 1, static_cast<int>(left));
    if (ready < 0 && errno != EINTR) return errno;
    if (ready > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL))) return EIO;
  }
  return 0;
}

// Tells a person at a terminal which reply the run waits for and for how
// long at most: the wait, then the 30 polls.
void show_wait(const char *at_cmd, unsigned int wait_s) {
  constexpr int kShownCommand = 32;
  char what[96];
  int len = static_cast<int>(strcspn(at_cmd, "\r\n"));
  snprintf(what, sizeof what, "the modem's reply to %.*s%s", kShownCommand, at_cmd,
           len > kShownCommand ? "..." : "");
  log_wait(what, static_cast<int>(wait_s) + kMaxReads / 2);
}

}  // namespace

void channel_device_path(int chan, char *path, size_t size) {
  snprintf(path, size, "%s/%d", dev_dir, chan);
}

// The exclusive lock keeps two runs on one channel (esimctl, esimctl-info)
// from ever interleaving their commands.
int lock_channel(int chan) {
  if (at_fd >= 0) return 0;
  char file_name[kDevicePathSize] = {};
  channel_device_path(chan, file_name, sizeof file_name);
  // The lock comes first, on a descriptor of its own: opening the line sets
  // it up and flushes it, which would throw away the reply that a run
  // holding the channel is waiting for.
  if (lock_fd < 0) {
    int fd = open(file_name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
      open_failed_call = "open";
      open_errno = errno;
      return -2;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      close(fd);
      return -5;
    }
    lock_fd = fd;
  }
  int fd = open_serial(file_name, 115200, 0, 8, 1, 0);
  if (fd < 0) {
    open_failed_call = open_serial_failed_call();
    open_errno = errno;
    close(lock_fd);
    lock_fd = -1;
    return -2;
  }
  at_fd = fd;
  // Whatever the device held before this run is not a reply to us.
  char buff[kDiscardSize];
  ssize_t ignored = read(at_fd, buff, sizeof buff);
  (void)ignored;
  return 0;
}

void release_channel() {
  if (at_fd >= 0) close_serial(static_cast<unsigned int>(at_fd));
  at_fd = -1;
  if (lock_fd >= 0) close(lock_fd);
  lock_fd = -1;
  lock_waited = false;
}

namespace {

// The start of every exchange: checks the arguments, opens the channel on
// first use and writes the command whole. execute_at_command's codes.
int send_command(int chan, const char *at_cmd, char *out_result, int out_len) {
  if (chan < 1 || chan > 32) return -1;
  if (at_cmd == nullptr) return -1;
  if (out_result != nullptr && out_len < 1) return -1;

  if (at_fd < 0 && open_channel(chan) != 0) return -2;

  int write_errno = write_all(at_fd, at_cmd, strlen(at_cmd));
  if (write_errno != 0) {
    log_print("Error: chan %d write at failed, [%s], error-%d[%s]\n", chan, at_cmd, write_errno,
              strerror(write_errno));
    return -3;
  }
  if (print_flag) log_print("Send AT %d: [%s]\n", chan, at_cmd);
  return 0;
}

// The end of every exchange: what arrived is logged and judged.
int finish_reply(int chan, const char *out_result, int recv_flag) {
  if (!recv_flag) {
    log_print("Error: chan %d AT response failed.\n", chan);
    return -4;
  }
  if (print_flag) log_print("Recv AT %d: [%s]\n", chan, out_result);
  if (strstr(out_result, "ERROR") != nullptr || strstr(out_result, "+CME ERROR:") != nullptr ||
      strstr(out_result, "+CMS ERROR:") != nullptr) {
    log_print("Error: chan %d AT response failed. [%s]\n", chan, out_result);
  }
  return 0;
}

// The wait esimctl gives a command before its polls, in seconds.
unsigned int first_wait_s(int timeout, int long_time_flag) {
  return long_time_flag ? kLongWaitS : timeout > 0 ? kTimeoutUnitS * timeout : 1;
}

}  // namespace

bool has_final_result(const char *reply) {
  for (const char *line = reply; *line != '\0';) {
    size_t len = strcspn(line, "\r\n");
    if (line[len] == '\0') break;  // a line is final only once it has ended
    if ((len == 2 && strncmp(line, "OK", 2) == 0) || (len == 5 && strncmp(line, "ERROR", 5) == 0) ||
        strncmp(line, "+CME ERROR:", 11) == 0 || strncmp(line, "+CMS ERROR:", 11) == 0)
      return true;
    line += len + 1;
  }
  return false;
}

int execute_at_command(int chan, const char *at_cmd, char *out_result, int out_len, int timeout,
                       int long_time_flag) {
  int sent = send_command(chan, at_cmd, out_result, out_len);
  if (sent != 0 || out_result == nullptr) return sent;

  int max_buf_len = out_len;
  show_wait(at_cmd, first_wait_s(timeout, long_time_flag));
  if (long_time_flag) {
    sleep(kLongWaitS);
  } else if (timeout > 0) {
    sleep(kTimeoutUnitS * static_cast<unsigned int>(timeout));
  } else {
    usleep(kPollPauseUs);
  }

  int recv_flag = 0;
  int total_bytes = 0;
  int count = 0;
  while (count < kMaxReads) {
    ++count;
    ssize_t res =
        read(at_fd, out_result + total_bytes, static_cast<size_t>(max_buf_len - total_bytes));
    if (res < 0 && errno != EAGAIN) {
      int err = errno;
      log_print("Error: chan %d read module failed, res=%d, [%d][%s]\n", chan,
                static_cast<int>(res), err, strerror(err));
      break;
    }
    if (res <= 0) {
      usleep(kPollPauseUs);
      if (recv_flag) break;
      continue;
    }
    recv_flag = 1;
    total_bytes += static_cast<int>(res);
    if (total_bytes >= max_buf_len) {
      out_result[max_buf_len - 1] = '\0';
      break;
    }
    out_result[total_bytes] = '\0';
    usleep(kPollPauseUs);
  }
  return finish_reply(chan, out_result, recv_flag);
}

int look_at_command(int chan, const char *at_cmd, char *out_result, int out_len, int timeout,
                    int long_time_flag) {
  int sent = send_command(chan, at_cmd, out_result, out_len);
  if (sent != 0 || out_result == nullptr) return sent;

  // The same bound as the fixed wait and its polls, counted in short pauses.
  const unsigned int bound_s = first_wait_s(timeout, long_time_flag) + kMaxReads / 2;
  const long long pauses = static_cast<long long>(bound_s) * 1000000 / kLookPauseUs;
  show_wait(at_cmd, bound_s - kMaxReads / 2);
  int recv_flag = 0;
  int total_bytes = 0;
  for (long long count = 0; count < pauses; ++count) {
    ssize_t res = read(at_fd, out_result + total_bytes, static_cast<size_t>(out_len - total_bytes));
    if (res < 0 && errno != EAGAIN) {
      int err = errno;
      log_print("Error: chan %d read module failed, res=%d, [%d][%s]\n", chan,
                static_cast<int>(res), err, strerror(err));
      break;
    }
    if (res > 0) {
      recv_flag = 1;
      total_bytes += static_cast<int>(res);
      if (total_bytes >= out_len) {
        out_result[out_len - 1] = '\0';
        break;
      }
      out_result[total_bytes] = '\0';
      if (has_final_result(out_result)) break;
    }
    usleep(kLookPauseUs);
  }
  return finish_reply(chan, out_result, recv_flag);
}

int exchange_on_channel(const char *at_cmd, char *result, int timeout, int long_time_flag) {
  memset(result, 0, kReplySize);
  return execute_at_command(chan_id, at_cmd, result, static_cast<int>(kReplySize), timeout,
                            long_time_flag);
}
