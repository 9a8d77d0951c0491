// Radio preparation before a run and release after a successful one.
#pragma once

// Requests full function when the modem reports level 0, then queries the
// EID until its status is 0, with one off-and-on recovery pass. The run log
// shows how it ended; the caller goes on in every case.
void send_prev_at();

// Sets functionality level 4 (radio off). 0 when the reply holds "OK", else -1.
int send_at_cfun_max();

// Sets functionality level 1 (full function); the outcome is not reported.
void send_end_at();
