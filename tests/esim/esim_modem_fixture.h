// A channel with a scripted modem for the eSIM command tests: channel 1 is a
// pty in a private device directory, waits are shortened, and the run log and
// the waits the tool asks for are captured.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "globals.h"
#include "pty_responder.h"
#include "sleep_shim.h"
#include "tool_state.h"

class EsimModemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_tool_state();
    use_device_dir(dir_.path());
    chan_id = 1;
    sleep_shim_set_factor(0.02);
    sleep_shim_record_this_thread();
  }
  // Closes the device before the responder goes away.
  void TearDown() override { reset_tool_state(); }

  // The whole-second waits the tool asked for, in seconds, in order: the
  // waits before reading the reply to a command with a timeout or the long
  // flag (the half-second waits are not told apart from polling pauses).
  static std::vector<long long> long_waits() {
    std::vector<sleep_record> recs(4096);
    int n = sleep_shim_records(recs.data(), static_cast<int>(recs.size()));
    std::vector<long long> out;
    for (int i = 0; i < n && i < static_cast<int>(recs.size()); ++i) {
      if (std::string(recs[i].call) == "sleep") out.push_back(recs[i].requested_us / 1000000);
    }
    return out;
  }

  // The log written since `from` characters.
  std::string logged_since(size_t from) const { return log_.messages().substr(from); }

  TempDir dir_;
  PtyResponder modem_{dir_.path() + "/1"};
  RunLogCapture log_;
};
