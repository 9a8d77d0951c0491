#include "channel_info.h"

#include <sys/stat.h>

#include <cstring>
#include <ctime>
#include <initializer_list>
#include <memory>
#include <new>
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

// The five reads in the order they are sent, each with the wait esimctl
// gives the same command.
struct Read {
  const char *command;
  int timeout;
};
constexpr Read kReads[kInfoReads] = {
    {kAtCfunQuery, 0},
    {kAtQgmr, 0},
    {kAtQesimEid, 1},
    {kAtQesimList, 2},
    {kAtQesimNtfListSelector0, 3},
};

// A modem with echo on sends the command back ahead of its reply; every
// reader would then read the command as the reply (the level of AT+CFUN?
// reads as 0), so such a reply is not read at all.
bool echoed(const char *reply, const char *command) {
  reply += strspn(reply, "\r\n");
  return strncmp(reply, command, strcspn(command, "\r\n")) == 0;
}

// A result code line of a failed command: ERROR, +CME ERROR: or +CMS ERROR:.
bool error_line(const char *line) {
  return strcmp(line, "ERROR") == 0 || strncmp(line, "+CME ERROR", 10) == 0 ||
         strncmp(line, "+CMS ERROR", 10) == 0;
}

bool carries_error(const char *reply) {
  ReplyCopy copy = copy_reply(reply);
  for (char *line = copy.get(); line != nullptr && *line != '\0';) {
    char *next = cut_line(line);
    if (error_line(line)) return true;
    line = next;
  }
  return false;
}

// The firmware line: the first line that is neither empty, nor the echoed
// command, nor the final result code. Nothing relies on it, so a reply
// without one leaves it null and is no error.
void read_firmware(cJSON *info, const char *reply) {
  ReplyCopy copy = copy_reply(reply);
  if (!copy || carries_error(reply)) return;
  for (char *line = copy.get(); line != nullptr && *line != '\0';) {
    char *next = cut_line(line);
    if (line[0] != '\0' && strcmp(line, "OK") != 0 && strncmp(line, "AT", 2) != 0) {
      cJSON_ReplaceItemInObject(info, "firmware", json_text(line));
      return;
    }
    line = next;
  }
}

