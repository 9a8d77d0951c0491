// Reads one QESIM reply with the trans reader (parse_at_response, keyword
// "trans", with and without the host) or the status reader (parse_at_status,
// one of the keywords the commands use).
// Input: one byte picking the reader, then the reply text.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "globals.h"
#include "qesim_parse.h"
#include "tool_setup.h"

namespace {

const char *const kStatusKeywords[] = {"download", "disable", "delete", "ntf_list", "ntf_delete"};
// What each field holds before the read. A field still holding it counts as
// left alone; a reply that carries this very text can only weaken a check.
constexpr char kBefore[] = "\x01-before";

bool terminated(const char *buffer, size_t size) {
  return memchr(buffer, '\0', size) != nullptr;
}

// A field is either as it was, or a piece of the reply (never cut, never
// read from anywhere else) that `shape` accepts.
template <typename Shape>
void check_field(const char *field, size_t size, const char *reply, Shape shape) {
  FUZZ_CHECK(terminated(field, size));
  if (strcmp(field, kBefore) == 0) return;
  FUZZ_CHECK(strstr(reply, field) != nullptr);
  FUZZ_CHECK(shape(field));
}

void read_trans_reply(const char *reply, int get_ip_flag) {
  for (char *field : {at_status, at_http_path, at_payload, at_http_ip})
    memcpy(field, kBefore, sizeof kBefore);
  parse_at_response(reply, "trans", get_ip_flag);

  if (strstr(reply, "trans") == nullptr) {
    for (const char *field : {at_status, at_http_path, at_payload, at_http_ip})
      FUZZ_CHECK(strcmp(field, kBefore) == 0);
    return;
  }
  check_field(at_status, sizeof at_status, reply,
              [](const char *s) { return s[0] != '\0' && strchr(s, ',') == nullptr; });
  check_field(at_http_path, sizeof at_http_path, reply,
              [](const char *s) { return strchr(s, '"') == nullptr; });
  check_field(at_payload, sizeof at_payload, reply, [](const char *s) {
    size_t n = strlen(s);
    return n >= 2 && s[0] == '{' && s[n - 1] == '}';
  });
  if (!get_ip_flag) FUZZ_CHECK(strcmp(at_http_ip, kBefore) == 0);
  check_field(at_http_ip, sizeof at_http_ip, reply,
              [](const char *s) { return strchr(s, '"') == nullptr; });
}

// The status reader may end the status by writing one NUL over its CR, and
// nothing else.
void read_status_reply(char *reply, size_t len, const char *keyword) {
  std::string before(reply, len + 1);
  int ret = parse_at_status(reply, keyword);
  FUZZ_CHECK(ret == 0 || ret == -1 || ret == -3 || ret == -4 || ret == -5);
  FUZZ_CHECK((ret == -5) == (strstr(before.c_str(), keyword) == nullptr));

  size_t changed = len + 1;
  for (size_t i = 0; i <= len; ++i) {
    if (reply[i] == before[i]) continue;
    FUZZ_CHECK(changed == len + 1 && before[i] == '\r' && reply[i] == '\0');
    changed = i;
  }
  bool cut = changed <= len;
  FUZZ_CHECK(cut == (ret == 0 || ret == -4));
  // Status 0 is exactly the text "0" between the comma and that CR.
  if (ret == 0) FUZZ_CHECK(changed >= 2 && reply[changed - 1] == '0' && reply[changed - 2] == ',');
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  quiet_tool_setup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  uint8_t pick = data[0];
  // An exact-size copy: a read one byte past the text is caught.
  size_t len = size - 1;
  std::unique_ptr<char[]> reply(new char[len + 1]);
  memcpy(reply.get(), data + 1, len);
  reply[len] = '\0';
  len = strlen(reply.get());

  if (pick < 128) {
    read_trans_reply(reply.get(), pick & 1);
  } else {
    const char *keyword =
        kStatusKeywords[pick % (sizeof kStatusKeywords / sizeof *kStatusKeywords)];
    read_status_reply(reply.get(), len, keyword);
  }
  return 0;
}
