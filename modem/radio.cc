#include "radio.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "at_commands.h"
#include "at_exchange.h"
#include "globals.h"
#include "run_log.h"

namespace {

constexpr int kEidExtraReads = 20;
// The level follows "CFUN" at this distance in "+CFUN: <level>".
constexpr size_t kCfunLevelOffset = 6;
constexpr unsigned int kAfterFullFunctionS = 4;
constexpr unsigned int kAfterRadioOffS = 1;
constexpr unsigned int kBetweenExtraReadsS = 1;

int exchange(const char *cmd, char *result, int timeout) {
  return execute_at_command(chan_id, cmd, result, static_cast<int>(kReplySize), timeout, 0);
}

// The EID reply may come after the exchange gave up on a first burst of
// other text: read the device again, once a second, each read on its own.
void wait_for_eid(char *result) {
  log_wait("a late EID reply (one read a second)", kEidExtraReads);
  for (int i = 0; i < kEidExtraReads; ++i) {
    sleep(kBetweenExtraReadsS);
    memset(result, 0, kReplySize);
    ssize_t res = read(at_fd, result, kReplySize - 1);
    if (res > 0 && strstr(result, "eid") != nullptr) return;
  }
}

}  // namespace

bool read_cfun_level(const char *reply, int *level) {
  const char *cfun = strstr(reply, "CFUN");
  if (cfun == nullptr) return false;
  // A reply that ends within six characters of "CFUN" names no level (it
  // reads as 0); it is not read past its end.
  *level = strnlen(cfun, kCfunLevelOffset) < kCfunLevelOffset ? 0 : atoi(cfun + kCfunLevelOffset);
  return true;
}

int read_eid_status(char *reply, char **status) {
  char *key = strstr(reply, "eid");
  if (key == nullptr) return -1;
  char *comma = strchr(key, ',');
  if (comma == nullptr) return -2;
  char *end = strchr(comma + 1, ',');
  if (end == nullptr) return -3;
  *end = '\0';
  *status = comma + 1;
  return 0;
}

int read_eid_reply(const char *reply, char *status, size_t status_size, char *eid,
                   size_t eid_size) {
  std::unique_ptr<char, decltype(&free)> copy(strdup(reply), &free);
  if (!copy) return -4;
  char *found = nullptr;
  if (read_eid_status(copy.get(), &found) != 0) return -1;
  if (strcmp(found, "0") != 0) {
    snprintf(status, status_size, "%s", found);
    return -2;
  }
  const char *field = found + strlen(found) + 1;
  field += strspn(field, " ");
  size_t len = 0;
  if (*field == '"') {
    ++field;
    len = strcspn(field, "\"\r\n");
    if (field[len] != '"') len = 0;
  } else {
    len = strcspn(field, ",\r\n");
    while (len > 0 && field[len - 1] == ' ') --len;
  }
  if (len == 0) return -3;
  snprintf(eid, eid_size, "%.*s", static_cast<int>(len), field);
  return 0;
}

// The lines of a reply are what lies between runs of CR and LF.
bool read_firmware_line(const char *reply, const char **line, size_t *len) {
  if (reply_has_error_line(reply)) return false;
  for (const char *p = reply; *p != '\0'; p += strspn(p, "\r\n")) {
    size_t n = strcspn(p, "\r\n");
    bool final_ok = n == 2 && strncmp(p, "OK", 2) == 0;
    bool echo = n >= 2 && strncmp(p, "AT", 2) == 0;
    if (n > 0 && !final_ok && !echo) {
      *line = p;
      *len = n;
      return true;
    }
    p += n;
  }
  return false;
}

bool reply_has_error_line(const char *reply) {
  for (const char *p = reply; *p != '\0'; p += strspn(p, "\r\n")) {
    size_t n = strcspn(p, "\r\n");
    if ((n == 5 && strncmp(p, "ERROR", 5) == 0) ||
        (n >= 10 && (strncmp(p, "+CME ERROR", 10) == 0 || strncmp(p, "+CMS ERROR", 10) == 0)))
      return true;
    p += n;
  }
  return false;
}

bool reply_echoes_command(const char *reply, const char *command) {
  reply += strspn(reply, "\r\n");
  return strncmp(reply, command, strcspn(command, "\r\n")) == 0;
}

void send_prev_at() {
  char result[kReplySize] = {};
  if (print_flag) log_print("Send Prev AT\n");
  int only_one = 1;
  int send_cfun_min_flag = 0;
  int send_cfun_max_flag = 0;

  for (;;) {  // one pass, and at most one recovery pass
    if (send_cfun_min_flag) {
      send_cfun_min_flag = 0;
      exchange(kAtCfunMin, result, 0);
      send_cfun_max_flag = 1;
      log_wait("the radio to go down", kAfterRadioOffS);
      sleep(kAfterRadioOffS);
    } else {
      exchange(kAtCfunQuery, result, 0);
      int value = 0;
      if (read_cfun_level(result, &value) && value == 0) send_cfun_max_flag = 1;
      exchange(kAtQgmr, result, 0);
    }

    if (send_cfun_max_flag) {
      send_cfun_max_flag = 0;
      exchange(kAtCfunFull, result, 0);
      log_wait("the radio to come up", kAfterFullFunctionS);
      sleep(kAfterFullFunctionS);
    }

    exchange(kAtQesimEid, result, 1);
    if (strstr(result, "eid") == nullptr) wait_for_eid(result);

    char *status = nullptr;
    switch (read_eid_status(result, &status)) {
      case -1:
        log_print("Not find eid\n");
        return;
      case -2:
        log_print("Not find eid comma\n");
        return;
      case -3:
        log_print("Not find eid comma value\n");
        return;
    }
    if (strcmp(status, "0") == 0) return;
    if (!only_one) return;
    only_one = 0;
    send_cfun_min_flag = 1;
  }
}

int send_at_cfun_max() {
  char command[64] = {};
  char result[kReplySize] = {};
  memcpy(command, kAtCfunRadioOff, sizeof kAtCfunRadioOff);
  if (exchange(command, result, 0) < 0) {
    log_print("Error: Failed to execute disable eSIM command\n");
    return -1;
  }
  if (print_flag) log_print("Test: at+cfun=4 chan_id [%d] response[%s]\n", chan_id, result);
  log_wait("the radio to go off", kAfterRadioOffS);
  sleep(kAfterRadioOffS);
  if (strstr(result, "OK") != nullptr) {
    if (print_flag) log_print("eSIM CFUN 4 successfully\n");
    return 0;
  }
  log_print("Error: AT+CFUN=4 response\n");
  return -1;
}

void send_end_at() {
  char result[kReplySize] = {};
  if (print_flag) log_print("Send End AT\n");
  exchange(kAtCfunFull, result, 0);
}
