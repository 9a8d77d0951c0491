#include "notification_cmds.h"

#include <cstdio>
#include <cstring>

#include "at_commands.h"
#include "at_exchange.h"
#include "globals.h"
#include "profile_cmds.h"
#include "qesim_parse.h"
#include "run_log.h"

namespace {

constexpr size_t kNtfCommandSize = 256;
// The selector-3 list search starts behind the length of its own command text.
constexpr size_t kNtfListSearchOffset = sizeof(kAtQesimNtfListSelector3) - 1;
constexpr size_t kMaxSeqLen = kReqIdSize - 1;
constexpr char kNtfGetKey[] = "ntf_get\",";
// The notification's data is cut from one reply of at most kReplySize - 1
// characters, so wrapped as {"pendingNotification":"..."} it always fits
// http_payload: no length check is needed at run time.
static_assert(kReplySize - 1 + sizeof("{\"pendingNotification\":\"\"}") <= kHttpPayloadSize,
              "a notification from one reply must fit http_payload");

// Start of the line that holds `at`, never before `buffer`.
const char *line_start(const char *buffer, const char *at) {
  while (at > buffer && at[-1] != '\n' && at[-1] != '\r') --at;
  return at;
}

// Formats a command that carries a sequence number unquoted. One that would
// not fit, or would split the command into two lines, is refused.
bool format_seq_command(char *command, const char *fmt, const char *seq) {
  if (seq == nullptr || strpbrk(seq, "\r\n") != nullptr) return false;
  int needed = snprintf(command, kNtfCommandSize, fmt, seq);
  return needed >= 0 && static_cast<size_t>(needed) < kNtfCommandSize;
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

bool is_alnum(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The first ICCID-shaped text of `line` outside [skip, skip + skip_len).
// Its length, 0 when there is none.
size_t find_iccid(const char *line, const char *skip, size_t skip_len, const char **found) {
  for (const char *p = line; *p != '\0';) {
    if (p >= skip && p < skip + skip_len) {
      p = skip + skip_len;
      continue;
    }
    if (!is_digit(*p) || (p > line && is_alnum(p[-1]))) {
      ++p;
      continue;
    }
    size_t len = strspn(p, "0123456789Ff");
    if (len >= 15 && len <= 20 && !is_alnum(p[len]) && !(p < skip && p + len > skip)) {
      *found = p;
      return len;
    }
    p += len;
  }
  return 0;
}

}  // namespace

int read_ntf_seq(const char *line, char *out, size_t cap) {
  const char *comma = strchr(line, ',');
  if (comma == nullptr) return -1;
  const char *seq = comma + 1;
  const char *seq_end = strchr(seq, ',');
  if (seq_end == nullptr) return -1;
  size_t seq_len = static_cast<size_t>(seq_end - seq);
  if (seq_len >= cap) return -1;
  memcpy(out, seq, seq_len);
  out[seq_len] = '\0';
  return 0;
}

int for_each_listed_notification(const char *reply, NotificationVisitor visit, void *context) {
  ReplyCopy checked = copy_reply(reply);
  if (!checked) return -1;
  if (parse_at_status(checked.get(), "ntf_list") != 0) return -2;
  ReplyCopy copy = copy_reply(reply);
  if (!copy) return -1;
  int visited = 0;
  const char *status_key = strstr(copy.get(), "ntf_list");
  for (char *line = copy.get(); line != nullptr && *line != '\0';) {
    char *next = cut_line(line);
    const char *comma = strchr(line, ',');
    bool status_line =
        status_key != nullptr && status_key >= line && status_key < line + strlen(line);
    size_t seq_len = comma != nullptr ? strcspn(comma + 1, ",") : 0;
    // Only the command's own lines: an unsolicited line in the same reply
    // (+QIND: "csq",20,99, +CREG: 1,5) has commas too, but is no notification.
    bool own_line = strncmp(line, "+QESIM:", 7) == 0;
    if (own_line && !status_line && seq_len > 0) {
      const char *seq = comma + 1;
      const char *iccid_at = nullptr;
      size_t iccid_len = find_iccid(line, seq, seq_len, &iccid_at);
      visit(seq, seq_len, iccid_at, iccid_len, line, context);
      ++visited;
    }
    line = next;
  }
  return visited;
}

int send_at_ntf_list_delete(const char *iccid_param) {
  if (print_flag) log_print("Getting notification list\n");

  char command[kNtfCommandSize];
  char result[kReplySize];
  snprintf(command, sizeof command, "%s", kAtQesimNtfListSelector3);
  if (exchange_on_channel(command, result, 0, 0) < 0) {
    log_print("Error: Failed to execute notification list command\n");
    return -1;
  }
  if (parse_at_status(result, "ntf_list") < 0) {
    log_print("Error: goto parse_at_status ntf_list response\n");
    // The radio state tells the gateway engineer why the list was refused.
    snprintf(command, sizeof command, "%s", kAtCfunQuery);
    if (exchange_on_channel(command, result, 1, 0) < 0) {
      log_print("Error: Failed to execute notification list command\n");
    }
    log_print("Error: resp [%s]\n", result);
    return -1;
  }

  // The reply buffer is zero-filled behind the reply, so the search may start
  // at this offset even when the reply is shorter.
  const char *last_match = nullptr;
  if (iccid_param != nullptr && iccid_param[0] != '\0') {
    size_t iccid_len = strlen(iccid_param);
    const char *pos = result + kNtfListSearchOffset;
    const char *match;
    while ((match = strstr(pos, iccid_param)) != nullptr) {
      last_match = line_start(result, match);
      pos = match + iccid_len;
    }
  }

  const char *comma = last_match != nullptr ? strchr(last_match, ',') : nullptr;
  const char *seq = comma != nullptr ? comma + 1 : nullptr;
  const char *seq_end = nullptr;
  if (seq != nullptr) {
    seq_end = strchr(seq, ',');
    if (seq_end == nullptr) seq_end = strpbrk(seq, "\r\n");
  }
  if (seq_end == nullptr || static_cast<size_t>(seq_end - seq) > kMaxSeqLen) {
    log_print("Error: Notification for specified ICCID not found\n");
    return -1;
  }
  size_t seq_len = static_cast<size_t>(seq_end - seq);
  memcpy(req_id, seq, seq_len);
  req_id[seq_len] = '\0';
  if (print_flag) log_print("Found req_id from last match: %s\n", req_id);
  return 0;
}

int send_at_ntf_list(const char *iccid_param, char *ntf_req_id, int req_id_len) {
  if (ntf_req_id == nullptr) return -1;
  if (print_flag) log_print("Getting notification list\n");

  char command[kNtfCommandSize];
  char result[kReplySize];
  snprintf(command, sizeof command, "%s", kAtQesimNtfListSelector0);
  if (exchange_on_channel(command, result, 3, 0) < 0) {
    log_print("Error: Failed to execute notification list command\n");
    return -1;
  }
  // Searched before the status check cuts the reply at its status line.
  const char *match =
      (iccid_param != nullptr && iccid_param[0] != '\0') ? strstr(result, iccid_param) : nullptr;
  if (parse_at_status(result, "ntf_list") < 0) {
    log_print("Error: goto parse_at_status ntf_list response\n");
    return -1;
  }
  // No line for the ICCID is how the clean-up loop learns it is done: silent.
  if (match == nullptr) return -1;

  if (req_id_len <= 0 ||
      read_ntf_seq(line_start(result, match), ntf_req_id, static_cast<size_t>(req_id_len)) != 0)
    return -1;
  if (print_flag) log_print("Found req_id: %s\n", ntf_req_id);
  return 0;
}

int send_at_ntf_get() {
  if (print_flag) log_print("Getting notification data, req_id: %s\n", req_id);

  char command[kNtfCommandSize];
  char result[kReplySize];
  if (!format_seq_command(command, kAtQesimNtfGetFmt, req_id) ||
      exchange_on_channel(command, result, 2, 0) < 0) {
    log_print("Error: Failed to execute notification get command\n");
    return -1;
  }

  char *key = strstr(result, kNtfGetKey);
  if (key == nullptr) {
    log_print("Error: Failed to parse notification data\n");
    return -1;
  }
  char *status = key + sizeof(kNtfGetKey) - 1;
  // Ending the status at its comma lets it be logged as it stands; the data
  // is looked for behind that comma.
  char *status_end = strchr(status, ',');
  if (status_end != nullptr) *status_end = '\0';
  if (strcmp(status, "0") != 0) {
    log_print("Error: Failed to get notification data, status: %s\n", status);
    return -1;
  }
  const char *open_quote = status_end != nullptr ? strchr(status_end + 1, '"') : nullptr;
  const char *data = open_quote != nullptr ? open_quote + 1 : nullptr;
  const char *close_quote = data != nullptr ? strchr(data, '"') : nullptr;
  if (close_quote == nullptr) {
    log_print("Error: Failed to parse notification data\n");
    return -1;
  }
  snprintf(http_payload, sizeof http_payload, "{\"pendingNotification\":\"%.*s\"}",
           static_cast<int>(close_quote - data), data);
  if (print_flag) log_print("Notification data prepared\n");
  return 0;
}

int send_at_ntf_delete(const char *ntf_req_id) {
  if (print_flag) log_print("Deleting ntf req_id: %s\n", ntf_req_id != nullptr ? ntf_req_id : "");

  char command[kNtfCommandSize];
  char result[kReplySize];
  if (!format_seq_command(command, kAtQesimNtfDeleteFmt, ntf_req_id) ||
      exchange_on_channel(command, result, 1, 0) < 0) {
    log_print("Error: Failed to execute ntf_delete command\n");
    return -1;
  }
  if (parse_at_status(result, "ntf_delete") < 0) {
    log_print("Error: goto parse_at_status ntf_delete response\n");
    return -1;
  }
  if (print_flag) log_print("eSIM ntf_delete [%s] successfully\n", ntf_req_id);
  return 0;
}
