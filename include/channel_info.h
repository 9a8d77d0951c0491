// esimctl-info's look at one channel: what the modem and the record store
// hold, read without changing anything, and what that says about runs that
// failed half-way.
#pragma once

#include <cstdio>

#include "json_owner.h"

// Exit statuses of esimctl-info; with several channels the highest counts.
enum InfoStatus : int {
  kInfoAnswered = 0,     // every query answered
  kInfoRefused = 1,      // command line refused
  kInfoUnreachable = 2,  // the channel's device is missing, or another run holds it
  kInfoQueryFailed = 3,  // a query failed; the object says which in "errors"
};

// Reads channel `chan` (1-32) through the same exchange, wait rule and reply
// readers as esimctl: AT+CFUN?, AT+QGMR, the EID, the profile list and the
// notification list (selector 0), then the channel's records with one
// SELECT. It takes the channel's lock like any run and sends nothing else:
// no level is set, nothing is disabled or deleted, nothing is written.
// Gives the channel's object, whose members are exactly channel, device,
// functionality, firmware, eid, profiles, notifications, records, findings
// and errors, and its status in *status. Null only when memory runs out.
Json read_channel(int chan, InfoStatus *status);

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

// What one look brought back: each read's exchange result (negative: it
// failed, as exchange_on_channel gives it) and its reply, and the result of
// list_http_info, whose rows are already in the object's "records".
struct ChannelReads {
  int ret[kInfoReads];
  const char *reply[kInfoReads];
  int records_ret;
};

// Reads the replies into `info` (an object of empty_info) as esimctl reads
// them, adds an "errors" entry for each read that failed and draws the
// findings. The replies are not changed. Gives kInfoAnswered, or
// kInfoQueryFailed when "errors" is not empty.
InfoStatus judge_channel(cJSON *info, int chan, const ChannelReads &reads);

// The object of a channel that could not be read, with `error` as its one
// entry in "errors" (none when null). Null only when memory runs out.
Json empty_info(int chan, const char *error);

// Writes the object as a short table for a person.
void print_channel_table(const cJSON *info, FILE *out);
