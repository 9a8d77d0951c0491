#include "channel_info.h"

#include <sys/stat.h>

#include <cstring>
#include <ctime>
#include <initializer_list>
#include <string>

#include "at_commands.h"
#include "at_exchange.h"
#include "globals.h"
#include "notification_cmds.h"
#include "profile_cmds.h"
#include "qesim_parse.h"
#include "radio.h"
#include "record_store.h"

namespace {

constexpr size_t kErrorSize = 256;
constexpr size_t kDetailSize = 1024;

// Modem and database text as a JSON string: cJSON passes bytes through as
// they are, so each byte that does not belong to a well-formed UTF-8
// sequence becomes U+FFFD and every line printed is valid UTF-8.
cJSON *json_text(const char *text) {
  std::string valid;
  const auto *p = reinterpret_cast<const unsigned char *>(text);
  while (*p != '\0') {
    size_t more = 0;
    unsigned char low = 0x80, high = 0xbf;  // the range of the second byte
    if (*p < 0x80) {
      more = 0;
    } else if (*p >= 0xc2 && *p <= 0xdf) {
      more = 1;
    } else if (*p >= 0xe0 && *p <= 0xef) {
      more = 2;
      if (*p == 0xe0) low = 0xa0;   // no overlong form
      if (*p == 0xed) high = 0x9f;  // no surrogate
    } else if (*p >= 0xf0 && *p <= 0xf4) {
      more = 3;
      if (*p == 0xf0) low = 0x90;
      if (*p == 0xf4) high = 0x8f;  // nothing past U+10FFFF
    } else {
      more = SIZE_MAX;
    }
    // n: the lead and the continuation bytes that fit behind it.
    size_t n = 1;
    if (more != SIZE_MAX) {
      for (; n <= more; ++n) {
        unsigned char c = p[n];  // the NUL ends a short sequence here
        if (n == 1 ? c < low || c > high : c < 0x80 || c > 0xbf) break;
      }
    }
    if (more != SIZE_MAX && n > more) {
      valid.append(reinterpret_cast<const char *>(p), n);
    } else {
      valid += "\xef\xbf\xbd";  // one for the whole broken sequence
    }
    p += n;
  }
  return cJSON_CreateString(valid.c_str());
}

void add_text(cJSON *object, const char *name, const char *text) {
  cJSON_AddItemToObject(object, name, json_text(text));
}

// What a failed exchange means, for an "errors" entry.
const char *exchange_failure(int ret) {
  switch (ret) {
    case -2:
      return "the device could not be opened";
    case -3:
      return "the command could not be written";
    case -4:
      return "no reply";
    default:
      return "the channel is outside 1-32";
  }
}

// The command as it reads in a message: without its line end.
void add_error(cJSON *info, const char *command, const char *why) {
  char text[kErrorSize];
  snprintf(text, sizeof text, "%.*s: %s", static_cast<int>(strcspn(command, "\r\n")), command, why);
  cJSON_AddItemToArray(cJSON_GetObjectItem(info, "errors"), json_text(text));
}

// One exchange with the wait esimctl gives the same command; false (with an
// error entry) when no reply came.
bool ask(cJSON *info, const char *command, char *reply, int timeout) {
  int ret = exchange_on_channel(command, reply, timeout, 0);
  if (ret >= 0) return true;
  add_error(info, command, exchange_failure(ret));
  return false;
}

// The firmware line: the first line that is neither empty, nor the echoed
// command, nor the final result code.
void read_firmware(cJSON *info, char *reply) {
  if (strstr(reply, "ERROR") != nullptr) {
    add_error(info, kAtQgmr, "the modem answered ERROR");
    return;
  }
  for (char *line = reply; line != nullptr && *line != '\0';) {
    char *next = cut_line(line);
    if (line[0] != '\0' && strcmp(line, "OK") != 0 && strncmp(line, "AT", 2) != 0) {
      cJSON_ReplaceItemInObject(info, "firmware", json_text(line));
      return;
    }
    line = next;
  }
  add_error(info, kAtQgmr, "the reply holds no firmware line");
}

void read_eid(cJSON *info, char *reply) {
  char *status = nullptr;
  if (read_eid_status(reply, &status) != 0) {
    add_error(info, kAtQesimEid, "the reply holds no EID status");
    return;
  }
  if (strcmp(status, "0") != 0) {
    char detail[kDetailSize];
    snprintf(detail, sizeof detail,
             "the eUICC answers the EID query with status %.32s, not 0: a download would "
             "switch the radio off and on once and may still fail",
             status);
    cJSON *finding = cJSON_CreateObject();
    cJSON_AddStringToObject(finding, "kind", "eid-not-ready");
    cJSON_AddNullToObject(finding, "iccid");
    add_text(finding, "detail", detail);
    cJSON_AddItemToArray(cJSON_GetObjectItem(info, "findings"), finding);
    return;
  }
  // The EID is the quoted text behind the status.
  const char *open_quote = strchr(status + strlen(status) + 1, '"');
  const char *close_quote = open_quote != nullptr ? strpbrk(open_quote + 1, "\"\r\n") : nullptr;
  if (close_quote == nullptr || *close_quote != '"') {
    add_error(info, kAtQesimEid, "the reply holds no EID");
    return;
  }
  char eid[kErrorSize];
  snprintf(eid, sizeof eid, "%.*s", static_cast<int>(close_quote - open_quote - 1), open_quote + 1);
  cJSON_ReplaceItemInObject(info, "eid", json_text(eid));
}

void add_profile(const char *iccid_found, const char *line, void *context) {
  cJSON *profile = cJSON_CreateObject();
  add_text(profile, "iccid", iccid_found);
  add_text(profile, "line", line);
  cJSON_AddItemToArray(static_cast<cJSON *>(context), profile);
}

void add_notification(const char *seq, const char *iccid_found, const char *line, void *context) {
  cJSON *ntf = cJSON_CreateObject();
  add_text(ntf, "seq", seq);
  add_text(ntf, "iccid", iccid_found);
  add_text(ntf, "line", line);
  cJSON_AddItemToArray(static_cast<cJSON *>(context), ntf);
}

void add_record(const char *iccid_found, const char *host, const char *path, const char *saved,
                void *context) {
  cJSON *record = cJSON_CreateObject();
  add_text(record, "iccid", iccid_found);
  add_text(record, "host", host);
  add_text(record, "path", path);
  add_text(record, "saved", saved);
  cJSON_AddItemToArray(static_cast<cJSON *>(context), record);
}

// The list counts only when the eUICC says it made it: "list", then status
// 0. A list that failed names no profile, and every record would then look
// like one whose profile is gone.
bool list_made(const char *reply) {
  const char *key = strstr(reply, "\"list\",");
  if (key == nullptr) return false;
  const char *status = key + strlen("\"list\",");
  return status[0] == '0' && strcspn(status, ",\r\n") == 1;
}

void read_list(cJSON *info, const char *reply) {
  if (strstr(reply, "list") == nullptr) {
    add_error(info, kAtQesimList, "the reply holds no list");
    return;
  }
  if (!list_made(reply)) {
    add_error(info, kAtQesimList, "the reply does not carry status 0");
    return;
  }
  if (for_each_listed_iccid(reply, kIccidSize, add_profile, cJSON_GetObjectItem(info, "profiles")) <
      0)
    add_error(info, kAtQesimList, "out of memory");
}

void read_notifications(cJSON *info, char *reply) {
  Json found(cJSON_CreateArray());
  if (for_each_listed_notification(reply, add_notification, found.get()) < 0) {
    add_error(info, kAtQesimNtfListSelector0, "out of memory");
    return;
  }
  // The status is checked after the lines were read: the check cuts the
  // reply at its status line.
  if (parse_at_status(reply, "ntf_list") != 0) {
    add_error(info, kAtQesimNtfListSelector0, "the reply does not carry status 0");
    return;
  }
  cJSON_ReplaceItemInObject(info, "notifications", found.release());
}

void read_records(cJSON *info, int chan) {
  int ret = list_http_info(chan, add_record, cJSON_GetObjectItem(info, "records"));
  const char *why = ret == -3    ? "the database reported an error"
                    : ret == -11 ? "the database client could not be started"
                                 : "no usable answer from the database client";
  if (ret != 0) {
    char text[kErrorSize];
    snprintf(text, sizeof text, "record store: %s", why);
    cJSON_AddItemToArray(cJSON_GetObjectItem(info, "errors"), json_text(text));
  }
}

bool has_iccid(const cJSON *array, const char *wanted) {
  const cJSON *item = nullptr;
  cJSON_ArrayForEach(item, array) {
    const char *text = cJSON_GetStringValue(cJSON_GetObjectItem(item, "iccid"));
    if (text != nullptr && strcmp(text, wanted) == 0) return true;
  }
  return false;
}

void add_finding(cJSON *info, const char *kind, const char *iccid_of, const char *detail) {
  cJSON *finding = cJSON_CreateObject();
  cJSON_AddStringToObject(finding, "kind", kind);
  if (iccid_of != nullptr)
    add_text(finding, "iccid", iccid_of);
  else
    cJSON_AddNullToObject(finding, "iccid");
  add_text(finding, "detail", detail);
  cJSON_AddItemToArray(cJSON_GetObjectItem(info, "findings"), finding);
}

// What the reads say about runs that stopped half-way. A comparison is only
// made when both of its sides were read.
void find(cJSON *info, int chan, bool list_read, bool records_read) {
  char detail[kDetailSize];
  const cJSON *level = cJSON_GetObjectItem(info, "functionality");
  if (cJSON_IsNumber(level) && level->valueint != 1) {
    snprintf(detail, sizeof detail,
             "functionality level %d, not 1 (full function): a removal that stopped before its "
             "notification was sent leaves 4; AT+CFUN=1 restores full function",
             level->valueint);
    add_finding(info, "radio-off", nullptr, detail);
  }
  const cJSON *profiles = cJSON_GetObjectItem(info, "profiles");
  const cJSON *records = cJSON_GetObjectItem(info, "records");
  const cJSON *item = nullptr;
  if (list_read && records_read) {
    char now[32];
    time_t t = time(nullptr);
    struct tm local {};
    localtime_r(&t, &local);
    strftime(now, sizeof now, "%Y-%m-%d %H:%M:%S", &local);
    cJSON_ArrayForEach(item, profiles) {
      const char *id = cJSON_GetStringValue(cJSON_GetObjectItem(item, "iccid"));
      if (has_iccid(records, id)) continue;
      snprintf(detail, sizeof detail,
               "installed but not recorded (a download that stopped at its notification or its "
               "list, or whose record was not saved), so its removal would stop at the lookup; "
               "record the server that installed it (the host of its activation code and the "
               "path its download notified), then remove it: %s %s \"INSERT INTO esim_http "
               "(port, iccid, http_ip, http_path, save_time) VALUES (%d, \\\"%s\\\", "
               "\\\"<server host>\\\", \\\"<notification path>\\\", \\\"%s\\\")\"",
               ESIMCTL_DB_CLIENT, ESIMCTL_DB_FILE, chan, id, now);
      add_finding(info, "profile-without-record", id, detail);
    }
    cJSON_ArrayForEach(item, records) {
      const char *id = cJSON_GetStringValue(cJSON_GetObjectItem(item, "iccid"));
      if (has_iccid(profiles, id)) continue;
      // A statement to copy is only offered for an ICCID of digits and F:
      // other text in the record (edited by hand) could break its quoting.
      if (id[0] != '\0' && is_iccid_text(id))
        snprintf(detail, sizeof detail,
                 "recorded but not on the eUICC (removed without esimctl, or a removal that did "
                 "not forget its record); forget it with: %s %s \"DELETE FROM esim_http WHERE "
                 "port = %d AND iccid = \\\"%s\\\" \"",
                 ESIMCTL_DB_CLIENT, ESIMCTL_DB_FILE, chan, id);
      else
        snprintf(detail, sizeof detail,
                 "recorded but not on the eUICC, under an ICCID that is not digits: check the "
                 "record store by hand");
      add_finding(info, "record-without-profile", id, detail);
    }
  }
  // One finding per ICCID, naming its notifications in list order.
  const cJSON *notifications = cJSON_GetObjectItem(info, "notifications");
  cJSON_ArrayForEach(item, notifications) {
    const char *id = cJSON_GetStringValue(cJSON_GetObjectItem(item, "iccid"));
    bool first = true;
    for (const cJSON *before = notifications->child; before != item; before = before->next)
      first = first && strcmp(cJSON_GetStringValue(cJSON_GetObjectItem(before, "iccid")), id) != 0;
    if (!first) continue;
    int count = 0;
    size_t used = 0;
    char seqs[kDetailSize / 2] = {};
    const cJSON *same = nullptr;
    cJSON_ArrayForEach(same, notifications) {
      if (strcmp(cJSON_GetStringValue(cJSON_GetObjectItem(same, "iccid")), id) != 0) continue;
      ++count;
      int n = snprintf(seqs + used, sizeof seqs - used, "%s%s", used ? ", " : "",
                       cJSON_GetStringValue(cJSON_GetObjectItem(same, "seq")));
      if (n > 0) used = used + static_cast<size_t>(n) < sizeof seqs ? used + n : sizeof seqs - 1;
    }
    snprintf(detail, sizeof detail,
             "%d notification%s pending on the eUICC (sequence number%s %s), not yet sent to "
             "or not yet deleted after its server",
             count, count == 1 ? "" : "s", count == 1 ? "" : "s", seqs);
    add_finding(info, "notifications-pending", id, detail);
  }
}

// The device's path for `chan`.
std::string device_of(int chan) {
  return std::string(dev_dir) + "/" + std::to_string(chan);
}

}  // namespace

