// Text that a peer (the modem, the database client, the profile server)
// chose, made fit for where it is shown. Each place has its own policy, and
// all of them live here, side by side:
//   run log   bytes as they are, but no control byte: an entry stays one entry
//   terminal  printable ASCII only: no escape sequence reaches the screen
//   JSON      valid UTF-8: every line a reader parses is well-formed
#pragma once

#include <cstddef>
#include <string>

// For a run log entry: control bytes (below 0x20, and 0x7f) become \xNN, so
// the value cannot forge entries of its own; other bytes stay as they are.
// Cut to what one entry can show.
struct LogSafeText {
  char text[2048];
};
LogSafeText log_safe(const char *value);

// For a terminal table: printable ASCII stays, any other byte becomes \xNN.
// Null gives "-".
std::string terminal_escaped(const char *value);

// For the one line of a progress display: the text up to its first line
// end, each other byte that is not printable ASCII shown as '?', cut to fit
// `size` (NUL included). `size` must be at least 1.
void terminal_line(char *to, size_t size, const char *from);

// For a JSON string: each byte that does not belong to a well-formed UTF-8
// sequence (overlong forms, surrogates and code points past U+10FFFF
// included) becomes U+FFFD, one for each broken sequence, as standard
// decoders give.
std::string utf8_repaired(const char *value);
