#include "modem_model.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "final_results.h"

namespace sim {

namespace {

std::string upper(std::string s) {
  for (auto &c : s) c = (char)toupper((unsigned char)c);
  return s;
}

std::string status_line(const std::string &keyword, const std::string &status) {
  return "\r\n+QESIM: \"" + keyword + "\"," + status + "\r\n" + kOk;
}

// An event as the list selector numbers it: 1 install, 2 enable and
// disable, 3 delete.
std::string event_number(const std::string &event) {
  return event == "install" ? "1" : event == "delete" ? "3" : "2";
}

}  // namespace

const char *command_kind_name(CommandKind kind) {
  switch (kind) {
    case CommandKind::kAt:
      return "at";
    case CommandKind::kAte:
      return "ate";
    case CommandKind::kCfunQuery:
      return "cfun_query";
    case CommandKind::kCfunSet:
      return "cfun_set";
    case CommandKind::kQgmr:
      return "qgmr";
    case CommandKind::kEid:
      return "eid";
    case CommandKind::kDownload:
      return "download";
    case CommandKind::kTrans:
      return "trans";
    case CommandKind::kTransLast:
      return "trans_last";
    case CommandKind::kList:
      return "list";
    case CommandKind::kEnable:
      return "enable";
    case CommandKind::kDisable:
      return "disable";
    case CommandKind::kDelete:
      return "delete";
    case CommandKind::kNtfList:
      return "ntf_list";
    case CommandKind::kNtfGet:
      return "ntf_get";
    case CommandKind::kNtfDelete:
      return "ntf_delete";
    case CommandKind::kUnknown:
      return "unknown";
  }
  return "unknown";
}

CommandKind command_kind(const std::string &line) {
  std::string u = upper(line);
  if (u == "AT") return CommandKind::kAt;
  if (u == "ATE" || u == "ATE0" || u == "ATE1") return CommandKind::kAte;
  if (u == "AT+CFUN?") return CommandKind::kCfunQuery;
  if (u.rfind("AT+CFUN=", 0) == 0) return CommandKind::kCfunSet;
  if (u == "AT+QGMR") return CommandKind::kQgmr;
  if (u.rfind("AT+QESIM=", 0) != 0) return CommandKind::kUnknown;
  std::vector<std::string> args;
  if (!split_qesim_args(line.substr(9), &args) || args.empty()) return CommandKind::kUnknown;
  const std::string &sub = args[0];
  // A trans chunk is the last one when its continuation flag is 0.
  if (sub == "trans")
    return args.size() > 2 && args[2] == "0" ? CommandKind::kTransLast : CommandKind::kTrans;
  // The other sub-commands are their kind's name.
  for (CommandKind k : {CommandKind::kEid, CommandKind::kDownload, CommandKind::kList,
                        CommandKind::kEnable, CommandKind::kDisable, CommandKind::kDelete,
                        CommandKind::kNtfList, CommandKind::kNtfGet, CommandKind::kNtfDelete})
    if (sub == command_kind_name(k)) return k;
  return CommandKind::kUnknown;
}

bool split_qesim_args(const std::string &text, std::vector<std::string> *args) {
  args->clear();
  size_t i = 0;
  while (i <= text.size()) {
    std::string arg;
    if (i < text.size() && text[i] == '"') {
      size_t end = text.find('"', i + 1);
      if (end == std::string::npos) return false;
      arg = text.substr(i + 1, end - i - 1);
      i = end + 1;
      if (i < text.size() && text[i] != ',') return false;
    } else {
      size_t end = text.find(',', i);
      arg = text.substr(i, end == std::string::npos ? std::string::npos : end - i);
      i = end == std::string::npos ? text.size() : end;
    }
    args->push_back(arg);
    if (i >= text.size()) break;
    ++i;  // the comma
  }
  return true;
}

std::string next_iccid(const std::string &iccid) {
  size_t digits = iccid.find_first_not_of("0123456789");
  if (digits == std::string::npos) digits = iccid.size();
  std::string out = iccid;
  for (size_t i = digits; i-- > 0;) {
    if (out[i] != '9') {
      ++out[i];
      return out;
    }
    out[i] = '0';
  }
  return out;
}

std::string channel_eid(int channel) {
  char digits[5];
  snprintf(digits, sizeof digits, "%04d", (channel % 10000 + 10000) % 10000);
  return std::string("89049032000001000000000000") + digits + "07";
}

ModemModel::ModemModel(ModemSettings settings)
    : s_(std::move(settings)),
      filler_(s_.seed + (uint64_t)s_.channel * 7919),
      dialogue_(&filler_, this, s_.path_prefix, s_.later_host, s_.empty_notification_path) {
  for (const auto &n : s_.notifications) seq_counter_ = std::max(seq_counter_, n.seq);
  if (s_.eid.empty()) s_.eid = channel_eid(s_.channel);
}

std::string ModemModel::answer(const std::string &line, const std::string &status,
                               const std::string &install_status) {
  CommandKind kind = command_kind(line);
  switch (kind) {
    case CommandKind::kAt:
      return kOk;
    case CommandKind::kAte:
      s_.echo = upper(line) == "ATE1";
      return kOk;
    case CommandKind::kCfunQuery:
      return "\r\n+CFUN: " + (status.empty() ? std::to_string(s_.cfun) : status) + "\r\n" + kOk;
    case CommandKind::kCfunSet: {
      std::string arg = line.substr(8);
      arg = arg.substr(0, arg.find(','));
      if (arg != "0" && arg != "1" && arg != "4") return kBadParameter;
      s_.cfun = atoi(arg.c_str());
      return kOk;
    }
    case CommandKind::kQgmr:
      return "\r\n" + s_.firmware + "\r\n" + kOk;
    // A command the modem does not know, an AT+QESIM= one included, is
    // plain ERROR; "+CME ERROR: 50" is for a known one with bad arguments.
    case CommandKind::kUnknown:
      return kError;
    case CommandKind::kEid:
    case CommandKind::kDownload:
    case CommandKind::kTrans:
    case CommandKind::kTransLast:
    case CommandKind::kList:
    case CommandKind::kEnable:
    case CommandKind::kDisable:
    case CommandKind::kDelete:
    case CommandKind::kNtfList:
    case CommandKind::kNtfGet:
    case CommandKind::kNtfDelete:
      break;
  }
  std::vector<std::string> args;
  split_qesim_args(line.substr(9), &args);
  return qesim(kind, args, status, install_status);
}

std::string ModemModel::qesim(CommandKind kind, const std::vector<std::string> &args,
                              const std::string &status, const std::string &install_status) {
  // With the radio at minimum function the eUICC is powered down.
  std::string st = status;
  if (st.empty() && s_.cfun == 0) st = std::to_string(kEuiccNotReady);
  switch (kind) {
    case CommandKind::kEid:
      if (args.size() != 1) return kBadParameter;
      if (!st.empty()) return "\r\n+QESIM: \"eid\"," + st + ",\"\"\r\n" + kOk;
      if (s_.eid_unquoted) return "\r\n+QESIM: \"eid\",0," + s_.eid + "\r\n" + kOk;
      return "\r\n+QESIM: \"eid\",0,\"" + s_.eid + "\"\r\n" + kOk;
    case CommandKind::kDownload:
      return dialogue_.download(args, st);
    case CommandKind::kTrans:
    case CommandKind::kTransLast:
      return dialogue_.trans(args, st, install_status);
    case CommandKind::kList:
      return list(st);
    case CommandKind::kEnable:
    case CommandKind::kDisable:
    case CommandKind::kDelete:
      return set_state(kind, args, st);
    case CommandKind::kNtfList:
      return ntf_list(args, st);
    case CommandKind::kNtfGet:
      return ntf_get(args, st);
    case CommandKind::kNtfDelete:
      return ntf_delete(args, st);
    case CommandKind::kAt:
    case CommandKind::kAte:
    case CommandKind::kCfunQuery:
    case CommandKind::kCfunSet:
    case CommandKind::kQgmr:
    case CommandKind::kUnknown:
      break;
  }
  // answer() brings QESIM commands only.
  return kError;
}

std::string ModemModel::install(const std::string &matching_id, bool enable,
                                const std::string &address) {
  std::string iccid = s_.next_iccid;
  s_.next_iccid = next_iccid(iccid);
  Profile p;
  p.iccid = iccid;
  // A name from the ICCID's last four digits (or all of a shorter one).
  p.name = matching_id.empty() ? "Profile " + iccid.substr(iccid.size() < 4 ? 0 : iccid.size() - 4)
                               : matching_id;
  p.enabled = enable;
  if (p.enabled)
    for (auto &other : s_.profiles) other.enabled = false;
  s_.profiles.push_back(p);
  // Without an ICCID (an empty --next-iccid) there is nothing to notify of.
  if (iccid.empty()) return "";
  // The install notification goes to the host in the dialogue's last
  // request; the modem counts it as handed over and keeps none pending, so
  // after a completed download the eUICC lists no notification for it.
  queue_notification(iccid, "install", address);
  std::string blob = s_.notifications.back().blob;
  s_.notifications.pop_back();
  return blob;
}

void ModemModel::queue_notification(const std::string &iccid, const std::string &event,
                                    const std::string &address) {
  Notification n;
  n.seq = ++seq_counter_;
  n.iccid = iccid;
  n.event = event;
  n.address = address;
  if (n.address.empty()) {
    // Other notifications go to the server that installed the profile.
    for (const auto &o : s_.notifications)
      if (o.iccid == iccid && !o.address.empty()) n.address = o.address;
  }
  std::string tag = event == "install" ? std::string("\xbf\x37", 2) : std::string("\x30", 1);
  n.blob = base64_encode(filler_.der(tag, event == "install" ? 420 : 140));
  s_.notifications.push_back(n);
}

std::string ModemModel::list(const std::string &status) {
  if (!status.empty()) return status_line("list", status);
  std::string count = std::to_string(s_.profiles.size());
  std::string out = s_.list_head == "count"  ? "\r\n+QESIM: \"list\"," + count + "\r\n"
                    : s_.list_head == "bare" ? "\r\n+QESIM: \"list\"\r\n"
                                             : "\r\n+QESIM: \"list\",0," + count + "\r\n";
  std::vector<const Profile *> order;
  for (const auto &p : s_.profiles) order.push_back(&p);
  if (s_.newest_first && !order.empty()) {
    const Profile *newest = order.back();
    order.pop_back();
    order.insert(order.begin(), newest);
  }
  int n = 0;
  for (const Profile *p : order)
    out += "+QESIM: " + std::to_string(++n) + ",\"" + p->iccid + "\"," + (p->enabled ? "1" : "0") +
           ",\"" + p->name + "\"\r\n";
  return out + kOk;
}

// The reply's keyword is the sub-command, which is the kind's name.
std::string ModemModel::set_state(CommandKind kind, const std::vector<std::string> &args,
                                  const std::string &status) {
  const std::string what = command_kind_name(kind);
  if (args.size() != 2) return kBadParameter;
  if (!status.empty()) return status_line(what, status);
  size_t i = 0;
  while (i < s_.profiles.size() && s_.profiles[i].iccid != args[1]) ++i;
  if (i == s_.profiles.size()) return status_line(what, "1");  // iccidOrAidNotFound
  Profile &p = s_.profiles[i];
  if (kind == CommandKind::kEnable) {
    if (p.enabled) return status_line(what, "2");  // profileNotInDisabledState
    for (auto &other : s_.profiles) other.enabled = false;
    p.enabled = true;
    return status_line(what, "0");
  }
  if (kind == CommandKind::kDisable) {
    if (!p.enabled) return status_line(what, "2");  // profileNotInEnabledState
    p.enabled = false;
    return status_line(what, "0");
  }
  // The modem disables an enabled profile itself before deleting it.
  std::string iccid = p.iccid;
  s_.profiles.erase(s_.profiles.begin() + (long)i);
  for (int k = 0; k < s_.delete_notifications; ++k) queue_notification(iccid, "delete");
  return status_line(what, "0");
}

std::string ModemModel::ntf_list(const std::vector<std::string> &args, const std::string &status) {
  if (args.size() != 2 || !all_digits(args[1])) return kBadParameter;
  if (!status.empty()) return status_line("ntf_list", status);
  // The selector filters by event as the eUICC's notification list does:
  // 0 every notification, 1 install, 2 enable and disable, 3 delete.
  int selector = atoi(args[1].c_str());
  if (selector > 3) return kBadParameter;
  std::string out = "\r\n+QESIM: \"ntf_list\",0\r\n";
  for (const auto &n : s_.notifications) {
    bool shown = selector == 0 || (selector == 1 && n.event == "install") ||
                 (selector == 2 && (n.event == "enable" || n.event == "disable")) ||
                 (selector == 3 && n.event == "delete");
    if (!shown) continue;
    std::string seq = std::to_string(n.seq);
    if (s_.ntf_line == "unquoted")
      out += "+QESIM: \"ntf_list\"," + seq + "," + n.iccid + "," + event_number(n.event) + "\r\n";
    else if (s_.ntf_line == "seq-last")
      out += "+QESIM: \"" + n.iccid + "\"," + seq + "\r\n";
    else
      out += "+QESIM: \"ntf\"," + seq + ",\"" + n.iccid + "\",\"" + n.event + "\",\"" + n.address +
             "\"\r\n";
  }
  return out + kOk;
}

std::string ModemModel::ntf_get(const std::vector<std::string> &args, const std::string &status) {
  if (args.size() != 2 || !all_digits(args[1])) return kBadParameter;
  if (!status.empty()) return status_line("ntf_get", status);
  long seq = atol(args[1].c_str());
  for (const auto &n : s_.notifications)
    if (n.seq == seq) return "\r\n+QESIM: \"ntf_get\",0,\"" + n.blob + "\"\r\n" + kOk;
  return status_line("ntf_get", "1");
}

std::string ModemModel::ntf_delete(const std::vector<std::string> &args,
                                   const std::string &status) {
  if (args.size() != 2 || !all_digits(args[1])) return kBadParameter;
  if (!status.empty()) return status_line("ntf_delete", status);
  long seq = atol(args[1].c_str());
  for (size_t i = 0; i < s_.notifications.size(); ++i) {
    if (s_.notifications[i].seq != seq) continue;
    Notification gone = s_.notifications[i];
    s_.notifications.erase(s_.notifications.begin() + (long)i);
    if (s_.endless_notifications) queue_notification(gone.iccid, gone.event);
    return status_line("ntf_delete", "0");
  }
  return status_line("ntf_delete", "1");
}

}  // namespace sim
