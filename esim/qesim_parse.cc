#include "qesim_parse.h"

#include <cstring>

#include "globals.h"
#include "run_log.h"

namespace {

// Copies the `len` characters at `from` into `to` (of `size` bytes) with a
// NUL. A field that does not fit is passed over as if the reply lacked it:
// a cut status, path or host would send the tool to the wrong place, which is
// worse than keeping the previous value. Gives whether it was copied.
bool copy_field(char *to, size_t size, const char *from, size_t len) {
  if (len >= size) return false;
  memcpy(to, from, len);
  to[len] = '\0';
  return true;
}

}  // namespace

ReplyCopy copy_reply(const char *reply) {
  size_t len = strlen(reply);
  ReplyCopy copy(static_cast<char *>(malloc(len + 1)));
  if (copy) memcpy(copy.get(), reply, len + 1);
  return copy;
}

char *cut_line(char *line) {
  char *line_end = strpbrk(line, "\r\n");
  if (line_end == nullptr) return nullptr;
  *line_end = '\0';
  char *next = line_end + 1;
  while (*next == '\r' || *next == '\n') ++next;
  return next;
}

void parse_at_response(const char *response, const char *keyword, int get_ip_flag) {
  if (response == nullptr || keyword == nullptr) return;
  const char *key = strstr(response, keyword);
  if (key == nullptr) {
    log_print("Error: response[%s], keyword[%s]\n", response, keyword);
    return;
  }

  // Status and path: each search that fails ends this part only.
  const char *first_comma = *key != '\0' ? strchr(key + 1, ',') : nullptr;
  const char *second_comma = first_comma != nullptr ? strchr(first_comma + 1, ',') : nullptr;
  if (second_comma != nullptr) {
    char temp_status[kAtStatusSize];
    size_t status_len = static_cast<size_t>(second_comma - first_comma - 1);
    if (copy_field(temp_status, sizeof temp_status, first_comma + 1, status_len) &&
        temp_status[0] != '\0') {
      memcpy(at_status, temp_status, status_len + 1);
      if (print_flag) log_print("at_status: [%s]\n", at_status);
    }
    const char *open_quote = strchr(second_comma + 1, '"');
    const char *close_quote = open_quote != nullptr ? strchr(open_quote + 1, '"') : nullptr;
    if (close_quote != nullptr && copy_field(at_http_path, sizeof at_http_path, open_quote + 1,
                                             static_cast<size_t>(close_quote - open_quote - 1))) {
      if (print_flag) log_print("at_http_path: [%s]\n", at_http_path);
    }
  }

  const char *open_brace = strchr(key, '{');
  const char *close_brace = strrchr(key, '}');
  if (open_brace == nullptr || close_brace == nullptr || close_brace <= open_brace) return;
  if (!copy_field(at_payload, sizeof at_payload, open_brace,
                  static_cast<size_t>(close_brace - open_brace + 1))) {
    return;
  }

  if (get_ip_flag) {
    // The modem puts the server host in the payload's last member.
    const char *colon = strrchr(at_payload, ':');
    const char *open_quote = colon != nullptr ? strchr(colon, '"') : nullptr;
    const char *close_quote = open_quote != nullptr ? strchr(open_quote + 1, '"') : nullptr;
    if (close_quote != nullptr && copy_field(at_http_ip, sizeof at_http_ip, open_quote + 1,
                                             static_cast<size_t>(close_quote - open_quote - 1))) {
      if (print_flag) log_print("at_http_ip: [%s]\n", at_http_ip);
    }
  }
  if (print_flag) log_print("at_payload: [%s]\n", at_payload);
}

int parse_at_status(char *response, const char *keyword) {
  char *key = (response != nullptr && keyword != nullptr) ? strstr(response, keyword) : nullptr;
  if (key == nullptr) {
    log_print("Error: %s response not found\n", keyword != nullptr ? keyword : "");
    return -5;
  }
  char *comma = strchr(key, ',');
  if (comma == nullptr) {
    log_print("Error: decode [%s] , failed.\n", keyword);
    return -1;
  }
  char *status = comma + 1;
  char *cr = strchr(status, '\r');
  if (cr == nullptr) {
    log_print("Error: decode [%s] /\r failed.\n", keyword);
    return -3;
  }
  *cr = '\0';
  if (strcmp(status, "0") != 0) {
    log_print("Error: Failed to %s, status: %s\n", keyword, status);
    return -4;
  }
  return 0;
}
