#include "last_run.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "result_codes.h"

namespace {

constexpr size_t kStampSize = 21;  // "[YYYY-MM-DD HH:MM:SS]"
constexpr size_t kIccidMax = 32;

// "[YYYY-MM-DD HH:MM:SS]" at `at`, as log_print writes it.
bool stamp_at(std::string_view text, size_t at) {
  static const char kShape[] = "[dddd-dd-dd dd:dd:dd]";
  if (text.size() - at < kStampSize) return false;
  for (size_t i = 0; i < kStampSize; ++i) {
    char c = text[at + i];
    bool ok = kShape[i] == 'd' ? c >= '0' && c <= '9' : c == kShape[i];
    if (!ok) return false;
  }
  return true;
}

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// The entry's message without the line ends behind it, cut to one entry.
std::string entry_text(std::string_view message) {
  size_t end = message.size();
  while (end > 0 && (message[end - 1] == '\n' || message[end - 1] == '\r')) --end;
  return std::string(message.substr(0, end < kRunEntryText ? end : kRunEntryText));
}

// A run's first entry: its marker and nothing but line ends after it.
bool run_start(std::string_view message, const char *marker) {
  if (!starts_with(message, marker)) return false;
  return message.find_first_not_of("\r\n", strlen(marker)) == std::string_view::npos;
}

bool in(const WorkflowResult *codes, size_t count, long code) {
  for (size_t i = 0; i < count; ++i)
    if (codes[i] == code) return true;
  return false;
}

// The code of the entry's last "ret=", where log_failure puts it (a modem
// status shown earlier in the entry may hold "ret=" of its own). False when
// the entry names none.
bool ret_code(std::string_view message, long *code) {
  size_t at = message.rfind("ret=");
  if (at == std::string_view::npos) return false;
  std::string digits;
  for (size_t i = at + 4; i < message.size() && digits.size() < 8; ++i) {
    char c = message[i];
    if (!(c == '-' && digits.empty()) && !(c >= '0' && c <= '9')) break;
    digits += c;
  }
  if (digits.empty() || digits == "-") return false;
  *code = strtol(digits.c_str(), nullptr, 10);
  return true;
}

// An entry that begins an exchange with the modem, a request to a server, a
// step or a database answer: an error logged before it is not this one's.
bool exchange_start(std::string_view message) {
  return starts_with(message, "Send AT ") || starts_with(message, "Send Http Request.") ||
         starts_with(message, "\n=== ") || starts_with(message, "Get http info: ") ||
         starts_with(message, "Delete http info: ");
}

// Entries that only say that a step failed, not why: a later, more telling
// entry of the same exchange is the cause.
bool restates(std::string_view message) {
  static const char *const kRestating[] = {"Error: Failed to execute ",
                                           "Error: goto ",
                                           "Error goto ",
                                           "Error: Continue to ",
                                           "Error: open serial failed module [",
                                           "Error: Failed to parse notification data"};
  for (const char *prefix : kRestating)
    if (starts_with(message, prefix)) return true;
  // "Error: chan <n> send at trans[<i>] failed".
  return starts_with(message, "Error: chan ") &&
         message.substr(0, 48).find(" send at trans[") != std::string_view::npos;
}

// An HTTP status other than 2xx in an "HTTP Response:" entry.
bool refused_status(std::string_view message) {
  constexpr std::string_view kPrefix = "HTTP Response: ";
  if (!starts_with(message, kPrefix) || message.size() < kPrefix.size() + 3) return false;
  std::string_view code = message.substr(kPrefix.size(), 3);
  for (char c : code)
    if (c < '0' || c > '9') return false;
  return code[0] != '2';
}

// The entry's first line: an HTTP answer logged with its headers and body
// is told by its status line.
std::string first_line(std::string_view message) {
  size_t end = message.find_first_of("\r\n");
  return entry_text(message.substr(0, end));
}

void begin_run(LastRun *run, bool removal, std::string_view stamp, const char *name_iccid) {
  LastRun fresh;
  fresh.found = true;
  fresh.removal = removal;
  fresh.has_started = true;
  fresh.started = std::string(stamp.substr(1, kStampSize - 2));
  fresh.order = fresh.started;
  fresh.has_iccid = removal && name_iccid != nullptr;
  if (fresh.has_iccid) fresh.iccid = name_iccid;
  *run = fresh;
}

// What the entries read so far say of a failure still to come.
struct Clues {
  bool has_cause = false;  // an error of its own since the exchange began
  std::string cause;
  bool has_status = false;  // the step's "Server status:" entry
  std::string status;
  bool has_refusal = false;  // the step's answer with an HTTP status other than 2xx
  std::string refusal;
  bool just_failed = false;  // the entry before was the failure

  // The first error of the exchange is its cause; later ones follow from it.
  void note(std::string text) {
    if (has_cause) return;
    has_cause = true;
    cause = std::move(text);
  }
};

}  // namespace

