// Radio preparation before a run and release after a successful one.
#pragma once

// The functionality level of a CFUN? reply: the number 6 characters after
// its first "CFUN" (read as atoi does; no number reads as 0). False when the
// reply holds no "CFUN".
bool read_cfun_level(const char *reply, int *level);

// The status of an EID reply: the text between the first two commas behind
// its first "eid", cut in place at the second comma (the EID itself follows
// that comma). 0 with *status set; -1 no "eid"; -2 no comma behind it; -3 no
// second comma.
int read_eid_status(char *reply, char **status);

// Requests full function when the modem reports level 0, then queries the
// EID until its status is 0, with one off-and-on recovery pass. The run log
// shows how it ended; the caller goes on in every case.
void send_prev_at();

// Sets functionality level 4 (radio off). 0 when the reply holds "OK", else -1.
int send_at_cfun_max();

// Sets functionality level 1 (full function); the outcome is not reported.
void send_end_at();
