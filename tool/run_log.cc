#include "run_log.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>

#include "globals.h"

namespace {
constexpr size_t kLineSize = 2048;
constexpr size_t kTimeSize = 24;
// Room for the caller's message, its NUL included, behind the time stamp.
constexpr size_t kMessageSize = 2024;

const ReportSink *report_sink = nullptr;
bool dropping = false;
}  // namespace

FILE *log_open(const char *name) {
  if (name == nullptr || name[0] == '\0') return nullptr;
  FILE *stream = fopen(name, "ab+");
  if (stream == nullptr) {
    printf("open %s failed : %s\n", name, strerror(errno));
    puts("So write log to STDOUT");
  }
  return stream;
}

void log_print(const char *fmt, ...) {
  if (dropping) return;
  char line[kLineSize] = {};
  char stamp[kTimeSize] = {};
  time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  strftime(stamp, sizeof stamp, "%Y-%m-%d %X", &local);
  int head = snprintf(line, sizeof line, "[%s]", stamp);
  if (head < 0) head = 0;

  va_list args;
  va_start(args, fmt);
  vsnprintf(line + head, kMessageSize, fmt, args);
  va_end(args);

  FILE *out = log_fd != nullptr ? log_fd : stdout;
  bool written = fprintf(out, "%s\n", line) >= 0;
  written = fflush(out) == 0 && written;
  // A run log that can no longer be written (a full /www) is said once, on
  // standard error: the run goes on and its outcome still reaches standard
  // output, but a caller should know the log lacks entries.
  static bool told = false;
  if (!written && out == log_fd && !told) {
    told = true;
    fprintf(stderr, "esimctl: run log %s: %s; later entries are lost\n", log_file, strerror(errno));
  }
}

void log_close(FILE *stream) {
  if (stream != nullptr) fclose(stream);
}

void log_drop_entries(bool drop) {
  dropping = drop;
}

void log_set_sink(const ReportSink *sink) {
  report_sink = sink;
}

void log_stage(const char *stage) {
  if (report_sink != nullptr && report_sink->stage != nullptr) report_sink->stage(stage);
}

void log_wait(const char *what, int seconds) {
  if (report_sink != nullptr && report_sink->wait != nullptr) report_sink->wait(what, seconds);
}

void log_note(const char *note) {
  if (report_sink != nullptr && report_sink->note != nullptr) report_sink->note(note);
}

void log_end(const char *outcome) {
  if (report_sink != nullptr && report_sink->end != nullptr) report_sink->end(outcome);
}
