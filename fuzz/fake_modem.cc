// The modem's side of the exchange, for the fuzz targets: the command is
// checked and kept, the reply comes from the fuzz input.
#include "fake_modem.h"

#include <unistd.h>

#include <cstring>

#include "at_exchange.h"
#include "fuzz_support.h"
#include "globals.h"
#include "invariants.h"

namespace {

ScriptedPeer modem;

}  // namespace

void fake_modem_reset(const std::vector<std::string_view> &replies) {
  modem.reset(replies);
}

const std::vector<std::string> &fake_modem_commands() {
  return modem.requests();
}

// The same argument checks and reply bounds as the real exchange: at most
// out_len - 1 bytes of reply, a NUL after them, and nothing written when
// the modem stays silent.
int execute_at_command(int chan, const char *at_cmd, char *out_result, int out_len, int timeout,
                       int long_time_flag) {
  (void)timeout;
  (void)long_time_flag;
  if (chan < 1 || chan > 32) return -1;
  if (at_cmd == nullptr) return -1;
  if (out_result != nullptr && out_len < 1) return -1;

  FUZZ_CHECK(is_one_command_line(at_cmd));
  modem.keep(at_cmd);
  if (out_result == nullptr) return 0;

  // The real exchange may fill all of out_len: the caller's buffer must
  // really be that large, which the sanitizer checks with this read.
  volatile char last = out_result[out_len - 1];
  (void)last;

  std::string_view reply;
  if (!modem.next(&reply) || reply.empty()) return -4;
  copy_bounded(reply, out_result, static_cast<size_t>(out_len));
  return 0;
}

int exchange_on_channel(const char *at_cmd, char *result, int timeout, int long_time_flag) {
  memset(result, 0, kReplySize);
  return execute_at_command(chan_id, at_cmd, result, static_cast<int>(kReplySize), timeout,
                            long_time_flag);
}

// No device is ever opened: the channel is always free, and giving it up
// only closes what a target handed the radio routines as at_fd.
int lock_channel(int) {
  return 0;
}

void release_channel() {
  if (at_fd >= 0) close(at_fd);
  at_fd = -1;
}
