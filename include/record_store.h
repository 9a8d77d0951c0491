// The server record store, kept through the external database client.
//
// Every value placed in a command line (ICCID, host, path) must be free of
// double and single quotes, backslashes, dollar signs, backquotes and control
// characters, and an ICCID must not be a column name of esim_http: such a
// value is refused with an "Error: " log line and -1, and no client starts.
// A command line that would not fit its buffer is refused the same way.
#pragma once

// Runs `cmd` through the shell and reads its output into `result` (when
// given): at most `len` - 1 bytes followed by a NUL, so the text always ends
// inside the buffer. 0 when started, -11 when it could not be. Defined alone
// in store/db_client.cc, so a program can link the store with its own client.
int exec_cmd(const char *cmd, int len, char *result);

// Why the last call of the store (save, lookup, delete, list) failed,
// when it logged no reason itself (the client not started, no usable answer,
// no row, the client's refusal of a save); "" otherwise. For the entry that
// follows the workflow's failure entry.
const char *record_store_failure();

// Records the server of `ptr_iccid` on the channel.
//   0 saved; -1 a value absent or refused; -2 "Reason" in the output;
//   -3 no success text; -11 client not started.
int save_http_info(int chan_id, const char *ptr_iccid, const char *http_ip, const char *http_path);

// Looks up the server of `iccid` on the channel into the host (256 bytes) and
// path (512 bytes) buffers. A recorded host of 256 or more or path of 512 or
// more characters fails the lookup rather than being cut; neither buffer is
// then written.
//   0 found; -1 a value absent or refused; -2 no usable answer or no row, or a
//   value too long for its buffer; -3 database error; -11 client not started.
int get_http_info(int chan_id, const char *iccid, char *http_ip, char *http_path);

// Forgets the records of `iccid` on the channel.
//   0 deleted; -1 absent or refused; -2 not JSON; -3 database error;
//   -4 no ResultCode; -11 client not started.
int delete_http_info(int chan_id, const char *iccid);

// Lists the records of the channel, calling `visit` with each row's ICCID,
// host, path and save time (a member the client prints as a number reads as
// the text it printed; one that is missing, or neither text nor a number,
// reads as ""). It only reads: one SELECT.
//   0 listed (perhaps none); -1 command line refused; -2 no usable answer;
//   -3 database error; -11 client not started.
using RecordVisitor = void (*)(const char *iccid, const char *http_ip, const char *http_path,
                               const char *save_time, void *context);
int list_http_info(int chan_id, RecordVisitor visit, void *context);
