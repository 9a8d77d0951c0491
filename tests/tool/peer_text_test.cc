// Peer text made safe for each place it is shown: one table, one row per
// situation, each row run through the policy of its place.
#include "peer_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

enum class Place { kLog, kTerminal, kTerminalLine, kJson };

struct Row {
  const char *situation;
  Place place;
  std::string in;
  std::string out;
};

std::string shown(Place place, const std::string &in) {
  switch (place) {
    case Place::kLog:
      return log_safe(in.c_str()).text;
    case Place::kTerminal:
      return terminal_escaped(in.c_str());
    case Place::kTerminalLine: {
      char line[16];
      terminal_line(line, sizeof line, in.c_str());
      return line;
    }
    case Place::kJson:
      return utf8_repaired(in.c_str());
  }
  return "unreachable";
}

TEST(PeerText, EachPlaceKeepsItsPolicy) {
  const Row rows[] = {
      {"log: a forged entry's line end and stamp stay inside the entry", Place::kLog,
       "x\r\n[2026-01-01 00:00:00]eSIM Remove Completed",
       "x\\x0d\\x0a[2026-01-01 00:00:00]eSIM Remove Completed"},
      {"log: escape and DEL shown as \\xNN", Place::kLog, "\x1b[2J\x7f", "\\x1b[2J\\x7f"},
      {"log: bytes past ASCII stay raw", Place::kLog, "caf\xc3\xa9 \xff", "caf\xc3\xa9 \xff"},
      {"log: a value longer than an entry is cut whole escapes", Place::kLog,
       std::string(3000, '\x01'),
       [] {
         std::string s;
         for (int i = 0; i < 511; ++i) s += "\\x01";
         return s;
       }()},
      {"terminal: a title-setting escape is shown, not obeyed", Place::kTerminal,
       "\x1b]0;owned\x07", "\\x1b]0;owned\\x07"},
      {"terminal: bytes past ASCII are shown as \\xNN", Place::kTerminal, "caf\xc3\xa9",
       "caf\\xc3\\xa9"},
      {"terminal: printable ASCII as it is", Place::kTerminal, "smdp.example/x?a=1",
       "smdp.example/x?a=1"},
      {"terminal line: ends at the command's own line end", Place::kTerminalLine, "AT+CFUN?\r\nOK",
       "AT+CFUN?"},
      {"terminal line: control and high bytes become '?'", Place::kTerminalLine,
       "a\x1b[2Jb\xc3\xa9", "a?[2Jb??"},
      {"terminal line: cut to its room", Place::kTerminalLine, "0123456789abcdefghij",
       "0123456789abcde"},
      {"json: well-formed UTF-8 as it is", Place::kJson, "caf\xc3\xa9 \xf0\x9f\x93\xb6",
       "caf\xc3\xa9 \xf0\x9f\x93\xb6"},
      {"json: a lone continuation byte", Place::kJson, "a\x80z", "a\xef\xbf\xbdz"},
      {"json: a sequence cut by the end of the text", Place::kJson, "a\xe2\x82", "a\xef\xbf\xbd"},
      {"json: an overlong slash", Place::kJson, "\xc0\xaf", "\xef\xbf\xbd\xef\xbf\xbd"},
      {"json: a surrogate", Place::kJson, "\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
      {"json: past U+10FFFF", Place::kJson, "\xf4\x90\x80\x80",
       "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.situation);
    EXPECT_EQ(shown(row.place, row.in), row.out);
  }
}

TEST(PeerText, NoValueIsShownAsNothingOrADash) {
  EXPECT_STREQ(log_safe(nullptr).text, "");
  EXPECT_EQ(terminal_escaped(nullptr), "-");
  EXPECT_EQ(utf8_repaired(nullptr), "");
  char line[4] = "xyz";
  terminal_line(line, sizeof line, nullptr);
  EXPECT_STREQ(line, "");
}

}  // namespace
