#include "findings.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "at_exchange.h"
#include "globals.h"
#include "peer_text.h"
#include "profile_cmds.h"
#include "result_codes.h"

namespace {

constexpr size_t kDetailSize = 1024;

bool has_record(const ChannelRead &read, const std::string &id) {
  for (const ServerRecord &record : read.records)
    if (record.iccid == id) return true;
  return false;
}

bool has_profile(const ChannelRead &read, const std::string &id) {
  for (const ListedProfile &profile : read.profiles)
    if (profile.iccid == id) return true;
  return false;
}

// The statement esimctl(1) gives for typing one AT command to the channel by
// hand: the line set up, then the command written to it.
std::string by_hand(int chan, const char *at_command) {
  char device[kDevicePathSize] = {};
  channel_device_path(chan, device, sizeof device);
  char statement[2 * kDevicePathSize + 128];
  snprintf(statement, sizeof statement, "stty -F %s 115200 raw -echo && printf '%s\\r\\n' > %s",
           device, at_command, device);
  return statement;
}

bool same_iccid(const PendingNotification &a, const PendingNotification &b) {
  return a.has_iccid == b.has_iccid && a.iccid == b.iccid;
}

void add(std::vector<Finding> *found, const char *kind, const std::string *id, const char *detail) {
  Finding finding;
  finding.kind = kind;
  finding.has_iccid = id != nullptr;
  if (id != nullptr) finding.iccid = *id;
  finding.detail = detail;
  found->push_back(finding);
}

// Text from a run log goes into a statement to copy only when no byte of
// it could end its quoting or reach the shell: a host as the relay takes
// one, a path of printable ASCII without space, quotes, backslash, dollar
// or backquote; each short enough that the detail is never cut.
constexpr size_t kHostShown = 64;
constexpr size_t kPathShown = 128;

bool host_text(const std::string &host) {
  if (host.empty() || host.size() > kHostShown) return false;
  for (char c : host)
    if (!isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.') return false;
  return true;
}

bool path_text(const std::string &path) {
  if (path.empty() || path[0] != '/' || path.size() > kPathShown) return false;
  for (char c : path)
    if (c <= ' ' || c > '~' || strchr("\"\\$`'", c) != nullptr) return false;
  return true;
}

// "https://<host><path>" split in two; false for any other shape.
bool split_url(const std::string &url, std::string *host, std::string *path) {
  static const char kScheme[] = "https://";
  if (url.compare(0, sizeof kScheme - 1, kScheme) != 0) return false;
  size_t slash = url.find('/', sizeof kScheme - 1);
  if (slash == std::string::npos) return false;
  *host = url.substr(sizeof kScheme - 1, slash - (sizeof kScheme - 1));
  *path = url.substr(slash);
  return host_text(*host) && path_text(*path);
}

// The server a profile left unrecorded goes to, as the last download's log
// tells it, in esimctl(1)'s order: the path of the notification after
// "=== Step 4: notify ==="; else the path the same server gave one of the
// channel's records; else the run's first request's path with its last
// part, initiateAuthentication, made handleNotification. False when the log
// tells none of them.
bool server_of(const ChannelRead &read, const LastRun &run, std::string *host, std::string *path,
               const char **how) {
  if (run.has_notify_url && split_url(run.notify_url, host, path)) {
    *how = "the host and path of its log's \"URL:\" line after \"=== Step 4: notify ===\"";
    return true;
  }
  if (!run.has_first_url || !split_url(run.first_url, host, path)) return false;
  for (const ServerRecord &record : read.records) {
    if (record.host == *host && path_text(record.path)) {
      *path = record.path;
      *how =
          "its server's host, and the notification path that server gave the channel's other "
          "downloads";
      return true;
    }
  }
  static const char kFirst[] = "initiateAuthentication";
  size_t at = path->size() >= sizeof kFirst - 1 ? path->size() - (sizeof kFirst - 1) : 0;
  if (path->compare(at, std::string::npos, kFirst) != 0) return false;
  path->replace(at, std::string::npos, "handleNotification");
  *how =
      "the host and path of its first \"URL:\" line, with its last part, "
      "initiateAuthentication, made handleNotification (it never reached \"=== Step 4: notify "
      "===\")";
  return true;
}

// Whether the channel's last download is the one that left `profile`
// installed without a record: a run that stopped at its notification
// (234), its list (233) or its last trans (236), was killed, or could not
// save the record (ret=-24, naming the profile); and the profile is the one
// it names or, unnamed, the newest listed (a download records the last).
bool left_by(const ChannelRead &read, const LastRun &run, const std::string &profile) {
  if (!run.found || run.removal) return false;
  bool leaves = !run.has_result || run.result == kNotifyHttpFailed || run.result == kListFailed ||
                run.result == kStep3TransFailed ||
                (run.result == 0 && run.has_failure && run.failure_code == kSaveRecordFailed);
  if (!leaves) return false;
  if (run.has_installed) return run.installed == profile;
  return !read.profiles.empty() && read.profiles.back().iccid == profile;
}

void compare(const ChannelRead &read, const char *now, std::vector<Finding> *found) {
  char detail[kDetailSize];
  for (const ListedProfile &profile : read.profiles) {
    if (has_record(read, profile.iccid)) continue;
    const LastRun &run = read.last_download;
    bool by_run = left_by(read, run, profile.iccid);
    std::string host = "<server host>", path = "<notification path>";
    const char *how = nullptr;
    if (by_run && !server_of(read, run, &host, &path, &how)) {
      host = "<server host>";
      path = "<notification path>";
    }
    // The time it was installed, as near as its log tells it.
    const char *when = by_run && run.has_ended ? run.ended.c_str() : now;
    char server[kDetailSize / 2];
    if (how != nullptr)
      snprintf(server, sizeof server, "as the last download's log gives it: %s", how);
    else
      snprintf(server, sizeof server,
               "with the host of the activation code and the notification path the same server "
               "gave other downloads (or the download log's \"URL:\" line after \"=== Step 4: "
               "notify ===\"; see esimctl(1), 236)");
    snprintf(detail, sizeof detail,
             "installed but not recorded (a download that ended at 234, 233 or 236, or at 0 "
             "with ret=-24 in its log), so its removal would stop at 255; record its server by "
             "hand, %s, and keep the profile as planned, or then remove it: %s %s \"INSERT INTO "
             "esim_http (port, iccid, http_ip, http_path, save_time) VALUES (%d, \\\"%s\\\", "
             "\\\"%s\\\", \\\"%s\\\", \\\"%s\\\")\"",
             server, ESIMCTL_DB_CLIENT, ESIMCTL_DB_FILE, read.chan, profile.iccid.c_str(),
             host.c_str(), path.c_str(), when);
    add(found, "profile-without-record", &profile.iccid, detail);
  }
  for (const ServerRecord &record : read.records) {
    if (has_profile(read, record.iccid)) continue;
    const char *id = record.iccid.c_str();
    // A statement to copy is only offered for an ICCID of digits and F:
    // other text in the record (edited by hand) could break its quoting.
    // A record is the only copy of the server its pending notification
    // goes to: one whose ICCID stands anywhere in the notification list
    // (where the removal finds it), or whose notifications could not be
    // read, is never offered for forgetting.
    bool digits = id[0] != '\0' && is_iccid_text(id);
    if (digits && read.notification_replied && strstr(read.notification_reply.c_str(), id))
      snprintf(detail, sizeof detail,
               "recorded but not on the eUICC, and a notification for it is pending there (a "
               "removal that ended at 250 or 249): keep the record, that notification goes to "
               "its server; run the removal again with -n (and without -d), which sends it, "
               "cleans up and forgets the record: esimctl -c %d -i %s -r -n",
               read.chan, id);
    else if (digits && !read.notifications_read)
      snprintf(detail, sizeof detail,
               "recorded but not on the eUICC; the notification list could not be read, so a "
               "notification for it may still be pending: look again before forgetting it");
    else if (digits)
      snprintf(detail, sizeof detail,
               "recorded but not on the eUICC, and no notification for it is pending there (a "
               "removal that ended at 251 or at 0 with ret=-10, or a profile removed without "
               "esimctl): the server cannot be told by esimctl; forget the record by hand: %s %s "
               "\"DELETE FROM esim_http WHERE "
               "port = %d AND iccid = \\\"%s\\\" \"",
               ESIMCTL_DB_CLIENT, ESIMCTL_DB_FILE, read.chan, id);
    else
      snprintf(detail, sizeof detail,
               "recorded but not on the eUICC, under an ICCID that is not digits: check the "
               "record store by hand");
    add(found, "record-without-profile", &record.iccid, detail);
  }
}

void pending(const ChannelRead &read, std::vector<Finding> *found) {
  char detail[kDetailSize];
  const std::vector<PendingNotification> &list = read.notifications;
  for (size_t i = 0; i < list.size(); ++i) {
    bool first = true;
    for (size_t before = 0; before < i; ++before)
      first = first && !same_iccid(list[before], list[i]);
    if (!first) continue;
    int count = 0;
    size_t used = 0;
    char seqs[kDetailSize / 2] = {};
    for (const PendingNotification &same : list) {
      if (!same_iccid(same, list[i])) continue;
      ++count;
      // As the JSON shows it, so that a long list is cut where it always was.
      std::string seq = utf8_repaired(same.seq.c_str());
      int n = snprintf(seqs + used, sizeof seqs - used, "%s%s", used ? ", " : "", seq.c_str());
      if (n > 0) used = used + static_cast<size_t>(n) < sizeof seqs ? used + n : sizeof seqs - 1;
    }
    // What to do depends on who can still send them: the record names
    // their server; without one, esimctl cannot reach it.
    const std::string *id = list[i].has_iccid ? &list[i].iccid : nullptr;
    bool sides = read.list_read && read.records_read;
    char advice[kDetailSize / 2] = {};
    if (id != nullptr && sides && has_profile(read, *id)) {
      snprintf(advice, sizeof advice,
               "the profile is still installed; they stay until its removal");
    } else if (id != nullptr && sides && has_record(read, *id)) {
      snprintf(advice, sizeof advice,
               "its record is in place (a removal that ended at 250 or 249): run the removal "
               "again with -n (and without -d): esimctl -c %d -i %s -r -n",
               read.chan, id->c_str());
    } else if (id != nullptr && sides) {
      snprintf(advice, sizeof advice,
               "no record names their server, so a removal cannot reach them; after a removal "
               "that ended at 0 with ret=-8 or -9 in its log the server has its notification: "
               "delete each of them on the eUICC by hand, with SEQ its sequence number: %s",
               by_hand(read.chan, "AT+QESIM=\"ntf_delete\",SEQ").c_str());
    } else {
      snprintf(advice, sizeof advice,
               "not yet sent to or not yet deleted after its server; esimctl-info cannot tell "
               "which: %s",
               id == nullptr ? "no ICCID could be read on their lines" : "look again");
    }
    snprintf(detail, sizeof detail,
             "%d notification%s pending on the eUICC (sequence number%s %s); %s", count,
             count == 1 ? "" : "s", count == 1 ? "" : "s", seqs, advice);
    add(found, "notifications-pending", id, detail);
  }
}

}  // namespace

std::vector<Finding> find_findings(const ChannelRead &read, const char *now) {
  std::vector<Finding> found;
  char detail[kDetailSize];
  if (read.eid_not_ready) {
    snprintf(detail, sizeof detail,
             "the eUICC answers the EID query with status %.32s, not 0: a download would "
             "switch the radio off and on once and may still fail",
             read.eid_status.c_str());
    add(&found, "eid-not-ready", nullptr, detail);
  }
  if (read.level_read && read.level != 1) {
    snprintf(detail, sizeof detail,
             "functionality level %d, not 1 (full function): a removal that stopped before its "
             "notification was sent (255 to 249) leaves 4; mend the cause and run the removal "
             "again (a successful run ends at full function), or restore full function by hand: "
             "%s",
             read.level, by_hand(read.chan, "AT+CFUN=1").c_str());
    add(&found, "radio-off", nullptr, detail);
  }
  // A comparison is only made when both of its sides were read.
  if (read.list_read && read.records_read) compare(read, now, &found);
  pending(read, &found);
  return found;
}
