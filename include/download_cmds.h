// The two commands that carry a profile download.
#pragma once

#include <cstddef>

// A server answer goes back to the modem in chunks of at most this many hex
// digits, each in one "trans" command of at most kTransCommandSize bytes.
constexpr int kTransChunkSize = 1400;
constexpr std::size_t kTransCommandSize = 2048;

// Sends the download command with `act_code` and parses the reply, host
// included. 0 when the exchange succeeded (whatever the status), -1 otherwise
// (also when `act_code` is missing or too long for the command).
int send_at_download(const char *act_code);

// Sends the hex text in chunks of at most 1400 characters and parses the reply
// to the last one. `at_timeout` (0 taken as 1) and `download_flag` apply to
// the last chunk; `download_flag` 1 also requires the download to be reported.
//   0 sent (and, with download_flag 1, completed); -1 a chunk's exchange
//   failed (or there is no text); -5 at_status is not "0"; -6 no "download"
//   status 0.
int send_at_trans(const char *http_json_hex, int at_timeout, int download_flag);

// Formats into `command` (kTransCommandSize bytes) the trans command for the
// chunk that starts at `remain_msg`, `tmp_len` characters before the end of a
// text of `length` characters: a full chunk followed by more while `tmp_len`
// exceeds kTransChunkSize (staged through `one_max_msg`, kTransChunkSize + 1
// bytes), else the last chunk. Gives the number of characters the chunk takes.
// send_at_trans drives it; it is separate so the formatting can be measured
// without a modem.
int format_trans_chunk(char *command, char *one_max_msg, const char *remain_msg, int length,
                       int index, int tmp_len);
