#include "progress.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "globals.h"
#include "peer_text.h"
#include "run_log.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kTextSize = 160;
constexpr size_t kLineSize = 512;
constexpr char kRedraw[] = "\r\033[K";

// The line's state, shared by the run and the thread that redraws it; the
// redraw waits on a condition variable, not a sleep, so the run's own timed
// waits are all the sleeps the process makes.
struct Progress {
  std::mutex mutex;
  std::condition_variable wake;
  std::thread ticker;
  bool active = false;
  bool stopping = false;
  // The terminal, opened anew without blocking: a terminal that stops
  // reading (a scroll lock, a stalled remote session) loses redraws but
  // never holds up the run.
  int fd = -1;
  int channel = 0;
  Clock::time_point started;
  Clock::time_point wait_started;
  char stage[kTextSize] = {};
  char waiting[kTextSize] = {};
  char note[kTextSize] = {};
  int wait_seconds = 0;
};

Progress &progress() {
  static Progress p;
  return p;
}

void copy_text(char *to, const char *from) {
  terminal_line(to, kTextSize, from);
}

long seconds_since(Clock::time_point t) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - t).count());
}

// The terminal's width in columns; 0 when it does not say.
size_t columns(int fd) {
  struct winsize size {};
  if (ioctl(fd, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

// Whether the run's job holds the terminal: a run moved to the background
// (Ctrl-Z, bg) draws nothing until it is brought back. A terminal that is
// not the run's controlling one has no foreground to lose.
bool in_foreground(int fd) {
  pid_t foreground = tcgetpgrp(fd);
  return foreground == -1 || foreground == getpgrp();
}

// Redraws the line in place: back to its start, clear it, write it anew,
// cut to one column less than the terminal's width so that it never wraps.
void draw(Progress &p, const char *end) {
  char line[kLineSize];
  const size_t head = sizeof kRedraw - 1;
  memcpy(line, kRedraw, head);
  char *text = line + head;
  const size_t room = sizeof line - head - 2;  // the end's line break and the NUL
  long elapsed = seconds_since(p.started);
  int n = snprintf(text, room, "esimctl chan %d  %ld:%02ld  %s", p.channel, elapsed / 60,
                   elapsed % 60, p.stage);
  if (p.waiting[0] != '\0' && n > 0 && static_cast<size_t>(n) < room) {
    long waited = seconds_since(p.wait_started);
    if (p.wait_seconds > 0)
      snprintf(text + n, room - n, "  waiting for %s (%ld/%d s)", p.waiting, waited,
               p.wait_seconds);
    else
      snprintf(text + n, room - n, "  waiting for %s (%ld s)", p.waiting, waited);
  }
  if (n < 0) return;
  size_t len = strnlen(text, room);
  size_t width = columns(p.fd);
  if (width > 1 && len > width - 1) len = width - 1;
  if (end != nullptr) text[len++] = '\n';
  if (!in_foreground(p.fd)) return;
  // A redraw the terminal cannot take now is dropped; the next one starts
  // the line afresh. SIGTTOU is held off this thread for the write: a job
  // moved to the background between the check and the write draws one
  // line too many rather than being stopped in the middle of a dialogue
  // with its modem (a terminal with tostop set).
  sigset_t ttou, before;
  sigemptyset(&ttou);
  sigaddset(&ttou, SIGTTOU);
  pthread_sigmask(SIG_BLOCK, &ttou, &before);
  ssize_t ignored = write(p.fd, line, head + len);
  (void)ignored;
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

void tick(Progress *p) {
  std::unique_lock<std::mutex> lock(p->mutex);
  while (!p->stopping) {
    if (p->stage[0] != '\0') draw(*p, nullptr);
    p->wake.wait_for(lock, std::chrono::seconds(1));
  }
}

// A terminal on standard error that the run may draw on: not one whose
// foreground belongs to another job (a run put in the background).
int open_terminal() {
  if (!isatty(STDERR_FILENO) || !in_foreground(STDERR_FILENO)) return -1;
  char name[256];
  if (ttyname_r(STDERR_FILENO, name, sizeof name) != 0) return -1;
  return open(name, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

// The run reports through its log; on a terminal this line is where those
// reports are shown.
const ReportSink kTerminalSink = {progress_stage, progress_wait, progress_note, progress_end};

}  // namespace

void progress_begin(int channel) {
  Progress &p = progress();
  if (p.active || log_fd == nullptr) return;
  p.fd = open_terminal();
  if (p.fd < 0) return;
  p.active = true;
  p.channel = channel;
  p.started = Clock::now();
  p.ticker = std::thread(tick, &p);
  log_set_sink(&kTerminalSink);
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

void progress_note(const char *note) {
  Progress &p = progress();
  if (!p.active) return;
  std::lock_guard<std::mutex> lock(p.mutex);
  copy_text(p.note, note);
}

void progress_end(const char *outcome) {
  Progress &p = progress();
  if (!p.active) return;
  {
    std::lock_guard<std::mutex> lock(p.mutex);
    p.stopping = true;
    copy_text(p.stage, outcome);
    if (p.note[0] != '\0') {
      // The note comes first, so that a narrow terminal still shows the
      // server's word; the outcome is on standard output anyway.
      char last[2 * kTextSize + 2];
      snprintf(last, sizeof last, "%s; %s", p.note, p.stage);
      copy_text(p.stage, last);
    }
    p.waiting[0] = '\0';
  }
  log_set_sink(nullptr);
  p.wake.notify_all();
  p.ticker.join();
  draw(p, "\n");
  close(p.fd);
  p.fd = -1;
  p.active = false;
}
