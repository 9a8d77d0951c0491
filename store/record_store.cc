#include "record_store.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>

#include "globals.h"
#include "json_owner.h"
#include "peer_text.h"
#include "run_log.h"

namespace {

constexpr size_t kSaveCommandSize = 1280;
constexpr size_t kSaveResultSize = 1024;
constexpr size_t kDateSize = 64;
constexpr size_t kQueryCommandSize = 1024;
constexpr size_t kQueryResultSize = 2048;
// A channel's whole list of records: about 180 bytes a row, room for over 300.
constexpr size_t kListResultSize = 65536;

// Why the last call failed, when it logged no reason of its own.
constexpr size_t kFailureSize = 512;
char failure[kFailureSize] = {};

constexpr const char *command = ESIMCTL_DB_CLIENT;
constexpr const char *db_file = ESIMCTL_DB_FILE;
constexpr const char *chan_tag = "port";
constexpr const char *iccid_tag = "iccid";
constexpr const char *http_ip_tag = "http_ip";
constexpr const char *http_path_tag = "http_path";
constexpr const char *date_tag = "save_time";

// The values travel inside a double-quoted shell word and inside double
// quotes in the SQL text. Only bytes that neither the shell nor SQLite reads
// as syntax there may pass; anything else is refused, not escaped, because a
// modem or a command line never has a reason to send it.
bool unsafe_byte(unsigned char byte) {
  return byte < 0x20 || byte == 0x7f || strchr("\"\\$`'", byte) != nullptr;
}

// SQLite reads a double-quoted word as a column name when one of that name
// exists, so iccid = "iccid" would hold for every row.
bool names_a_column(const char *value) {
  static const char *const kColumns[] = {"port",      "iccid", "http_ip", "http_path",
                                         "save_time", "rowid", "oid",     "_rowid_"};
  for (const char *name : kColumns)
    if (strcasecmp(value, name) == 0) return true;
  return false;
}

// True when `value` may be placed in a command line; otherwise logs why.
bool value_allowed(const char *what, const char *value) {
  bool unsafe = false;
  for (const char *p = value; *p != '\0'; ++p) unsafe = unsafe || unsafe_byte(*p);
  if (!unsafe && !names_a_column(value)) return true;
  LogSafeText shown = log_safe(value);
  if (unsafe)
    log_print(
        "Error: %s [%s] refused: quotes, backslashes, dollar signs, backquotes and "
        "control characters may not reach the database\n",
        what, shown.text);
  else
    log_print("Error: %s [%s] refused: the database would read it as a column name\n", what,
              shown.text);
  return false;
}

// Formats a command line into `buf`; false (logged) when it would not fit,
// since a cut line would run a different command.
bool build_command(char *buf, size_t size, int written) {
  if (written >= 0 && static_cast<size_t>(written) < size) return true;
  buf[0] = '\0';
  log_print("Error: database command longer than %zu bytes refused\n", size - 1);
  return false;
}

// Keeps the reason of a failure whose cause the store logged nowhere, for
// the entry the workflow adds after its failure entry.
void fail_because(const char *fmt, const char *detail) {
  snprintf(failure, sizeof failure, fmt, detail);
}

// Why the client's answer is not usable: none at all, or its text.
void answer_unusable(const char *answer) {
  if (answer[0] == '\0')
    fail_because("the database client %s gave no answer", command);
  else
    fail_because("the database client's answer is not JSON [%.256s]", log_safe(answer).text);
}

void not_started() {
  snprintf(failure, sizeof failure, "the database client %s could not be started, error-%d[%s]",
           command, errno, strerror(errno));
}

// A "Reason" member in any letter case is the client's error report.
bool reports_error(const cJSON *root) {
  const cJSON *reason = cJSON_GetObjectItem(root, "Reason");
  if (reason == nullptr) return false;
  const char *text = cJSON_GetStringValue(reason);
  log_print("database failed [%s].\n", text ? text : "");
  return true;
}

// The client's answer with every number outside a string put in quotes, so
// that a column the client prints as a number (an ICCID of twenty digits, a
// save time as seconds) is read as the text it printed: parsed as a number it
// would lose its digits.
std::string numbers_as_text(const char *json) {
  std::string out;
  bool in_string = false;
  for (const char *p = json; *p != '\0'; ++p) {
    if (in_string) {
      out += *p;
      if (*p == '\\' && p[1] != '\0')
        out += *++p;
      else if (*p == '"')
        in_string = false;
    } else if (*p == '"') {
      in_string = true;
      out += *p;
    } else if (*p == '-' || (*p >= '0' && *p <= '9')) {
      size_t len = strspn(p, "-+.0123456789eE");
      out += '"';
      out.append(p, len);
      out += '"';
      p += len - 1;
    } else {
      out += *p;
    }
  }
  return out;
}

// Runs a lookup or delete command line and parses the client's answer,
// logging it formatted under `heading` (a format with one %s). Gives the
// object, or null with *ret set: -11 client not started, -2 not JSON, -3 the
// client reported a database error. With `keep_number_text` every number of
// the answer becomes its text.
Json query_client(const char *cmd, const char *heading, int *ret,
                  size_t result_size = kQueryResultSize, bool keep_number_text = false) {
  std::unique_ptr<char[]> result(new (std::nothrow) char[result_size]());
  *ret = -11;
  if (!result) return nullptr;
  *ret = exec_cmd(cmd, static_cast<int>(result_size), result.get());
  if (*ret != 0) {
    not_started();
    return nullptr;
  }
  Json root(keep_number_text ? cJSON_Parse(numbers_as_text(result.get()).c_str())
                             : cJSON_Parse(result.get()));
  *ret = -2;
  if (!root) {
    answer_unusable(result.get());
    return nullptr;
  }
  if (print_flag) {
    JsonText text(cJSON_Print(root.get()));
    log_print(heading, "formatted json:");
    log_print("%s\n\n", text ? text.get() : "");
  }
  *ret = -3;
  if (reports_error(root.get())) return nullptr;
  *ret = 0;
  return root;
}

}  // namespace

