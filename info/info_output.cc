#include "info_output.h"

#include <cstring>
#include <string>

#include "at_exchange.h"
#include "peer_text.h"

namespace {

void add_text(cJSON *object, const char *name, const std::string &text) {
  cJSON_AddItemToObject(object, name, cJSON_CreateString(utf8_repaired(text.c_str()).c_str()));
}

void add_text_or_null(cJSON *object, const char *name, bool present, const std::string &text) {
  if (present)
    add_text(object, name, text);
  else
    cJSON_AddNullToObject(object, name);
}

void add_number_or_null(cJSON *object, const char *name, bool known, int value) {
  if (known)
    cJSON_AddNumberToObject(object, name, value);
  else
    cJSON_AddNullToObject(object, name);
}

// The last run in one line, its failure and server status each on a line
// of their own below it. Log text is peer text: escaped like the rest.
void print_last_run(const cJSON *last, FILE *out) {
  if (!cJSON_IsObject(last)) {
    fprintf(out, "  %-14s none\n", "last");
    return;
  }
  auto text = [&](const char *name) {
    return terminal_escaped(cJSON_GetStringValue(cJSON_GetObjectItem(last, name)));
  };
  const cJSON *result = cJSON_GetObjectItem(last, "result");
  std::string outcome = cJSON_IsNumber(result)
                            ? "result " + std::to_string(result->valueint)
                            : std::string("no outcome (killed, or still running)");
  std::string what = text("operation");
  if (cJSON_IsString(cJSON_GetObjectItem(last, "iccid"))) what += " " + text("iccid");
  fprintf(out, "  %-14s %s  started %s  %s\n", "last", what.c_str(), text("started").c_str(),
          outcome.c_str());
  if (cJSON_IsString(cJSON_GetObjectItem(last, "failure")))
    fprintf(out, "  %-14s %s\n", "", text("failure").c_str());
  if (cJSON_IsString(cJSON_GetObjectItem(last, "server_status")))
    fprintf(out, "  %-14s %s\n", "", text("server_status").c_str());
  // The server's refusal is shown once, when it is also the cause.
  if (cJSON_IsString(cJSON_GetObjectItem(last, "cause")) && text("cause") != text("server_status"))
    fprintf(out, "  %-14s cause: %s\n", "", text("cause").c_str());
}

// The last run in a few words: what it was and how it ended.
std::string last_outcome(const cJSON *last) {
  if (!cJSON_IsObject(last)) return "none";
  auto text = [&](const char *name) {
    return terminal_escaped(cJSON_GetStringValue(cJSON_GetObjectItem(last, name)));
  };
  std::string what = text("operation");
  if (cJSON_IsString(cJSON_GetObjectItem(last, "iccid"))) what += " " + text("iccid");
  const cJSON *result = cJSON_GetObjectItem(last, "result");
  what += cJSON_IsNumber(result) ? ", result " + std::to_string(result->valueint)
                                 : std::string(", no outcome");
  if (cJSON_IsString(cJSON_GetObjectItem(last, "started"))) what += ", started " + text("started");
  return what;
}

bool has_error(const cJSON *info, const char *error) {
  const cJSON *item = nullptr;
  cJSON_ArrayForEach(item, cJSON_GetObjectItem(info, "errors")) {
    const char *text = cJSON_GetStringValue(item);
    if (text != nullptr && strcmp(text, error) == 0) return true;
  }
  return false;
}

}  // namespace