Json empty_info(int chan, const char *error) {
  Json info(cJSON_CreateObject());
  if (!info) return nullptr;
  cJSON_AddNumberToObject(info.get(), "channel", chan);
  add_text(info.get(), "device", device_of(chan).c_str());
  cJSON_AddNullToObject(info.get(), "functionality");
  cJSON_AddNullToObject(info.get(), "firmware");
  cJSON_AddNullToObject(info.get(), "eid");
  for (const char *name : {"profiles", "notifications", "records", "findings", "errors"})
    cJSON_AddArrayToObject(info.get(), name);
  if (error != nullptr)
    cJSON_AddItemToArray(cJSON_GetObjectItem(info.get(), "errors"), json_text(error));
  return info;
}

Json read_channel(int chan, InfoStatus *status) {
  struct stat st {};
  if (stat(device_of(chan).c_str(), &st) != 0) {
    *status = kInfoUnreachable;
    return empty_info(chan, "the channel's device is missing");
  }
  int locked = lock_channel(chan);
  if (locked != 0) {
    *status = kInfoUnreachable;
    return empty_info(chan, locked == -5 ? "busy: another run holds the channel"
                                         : "the channel's device could not be opened");
  }
  Json info = empty_info(chan, nullptr);
  if (!info) return nullptr;
  cJSON *errors = cJSON_GetObjectItem(info.get(), "errors");

  chan_id = chan;
  char reply[kReplySize];
  int level = 0;
  if (ask(info.get(), kAtCfunQuery, reply, 0)) {
    if (read_cfun_level(reply, &level))
      cJSON_ReplaceItemInObject(info.get(), "functionality", cJSON_CreateNumber(level));
    else
      add_error(info.get(), kAtCfunQuery, "the reply holds no level");
  }
  if (ask(info.get(), kAtQgmr, reply, 0)) read_firmware(info.get(), reply);
  if (ask(info.get(), kAtQesimEid, reply, 1)) read_eid(info.get(), reply);
  int errors_before = cJSON_GetArraySize(errors);
  if (ask(info.get(), kAtQesimList, reply, 2)) read_list(info.get(), reply);
  bool list_read = cJSON_GetArraySize(errors) == errors_before;
  if (ask(info.get(), kAtQesimNtfListSelector0, reply, 3)) read_notifications(info.get(), reply);
  errors_before = cJSON_GetArraySize(errors);
  read_records(info.get(), chan);
  bool records_read = cJSON_GetArraySize(errors) == errors_before;

  find(info.get(), chan, list_read, records_read);
  *status = cJSON_GetArraySize(errors) == 0 ? kInfoAnswered : kInfoQueryFailed;
  return info;
}

