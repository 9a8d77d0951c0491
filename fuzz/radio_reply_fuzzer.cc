// Reads the radio preparation's replies: the CFUN level and the EID status
// of send_prev_at (its exchanges and its own extra reads of the device), then
// the reply to send_at_cfun_max.
// Input: the exchanges' replies split at the record separator, then
// (after an ASCII group separator) the extra reads' data, one read per piece.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "at_commands.h"
#include "fake_modem.h"
#include "fuzz_support.h"
#include "globals.h"
#include "radio.h"
#include "sleep_shim.h"
#include "tool_setup.h"

namespace {

constexpr char kGroupSeparator = '\x1d';
// A first pass sends CFUN?, QGMR, perhaps CFUN=1, and the EID query; the
// one recovery pass CFUN=0, CFUN=1 and the EID query again.
constexpr size_t kMostPrevCommands = 7;

bool is_prev_command(const std::string &command) {
  for (const char *known : {kAtCfunQuery, kAtQgmr, kAtCfunMin, kAtCfunFull, kAtQesimEid})
    if (command == known) return true;
  return false;
}

// A device whose every read gives one piece, as packets keep their bounds;
// with none left a read finds nothing (EAGAIN), as on an idle serial line.
struct ExtraReads {
  int fds[2] = {-1, -1};
  explicit ExtraReads(const std::vector<std::string_view> &pieces) {
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0, fds) == 0);
    for (std::string_view piece : pieces)
      if (write(fds[1], piece.data(), piece.size()) < 0) break;  // full: the rest is lost
  }
  ~ExtraReads() {
    close(fds[0]);
    close(fds[1]);
  }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  quiet_tool_setup();
  // send_prev_at paces the modem with sleep(); here every pause is skipped.
  sleep_shim_set_factor(0);
  sleep_shim_scale_this_thread_only();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view input(reinterpret_cast<const char *>(data), size);
  size_t group = input.find(kGroupSeparator);
  std::string_view exchanges = input.substr(0, group);
  std::string_view reads = group == std::string_view::npos ? "" : input.substr(group + 1);
  std::vector<std::string_view> replies =
      split_input(reinterpret_cast<const uint8_t *>(exchanges.data()), exchanges.size());
  ExtraReads device(split_input(reinterpret_cast<const uint8_t *>(reads.data()), reads.size()));

  at_fd = device.fds[0];
  fake_modem_reset(replies);
  send_prev_at();
  const std::vector<std::string> &sent = fake_modem_commands();
  FUZZ_CHECK(sent.size() >= 3 && sent.size() <= kMostPrevCommands);
  FUZZ_CHECK(sent[0] == kAtCfunQuery && sent[1] == kAtQgmr);
  for (const std::string &command : sent) FUZZ_CHECK(is_prev_command(command));

  size_t used = sent.size();
  fake_modem_reset({replies.begin() + std::min(used, replies.size()), replies.end()});
  int ret = send_at_cfun_max();
  FUZZ_CHECK(ret == 0 || ret == -1);
  FUZZ_CHECK(fake_modem_commands().size() == 1 && fake_modem_commands()[0] == kAtCfunRadioOff);
  at_fd = -1;
  return 0;
}
