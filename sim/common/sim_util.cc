#include "sim_util.h"

#include <sys/stat.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "json_owner.h"

namespace sim {

namespace {
const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int b64_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

std::string trim(const std::string &s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}
}  // namespace

std::string base64_encode(const std::string &bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    uint32_t v = (uint8_t)bytes[i] << 16 | (uint8_t)bytes[i + 1] << 8 | (uint8_t)bytes[i + 2];
    out += kB64[v >> 18];
    out += kB64[(v >> 12) & 63];
    out += kB64[(v >> 6) & 63];
    out += kB64[v & 63];
  }
  size_t rest = bytes.size() - i;
  if (rest == 1) {
    uint32_t v = (uint8_t)bytes[i] << 16;
    out += kB64[v >> 18];
    out += kB64[(v >> 12) & 63];
    out += "==";
  } else if (rest == 2) {
    uint32_t v = (uint8_t)bytes[i] << 16 | (uint8_t)bytes[i + 1] << 8;
    out += kB64[v >> 18];
    out += kB64[(v >> 12) & 63];
    out += kB64[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

bool base64_decode(const std::string &text, std::string *bytes) {
  if (text.size() % 4 != 0) return false;
  std::string out;
  for (size_t i = 0; i < text.size(); i += 4) {
    int v[4];
    int pad = 0;
    for (int k = 0; k < 4; ++k) {
      char c = text[i + k];
      if (c == '=' && i + 4 == text.size() && k >= 2) {
        v[k] = 0;
        ++pad;
        continue;
      }
      if (pad) return false;
      v[k] = b64_value(c);
      if (v[k] < 0) return false;
    }
    uint32_t w = v[0] << 18 | v[1] << 12 | v[2] << 6 | v[3];
    out += (char)(w >> 16);
    if (pad < 2) out += (char)((w >> 8) & 0xff);
    if (pad < 1) out += (char)(w & 0xff);
  }
  *bytes = out;
  return true;
}

std::string hex_encode(const std::string &bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

bool hex_decode_lower(const std::string &text, std::string *bytes) {
  if (text.size() % 2 != 0) return false;
  std::string out;
  out.reserve(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    int v = 0;
    for (int k = 0; k < 2; ++k) {
      char c = text[i + k];
      int d;
      if (c >= '0' && c <= '9')
        d = c - '0';
      else if (c >= 'a' && c <= 'f')
        d = c - 'a' + 10;
      else
        return false;
      v = v * 16 + d;
    }
    out += (char)v;
  }
  *bytes = out;
  return true;
}

uint64_t Filler::next() {
  state_ ^= state_ << 13;
  state_ ^= state_ >> 7;
  state_ ^= state_ << 17;
  return state_;
}

std::string Filler::bytes(size_t n) {
  std::string out(n, '\0');
  for (size_t i = 0; i < n; ++i) out[i] = (char)(next() & 0xff);
  return out;
}

std::string Filler::der(const std::string &tag, size_t content_len) {
  return der_element(tag, bytes(content_len));
}

namespace {

size_t length_bytes(size_t len) {
  return len < 128 ? 1 : len < 256 ? 2 : len < 65536 ? 3 : 4;
}

// The content length of an element with a one-byte tag that fills `whole`
// bytes, or comes as close below as the length forms allow.
size_t content_filling(size_t whole) {
  for (size_t c = whole < 2 ? 0 : whole - 2; c > 0; --c)
    if (1 + length_bytes(c) + c <= whole) return c;
  return 0;
}

// Reads the element at *pos of `text`: its tag bytes and its content. False,
// with *pos untouched, when the tag or the length is cut short, the length
// is not one DER allows here, or the content runs past the text.
bool der_read(const std::string &text, size_t *pos, std::string *tag, std::string *content) {
  size_t p = *pos;
  if (p >= text.size()) return false;
  // A tag number of 31 or more follows in further bytes, each but the last with bit 8 set.
  if ((text[p++] & 0x1f) == 0x1f) {
    do {
      if (p >= text.size()) return false;
    } while (text[p++] & 0x80);
  }
  size_t tag_end = p;
  if (p >= text.size()) return false;
  size_t len = (unsigned char)text[p++];
  if (len & 0x80) {
    size_t n = len & 0x7f;
    if (n == 0 || n > 3) return false;
    for (len = 0; n > 0; --n) {
      if (p >= text.size()) return false;
      len = len << 8 | (unsigned char)text[p++];
    }
  }
  if (len > text.size() - p) return false;
  *tag = text.substr(*pos, tag_end - *pos);
  *content = text.substr(p, len);
  *pos = p + len;
  return true;
}

// The content of the first element tagged `tag` among the elements of `text`.
bool der_child(const std::string &text, const char *tag, std::string *content) {
  size_t pos = 0;
  std::string t, c;
  while (der_read(text, &pos, &t, &c)) {
    if (t == tag) {
      *content = c;
      return true;
    }
  }
  return false;
}

}  // namespace

std::string der_element(const std::string &tag, const std::string &content) {
  std::string out = tag;
  size_t n = length_bytes(content.size());
  if (n > 1) out += (char)(0x80 | (n - 1));
  for (size_t i = n > 1 ? n - 1 : 1; i > 0; --i)
    out += (char)((content.size() >> (8 * (i - 1))) & 0xff);
  return out + content;
}

std::string authenticate_server_response(Filler *filler, const std::string &transaction_id,
                                         const std::string &address, const std::string &matching_id,
                                         size_t content_len) {
  // The transactionId's octets, from the hex text the server gave.
  std::string tid;
  for (size_t i = 0; i + 1 < transaction_id.size(); i += 2)
    tid += (char)strtoul(transaction_id.substr(i, 2).c_str(), nullptr, 16);
  std::string ctx_params = matching_id.empty() ? "" : der_element("\x80", matching_id);
  std::string signed1 = der_element("\x80", tid) + der_element("\x83", address) +
                        der_element("\x84", filler->bytes(16)) + der_element("\xa0", ctx_params);
  std::string ok = der_element("\x30", signed1) + der_element("\x5f\x37", filler->bytes(64));
  size_t ok_len = content_filling(content_len);
  if (ok_len >= ok.size() + 2)
    ok += der_element("\x30", filler->bytes(content_filling(ok_len - ok.size())));
  return der_element("\xbf\x38", der_element("\x30", ok));
}

bool matching_id_of(const std::string &response, std::string *matching_id) {
  std::string asr, ok, signed1, ctx_params;
  return der_child(response, "\xbf\x38", &asr) && der_child(asr, "\x30", &ok) &&
         der_child(ok, "\x30", &signed1) && der_child(signed1, "\xa0", &ctx_params) &&
         der_child(ctx_params, "\x80", matching_id);
}

double wall_seconds() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return (double)ts.tv_sec + (double)(ts.tv_nsec / 1000) / 1e6;
}

int64_t mono_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

std::vector<std::pair<std::string, std::string>> split_settings(const std::string &text) {
  std::vector<std::pair<std::string, std::string>> out;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t comma = text.find(',', pos);
    std::string item =
        text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    if (!item.empty()) {
      size_t eq = item.find('=');
      if (eq == std::string::npos)
        out.emplace_back(item, "");
      else
        out.emplace_back(item.substr(0, eq), item.substr(eq + 1));
    }
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  return out;
}

bool read_scenario_file(const std::string &path, std::vector<std::string> *args, std::string *err) {
  std::ifstream in(path);
  if (!in) {
    *err = "cannot read scenario file " + path;
    return false;
  }
  std::string line;
  while (std::getline(in, line)) {
    line = trim(line);
    if (line.empty() || line[0] == '#') continue;
    size_t cut = line.find_first_of(" \t=");
    if (cut == std::string::npos) {
      args->push_back("--" + line);
      continue;
    }
    args->push_back("--" + line.substr(0, cut));
    args->push_back(trim(line.substr(cut + 1)));
  }
  return true;
}

bool FaultFile::changed(std::vector<std::string> *lines_read) {
  if (path_.empty()) return false;
  struct stat st;
  Stamp now;
  if (stat(path_.c_str(), &st) == 0)
    now = {(long long)st.st_ino, (long long)st.st_size, (long long)st.st_mtim.tv_sec,
           (long long)st.st_mtim.tv_nsec};
  if (read_ && now == stamp_) return false;
  read_ = true;
  stamp_ = now;
  lines_read->clear();
  std::ifstream in(path_);
  std::string line;
  while (in && std::getline(in, line)) {
    line = trim(line);
    if (!line.empty() && line[0] != '#') lines_read->push_back(line);
  }
  return true;
}

std::string json_quote(const std::string &text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c >= 0x7f) {
          char buf[8];
          snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += (char)c;
        }
    }
  }
  return out + "\"";
}

