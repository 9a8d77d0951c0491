// The two commands that carry a profile download.
#pragma once

// Sends the download command with `act_code` and parses the reply, host
// included. 0 when the exchange succeeded (whatever the status), -1 otherwise.
int send_at_download(const char *act_code);

// Sends the hex text in chunks of at most 1400 characters and parses the reply
// to the last one. `at_timeout` (0 taken as 1) and `download_flag` apply to
// the last chunk; `download_flag` 1 also requires the download to be reported.
//   0 sent (and, with download_flag 1, completed); -1 a chunk's exchange
//   failed; -5 at_status is not "0"; -6 no "download" status 0.
int send_at_trans(const char *http_json_hex, int at_timeout, int download_flag);
