// Test-only sleep shortener. Linked into a test program (or preloaded into
// esimctl with LD_PRELOAD), it replaces sleep, usleep, nanosleep and
// clock_nanosleep: each sleeps the requested time multiplied by a factor, and
// the requested durations can be recorded.
//
// Environment, read at load time:
//   ESIMCTL_TIME_FACTOR  factor for every sleep (default 1: real time; 0: every
//                        sleep returns at once, without entering the kernel)
//   ESIMCTL_SLEEP_LOG    file that gets one line "<call> <microseconds>" per sleep
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

struct sleep_record {
  char call[16];           // "sleep", "usleep", "nanosleep", "clock_nanosleep"
  long long requested_us;  // what the caller asked for
};

void sleep_shim_set_factor(double factor);
double sleep_shim_factor(void);
// From now on only the calling thread's sleeps are scaled; every other
// thread sleeps in real time.
void sleep_shim_scale_this_thread_only(void);

// Records the sleeps of the calling thread only, from now on, dropping earlier ones.
void sleep_shim_record_this_thread(void);
// Copies up to `max` records into `out`; gives how many there are in all.
int sleep_shim_records(struct sleep_record *out, int max);

#ifdef __cplusplus
}
#endif
