// Reads profile list replies: the ICCID reader get_last_iccid_from_list
// (into a buffer of 1 to 32 bytes) and the delete command's check
// send_at_delete_esim, whose delete reply and list reply come from the modem.
// Input: one byte for the buffer size, then pieces split at the record
// separator: the list reply, the ICCID to delete, the modem's replies.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fake_modem.h"
#include "fuzz_support.h"
#include "profile_cmds.h"
#include "tool_setup.h"

namespace {

constexpr size_t kMaxBuffer = 32;
constexpr unsigned char kUntouched = 0xa5;

void read_last_iccid(std::string_view list, size_t buffer_size) {
  std::string reply(list);
  // Exact-size copies, so that a read or write one byte past is caught.
  std::unique_ptr<char[]> text(new char[reply.size() + 1]);
  memcpy(text.get(), reply.c_str(), reply.size() + 1);
  std::unique_ptr<char[]> iccid(new char[buffer_size]);
  memset(iccid.get(), kUntouched, buffer_size);

  int ret = get_last_iccid_from_list(text.get(), iccid.get(), buffer_size);
  FUZZ_CHECK(ret == 0 || ret == -1);
  FUZZ_CHECK(memcmp(text.get(), reply.c_str(), reply.size() + 1) == 0);
  size_t len = strnlen(iccid.get(), buffer_size);
  if (ret == 0) {
    FUZZ_CHECK(len < buffer_size && len >= 15 && len <= 20);
    FUZZ_CHECK(iccid[0] >= '0' && iccid[0] <= '9' && is_iccid_text(iccid.get()));
    // It was one whole quoted text of the reply.
    FUZZ_CHECK(strstr(text.get(), ("\"" + std::string(iccid.get()) + "\"").c_str()) != nullptr);
  }
  if (ret == -1)
    for (size_t i = 0; i < buffer_size; ++i)
      FUZZ_CHECK(static_cast<unsigned char>(iccid[i]) == kUntouched);
}

void delete_profile(const std::string &iccid, const std::vector<std::string_view> &replies) {
  fake_modem_reset(replies);
  int ret = send_at_delete_esim(iccid.c_str());
  FUZZ_CHECK(ret <= 0 && ret >= -4);

  const std::vector<std::string> &sent = fake_modem_commands();
  FUZZ_CHECK(sent.size() <= 2);
  if (sent.empty()) {
    // Only an ICCID that cannot travel as one quoted argument stays home;
    // beside it the command has 23 characters and must fit 64 bytes.
    FUZZ_CHECK(ret == -1);
    FUZZ_CHECK(iccid.find_first_of("\"\r\n") != std::string::npos || iccid.size() > 40);
    return;
  }
  FUZZ_CHECK(sent[0] == "AT+QESIM=\"delete\",\"" + iccid + "\"\r\n");
  if (sent.size() == 2) FUZZ_CHECK(sent[1] == "AT+QESIM=\"list\"\r\n");
  if (ret == -3 || ret == -4) FUZZ_CHECK(sent.size() == 2);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  quiet_tool_setup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  size_t buffer_size = 1 + data[0] % kMaxBuffer;
  std::vector<std::string_view> pieces = split_input(data + 1, size - 1);
  read_last_iccid(pieces[0], buffer_size);
  if (pieces.size() < 2) return 0;
  // The ICCID is a C string: it ends at a NUL as a command-line word would.
  std::string iccid(pieces[1].substr(0, pieces[1].find('\0')));
  delete_profile(iccid, {pieces.begin() + 2, pieces.end()});
  return 0;
}
