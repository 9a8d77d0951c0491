// Reads the notification replies of a removal, in the workflow's order: the
// selector-3 list (send_at_ntf_list_delete), the notification itself
// (send_at_ntf_get), its deletion (send_at_ntf_delete) and the clean-up
// passes of the selector-0 list (send_at_ntf_list) with their deletions.
// Input: one byte for the clean-up's req_id buffer size (0 to 32), then
// pieces split at the record separator: the ICCID, the modem's replies.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fake_modem.h"
#include "fuzz_support.h"
#include "globals.h"
#include "notification_cmds.h"
#include "tool_setup.h"

namespace {

constexpr int kCleanupPasses = 10;
constexpr char kPayloadHead[] = "{\"pendingNotification\":\"";
constexpr char kPayloadTail[] = "\"}";

// A sequence number taken from a list reply is a piece of a reply the modem
// sent since the last reset (the commands do not copy replies elsewhere).
bool was_in_a_reply(const char *seq, const std::vector<std::string_view> &replies) {
  for (std::string_view reply : replies)
    if (reply.find(seq) != std::string_view::npos) return true;
  return false;
}

void check_payload() {
  FUZZ_CHECK(memchr(http_payload, '\0', sizeof http_payload) != nullptr);
  size_t len = strlen(http_payload);
  size_t head = sizeof kPayloadHead - 1;
  size_t tail = sizeof kPayloadTail - 1;
  FUZZ_CHECK(len >= head + tail && strncmp(http_payload, kPayloadHead, head) == 0 &&
             strcmp(http_payload + len - tail, kPayloadTail) == 0);
  // The data between the quotes holds no quote of its own.
  FUZZ_CHECK(memchr(http_payload + head, '"', len - head - tail) == nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  quiet_tool_setup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  int req_id_len = data[0] % 33;
  std::vector<std::string_view> pieces = split_input(data + 1, size - 1);
  std::string iccid_param(pieces[0].substr(0, pieces[0].find('\0')));
  std::vector<std::string_view> replies(pieces.begin() + 1, pieces.end());
  fake_modem_reset(replies);
  memset(req_id, 0, sizeof req_id);
  memset(http_payload, 0, sizeof http_payload);

  int ret = send_at_ntf_list_delete(iccid_param.c_str());
  FUZZ_CHECK(ret == 0 || ret == -1);
  FUZZ_CHECK(memchr(req_id, '\0', sizeof req_id) != nullptr);
  if (ret == 0) FUZZ_CHECK(was_in_a_reply(req_id, replies));

  // The workflow stops on a failed list; going on with whatever req_id holds
  // reaches the readers behind it more often.
  if (send_at_ntf_get() == 0) check_payload();
  int deleted = send_at_ntf_delete(req_id);
  FUZZ_CHECK(deleted == 0 || deleted == -1);

  std::unique_ptr<char[]> ntf_req_id(new char[req_id_len > 0 ? req_id_len : 1]);
  for (int pass = 0; pass < kCleanupPasses; ++pass) {
    memset(ntf_req_id.get(), 0, req_id_len > 0 ? req_id_len : 1);
    if (send_at_ntf_list(iccid_param.c_str(), ntf_req_id.get(), req_id_len) != 0) break;
    FUZZ_CHECK(static_cast<int>(strnlen(ntf_req_id.get(), req_id_len)) < req_id_len);
    FUZZ_CHECK(was_in_a_reply(ntf_req_id.get(), replies));
    if (send_at_ntf_delete(ntf_req_id.get()) != 0) break;
  }
  // The selector-3 list (with its radio query), get, delete, then two
  // commands per clean-up pass: a reply never prolongs the run past that.
  FUZZ_CHECK(fake_modem_commands().size() <= 4 + 2 * kCleanupPasses);
  return 0;
}