LastRun last_run_in_log(std::string_view text, bool whole, bool removal, const char *name_iccid) {
  LastRun run;
  run.removal = removal;
  run.has_iccid = removal && name_iccid != nullptr;
  if (run.has_iccid) run.iccid = name_iccid;
  bool stopped = false;
  Clues clues;
  size_t at = 0;
  if (!whole) {
    at = text.find('\n');
    at = at == std::string_view::npos ? text.size() : at + 1;
  }
  // Entries start at a line start with a time stamp; what lies between two
  // stamps (a reply's lines, a server's answer) belongs to the first.
  while (at < text.size() && !stamp_at(text, at)) {
    size_t next = text.find('\n', at);
    at = next == std::string_view::npos ? text.size() : next + 1;
  }
  while (at < text.size()) {
    std::string_view stamp = text.substr(at, kStampSize);
    size_t begin = at + kStampSize;
    size_t end = begin;
    for (;;) {
      size_t line = text.find('\n', end);
      if (line == std::string_view::npos) {
        end = text.size();
        break;
      }
      end = line + 1;
      if (stamp_at(text, end)) break;
    }
    std::string_view message = text.substr(begin, end - begin);
    at = end;

    if (run_start(message, "=== eSIM Download Tool===")) {
      begin_run(&run, false, stamp, nullptr);
      stopped = false;
      clues = Clues();
      continue;
    }
    if (run_start(message, "=== eSIM Delete Tool===")) {
      begin_run(&run, true, stamp, name_iccid);
      stopped = false;
      clues = Clues();
      continue;
    }
    if (!run.found) {
      run.found = true;
      run.order = std::string(stamp.substr(1, kStampSize - 2));
    }
    // The entry the run adds right after a failure to say its cause.
    // (Its text comes from the database client: it is never read for a code.)
    if (clues.just_failed && starts_with(message, "Error: record store: ")) {
      run.has_cause = true;
      run.cause = entry_text(message);
      clues.just_failed = false;
      continue;
    }
    clues.just_failed = false;
    // A run that stopped writes nothing more; whatever follows until the
    // next run's start is not its outcome.
    if (stopped) continue;
    run.has_ended = true;
    run.ended = std::string(stamp.substr(1, kStampSize - 2));
    if (exchange_start(message)) {
      clues.has_cause = false;
      if (starts_with(message, "\n=== ")) clues.has_status = clues.has_refusal = false;
      if (starts_with(message, "\n=== Step 4: notify ===")) run.reached_notify = true;
      continue;
    }
    if (!run.removal && starts_with(message, "URL: ")) {
      std::string url = entry_text(message.substr(5));
      if (!run.has_first_url) {
        run.has_first_url = true;
        run.first_url = url;
      }
      if (run.reached_notify && !run.has_notify_url) {
        run.has_notify_url = true;
        run.notify_url = url;
      }
      continue;
    }
    if (run.removal && starts_with(message, "ICCID: ")) {
      std::string id = entry_text(message.substr(7));
      run.has_iccid = true;
      run.iccid = id.substr(0, kIccidMax);
    } else if (!run.removal && starts_with(message, "eSim Download Completed, iccid: [")) {
      run.has_result = true;
      run.result = 0;
      std::string_view rest = message.substr(33);
      size_t close = rest.find(']');
      if (close != std::string_view::npos && close <= kIccidMax) {
        run.has_installed = true;
        run.installed = std::string(rest.substr(0, close));
      }
    } else if (run.removal && starts_with(message, "eSIM Remove Completed")) {
      run.has_result = true;
      run.result = 0;
    } else if (starts_with(message, "Server status:")) {
      run.has_server_status = true;
      run.server_status = entry_text(message);
      clues.has_status = true;
      clues.status = run.server_status;
    } else if (refused_status(message)) {
      // The modem's failure that may follow it comes from the server's.
      clues.has_refusal = true;
      clues.refusal = first_line(message);
    } else if (starts_with(message, "database failed [")) {
      clues.note(entry_text(message));
    } else if (starts_with(message, "Error")) {
      long code = 0;
      bool coded = ret_code(message, &code);
      bool stops =
          coded && in(kStoppingResults, sizeof kStoppingResults / sizeof kStoppingResults[0], code);
      bool logged =
          coded && in(kLoggedResults, sizeof kLoggedResults / sizeof kLoggedResults[0], code);
      if (!stops && !logged) {
        if (!restates(message)) clues.note(entry_text(message));
        continue;
      }
      run.has_failure = true;
      run.failure = entry_text(message);
      run.failure_code = static_cast<int>(code);
      run.has_cause = clues.has_status || clues.has_refusal || clues.has_cause;
      run.cause = clues.has_status    ? clues.status
                  : clues.has_refusal ? clues.refusal
                  : clues.has_cause   ? clues.cause
                                      : std::string();
      clues.just_failed = true;
      if (stops) {
        run.has_result = true;
        run.result = static_cast<int>(code);
        stopped = true;
      }
    }
  }
  return run;
}

bool later_run(const LastRun &a, long long a_mtime, const LastRun &b, long long b_mtime) {
  if (a.order != b.order) return a.order > b.order;
  return a_mtime > b_mtime;
}