// The status as the radio preparation reads it; the EID is the field
// behind it on its line, quoted or not: nothing past that line's end (an
// unsolicited line that follows) is taken for it.
void read_eid(cJSON *info, const char *reply) {
  ReplyCopy copy = copy_reply(reply);
  char *status = nullptr;
  if (!copy) {
    add_error(info, kAtQesimEid, "out of memory");
    return;
  }
  if (read_eid_status(copy.get(), &status) != 0) {
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
  const char *field = status + strlen(status) + 1;
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
  if (len == 0) {
    add_error(info, kAtQesimEid, "the reply holds no EID");
    return;
  }
  char eid[kErrorSize];
  snprintf(eid, sizeof eid, "%.*s", static_cast<int>(len), field);
  cJSON_ReplaceItemInObject(info, "eid", json_text(eid));
}

void add_profile(const char *iccid_found, const char *line, void *context) {
  cJSON *profile = cJSON_CreateObject();
  add_text(profile, "iccid", iccid_found);
  add_text(profile, "line", line);
  cJSON_AddItemToArray(static_cast<cJSON *>(context), profile);
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

// The list is read as the download and the removal read it: by the text
// "list" and its ICCID lines; what follows "list", (a status, a count or
// nothing) is not judged. A list the modem answered with an error names no
// profile, and every record would then look like one whose profile is gone:
// that is an error, and no comparison is made.
bool read_list(cJSON *info, const char *reply) {
  if (carries_error(reply)) {
    add_error(info, kAtQesimList, "the modem answered with an error");
    return false;
  }
  if (strstr(reply, "list") == nullptr) {
    add_error(info, kAtQesimList, "the reply holds no list");
    return false;
  }
  if (for_each_listed_iccid(reply, kIccidSize, add_profile, cJSON_GetObjectItem(info, "profiles")) <
      0) {
    add_error(info, kAtQesimList, "out of memory");
    return false;
  }
  return true;
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

bool is_alnum(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The first ICCID-shaped text of `line` outside [skip, skip + skip_len): a
// digit, then digits or F, 15 to 20 in all, with no letter or digit on
// either side; quoted or not. Its length, 0 when there is none.
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

// A notification line is any line but the status line (the one the status
// check reads: the first holding "ntf_list") with a sequence number, read as
// the removal reads it: after the line's first comma, ended by a comma or the
// line's end. Its ICCID is the ICCID-shaped text elsewhere on the line,
// quoted or not; a line whose ICCID cannot be read is listed all the same,
// with a null ICCID, since what it holds is still pending. False when the
// list was not read.
bool read_notifications(cJSON *info, const char *reply) {
  ReplyCopy copy = copy_reply(reply);
  Json found(cJSON_CreateArray());
  if (!copy || !found) {
    add_error(info, kAtQesimNtfListSelector0, "out of memory");
    return false;
  }
  const char *status_key = strstr(copy.get(), "ntf_list");
  for (char *line = copy.get(); line != nullptr && *line != '\0';) {
    char *next = cut_line(line);
    const char *comma = strchr(line, ',');
    bool status_line =
        status_key != nullptr && status_key >= line && status_key < line + strlen(line);
    size_t seq_len = comma != nullptr ? strcspn(comma + 1, ",") : 0;
    if (!status_line && seq_len > 0) {
      const char *seq = comma + 1;
      const char *iccid_at = nullptr;
      size_t iccid_len = find_iccid(line, seq, seq_len, &iccid_at);
      cJSON *ntf = cJSON_CreateObject();
      add_text(ntf, "seq", std::string(seq, seq_len).c_str());
      if (iccid_len > 0)
        add_text(ntf, "iccid", std::string(iccid_at, iccid_len).c_str());
      else
        cJSON_AddNullToObject(ntf, "iccid");
      add_text(ntf, "line", line);
      cJSON_AddItemToArray(found.get(), ntf);
    }
    line = next;
  }
  ReplyCopy checked = copy_reply(reply);
  if (!checked) {
    add_error(info, kAtQesimNtfListSelector0, "out of memory");
    return false;
  }
  if (parse_at_status(checked.get(), "ntf_list") != 0) {
    add_error(info, kAtQesimNtfListSelector0, "the reply does not carry status 0");
    return false;
  }
  cJSON_ReplaceItemInObject(info, "notifications", found.release());
  return true;
}

void add_records_error(cJSON *info, int ret) {
  const char *why = ret == -3    ? "the database reported an error"
                    : ret == -11 ? "the database client could not be started"
                                 : "no usable answer from the database client";
  char text[kErrorSize];
  snprintf(text, sizeof text, "record store: %s", why);
  cJSON_AddItemToArray(cJSON_GetObjectItem(info, "errors"), json_text(text));
}

// The ICCID of an array item, null when it has none.
const char *iccid_of(const cJSON *item) {
  return cJSON_GetStringValue(cJSON_GetObjectItem(item, "iccid"));
}

bool same_iccid(const char *a, const char *b) {
  return a == nullptr || b == nullptr ? a == b : strcmp(a, b) == 0;
}

bool has_iccid(const cJSON *array, const char *wanted) {
  const cJSON *item = nullptr;
  cJSON_ArrayForEach(item, array) {
    if (same_iccid(iccid_of(item), wanted)) return true;
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
// made when both of its sides were read. `ntf_reply` is the notification
// list's reply (null when none came) and `ntf_read` whether it was read.
void find(cJSON *info, int chan, bool list_read, bool records_read, const char *ntf_reply,
          bool ntf_read) {
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
      const char *id = iccid_of(item);
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
      const char *id = iccid_of(item);
      if (has_iccid(profiles, id)) continue;
      // A statement to copy is only offered for an ICCID of digits and F:
      // other text in the record (edited by hand) could break its quoting.
      // A record is the only copy of the server its pending notification
      // goes to: one whose ICCID stands anywhere in the notification list
      // (where the removal finds it), or whose notifications could not be
      // read, is never offered for forgetting.
      bool digits = id[0] != '\0' && is_iccid_text(id);
      if (digits && ntf_reply != nullptr && strstr(ntf_reply, id) != nullptr)
        snprintf(detail, sizeof detail,
                 "recorded but not on the eUICC, and a notification for it is pending there: "
                 "keep the record, that notification goes to its server; send it and forget "
                 "the record with: esimctl -c %d -i %s -r -n",
                 chan, id);
      else if (digits && !ntf_read)
        snprintf(detail, sizeof detail,
                 "recorded but not on the eUICC; the notification list could not be read, so a "
                 "notification for it may still be pending: look again before forgetting it");
      else if (digits)
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
  // One finding per ICCID (the lines without one count as one), naming its
  // notifications in list order.
  const cJSON *notifications = cJSON_GetObjectItem(info, "notifications");
  cJSON_ArrayForEach(item, notifications) {
    const char *id = iccid_of(item);
    bool first = true;
    for (const cJSON *before = notifications->child; before != item; before = before->next)
      first = first && !same_iccid(iccid_of(before), id);
    if (!first) continue;
    int count = 0;
    size_t used = 0;
    char seqs[kDetailSize / 2] = {};
    const cJSON *same = nullptr;
    cJSON_ArrayForEach(same, notifications) {
      if (!same_iccid(iccid_of(same), id)) continue;
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

InfoStatus judge_channel(cJSON *info, int chan, const ChannelReads &reads) {
  cJSON *errors = cJSON_GetObjectItem(info, "errors");
  bool read[kInfoReads] = {};
  for (int i = 0; i < kInfoReads; ++i) {
    const char *command = kReads[i].command;
    const char *reply = reads.reply[i];
    if (reads.ret[i] < 0) {
      // The firmware is only shown: no answer leaves it null, no error.
      if (i != kReadFirmware) add_error(info, command, exchange_failure(reads.ret[i]));
      continue;
    }
    if (echoed(reply, command)) {
      add_error(info, command, "command echo is on");
      continue;
    }
    int level = 0;
    switch (i) {
      case kReadLevel:
        if (read_cfun_level(reply, &level))
          cJSON_ReplaceItemInObject(info, "functionality", cJSON_CreateNumber(level));
        else
          add_error(info, command, "the reply holds no level");
        break;
      case kReadFirmware:
        read_firmware(info, reply);
        break;
      case kReadEid:
        read_eid(info, reply);
        break;
      case kReadList:
        read[i] = read_list(info, reply);
        break;
      default:
        read[i] = read_notifications(info, reply);
        break;
    }
  }
  if (reads.records_ret != 0) add_records_error(info, reads.records_ret);
  const char *ntf_reply =
      reads.ret[kReadNotifications] >= 0 ? reads.reply[kReadNotifications] : nullptr;
  find(info, chan, read[kReadList], reads.records_ret == 0, ntf_reply, read[kReadNotifications]);
  return cJSON_GetArraySize(errors) == 0 ? kInfoAnswered : kInfoQueryFailed;
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
  std::unique_ptr<char[]> replies(new (std::nothrow) char[kInfoReads * kReplySize]);
  if (!info || !replies) return nullptr;

  chan_id = chan;
  ChannelReads reads{};
  for (int i = 0; i < kInfoReads; ++i) {
    char *reply = replies.get() + i * kReplySize;
    reads.ret[i] = exchange_on_channel(kReads[i].command, reply, kReads[i].timeout, 0);
    reads.reply[i] = reply;
  }
  reads.records_ret = list_http_info(chan, add_record, cJSON_GetObjectItem(info.get(), "records"));
  *status = judge_channel(info.get(), chan, reads);
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
