// Readers of QESIM replies.
#pragma once

#include <cstdlib>
#include <memory>

struct FreeDeleter {
  void operator()(char *block) const { free(block); }
};
// A private copy of a reply, for readers that cut it into lines.
using ReplyCopy = std::unique_ptr<char, FreeDeleter>;

// Copies `reply` with its NUL; null when memory runs out.
ReplyCopy copy_reply(const char *reply);

// Cuts `line` at its first CR or LF and gives the start of the next line,
// past any further CR and LF; null when the text ends on this line.
char *cut_line(char *line);

// Takes a trans-shaped reply apart: status (into at_status when not empty),
// path (at_http_path), JSON payload (at_payload) and, with `get_ip_flag`
// non-zero, the server host from the payload's last member (at_http_ip).
// A field the reply lacks, or one too long for its buffer, leaves its buffer
// as it was.
void parse_at_response(const char *response, const char *keyword, int get_ip_flag);

// Tests that `response` carries status 0 after `keyword` and its first comma,
// up to the next CR; writes a NUL over that CR when it gets that far.
//   0 status is exactly "0"; -1 no comma; -3 no CR; -4 another status; -5 no keyword.
int parse_at_status(char *response, const char *keyword);
