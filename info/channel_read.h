// esimctl-info's reading of one channel: what the modem and the record store
// hold, read without changing anything.
#pragma once

#include <string>
#include <vector>

#include "last_run.h"

// Exit statuses of esimctl-info; with several channels the highest counts.
enum InfoStatus : int {
  kInfoAnswered = 0,     // every query answered
  kInfoRefused = 1,      // command line refused
  kInfoUnreachable = 2,  // the channel's device is missing, or another run holds it
  kInfoQueryFailed = 3,  // a query failed; the object says which in "errors"
};

// The reads of a look, in the order they are sent: AT+CFUN?, AT+QGMR, the
// EID, the profile list, the notification list.
enum InfoRead : int {
  kReadLevel,
  kReadFirmware,
  kReadEid,
  kReadList,
  kReadNotifications,
  kInfoReads,
};

// What the modem answered: each read's exchange result (negative: it
// failed, as execute_at_command gives it) and its reply.
struct ChannelReplies {
  int ret[kInfoReads];
  const char *reply[kInfoReads];
};

struct ListedProfile {
  std::string iccid;
  std::string line;
};

struct PendingNotification {
  std::string seq;
  bool has_iccid = false;  // false: no ICCID could be read on its line
  std::string iccid;
  std::string line;
};

// The errors of a channel that could not be looked at, as "errors" gives them.
constexpr char kBusyError[] = "busy: another run holds the channel";
constexpr char kMissingError[] = "the channel's device is missing";
constexpr char kOpenError[] = "the channel's device could not be opened";

struct ServerRecord {
  std::string iccid;
  std::string host;
  std::string path;
  std::string saved;
};

// What one look read, text as it came. A value whose read failed keeps its
// start value; `errors` says why, one entry per failed read.
struct ChannelRead {
  int chan = 0;
  bool level_read = false;
  int level = 0;
  bool firmware_read = false;
  std::string firmware;
  bool eid_read = false;
  std::string eid;
  bool eid_not_ready = false;  // the EID query answered a status other than 0
  std::string eid_status;      // that status
  bool list_read = false;
  std::vector<ListedProfile> profiles;
  bool notifications_read = false;
  std::vector<PendingNotification> notifications;
  // The notification list's reply whenever one came, read or not: where the
  // removal looks for an ICCID.
  bool notification_replied = false;
  std::string notification_reply;
  bool records_read = false;
  std::vector<ServerRecord> records;  // the rows listed, even when the listing then failed
  bool last_found = false;            // the channel has a run log with an entry
  LastRun last;                       // what its run logs say of the last run
  LastRun last_download;              // and of the last download (found: there is one)
  std::vector<std::string> errors;
};

// Reads the replies into `read` as esimctl reads them, adding an error for
// each read that failed. The replies are not changed.
void read_replies(const ChannelReplies &replies, ChannelRead *read);

// kInfoAnswered when no read failed, else kInfoQueryFailed.
InfoStatus look_status(const ChannelRead &read);

// Reads channel `chan` (1-32) through the same exchange, wait rule and reply
// readers as esimctl: AT+CFUN?, AT+QGMR, the EID, the profile list and the
// notification list (selector 0), then the channel's records with one
// SELECT. It takes the channel's lock like any run and sends nothing else:
// no level is set, nothing is disabled or deleted, nothing is written. The
// caller releases the channel (release_channel). Fills `read` (whose chan it
// sets) and gives its status: kInfoUnreachable when the device is missing or
// busy, with that as the one error.
InfoStatus read_channel(int chan, ChannelRead *read);
