#define _GNU_SOURCE
#include "sleep_shim.h"

#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define MAX_RECORDS 4096

static double factor = 1.0;
static int one_thread_scaled;
static pthread_t scaled_thread;
static FILE *sleep_log;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int recording;
static pthread_t recorder;
static struct sleep_record records[MAX_RECORDS];
static int record_count;

typedef int (*clock_nanosleep_fn)(clockid_t, int, const struct timespec *, struct timespec *);

static int real_clock_nanosleep(clockid_t clk, int flags, const struct timespec *req,
                                struct timespec *rem) {
  static clock_nanosleep_fn real;
  if (real == NULL) real = (clock_nanosleep_fn)dlsym(RTLD_NEXT, "clock_nanosleep");
  return real(clk, flags, req, rem);
}

__attribute__((constructor)) static void shim_init(void) {
  // The shim is for the program it was preloaded into, not for the shell and
  // client that program starts: those may not even be built for this machine
  // (an emulated esimctl starts the build machine's shell).
  unsetenv("LD_PRELOAD");
  const char *f = getenv("ESIMCTL_TIME_FACTOR");
  if (f != NULL && *f != '\0') factor = strtod(f, NULL);
  const char *path = getenv("ESIMCTL_SLEEP_LOG");
  if (path != NULL && *path != '\0') sleep_log = fopen(path, "a");
}

void sleep_shim_set_factor(double value) {
  factor = value;
}
double sleep_shim_factor(void) {
  return factor;
}

void sleep_shim_scale_this_thread_only(void) {
  pthread_mutex_lock(&lock);
  one_thread_scaled = 1;
  scaled_thread = pthread_self();
  pthread_mutex_unlock(&lock);
}

// A helper thread that paces itself with sleep (libFuzzer's memory watch
// sleeps a second per look) must not be turned into a busy loop.
static double factor_for_this_thread(void) {
  pthread_mutex_lock(&lock);
  int real_time = one_thread_scaled && !pthread_equal(scaled_thread, pthread_self());
  pthread_mutex_unlock(&lock);
  return real_time ? 1.0 : factor;
}

void sleep_shim_record_this_thread(void) {
  pthread_mutex_lock(&lock);
  recording = 1;
  recorder = pthread_self();
  record_count = 0;
  pthread_mutex_unlock(&lock);
}

int sleep_shim_records(struct sleep_record *out, int max) {
  pthread_mutex_lock(&lock);
  int n = record_count < max ? record_count : max;
  if (out != NULL && n > 0) memcpy(out, records, (size_t)n * sizeof *out);
  int total = record_count;
  pthread_mutex_unlock(&lock);
  return total;
}

static void note(const char *call, long long us) {
  pthread_mutex_lock(&lock);
  if (recording && pthread_equal(recorder, pthread_self()) && record_count < MAX_RECORDS) {
    struct sleep_record *r = &records[record_count++];
    snprintf(r->call, sizeof r->call, "%s", call);
    r->requested_us = us;
  }
  if (sleep_log != NULL) {
    fprintf(sleep_log, "%s %lld\n", call, us);
    fflush(sleep_log);
  }
  pthread_mutex_unlock(&lock);
}

static int scaled_sleep(long long us) {
  double f = factor_for_this_thread();
  // Factor 0 asks for no pause at all: even a sleep of no time would wait
  // out the kernel's timer slack (50 us by default).
  if (f == 0) return 0;
  long long scaled = (long long)((double)us * f);
  if (scaled < 0) scaled = 0;
  struct timespec ts = {(time_t)(scaled / 1000000), (long)(scaled % 1000000) * 1000};
  while (real_clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, &ts) == EINTR) {
  }
  return 0;
}

unsigned int sleep(unsigned int seconds) {
  note("sleep", (long long)seconds * 1000000);
  scaled_sleep((long long)seconds * 1000000);
  return 0;
}

int usleep(useconds_t usec) {
  note("usleep", (long long)usec);
  return scaled_sleep((long long)usec);
}

int nanosleep(const struct timespec *req, struct timespec *rem) {
  (void)rem;
  if (req == NULL || req->tv_nsec < 0 || req->tv_nsec >= 1000000000) {
    errno = EINVAL;
    return -1;
  }
  long long us = (long long)req->tv_sec * 1000000 + req->tv_nsec / 1000;
  note("nanosleep", us);
  return scaled_sleep(us);
}

int clock_nanosleep(clockid_t clk, int flags, const struct timespec *req, struct timespec *rem) {
  if (flags & TIMER_ABSTIME) return real_clock_nanosleep(clk, flags, req, rem);
  long long us = (long long)req->tv_sec * 1000000 + req->tv_nsec / 1000;
  note("clock_nanosleep", us);
  scaled_sleep(us);
  return 0;
}
