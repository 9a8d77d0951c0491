#include "modem_faults.h"

#include "sim_util.h"

namespace sim {

namespace {

int scaled(int ms, double factor) {
  return (int)(ms * factor + 0.5);
}

}  // namespace

bool parse_modem_fault(const std::string &line, ModemFault *fault, std::string *err) {
  ModemFault f;
  f.text = line;
  auto action = [&f](const std::string &k, const std::string &v) {
    bool ok = true;
    if (k == "status") {
      ok = !v.empty() && v.find_first_of("\r\n\"") == std::string::npos;
      f.status = v;
    } else if (k == "silent") {
      f.silent = true;
    } else if (k == "error") {
      f.error = true;
    } else if (k == "hangup") {
      f.hangup = true;
      ok = v.empty() || parse_number(v, kMaxFaultNumber, &f.replug_ms);
    } else if (k == "garbage") {
      f.garbage = true;
    } else if (k == "nul") {
      f.nul = true;
    } else if (k == "cme") {
      int code = 0;
      ok = parse_number(v, kMaxFaultNumber, &code);
      f.cme = v;
    } else if (k == "split") {
      ok = parse_number(v, kMaxFaultNumber, &f.split_ms);
    } else if (k == "delay") {
      ok = parse_number(v, kMaxFaultNumber, &f.delay_ms);
    } else if (k == "big") {
      f.big = 20000;
      ok = v.empty() || parse_number(v, kMaxFaultNumber, &f.big);
    } else if (k == "urc_before") {
      f.urc_before = v.empty() ? "+QIND: \"SMS DONE\"" : v;
    } else if (k == "urc_after") {
      f.urc_after = v.empty() ? "+QIND: \"SMS DONE\"" : v;
    } else if (k == "urc_gap") {
      ok = parse_number(v, kMaxFaultNumber, &f.urc_gap_ms);
    } else {
      return FaultAction::kUnknown;
    }
    return ok ? FaultAction::kTaken : FaultAction::kBadValue;
  };
  if (!parse_fault_line(line, "KIND:ACTION[,ACTION...]", &f.kind, &f.count, action, err))
    return false;
  *fault = f;
  return true;
}

const ModemFault *take_fault(std::vector<ModemFault> *faults, const std::string &kind) {
  for (auto &f : *faults) {
    if (f.kind == kind && f.count.take()) return &f;
  }
  return nullptr;
}

std::vector<Piece> plan_reply(const std::string &echo, const std::string &reply,
                              const ModemFault *fault, double time_factor) {
  std::string text = reply;
  if (fault != nullptr) {
    if (!fault->urc_before.empty()) text = "\r\n" + fault->urc_before + "\r\n" + text;
    if (!fault->urc_after.empty() && fault->urc_gap_ms == 0)
      text += "\r\n" + fault->urc_after + "\r\n";
    if (fault->garbage && !text.empty()) {
      // High bytes where a reader looks: in front, and before every line end.
      std::string mixed = "\x80\xfe";
      for (char c : text) mixed += c == '\r' ? std::string("\xff\xc3\r") : std::string(1, c);
      text = mixed;
    }
    if (fault->nul && !text.empty()) text.insert(text.size() / 2, 1, '\0');
    if (fault->big > 0) {
      // Filler lines without quotes or braces: nothing a reply reader keys on.
      while ((int)text.size() < fault->big) {
        std::string line = "+QDBG: " + std::string(70, 'x') + "\r\n";
        size_t room = (size_t)fault->big - text.size();
        text += line.size() <= room ? line : line.substr(0, room);
      }
    }
  }
  std::vector<Piece> pieces;
  int delay = fault != nullptr ? scaled(fault->delay_ms, time_factor) : 0;
  if (!echo.empty() && delay > 0) {
    pieces.push_back({0, echo});
  } else {
    text = echo + text;
  }
  if (fault != nullptr && fault->split_ms >= 0 && text.size() > 1) {
    size_t half = text.size() / 2;
    pieces.push_back({delay, text.substr(0, half)});
    pieces.push_back({scaled(fault->split_ms, time_factor), text.substr(half)});
  } else if (!text.empty()) {
    pieces.push_back({delay, text});
  }
  if (fault != nullptr && !fault->urc_after.empty() && fault->urc_gap_ms > 0)
    pieces.push_back({scaled(fault->urc_gap_ms, time_factor), "\r\n" + fault->urc_after + "\r\n"});
  return pieces;
}

}  // namespace sim
