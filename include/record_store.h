// The server record store, kept through the external database client.
#pragma once

// Runs `cmd` through the shell and reads at most `len` bytes of its output
// into `result` (when given). 0 when started, -11 when it could not be.
int exec_cmd(const char *cmd, int len, char *result);

// Records the server of `ptr_iccid` on the channel.
//   0 saved; -1 a value absent or refused; -2 "Reason" in the output;
//   -3 no success text; -11 client not started.
int save_http_info(int chan_id, const char *ptr_iccid, const char *http_ip, const char *http_path);

// Looks up the server of `iccid` on the channel into the host (256 bytes) and
// path (512 bytes) buffers.
//   0 found; -1 a value absent or refused; -2 no usable answer or no row, or a
//   value too long for its buffer; -3 database error; -11 client not started.
int get_http_info(int chan_id, const char *iccid, char *http_ip, char *http_path);

// Forgets the records of `iccid` on the channel.
//   0 deleted; -1 absent or refused; -2 not JSON; -3 database error;
//   -4 no ResultCode; -11 client not started.
int delete_http_info(int chan_id, const char *iccid);
