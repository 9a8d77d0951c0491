#include "profile_cmds.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "at_commands.h"
#include "at_exchange.h"
#include "globals.h"
#include "qesim_parse.h"
#include "radio.h"
#include "run_log.h"

namespace {

constexpr size_t kListCommandSize = 256;
constexpr size_t kProfileCommandSize = 64;
constexpr size_t kTempIccidSize = 32;
constexpr size_t kIccidMinLen = 15;
constexpr size_t kIccidMaxLen = 20;

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// Formats a command that carries the ICCID in quotes. An ICCID that would
// leave the command without its line end, or end its quotes early, is refused.
bool format_iccid_command(char *command, size_t size, const char *fmt, const char *iccid_param) {
  if (iccid_param == nullptr || strpbrk(iccid_param, "\"\r\n") != nullptr) return false;
  int needed = snprintf(command, size, fmt, iccid_param);
  return needed >= 0 && static_cast<size_t>(needed) < size;
}

}  // namespace

// Digits and the padding letter F in either case; the list reader asks for a
// leading digit on its own.
bool is_iccid_text(const char *text) {
  for (const char *c = text; *c != '\0'; ++c) {
    if (!is_digit(*c) && *c != 'F' && *c != 'f') return false;
  }
  return true;
}

size_t iccid_candidate(const char *candidate) {
  if (!is_digit(*candidate)) return 0;
  const char *close_quote = strchr(candidate, '"');
  if (close_quote == nullptr) return 0;
  size_t len = static_cast<size_t>(close_quote - candidate);
  if (len < kIccidMinLen || len > kIccidMaxLen) return 0;
  char temp_iccid[kTempIccidSize];
  memcpy(temp_iccid, candidate, len);
  temp_iccid[len] = '\0';
  return is_iccid_text(temp_iccid) ? len : 0;
}

int for_each_listed_iccid(const char *response, size_t buffer_size, IccidVisitor visit,
                          void *context) {
  ReplyCopy response_copy = copy_reply(response);
  if (!response_copy) return -1;

  int visited = 0;
  char *line = response_copy.get();
  while (line != nullptr && *line != '\0') {
    char *next = cut_line(line);
    const char *open_quote = strchr(line, '"');
    size_t len = open_quote != nullptr ? iccid_candidate(open_quote + 1) : 0;
    if (len > 0 && len < buffer_size) {
      char found[kTempIccidSize];
      memcpy(found, open_quote + 1, len);
      found[len] = '\0';
      visit(found, line, context);
      ++visited;
    }
    line = next;
  }
  return visited;
}

int check_list_reply(const char *response) {
  if (reply_has_error_line(response)) return -1;
  return strstr(response, "list") != nullptr ? 0 : -2;
}

int get_last_iccid_from_list(const char *response, char *last_iccid, size_t buffer_size) {
  if (response == nullptr || last_iccid == nullptr || buffer_size == 0) return -1;
  auto keep_last = [](const char *iccid_found, const char *, void *context) {
    memcpy(context, iccid_found, strlen(iccid_found) + 1);
  };
  return for_each_listed_iccid(response, buffer_size, keep_last, last_iccid) > 0 ? 0 : -1;
}

int send_at_list(char *iccid_param, size_t iccid_len) {
  if (print_flag) log_print("Getting list\n");

  char command[kListCommandSize];
  char result[kReplySize];
  snprintf(command, sizeof command, "%s", kAtQesimList);
  if (exchange_on_channel(command, result, 2, 0) < 0) {
    log_print("Error: Failed to execute notification list command\n");
    return -1;
  }
  if (get_last_iccid_from_list(result, iccid_param, iccid_len) < 0) {
    log_print("Error: goto parse_at_status list response\n");
    return -1;
  }
  if (print_flag) log_print("Get new iccid: %s\n", iccid_param);
  return 0;
}

int send_at_disable_esim(const char *iccid_param) {
  if (print_flag) log_print("Disabling eSIM: %s\n", iccid_param != nullptr ? iccid_param : "");

  char command[kProfileCommandSize];
  char result[kReplySize];
  if (!format_iccid_command(command, sizeof command, kAtQesimDisableFmt, iccid_param) ||
      exchange_on_channel(command, result, 0, 0) < 0) {
    log_print("Error: Failed to execute disable eSIM command\n");
    return -1;
  }
  log_print("Disable chan_id [%d] response[%s]\n", chan_id, result);
  if (parse_at_status(result, "disable") < 0) {
    log_print("Error: goto parse_at_status disable response\n");
    return -1;
  }
  if (print_flag) log_print("eSIM disabled successfully\n");
  return 0;
}

// A delete that fails or does not report status 0 is not final: the profile
// list decides, since the eUICC may have removed the profile all the same.
int send_at_delete_esim(const char *iccid_param) {
  int ret = -1;
  if (print_flag) log_print("Deleting eSIM: %s\n", iccid_param != nullptr ? iccid_param : "");

  char command[kProfileCommandSize];
  char result[kReplySize];
  // An ICCID that cannot be sent as one quoted argument is refused before
  // anything reaches the modem; there is then nothing to look for in a list.
  if (!format_iccid_command(command, sizeof command, kAtQesimDeleteFmt, iccid_param)) {
    log_print("Error: Failed to execute delete eSIM command\n");
    return -1;
  }
  if (exchange_on_channel(command, result, 20, 1) < 0) {
    log_print("Error: Failed to execute delete eSIM command\n");
    ret = -1;
  } else if (parse_at_status(result, "delete") < 0) {
    log_print("Error: goto parse_at_status delete response\n");
    ret = -2;
  } else {
    if (print_flag) log_print("eSIM deleted successfully\n");
    return 0;
  }

  // check_list
  snprintf(command, sizeof command, "%s", kAtQesimList);
  if (exchange_on_channel(command, result, 0, 0) < 0) {
    log_print("Error: Failed to execute eSIM list command\n");
    return -3;
  }
  if (strstr(result, "list") == nullptr) {
    log_print("Error: Failed to parse eSIM list command is not list string\n");
    return -4;
  }
  if (strstr(result, iccid_param) == nullptr) {
    log_print("Parse eSIM list command is not iccid [%s], maybe delete success, continue;\n",
              iccid_param);
    return 0;
  }
  return ret;
}
