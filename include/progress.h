// The progress line a person sees while esimctl runs by hand. A download
// takes minutes of fixed waits; when standard error is a terminal, one line
// there shows the channel, the stage, the time elapsed and what the run is
// waiting for, redrawn every second. When standard error is anything else
// (a pipe, a file, /dev/null: every caller but a person) nothing is written
// and nothing else changes.
//
// The subsystems never call it: they report through the run log (log_stage,
// log_wait, log_end), and progress_begin makes this line the run log's sink
// for those reports until progress_end.
#pragma once

// Starts the line for `channel` when standard error is a terminal and the
// run log is a file (a log on standard output would be torn by it).
void progress_begin(int channel);

// The run's current stage, e.g. "Step 2: authenticateClient". Clears the wait.
void progress_stage(const char *stage);

// What the run waits for now and for how long at most, e.g. "the modem's
// reply to AT+QESIM=\"list\"", 6; 0 seconds: no known bound.
void progress_wait(const char *what, int seconds);

// A peer's own word on why the run went as it did (the profile server's
// refusal). The line's last state shows the latest one ahead of the outcome.
void progress_note(const char *note);

// Finishes the line with the outcome, so that what follows on standard
// output stands on its own line. Later calls do nothing.
void progress_end(const char *outcome);
