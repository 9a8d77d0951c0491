// The run log: one time-stamped line per call, in the file named at start-up
// or, when none could be opened, on standard output. It is also where the
// subsystems report what the run is doing as it happens (its stage, what it
// waits for): those reports add no entry, and reach a sink when one is set
// (the progress line, on a terminal), else nothing.
#pragma once

#include <cstdio>

#include "peer_text.h"

// Opens `name` for appending ("ab+"). Gives nullptr for a missing or empty
// name (silently) and when the open fails (after telling standard output).
FILE *log_open(const char *name);

// printf-style. Appends "[YYYY-MM-DD HH:MM:SS]" and the message, cut to 2023
// characters, plus one line end to `log_fd` (or standard output) and flushes.
// The first entry that cannot be written to the run log (a full file system)
// is told once on standard error; the entries are not written elsewhere.
void log_print(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Closes the stream when there is one.
void log_close(FILE *stream);

// With `drop` set, every entry from now on goes nowhere: neither to a file
// nor to standard output. For a program that reaches the modem through the
// same exchange but keeps no run log (esimctl-info changes nothing, and its
// standard output carries only its answer). Unset: entries are written again.
void log_drop_entries(bool drop);

// Where the run's reports go as they happen. Every member may be null.
struct ReportSink {
  void (*stage)(const char *stage);
  void (*wait)(const char *what, int seconds);
  void (*note)(const char *note);
  void (*end)(const char *outcome);
};

// Sends the reports to `sink` from now on (nullptr: nowhere, the default).
// The sink must outlive its use.
void log_set_sink(const ReportSink *sink);

// The run's current stage, e.g. "Step 2: authenticateClient".
void log_stage(const char *stage);

// What the run waits for now and for how long at most, in seconds (0: no
// known bound).
void log_wait(const char *what, int seconds);

// A peer's own word on why the run went as it did (the profile server's
// refusal), for the sink to show beside the outcome. It is in the run log
// already, as an entry of its own.
void log_note(const char *note);

// The run's outcome; the sink shows it and is done with.
void log_end(const char *outcome);
