// Radio preparation before a run and release after a successful one, and
// the readers of the modem's own replies (level, firmware, EID, result code,
// echo).
#pragma once

#include <cstddef>

// The functionality level of a CFUN? reply: the number 6 characters after
// its first "CFUN" (read as atoi does; no number reads as 0). False when the
// reply holds no "CFUN".
bool read_cfun_level(const char *reply, int *level);

// The status of an EID reply: the text between the first two commas behind
// its first "eid", cut in place at the second comma (the EID itself follows
// that comma). 0 with *status set; -1 no "eid"; -2 no comma behind it; -3 no
// second comma.
int read_eid_status(char *reply, char **status);

// The EID of an EID reply: the field behind its status (read_eid_status) on
// its line, quoted or not; nothing past that line's end (an unsolicited line
// that follows) is taken for it. A quoted field must close on its line; an
// unquoted one ends at a comma or the line's end, without trailing spaces.
//   0 the EID, cut to `eid_size`, is in `eid`; -1 the reply holds no EID
//   status; -2 the status is not 0: it is in `status`, cut to `status_size`
//   (the eUICC is not ready); -3 the reply holds no EID; -4 out of memory.
int read_eid_reply(const char *reply, char *status, size_t status_size, char *eid, size_t eid_size);

// The firmware line of an AT+QGMR reply: the first line that is neither
// empty, nor the echoed command, nor the final result code. True with
// *line and *len naming it inside `reply`; false when the reply holds no
// such line or carries a failed command's result code.
bool read_firmware_line(const char *reply, const char **line, size_t *len);

// True when a line of `reply` is the result code of a failed command: it is
// ERROR, or starts with +CME ERROR or +CMS ERROR. Lines end at any run of CR
// and LF.
bool reply_has_error_line(const char *reply);

// True when `reply`, past its leading CR and LF, starts with `command` (up to
// the command's line end): a modem with echo on sends the command back ahead
// of its reply, and every reader would then read the command as the reply
// (the level of AT+CFUN? reads as 0).
bool reply_echoes_command(const char *reply, const char *command);

// Requests full function when the modem reports level 0, then queries the
// EID until its status is 0, with one off-and-on recovery pass. The run log
// shows how it ended; the caller goes on in every case.
void send_prev_at();

// Sets functionality level 4 (radio off). 0 when the reply holds "OK", else -1.
int send_at_cfun_max();

// Sets functionality level 1 (full function); the outcome is not reported.
void send_end_at();
