#include "peer_text.h"

#include <cstdint>
#include <cstdio>

namespace {

bool printable_ascii(unsigned char byte) {
  return byte >= 0x20 && byte < 0x7f;
}

}  // namespace

LogSafeText log_safe(const char *value) {
  LogSafeText out{};
  size_t used = 0;
  // Each byte takes at most four characters; the NUL needs one more.
  for (const char *p = value != nullptr ? value : ""; *p != '\0' && used + 5 < sizeof out.text;
       ++p) {
    auto byte = static_cast<unsigned char>(*p);
    if (byte < 0x20 || byte == 0x7f)
      used +=
          static_cast<size_t>(snprintf(out.text + used, sizeof out.text - used, "\\x%02x", byte));
    else
      out.text[used++] = static_cast<char>(byte);
  }
  out.text[used] = '\0';
  return out;
}

std::string terminal_escaped(const char *value) {
  if (value == nullptr) return "-";
  std::string safe;
  for (const char *c = value; *c != '\0'; ++c) {
    auto byte = static_cast<unsigned char>(*c);
    if (printable_ascii(byte)) {
      safe += *c;
    } else {
      char escaped[5];
      snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      safe += escaped;
    }
  }
  return safe;
}

void terminal_line(char *to, size_t size, const char *from) {
  snprintf(to, size, "%s", from != nullptr ? from : "");
  // A command's own line end is not shown, and no other control byte
  // reaches the terminal.
  for (unsigned char *c = reinterpret_cast<unsigned char *>(to); *c != '\0'; ++c) {
    if (*c == '\r' || *c == '\n') {
      *c = '\0';
      break;
    }
    if (!printable_ascii(*c)) *c = '?';
  }
}

std::string utf8_repaired(const char *value) {
  std::string valid;
  const auto *p = reinterpret_cast<const unsigned char *>(value != nullptr ? value : "");
  while (*p != '\0') {
    size_t more = 0;
    unsigned char low = 0x80, high = 0xbf;  // the range of the second byte
    if (*p < 0x80) {
      more = 0;
    } else if (*p >= 0xc2 && *p <= 0xdf) {
      more = 1;
    } else if (*p >= 0xe0 && *p <= 0xef) {
      more = 2;
      if (*p == 0xe0) low = 0xa0;   // no overlong form
      if (*p == 0xed) high = 0x9f;  // no surrogate
    } else if (*p >= 0xf0 && *p <= 0xf4) {
      more = 3;
      if (*p == 0xf0) low = 0x90;
      if (*p == 0xf4) high = 0x8f;  // nothing past U+10FFFF
    } else {
      more = SIZE_MAX;
    }
    // n: the lead and the continuation bytes that fit behind it.
    size_t n = 1;
    if (more != SIZE_MAX) {
      for (; n <= more; ++n) {
        unsigned char c = p[n];  // the NUL ends a short sequence here
        if (n == 1 ? c < low || c > high : c < 0x80 || c > 0xbf) break;
      }
    }
    if (more != SIZE_MAX && n > more) {
      valid.append(reinterpret_cast<const char *>(p), n);
    } else {
      valid += "\xef\xbf\xbd";  // one for the whole broken sequence
    }
    p += n;
  }
  return valid;
}
