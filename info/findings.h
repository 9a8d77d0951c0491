// What a look at a channel says about runs that stopped half-way: a pure
// judgement of what was read, so every case is a row of a table.
#pragma once

#include <string>
#include <vector>

#include "channel_read.h"

struct Finding {
  std::string kind;  // eid-not-ready, radio-off, profile-without-record,
                     // record-without-profile, notifications-pending
  bool has_iccid = false;
  std::string iccid;
  std::string detail;  // what it means and what to do, as the person reads it
};

// The findings of `read`, in this order: an EID status other than 0, a
// level other than 1, each listed profile without a record and each record
// without a profile (only when the list and the records were both read),
// then one finding per ICCID with pending notifications (the lines without
// one count as one ICCID), in list order. `now` is the local time as the
// record store writes it ("YYYY-MM-DD HH:MM:SS"), for the statement that
// records a profile's server.
std::vector<Finding> find_findings(const ChannelRead &read, const char *now);
