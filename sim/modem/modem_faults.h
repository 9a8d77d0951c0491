// Fault injection for the simulated modem: per command kind, what to do
// instead of (or around) the plain reply, and the pieces that then go out.
#pragma once

#include <string>
#include <vector>

#include "sim_util.h"

namespace sim {

struct ModemFault {
  std::string kind;        // command kind name (see command_kind_name), or "install"
  std::string text;        // as given, for the transcript
  std::string status;      // replaces the QESIM status / the CFUN level
  bool silent = false;     // no reply at all; the command is not carried out
  bool error = false;      // "ERROR"; the command is not carried out
  std::string cme;         // "+CME ERROR: <cme>"; the command is not carried out
  bool hangup = false;     // the modem goes away: no reply, the pty is closed for good
  int replug_ms = -1;      // ... unless it comes back this long after (a new pty, same eUICC)
  bool garbage = false;    // bytes 0x80-0xff mixed into the reply
  bool nul = false;        // a NUL byte in the middle of the reply
  int split_ms = -1;       // reply in two halves, this gap between them
  int delay_ms = 0;        // before the reply
  int big = 0;             // pad the reply with filler lines to this many bytes
  std::string urc_before;  // unsolicited line ahead of the reply, same write
  std::string urc_after;   // unsolicited line behind the reply
  int urc_gap_ms = 0;      // urc_after comes this long after the reply (0: same write)
  sim::FaultCount count;   // skip=N first commands of the kind, then times=N
};

// Parses "KIND:action[,action...]"; false with a message on a bad line.
bool parse_modem_fault(const std::string &line, ModemFault *fault, std::string *err);

// The fault that applies to this command of `kind`, if any, counting it.
const ModemFault *take_fault(std::vector<ModemFault> *faults, const std::string &kind);

struct Piece {
  int delay_ms = 0;  // after the previous piece (or after the command arrived)
  std::string bytes;
};

// The pieces that carry `reply` (already the fault's replacement text when it
// has one) under `fault`, with the echo in front when `echo` is not empty.
// Delays are already scaled by `time_factor`.
std::vector<Piece> plan_reply(const std::string &echo, const std::string &reply,
                              const ModemFault *fault, double time_factor);

}  // namespace sim
