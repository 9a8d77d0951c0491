#include "last_run.h"

#include <cstdlib>
#include <cstring>

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

}  // namespace

LastRun last_run_in_log(std::string_view text, bool whole, bool removal, const char *name_iccid) {
  LastRun run;
  run.removal = removal;
  run.has_iccid = removal && name_iccid != nullptr;
  if (run.has_iccid) run.iccid = name_iccid;
  bool stopped = false;
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
      continue;
    }
    if (run_start(message, "=== eSIM Delete Tool===")) {
      begin_run(&run, true, stamp, name_iccid);
      stopped = false;
      continue;
    }
    if (!run.found) {
      run.found = true;
      run.order = std::string(stamp.substr(1, kStampSize - 2));
    }
    // A run that stopped writes nothing more; whatever follows until the
    // next run's start is not its outcome.
    if (stopped) continue;
    if (run.removal && starts_with(message, "ICCID: ")) {
      std::string id = entry_text(message.substr(7));
      run.has_iccid = true;
      run.iccid = id.substr(0, kIccidMax);
    } else if ((!run.removal && starts_with(message, "eSim Download Completed, iccid: [")) ||
               (run.removal && starts_with(message, "eSIM Remove Completed"))) {
      run.has_result = true;
      run.result = 0;
    } else if (starts_with(message, "Server status:")) {
      run.has_server_status = true;
      run.server_status = entry_text(message);
    } else if (starts_with(message, "Error")) {
      long code = 0;
      if (!ret_code(message, &code)) continue;
      bool stops = in(kStoppingResults, sizeof kStoppingResults / sizeof kStoppingResults[0], code);
      bool logged = in(kLoggedResults, sizeof kLoggedResults / sizeof kLoggedResults[0], code);
      if (!stops && !logged) continue;
      run.has_failure = true;
      run.failure = entry_text(message);
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
