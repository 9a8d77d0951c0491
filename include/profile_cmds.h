// Profile list, disable and delete.
#pragma once

#include <cstddef>

// True when `text` holds only decimal digits and F or f (the padding letter
// of an ICCID). Used for the list's candidates and for the -i argument, which
// names the run log and reaches the modem as command text.
bool is_iccid_text(const char *text);

// The length of the ICCID that starts at `candidate`, the character after an
// opening quote in a line cut by cut_line: it must start with a digit, close
// on the line, and hold 15 to 20 digits or F/f. 0 when it is no ICCID.
size_t iccid_candidate(const char *candidate);

// Calls `visit` for each ICCID of a list reply, in order, with the line it
// stands on. Only the first quoted text of each line is a candidate, and it
// must be shorter than `buffer_size`. Gives how many were visited, or -1 when
// the reply could not be copied; the reply is not changed.
using IccidVisitor = void (*)(const char *iccid, const char *line, void *context);
int for_each_listed_iccid(const char *response, size_t buffer_size, IccidVisitor visit,
                          void *context);

// Whether a list reply can be read for its profiles as the download and the
// removal read it: by the text "list" and its ICCID lines; what follows
// "list" (a status, a count or nothing) is not judged. A reply carrying a
// failed command's result code names no profile, whatever else it holds.
//   0 readable; -1 a line is a failed command's result code; -2 no "list".
int check_list_reply(const char *response);

// Stores into `last_iccid` the last ICCID of a list reply. Only the first
// quoted text of each line is a candidate: it must start with a digit, close
// on the same line, have 15 to 20 characters of digits or F/f, and fit
// `buffer_size` with its NUL. Lines end at any run of CR and LF. The reply is
// not changed. 0 when one was stored, -1 otherwise (`last_iccid` untouched).
int get_last_iccid_from_list(const char *response, char *last_iccid, size_t buffer_size);

// Sends the list command; stores the last ICCID. 0 or -1.
int send_at_list(char *iccid_param, size_t iccid_len);

// 0 when the modem reports the profile disabled, -1 otherwise.
int send_at_disable_esim(const char *iccid_param);

// 0 when deleted, or no longer listed after a failed delete; -1 the delete
// exchange failed and the list still names it; -2 the delete reply lacks
// status 0 and the list still names it; -3 the list exchange failed too;
// -4 the list reply lacks "list".
int send_at_delete_esim(const char *iccid_param);