void print_channel_table(const cJSON *info, FILE *out) {
  // Text from the modem or the database reaches a terminal here: only
  // printable ASCII goes as it is, any other byte (an escape sequence, a
  // line end) as \xNN.
  auto text = [](const cJSON *item) {
    const char *s = cJSON_GetStringValue(item);
    std::string safe = s != nullptr ? "" : "-";
    for (const char *c = s; c != nullptr && *c != '\0'; ++c) {
      auto byte = static_cast<unsigned char>(*c);
      if (byte >= 0x20 && byte < 0x7f) {
        safe += *c;
      } else {
        char escaped[5];
        snprintf(escaped, sizeof escaped, "\\x%02x", byte);
        safe += escaped;
      }
    }
    return safe;
  };
  fprintf(out, "channel %d  %s\n", cJSON_GetObjectItem(info, "channel")->valueint,
          text(cJSON_GetObjectItem(info, "device")).c_str());
  const cJSON *level = cJSON_GetObjectItem(info, "functionality");
  if (cJSON_IsNumber(level))
    fprintf(out, "  %-14s %d\n", "functionality", level->valueint);
  else
    fprintf(out, "  %-14s -\n", "functionality");
  fprintf(out, "  %-14s %s\n", "firmware", text(cJSON_GetObjectItem(info, "firmware")).c_str());
  fprintf(out, "  %-14s %s\n", "EID", text(cJSON_GetObjectItem(info, "eid")).c_str());

  struct Section {
    const char *title;
    const char *array;
  } sections[] = {{"profiles", "profiles"},
                  {"notifications", "notifications"},
                  {"records", "records"},
                  {"findings", "findings"},
                  {"errors", "errors"}};
  for (const Section &section : sections) {
    const cJSON *array = cJSON_GetObjectItem(info, section.array);
    if (cJSON_GetArraySize(array) == 0) {
      fprintf(out, "  %-14s none\n", section.title);
      continue;
    }
    const char *title = section.title;
    const cJSON *item = nullptr;
    cJSON_ArrayForEach(item, array) {
      auto member = [&](const char *name) { return text(cJSON_GetObjectItem(item, name)); };
      if (strcmp(section.array, "profiles") == 0)
        fprintf(out, "  %-14s %s\n", title, member("iccid").c_str());
      else if (strcmp(section.array, "notifications") == 0)
        fprintf(out, "  %-14s %s  seq %s\n", title, member("iccid").c_str(), member("seq").c_str());
      else if (strcmp(section.array, "records") == 0)
        fprintf(out, "  %-14s %s  %s%s  saved %s\n", title, member("iccid").c_str(),
                member("host").c_str(), member("path").c_str(), member("saved").c_str());
      else if (strcmp(section.array, "findings") == 0)
        fprintf(out, "  %-14s %s %s: %s\n", title, member("kind").c_str(), member("iccid").c_str(),
                member("detail").c_str());
      else
        fprintf(out, "  %-14s %s\n", title, text(item).c_str());
      title = "";
    }
  }
}