bool all_digits(const std::string &text) {
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

bool parse_number(const std::string &text, uint64_t max, uint64_t *out) {
  if (text.empty()) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    uint64_t digit = (uint64_t)(c - '0');
    if (digit > max || v > (max - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *out = v;
  return true;
}

bool parse_number(const std::string &text, int max, int *out) {
  uint64_t v = 0;
  if (max < 0 || !parse_number(text, (uint64_t)max, &v)) return false;
  *out = (int)v;
  return true;
}

bool parse_number(const std::string &text, double max, double *out) {
  size_t digits = 0, points = 0;
  for (char c : text) {
    if (c >= '0' && c <= '9')
      ++digits;
    else if (c == '.')
      ++points;
    else
      return false;
  }
  if (digits == 0 || points > 1) return false;
  // The text is now plain decimal, which strtod reads to its end.
  double v = strtod(text.c_str(), nullptr);
  if (v > max) return false;
  *out = v;
  return true;
}

bool FaultCount::take() {
  if (skip > 0) {
    --skip;
    return false;
  }
  if (times == 0) return false;
  if (times > 0) --times;
  return true;
}

std::string print_compact(const cJSON *item) {
  JsonText text(cJSON_PrintUnformatted(item));
  return text ? text.get() : "";
}

}  // namespace sim