const char *record_store_failure() {
  return failure;
}

int save_http_info(int chan_id, const char *ptr_iccid, const char *http_ip, const char *http_path) {
  failure[0] = '\0';
  if (ptr_iccid == nullptr || http_ip == nullptr || http_path == nullptr) return -1;
  if (!value_allowed("ICCID", ptr_iccid) || !value_allowed("server host", http_ip) ||
      !value_allowed("server path", http_path))
    return -1;

  char date_value[kDateSize] = {};
  time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  strftime(date_value, sizeof date_value, "%Y-%m-%d %H:%M:%S", &local);

  char buf[kSaveCommandSize];
  int written = snprintf(
      buf, sizeof buf,
      "%s %s \"INSERT INTO esim_http (%s, %s, %s, %s, %s) VALUES (%d, \\\"%s\\\", \\\"%s\\\", "
      "\\\"%s\\\", \\\"%s\\\")\"",
      command, db_file, chan_tag, iccid_tag, http_ip_tag, http_path_tag, date_tag, chan_id,
      ptr_iccid, http_ip, http_path, date_value);
  if (!build_command(buf, sizeof buf, written)) return -1;

  char result[kSaveResultSize] = {};
  int ret = exec_cmd(buf, sizeof result, result);
  if (ret != 0) {
    not_started();
    return ret;
  }
  if (strstr(result, "Reason") != nullptr) {
    Json root(cJSON_Parse(result));
    const char *reason = cJSON_GetStringValue(cJSON_GetObjectItem(root.get(), "Reason"));
    if (reason != nullptr)
      fail_because("the database client reported [%.256s]", log_safe(reason).text);
    else
      fail_because("the database client reported an error [%.256s]", log_safe(result).text);
    return -2;
  }
  if (strstr(result, "\"ResultCode\":\t0,") != nullptr) return 0;
  if (result[0] == '\0')
    fail_because("the database client %s gave no answer", command);
  else
    fail_because("the database client's answer is not a success [%.256s]", log_safe(result).text);
  return -3;
}

