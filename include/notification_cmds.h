// Pending notification commands. All give 0 on success and -1 on failure.
#pragma once

#include <cstddef>

// Reads the sequence number behind the first comma at or after `line`, up
// to the next comma, into `out` (capacity `cap`). 0, or -1 when a comma is
// missing or the number does not fit.
int read_ntf_seq(const char *line, char *out, size_t cap);

// Calls `visit` for each pending notification of a selector-0 list reply,
// in list order: every line but the status line (the first holding
// "ntf_list") with a sequence number, read as the removal reads it: after the
// line's first comma, ended by a comma or the line's end. Its ICCID is the
// first ICCID-shaped text elsewhere on the line, quoted or not (a digit,
// then digits or F, 15 to 20 in all, no letter or digit on either side);
// `iccid` is null when there is none, since the line is still pending.
// Neither `seq` nor `iccid` is NUL-terminated; `line` is the whole line.
// Gives how many were visited; -1 out of memory; -2 the reply does not carry
// status 0 (parse_at_status), and nothing is visited. The reply is not changed.
using NotificationVisitor = void (*)(const char *seq, size_t seq_len, const char *iccid,
                                     size_t iccid_len, const char *line, void *context);
int for_each_listed_notification(const char *reply, NotificationVisitor visit, void *context);

// Lists with selector 3; the req_id of the last line holding the ICCID goes
// into the global req_id.
int send_at_ntf_list_delete(const char *iccid_param);

// Lists with selector 0; the req_id of the first line holding the ICCID goes
// into `ntf_req_id` (capacity `req_id_len`).
int send_at_ntf_list(const char *iccid_param, char *ntf_req_id, int req_id_len);

// Fetches the notification named by req_id into http_payload as
// {"pendingNotification":"..."}.
int send_at_ntf_get();

// Deletes the notification `ntf_req_id` on the eUICC.
int send_at_ntf_delete(const char *ntf_req_id);
