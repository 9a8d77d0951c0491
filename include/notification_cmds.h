// Pending notification commands. All give 0 on success and -1 on failure.
#pragma once

#include <cstddef>

// Reads the sequence number behind the first comma at or after `line`, up
// to the next comma, into `out` (capacity `cap`). 0, or -1 when a comma is
// missing or the number does not fit.
int read_ntf_seq(const char *line, char *out, size_t cap);

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
