#include "progress.h"

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "globals.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kTextSize = 160;
constexpr size_t kLineSize = 512;

// The line's state, shared by the run and the thread that redraws it; the
// redraw waits on a condition variable, not a sleep, so the run's own timed
// waits are all the sleeps the process makes.
struct Progress {
  std::mutex mutex;
  std::condition_variable wake;
  std::thread ticker;
  bool active = false;
  bool stopping = false;
  int channel = 0;
  Clock::time_point started;
  Clock::time_point wait_started;
  char stage[kTextSize] = {};
  char waiting[kTextSize] = {};
  int wait_seconds = 0;
};

Progress &progress() {
  static Progress p;
  return p;
}

void copy_text(char *to, const char *from) {
  snprintf(to, kTextSize, "%s", from != nullptr ? from : "");
  // The line must stay one line: a command's own line end is not shown.
  for (char *c = to; *c != '\0'; ++c)
    if (*c == '\r' || *c == '\n') *c = '\0';
}

long seconds_since(Clock::time_point t) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - t).count());
}

// Redraws the line in place: back to its start, clear it, write it anew.
void draw(Progress &p, const char *end) {
  char line[kLineSize];
  long elapsed = seconds_since(p.started);
  int n = snprintf(line, sizeof line, "\r\033[Kesimctl chan %d  %ld:%02ld  %s", p.channel,
                   elapsed / 60, elapsed % 60, p.stage);
  if (p.waiting[0] != '\0' && n > 0 && static_cast<size_t>(n) < sizeof line) {
    long waited = seconds_since(p.wait_started);
    if (p.wait_seconds > 0)
      n += snprintf(line + n, sizeof line - n, "  waiting for %s (%ld/%d s)", p.waiting, waited,
                    p.wait_seconds);
    else
      n += snprintf(line + n, sizeof line - n, "  waiting for %s (%ld s)", p.waiting, waited);
  }
  if (n < 0) return;
  size_t len = strnlen(line, sizeof line);
  if (end != nullptr)
    len += static_cast<size_t>(snprintf(line + len, sizeof line - len, "%s", end));
  ssize_t ignored = write(STDERR_FILENO, line, len < sizeof line ? len : sizeof line - 1);
  (void)ignored;
}

void tick(Progress *p) {
  std::unique_lock<std::mutex> lock(p->mutex);
  while (!p->stopping) {
    if (p->stage[0] != '\0') draw(*p, nullptr);
    p->wake.wait_for(lock, std::chrono::seconds(1));
  }
}

}  // namespace

void progress_begin(int channel) {
  Progress &p = progress();
  if (p.active || !isatty(STDERR_FILENO) || log_fd == nullptr) return;
  p.active = true;
  p.channel = channel;
  p.started = Clock::now();
  p.ticker = std::thread(tick, &p);
}

void progress_stage(const char *stage) {
  Progress &p = progress();
  if (!p.active) return;
  std::lock_guard<std::mutex> lock(p.mutex);
  copy_text(p.stage, stage);
  p.waiting[0] = '\0';
  draw(p, nullptr);
}

void progress_wait(const char *what, int seconds) {
  Progress &p = progress();
  if (!p.active) return;
  std::lock_guard<std::mutex> lock(p.mutex);
  copy_text(p.waiting, what);
  p.wait_seconds = seconds;
  p.wait_started = Clock::now();
  draw(p, nullptr);
}

void progress_end(const char *outcome) {
  Progress &p = progress();
  if (!p.active) return;
  {
    std::lock_guard<std::mutex> lock(p.mutex);
    p.stopping = true;
    copy_text(p.stage, outcome);
    p.waiting[0] = '\0';
  }
  p.wake.notify_all();
  p.ticker.join();
  draw(p, "\n");
  p.active = false;
}
