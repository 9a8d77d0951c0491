#include "findings.h"

#include <cstdio>
#include <cstring>

#include "globals.h"
#include "peer_text.h"
#include "profile_cmds.h"

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

void compare(const ChannelRead &read, const char *now, std::vector<Finding> *found) {
  char detail[kDetailSize];
  for (const ListedProfile &profile : read.profiles) {
    if (has_record(read, profile.iccid)) continue;
    snprintf(detail, sizeof detail,
             "installed but not recorded (a download that stopped at its notification or its "
             "list, or whose record was not saved), so its removal would stop at the lookup; "
             "record the server that installed it (the host of its activation code and the "
             "path its download notified), then remove it: %s %s \"INSERT INTO esim_http "
             "(port, iccid, http_ip, http_path, save_time) VALUES (%d, \\\"%s\\\", "
             "\\\"<server host>\\\", \\\"<notification path>\\\", \\\"%s\\\")\"",
             ESIMCTL_DB_CLIENT, ESIMCTL_DB_FILE, read.chan, profile.iccid.c_str(), now);
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
               "recorded but not on the eUICC, and a notification for it is pending there: "
               "keep the record, that notification goes to its server; send it and forget "
               "the record with: esimctl -c %d -i %s -r -n",
               read.chan, id);
    else if (digits && !read.notifications_read)
      snprintf(detail, sizeof detail,
               "recorded but not on the eUICC; the notification list could not be read, so a "
               "notification for it may still be pending: look again before forgetting it");
    else if (digits)
      snprintf(detail, sizeof detail,
               "recorded but not on the eUICC (removed without esimctl, or a removal that did "
               "not forget its record); forget it with: %s %s \"DELETE FROM esim_http WHERE "
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
    snprintf(detail, sizeof detail,
             "%d notification%s pending on the eUICC (sequence number%s %s), not yet sent to "
             "or not yet deleted after its server",
             count, count == 1 ? "" : "s", count == 1 ? "" : "s", seqs);
    add(found, "notifications-pending", list[i].has_iccid ? &list[i].iccid : nullptr, detail);
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
             "notification was sent leaves 4; AT+CFUN=1 restores full function",
             read.level);
    add(&found, "radio-off", nullptr, detail);
  }
  // A comparison is only made when both of its sides were read.
  if (read.list_read && read.records_read) compare(read, now, &found);
  pending(read, &found);
  return found;
}