int get_http_info(int chan_id, const char *iccid, char *http_ip, char *http_path) {
  failure[0] = '\0';
  if (iccid == nullptr || http_ip == nullptr || http_path == nullptr) return -1;
  if (!value_allowed("ICCID", iccid)) return -1;

  char buf[kQueryCommandSize];
  int written = snprintf(buf, sizeof buf,
                         "%s %s \"SELECT * FROM esim_http WHERE %s = %d AND %s = \\\"%s\\\" \"",
                         command, db_file, chan_tag, chan_id, iccid_tag, iccid);
  if (!build_command(buf, sizeof buf, written)) return -1;

  int ret = 0;
  Json root = query_client(buf, "Get http info: %s\n", &ret);
  if (!root) return ret;

  const cJSON *infos = cJSON_GetObjectItem(root.get(), "infos");
  const cJSON *row = cJSON_IsArray(infos) ? cJSON_GetArrayItem(infos, 0) : nullptr;
  if (row == nullptr) {
    if (cJSON_IsArray(infos))
      snprintf(failure, sizeof failure, "no record for channel %d and ICCID %s", chan_id, iccid);
    else
      fail_because("the database client's answer holds no %s", "\"infos\" list");
    return -2;
  }

  const cJSON *ip = cJSON_GetObjectItem(row, http_ip_tag);
  const cJSON *path = cJSON_GetObjectItem(row, http_path_tag);
  const char *ip_text = cJSON_IsString(ip) ? ip->valuestring : nullptr;
  const char *path_text = cJSON_IsString(path) ? path->valuestring : nullptr;
  // A cut host or path would name another server; refuse the record whole.
  if ((ip_text && strlen(ip_text) >= kAtHttpIpSize) ||
      (path_text && strlen(path_text) >= kAtHttpPathSize)) {
    log_print("Error: recorded server longer than %zu host or %zu path characters\n",
              kAtHttpIpSize - 1, kAtHttpPathSize - 1);
    return -2;
  }
  if (ip_text) {
    snprintf(http_ip, kAtHttpIpSize, "%s", ip_text);
    log_print("http_ip: [%s]\n", http_ip);
  }
  if (path_text) {
    snprintf(http_path, kAtHttpPathSize, "%s", path_text);
    log_print("http_path: [%s]\n", http_path);
  }
  return 0;
}

int delete_http_info(int chan_id, const char *iccid) {
  failure[0] = '\0';
  if (iccid == nullptr) return -1;
  if (!value_allowed("ICCID", iccid)) return -1;

  char buf[kQueryCommandSize];
  int written = snprintf(buf, sizeof buf,
                         "%s %s \"DELETE FROM esim_http WHERE %s = %d AND %s = \\\"%s\\\" \"",
                         command, db_file, chan_tag, chan_id, iccid_tag, iccid);
  if (!build_command(buf, sizeof buf, written)) return -1;

  int ret = 0;
  Json root = query_client(buf, "Delete http info: %s\n", &ret);
  if (!root) return ret;
  if (cJSON_GetObjectItem(root.get(), "ResultCode") != nullptr) return 0;
  fail_because("the database client's answer holds no %s", "\"ResultCode\"");
  return -4;
}

int list_http_info(int chan_id, RecordVisitor visit, void *context) {
  failure[0] = '\0';
  char buf[kQueryCommandSize];
  int written = snprintf(buf, sizeof buf, "%s %s \"SELECT * FROM esim_http WHERE %s = %d \"",
                         command, db_file, chan_tag, chan_id);
  if (!build_command(buf, sizeof buf, written)) return -1;

  int ret = 0;
  Json root = query_client(buf, "List http info: %s\n", &ret, kListResultSize, true);
  if (!root) return ret;
  const cJSON *infos = cJSON_GetObjectItem(root.get(), "infos");
  if (!cJSON_IsArray(infos)) return -2;
  auto text = [](const cJSON *row, const char *name) {
    const char *value = cJSON_GetStringValue(cJSON_GetObjectItem(row, name));
    return value != nullptr ? value : "";
  };
  const cJSON *row = nullptr;
  cJSON_ArrayForEach(row, infos) {
    visit(text(row, iccid_tag), text(row, http_ip_tag), text(row, http_path_tag),
          text(row, date_tag), context);
  }
  return 0;
}
