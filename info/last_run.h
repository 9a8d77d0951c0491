// What a channel's run logs say of its last run: a pure reading of log text,
// so every shape a log can take is a row of a table. Log text holds what the
// modem and the server sent, so nothing here trusts it: every search stays
// inside the text and every value kept is bounded.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// At most this much of the end of each run log is read.
constexpr size_t kRunLogWindow = 64 * 1024;
// A value taken from an entry (failure, server status) is cut to what one
// entry can hold.
constexpr size_t kRunEntryText = 2048;

struct LastRun {
  bool found = false;  // the text holds at least one entry
  bool removal = false;
  bool has_iccid = false;
  std::string iccid;
  bool has_started = false;  // false: the run began before the text read
  std::string started;       // its first entry's time stamp, as the log writes it
  std::string order;         // what runs are ordered by: `started`, else the text's first stamp
  bool has_result = false;   // false: the log ends without an outcome
  int result = 0;
  bool has_failure = false;
  std::string failure;   // the failing entry, without its time stamp and line end
  int failure_code = 0;  // the failure's ret= code
  bool has_server_status = false;
  std::string server_status;  // the last "Server status:" entry, likewise
  bool has_cause = false;
  std::string cause;  // the entry that says why the failure came, likewise
  bool has_ended = false;
  std::string ended;  // the time stamp of the run's last entry read
  // A download's way to its server, for recording a profile it left
  // unrecorded: its first "URL:" entry, and the one after "=== Step 4:
  // notify ===" (without "URL: "), and the ICCID its completion names.
  bool reached_notify = false;
  bool has_first_url = false;
  std::string first_url;
  bool has_notify_url = false;
  std::string notify_url;
  bool has_installed = false;
  std::string installed;
};

// The last run in `text`, the end of one run log. `whole` says the text is
// the file from its first byte; otherwise its first line may be cut and is
// skipped. A run begins at its "=== eSIM Download Tool===" or "=== eSIM
// Delete Tool===" entry; when the text holds none, its entries belong to a
// run that began before it, of the kind `removal` names. `name_iccid` is the
// removal's ICCID as its log's file name gives it (nullptr for a download
// log), used when the run's "ICCID:" entry is not in the text.
//
// The outcome: a completion entry gives result 0; an error entry whose last
// "ret=" names a code that stops a run gives that code and is the failure;
// an error entry with a code that is only logged is the failure, the result
// being what the rest of the run gives. Neither: no result (a killed run).
//
// The cause of the failure: an entry right after it that the run adds for
// that purpose ("Error: record store: ..."); else the step's "Server status:"
// entry; else the step's answer with an HTTP status other than 2xx (its
// first line); else the first entry since the exchange or request began (its
// "Send AT", "Send Http Request.", step header or database heading) that
// reports an error of its own: libcurl's text, the modem's error reply or
// status, the database client's reason, a system call's error. Entries
// that only restate a failure ("Error: goto ...", "Error: Failed to execute
// ...") are none. Nothing found: no cause.
LastRun last_run_in_log(std::string_view text, bool whole, bool removal, const char *name_iccid);

// True when run `a` is later than run `b`: the later `order`; on a tie, the
// file written last (`a_mtime`, `b_mtime`, in seconds).
bool later_run(const LastRun &a, long long a_mtime, const LastRun &b, long long b_mtime);
