#include "channel_read.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "at_commands.h"
#include "at_exchange.h"
#include "globals.h"
#include "notification_cmds.h"
#include "profile_cmds.h"
#include "radio.h"
#include "record_store.h"

namespace {

constexpr size_t kErrorSize = 256;
// The EID and its status as far as a look shows them.
constexpr size_t kEidSize = 256;
constexpr size_t kEidStatusSize = 64;

// The five reads in the order they are sent, each with the timeout that
// bounds esimctl's exchange of the same command.
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
void add_error(ChannelRead *read, const char *command, const char *why) {
  char text[kErrorSize];
  snprintf(text, sizeof text, "%.*s: %s", static_cast<int>(strcspn(command, "\r\n")), command, why);
  read->errors.emplace_back(text);
}

void read_eid(ChannelRead *read, const char *reply) {
  char status[kEidStatusSize] = {};
  char eid[kEidSize] = {};
  switch (read_eid_reply(reply, status, sizeof status, eid, sizeof eid)) {
    case 0:
      read->eid_read = true;
      read->eid = eid;
      break;
    case -1:
      add_error(read, kAtQesimEid, "the reply holds no EID status");
      break;
    case -2:
      read->eid_not_ready = true;
      read->eid_status = status;
      break;
    case -3:
      add_error(read, kAtQesimEid, "the reply holds no EID");
      break;
    default:
      add_error(read, kAtQesimEid, "out of memory");
      break;
  }
}

void add_profile(const char *iccid_found, const char *line, void *context) {
  static_cast<ChannelRead *>(context)->profiles.push_back({iccid_found, line});
}

// A list the modem answered with an error names no profile, and every
// record would then look like one whose profile is gone: that is an error,
// and no comparison is made.
void read_list(ChannelRead *read, const char *reply) {
  int checked = check_list_reply(reply);
  if (checked == -1) {
    add_error(read, kAtQesimList, "the modem answered with an error");
  } else if (checked != 0) {
    add_error(read, kAtQesimList, "the reply holds no list");
  } else if (for_each_listed_iccid(reply, kIccidSize, add_profile, read) < 0) {
    add_error(read, kAtQesimList, "out of memory");
  } else {
    read->list_read = true;
  }
}

void add_notification(const char *seq, size_t seq_len, const char *iccid_found, size_t iccid_len,
                      const char *line, void *context) {
  PendingNotification pending;
  pending.seq.assign(seq, seq_len);
  pending.has_iccid = iccid_found != nullptr;
  if (iccid_found != nullptr) pending.iccid.assign(iccid_found, iccid_len);
  pending.line = line;
  static_cast<ChannelRead *>(context)->notifications.push_back(pending);
}

void read_notifications(ChannelRead *read, const char *reply) {
  int listed = for_each_listed_notification(reply, add_notification, read);
  if (listed == -2) {
    add_error(read, kAtQesimNtfListSelector0, "the reply does not carry status 0");
  } else if (listed < 0) {
    read->notifications.clear();
    add_error(read, kAtQesimNtfListSelector0, "out of memory");
  } else {
    read->notifications_read = true;
  }
}

void add_record(const char *iccid_found, const char *host, const char *path, const char *saved,
                void *context) {
  static_cast<ChannelRead *>(context)->records.push_back({iccid_found, host, path, saved});
}

void add_records_error(ChannelRead *read, int ret) {
  const char *why = ret == -3    ? "the database reported an error"
                    : ret == -11 ? "the database client could not be started"
                                 : "no usable answer from the database client";
  char text[kErrorSize];
  snprintf(text, sizeof text, "record store: %s", why);
  read->errors.emplace_back(text);
}

}  // namespace

void read_replies(const ChannelReplies &replies, ChannelRead *read) {
  for (int i = 0; i < kInfoReads; ++i) {
    const char *command = kReads[i].command;
    const char *reply = replies.reply[i];
    if (replies.ret[i] < 0) {
      // The firmware is only shown: no answer leaves it null, no error.
      if (i != kReadFirmware) add_error(read, command, exchange_failure(replies.ret[i]));
      continue;
    }
    if (i == kReadNotifications) {
      read->notification_replied = true;
      read->notification_reply = reply;
    }
    if (reply_echoes_command(reply, command)) {
      add_error(read, command, "command echo is on");
      continue;
    }
    const char *line = nullptr;
    size_t len = 0;
    switch (i) {
      case kReadLevel:
        read->level_read = read_cfun_level(reply, &read->level);
        if (!read->level_read) add_error(read, command, "the reply holds no level");
        break;
      case kReadFirmware:
        // Nothing relies on the firmware: a reply without it is no error.
        read->firmware_read = read_firmware_line(reply, &line, &len);
        if (read->firmware_read) read->firmware.assign(line, len);
        break;
      case kReadEid:
        read_eid(read, reply);
        break;
      case kReadList:
        read_list(read, reply);
        break;
      default:
        read_notifications(read, reply);
        break;
    }
  }
}

InfoStatus look_status(const ChannelRead &read) {
  return read.errors.empty() ? kInfoAnswered : kInfoQueryFailed;
}

InfoStatus read_channel(int chan, ChannelRead *read) {
  read->chan = chan;
  char device[kDevicePathSize] = {};
  channel_device_path(chan, device, sizeof device);
  struct stat st {};
  if (stat(device, &st) != 0) {
    read->errors.emplace_back(kMissingError);
    return kInfoUnreachable;
  }
  int locked = lock_channel(chan);
  if (locked != 0) {
    read->errors.emplace_back(locked == -5 ? kBusyError : kOpenError);
    return kInfoUnreachable;
  }
  // Zero-filled, as every exchange's reply buffer is.
  std::unique_ptr<char[]> buffers(new (std::nothrow) char[kInfoReads * kReplySize]());
  if (!buffers) {
    read->errors.emplace_back("out of memory");
    return kInfoQueryFailed;
  }
  ChannelReplies replies{};
  for (int i = 0; i < kInfoReads; ++i) {
    char *reply = buffers.get() + i * kReplySize;
    replies.ret[i] = look_at_command(chan, kReads[i].command, reply, static_cast<int>(kReplySize),
                                     kReads[i].timeout, 0);
    replies.reply[i] = reply;
  }
  read_replies(replies, read);
  int listed = list_http_info(chan, add_record, read);
  read->records_read = listed == 0;
  if (listed != 0) add_records_error(read, listed);
  return look_status(*read);
}
