// The one AT command exchange through which every modem command passes.
#pragma once

#include <cstddef>

// Writes `at_cmd` (with its own "\r\n") to the channel's device, opening and
// locking the device on first use, waits (28 s when `long_time_flag` is set,
// else 3 s per unit of `timeout`, else 0.5 s), then polls the device up to 30
// times at 0.5 s intervals and leaves the reply, NUL-terminated, in
// `out_result` (at most `out_len` - 1 characters; untouched when nothing came).
// A reply holding ERROR is logged but still succeeds.
//   0  written, and a reply arrived (or no reply buffer was given)
//  -1  channel outside 1..32, no command, or a reply buffer of no size
//  -2  the device could not be opened, or another run holds its lock (the
//      first exchange of a run waits up to 60 s for that run to end)
//  -3  the write failed or could not complete within the write bound
//  -4  no byte of reply arrived
int execute_at_command(int chan_id, const char *at_cmd, char *out_result, int out_len, int timeout,
                       int long_time_flag);

// The device of channel `chan`: "<dev_dir>/<chan>", cut to `size` bytes.
// Every program of the tool names a channel's device through this, into a
// buffer of kDevicePathSize.
constexpr size_t kDevicePathSize = 4096;
void channel_device_path(int chan, char *path, size_t size);

// The exchange of a look that changes nothing (esimctl-info): the same
// write, reply buffer, log lines and codes as execute_at_command, but no
// fixed wait: the reply is read as it comes, until it holds a final result
// line (OK, ERROR, +CME ERROR:, +CMS ERROR:) or the bound passes that
// execute_at_command gives the same command (its wait and its 30 polls).
// esimctl's own runs never use it: their waits pace the modem.
int look_at_command(int chan, const char *at_cmd, char *out_result, int out_len, int timeout,
                    int long_time_flag);

// True when `reply` holds a whole final result line of a command: "OK" or
// "ERROR" alone on a line, or a line beginning "+CME ERROR:" or "+CMS ERROR:".
bool has_final_result(const char *reply);

// Takes the exclusive lock that every run on a channel takes (on a
// descriptor of its own, before the line is touched), then opens channel
// `chan`'s device, leaving it in at_fd; nothing is done while at_fd is open.
// 0 done; -2 the device could not be opened (missing, not a terminal); -5
// another run holds the channel: its line is left exactly as it was. Nothing
// is logged.
int lock_channel(int chan);

// Closes the channel's device (close_serial) and gives up its lock.
void release_channel();

// The exchange of the eSIM command set: zero-fills `result`, which must hold
// kReplySize bytes, then runs execute_at_command with it on the run's channel
// (chan_id). Its codes are execute_at_command's.
int exchange_on_channel(const char *at_cmd, char *result, int timeout, int long_time_flag);
