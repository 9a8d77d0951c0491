// What esimctl-info concludes from what it read: each row is one state a
// channel can be left in by a run that stopped half-way, and what a person
// is told to do about it. A wrong advice here loses a record (the only copy
// of the server a pending notification goes to) or a profile's way out.
#include "findings.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "globals.h"

namespace {

constexpr char kNow[] = "2026-12-07 03:00:00";
constexpr char kKept[] = "89882470000000000017";  // listed and recorded
constexpr char kOdd[] = "89445006012345678912";   // recorded, gone from the list

// A channel with nothing amiss: level 1, one profile and its record, no
// notification; every read succeeded.
ChannelRead healthy() {
  ChannelRead read;
  read.chan = 7;
  read.level_read = true;
  read.level = 1;
  read.eid_read = true;
  read.eid = "89049032000001000000000000000107";
  read.list_read = true;
  read.profiles.push_back({kKept, "+QESIM: 1,\"89882470000000000017\",1,\"A\""});
  read.notifications_read = true;
  read.notification_replied = true;
  read.notification_reply = "\r\n+QESIM: \"ntf_list\",0\r\n\r\nOK\r\n";
  read.records_read = true;
  read.records.push_back({kKept, "smdp.example", "/n", kNow});
  return read;
}

void record(ChannelRead &read, const char *id) {
  read.records.push_back({id, "smdp.example", "/n", kNow});
}

// The channel's last download as its log tells it: killed (no result)
// after its first request, `notify` the URL after "=== Step 4: notify ===".
void last_download(ChannelRead &read, const char *first, const char *notify) {
  LastRun &run = read.last_download;
  run.found = true;
  run.has_first_url = first != nullptr;
  run.first_url = first != nullptr ? first : "";
  run.has_notify_url = notify != nullptr;
  run.notify_url = notify != nullptr ? notify : "";
  run.has_ended = true;
  run.ended = "2026-12-08 10:01:40";
}

constexpr char kFirstUrl[] = "https://smdp.example/gsma/rsp2/es9plus/initiateAuthentication";

std::string insert(const char *host, const char *path, const char *when) {
  return std::string("VALUES (7, \\\"89882470000000000017\\\", \\\"") + host + "\\\", \\\"" + path +
         "\\\", \\\"" + when + "\\\")\"";
}

void pending(ChannelRead &read, const char *seq, const char *id) {
  read.notifications.push_back({seq, id != nullptr, id != nullptr ? id : "", "+QESIM: line"});
}

TEST(Findings, EachLeftOverStateGetsItsFindingAndItsAdvice) {
  struct Row {
    const char *situation;
    std::function<void(ChannelRead &)> change;
    std::string findings;                 // kind:iccid;... ("-" for none)
    std::vector<std::string> detail_has;  // in the details, in finding order
    const char *detail_lacks;             // in no detail
  } rows[] = {
      {"nothing amiss", [](ChannelRead &) {}, "", {}, nullptr},
      {"EID status other than 0",
       [](ChannelRead &r) {
         r.eid_read = false;
         r.eid_not_ready = true;
         r.eid_status = "2";
       },
       "eid-not-ready:-",
       {"answers the EID query with status 2, not 0"},
       nullptr},
      {"a long EID status is shown cut to 32 characters",
       [](ChannelRead &r) {
         r.eid_not_ready = true;
         r.eid_status = std::string(32, '7') + "TAIL";
       },
       "eid-not-ready:-",
       {"status " + std::string(32, '7') + ", not 0"},
       "TAIL"},
      {"radio left off by a removal, EID not ready: EID first",
       [](ChannelRead &r) {
         r.level = 4;
         r.eid_not_ready = true;
         r.eid_status = "1";
       },
       "eid-not-ready:-;radio-off:-",
       {"status 1", "functionality level 4, not 1"},
       nullptr},
      {"level 0", [](ChannelRead &r) { r.level = 0; }, "radio-off:-", {"level 0"}, nullptr},
      {"radio off: run the removal again, or full function by hand on the channel's device",
       [](ChannelRead &r) { r.level = 4; },
       "radio-off:-",
       {"run the removal again (a successful run ends at full function), or restore full function "
        "by hand: stty -F /dev/zarn/chn_usb/7 115200 raw -echo && printf 'AT+CFUN=1\\r\\n' > "
        "/dev/zarn/chn_usb/7"},
       nullptr},
      {"level not read is no radio-off",
       [](ChannelRead &r) {
         r.level_read = false;
         r.level = 4;
       },
       "",
       {},
       nullptr},
      {"installed without a record: the statement that records it",
       [](ChannelRead &r) { r.records.clear(); },
       "profile-without-record:89882470000000000017",
       {std::string(ESIMCTL_DB_CLIENT) + " " + ESIMCTL_DB_FILE +
        " \"INSERT INTO esim_http (port, iccid, http_ip, http_path, save_time) VALUES (7, "
        "\\\"89882470000000000017\\\", \\\"<server host>\\\", \\\"<notification path>\\\", "
        "\\\"2026-12-07 03:00:00\\\")\""},
       nullptr},
      {"killed before Step 4: its first request's path made handleNotification, its own time",
       [](ChannelRead &r) {
         r.records.clear();
         last_download(r, kFirstUrl, nullptr);
       },
       "profile-without-record:89882470000000000017",
       {insert("smdp.example", "/gsma/rsp2/es9plus/handleNotification", "2026-12-08 10:01:40")},
       "<server host>"},
      {"stopped at its notification (234): the host and path it notified",
       [](ChannelRead &r) {
         r.records.clear();
         last_download(r, kFirstUrl, "https://smdp.example/notify/here");
         r.last_download.has_result = true;
         r.last_download.result = -22;
       },
       "profile-without-record:89882470000000000017",
       {insert("smdp.example", "/notify/here", "2026-12-08 10:01:40")},
       "handleNotification"},
      {"before Step 4, the same server's path on another record",
       [](ChannelRead &r) {
         r.profiles.push_back({kOdd, "+QESIM: 2"});
         r.records = {{kKept, "smdp.example", "/n", kNow}};
         last_download(r, kFirstUrl, nullptr);
       },
       "profile-without-record:89445006012345678912",
       {"\\\"smdp.example\\\", \\\"/n\\\", \\\"2026-12-08 10:01:40\\\")"},
       nullptr},
      {"the last download ended well: it left nothing, the path is to fill in",
       [](ChannelRead &r) {
         r.records.clear();
         last_download(r, kFirstUrl, nullptr);
         r.last_download.has_result = true;
       },
       "profile-without-record:89882470000000000017",
       {insert("<server host>", "<notification path>", kNow)},
       "10:01:40"},
      {"a logged URL that could break the statement's quoting is not put in it",
       [](ChannelRead &r) {
         r.records.clear();
         last_download(r, "https://smdp.example/a\\\"$(id)/initiateAuthentication", nullptr);
       },
       "profile-without-record:89882470000000000017",
       {insert("<server host>", "<notification path>", "2026-12-08 10:01:40")},
       "$(id)"},
      {"list not read: no comparison",
       [](ChannelRead &r) {
         r.list_read = false;
         r.profiles.clear();
       },
       "",
       {},
       nullptr},
      {"records not read: no comparison",
       [](ChannelRead &r) {
         r.records_read = false;
         r.records.clear();
       },
       "",
       {},
       nullptr},
      {"recorded, gone, nothing pending: the statement that forgets it",
       [](ChannelRead &r) { record(r, kOdd); },
       "record-without-profile:89445006012345678912",
       {"DELETE FROM esim_http WHERE port = 7 AND iccid = \\\"89445006012345678912\\\" \""},
       "-r -n"},
      {"recorded, gone, its notification pending: keep the record, send it",
       [](ChannelRead &r) {
         record(r, kOdd);
         pending(r, "5", kOdd);
         r.notification_reply = "+QESIM: \"ntf_list\",5,89445006012345678912,2";
       },
       "record-without-profile:89445006012345678912;notifications-pending:89445006012345678912",
       {"esimctl -c 7 -i 89445006012345678912 -r -n",
        "1 notification pending on the eUICC "
        "(sequence number 5)"},
       "DELETE"},
      {"pending, record forgotten, profile gone (ret=-8, -9): deleted by hand",
       [](ChannelRead &r) { pending(r, "5", kOdd); },
       "notifications-pending:89445006012345678912",
       {"(sequence number 5); no record names their server, so a removal cannot reach them; "
        "after a removal that ended at 0 with ret=-8 or -9 in its log the server has its "
        "notification: delete each of them on the eUICC by hand, with SEQ its sequence number: "
        "stty -F /dev/zarn/chn_usb/7 115200 raw -echo && printf "
        "'AT+QESIM=\"ntf_delete\",SEQ\\r\\n' > /dev/zarn/chn_usb/7"},
       "-r -n"},
      {"pending for a profile still installed: nothing by hand",
       [](ChannelRead &r) { pending(r, "8", kKept); },
       "notifications-pending:89882470000000000017",
       {"the profile is still installed"},
       "ntf_delete"},
      {"pending, records not read: neither deleted nor sent on a guess",
       [](ChannelRead &r) {
         r.records_read = false;
         r.records.clear();
         pending(r, "5", kOdd);
       },
       "notifications-pending:89445006012345678912",
       {"look again"},
       "ntf_delete"},
      {"ICCID anywhere in an unread notification reply still keeps the record",
       [](ChannelRead &r) {
         record(r, kOdd);
         r.notifications_read = false;
         r.notification_reply = "AT+QESIM=\"ntf_list\",0\r\r\n+QESIM: 3,\"89445006012345678912\"";
       },
       "record-without-profile:89445006012345678912",
       {"-r -n"},
       "DELETE"},
      {"notification list unanswered: look again before forgetting",
       [](ChannelRead &r) {
         record(r, kOdd);
         r.notifications_read = false;
         r.notification_replied = false;
         r.notification_reply.clear();
       },
       "record-without-profile:89445006012345678912",
       {"the notification list could not be read"},
       "DELETE"},
      {"record under an ICCID that is not digits: by hand, no statement",
       [](ChannelRead &r) { record(r, "8944\"; DROP TABLE esim_http; --"); },
       "record-without-profile:8944\"; DROP TABLE esim_http; --",
       {"check the record store by hand"},
       "DELETE"},
      {"record with an empty ICCID: by hand",
       [](ChannelRead &r) { record(r, ""); },
       "record-without-profile:",
       {"check the record store by hand"},
       "DELETE"},
      {"notifications grouped per ICCID in list order, lines without one as one",
       [](ChannelRead &r) {
         pending(r, "5", kOdd);
         pending(r, "6", nullptr);
         pending(r, "7", kOdd);
         pending(r, "8", kKept);
         pending(r, "9", nullptr);
       },
       "notifications-pending:89445006012345678912;notifications-pending:-;"
       "notifications-pending:89882470000000000017",
       {"2 notifications pending on the eUICC (sequence numbers 5, 7)", "(sequence numbers 6, 9)",
        "1 notification pending on the eUICC (sequence number 8)"},
       nullptr},
      {"a long list of sequence numbers is cut, never overrun",
       [](ChannelRead &r) {
         for (int i = 0; i < 200; ++i) pending(r, "12345", kOdd);
       },
       "notifications-pending:89445006012345678912",
       {"200 notifications pending on the eUICC (sequence numbers 12345, 12345"},
       nullptr},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.situation);
    ChannelRead read = healthy();
    row.change(read);
    std::vector<Finding> found = find_findings(read, kNow);
    std::string kinds;
    for (const Finding &finding : found)
      kinds += (kinds.empty() ? "" : ";") + finding.kind + ":" +
               (finding.has_iccid ? finding.iccid : "-");
    EXPECT_EQ(kinds, row.findings);
    for (size_t i = 0; i < row.detail_has.size() && i < found.size(); ++i)
      EXPECT_NE(found[i].detail.find(row.detail_has[i]), std::string::npos) << found[i].detail;
    for (const Finding &finding : found) {
      EXPECT_LT(finding.detail.size(), 1024u);
      if (row.detail_lacks != nullptr) {
        EXPECT_EQ(finding.detail.find(row.detail_lacks), std::string::npos) << finding.detail;
      }
    }
  }
}

}  // namespace
