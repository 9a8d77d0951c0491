// esimctl-info's output of a look: one JSON object per channel, or a short
// table for a person. Text that the modem or the database chose is made
// valid UTF-8 in the object and printable ASCII in the table (peer_text.h).
#pragma once

#include <cstdio>
#include <vector>

#include "channel_read.h"
#include "findings.h"
#include "json_owner.h"

// The channel's object, whose members are exactly channel, device,
// functionality, firmware, eid, profiles, notifications, records, last,
// findings and errors (a value not read is null; last is null when the
// channel has no run log). Null only when memory runs out.
Json info_json(const ChannelRead &read, const std::vector<Finding> &findings);

// The object of a channel that could not be read, with `error` as its one
// entry in "errors" (none when null). Null only when memory runs out.
Json empty_info(int chan, const char *error);

// Writes the object as a short table for a person.
void print_channel_table(const cJSON *info, FILE *out);

// What the object says of its channel in one word: "ok", "busy" (another
// run holds it), "no modem" (its device is missing or cannot be opened) or
// "errors" (a query failed).
const char *channel_state(const cJSON *info);

// The overview of several channels: a head line, then one line per object
// (channel, state, profiles, findings, last run).
void print_summary_head(FILE *out);
void print_summary_line(const cJSON *info, FILE *out);
