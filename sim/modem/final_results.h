// The final result lines that end a simulated modem's reply, shared by the
// device model, its download dialogue and the fault injection.
#pragma once

namespace sim {

constexpr char kOk[] = "\r\nOK\r\n";
constexpr char kError[] = "\r\nERROR\r\n";
// A known command with arguments it cannot take.
constexpr char kBadParameter[] = "\r\n+CME ERROR: 50\r\n";

}  // namespace sim