Json info_json(const ChannelRead &read, const std::vector<Finding> &findings) {
  Json info(cJSON_CreateObject());
  if (!info) return nullptr;
  cJSON *object = info.get();
  cJSON_AddNumberToObject(object, "channel", read.chan);
  char device[kDevicePathSize] = {};
  channel_device_path(read.chan, device, sizeof device);
  add_text(object, "device", device);
  add_number_or_null(object, "functionality", read.level_read, read.level);
  add_text_or_null(object, "firmware", read.firmware_read, read.firmware);
  add_text_or_null(object, "eid", read.eid_read, read.eid);

  cJSON *profiles = cJSON_AddArrayToObject(object, "profiles");
  for (const ListedProfile &listed : read.profiles) {
    cJSON *profile = cJSON_CreateObject();
    add_text(profile, "iccid", listed.iccid);
    add_text(profile, "line", listed.line);
    cJSON_AddItemToArray(profiles, profile);
  }
  cJSON *notifications = cJSON_AddArrayToObject(object, "notifications");
  for (const PendingNotification &pending : read.notifications) {
    cJSON *ntf = cJSON_CreateObject();
    add_text(ntf, "seq", pending.seq);
    add_text_or_null(ntf, "iccid", pending.has_iccid, pending.iccid);
    add_text(ntf, "line", pending.line);
    cJSON_AddItemToArray(notifications, ntf);
  }
  cJSON *records = cJSON_AddArrayToObject(object, "records");
  for (const ServerRecord &row : read.records) {
    cJSON *record = cJSON_CreateObject();
    add_text(record, "iccid", row.iccid);
    add_text(record, "host", row.host);
    add_text(record, "path", row.path);
    add_text(record, "saved", row.saved);
    cJSON_AddItemToArray(records, record);
  }
  if (!read.last_found) {
    cJSON_AddNullToObject(object, "last");
  } else {
    const LastRun &run = read.last;
    cJSON *last = cJSON_AddObjectToObject(object, "last");
    cJSON_AddStringToObject(last, "operation", run.removal ? "removal" : "download");
    add_text_or_null(last, "iccid", run.has_iccid, run.iccid);
    add_text_or_null(last, "started", run.has_started, run.started);
    add_number_or_null(last, "result", run.has_result, run.result);
    add_text_or_null(last, "failure", run.has_failure, run.failure);
    add_text_or_null(last, "server_status", run.has_server_status, run.server_status);
    add_text_or_null(last, "cause", run.has_cause, run.cause);
  }
  cJSON *found = cJSON_AddArrayToObject(object, "findings");
  for (const Finding &finding : findings) {
    cJSON *item = cJSON_CreateObject();
    cJSON_AddStringToObject(item, "kind", finding.kind.c_str());
    add_text_or_null(item, "iccid", finding.has_iccid, finding.iccid);
    add_text(item, "detail", finding.detail);
    cJSON_AddItemToArray(found, item);
  }
  cJSON *errors = cJSON_AddArrayToObject(object, "errors");
  for (const std::string &error : read.errors)
    cJSON_AddItemToArray(errors, cJSON_CreateString(utf8_repaired(error.c_str()).c_str()));
  return info;
}

Json empty_info(int chan, const char *error) {
  ChannelRead read;
  read.chan = chan;
  if (error != nullptr) read.errors.emplace_back(error);
  return info_json(read, {});
}

void print_channel_table(const cJSON *info, FILE *out) {
  // Text from the modem or the database reaches a terminal here: only
  // printable ASCII goes as it is.
  auto text = [](const cJSON *item) { return terminal_escaped(cJSON_GetStringValue(item)); };
  fprintf(out, "channel %d  %s\n", cJSON_GetObjectItem(info, "channel")->valueint,
          text(cJSON_GetObjectItem(info, "device")).c_str());
  const cJSON *level = cJSON_GetObjectItem(info, "functionality");
  if (cJSON_IsNumber(level))
    fprintf(out, "  %-14s %d\n", "functionality", level->valueint);
  else
    fprintf(out, "  %-14s -\n", "functionality");
  fprintf(out, "  %-14s %s\n", "firmware", text(cJSON_GetObjectItem(info, "firmware")).c_str());
  fprintf(out, "  %-14s %s\n", "EID", text(cJSON_GetObjectItem(info, "eid")).c_str());

  print_last_run(cJSON_GetObjectItem(info, "last"), out);

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
      else if (strcmp(section.array, "findings") == 0 &&
               cJSON_IsString(cJSON_GetObjectItem(item, "iccid")))
        fprintf(out, "  %-14s %s %s: %s\n", title, member("kind").c_str(), member("iccid").c_str(),
                member("detail").c_str());
      else if (strcmp(section.array, "findings") == 0)
        fprintf(out, "  %-14s %s: %s\n", title, member("kind").c_str(), member("detail").c_str());
      else
        fprintf(out, "  %-14s %s\n", title, text(item).c_str());
      title = "";
    }
  }
}

const char *channel_state(const cJSON *info) {
  if (has_error(info, kBusyError)) return "busy";
  if (has_error(info, kMissingError) || has_error(info, kOpenError)) return "no modem";
  return cJSON_GetArraySize(cJSON_GetObjectItem(info, "errors")) == 0 ? "ok" : "errors";
}

void print_summary_head(FILE *out) {
  fprintf(out, "%-7s  %-8s  %8s  %8s  %s\n", "channel", "state", "profiles", "findings",
          "last run");
}

void print_summary_line(const cJSON *info, FILE *out) {
  const char *state = channel_state(info);
  bool looked = strcmp(state, "busy") != 0 && strcmp(state, "no modem") != 0;
  std::string profiles =
      looked ? std::to_string(cJSON_GetArraySize(cJSON_GetObjectItem(info, "profiles"))) : "-";
  std::string findings =
      looked ? std::to_string(cJSON_GetArraySize(cJSON_GetObjectItem(info, "findings"))) : "-";
  fprintf(out, "%7d  %-8s  %8s  %8s  %s\n", cJSON_GetObjectItem(info, "channel")->valueint, state,
          profiles.c_str(), findings.c_str(),
          last_outcome(cJSON_GetObjectItem(info, "last")).c_str());
}
