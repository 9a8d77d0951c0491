// The modem of the fuzz targets. fake_modem.cc defines every symbol of
// modem/at_exchange.cc (execute_at_command, exchange_on_channel,
// lock_channel, release_channel), so linking it keeps the real exchange (and
// every device) out of the program.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Each later exchange takes the next of `replies` as the modem's answer. An
// empty reply, or none left, is silence: the exchange gives -4 and leaves
// the reply buffer as it was, as the real one does when no byte arrives.
// The views must outlive the exchanges. Forgets the commands sent before.
void fake_modem_reset(const std::vector<std::string_view> &replies);

// Every command sent since the last reset, in order. Each has been checked
// to be one command line.
const std::vector<std::string> &fake_modem_commands();
