#include "modem_model.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "json_owner.h"

namespace sim {

namespace {

const char kOk[] = "\r\nOK\r\n";
const char kError[] = "\r\nERROR\r\n";
const char kBadParameter[] = "\r\n+CME ERROR: 50\r\n";
const char kPathPrefix[] = "/gsma/rsp2/es9plus/";

std::string upper(std::string s) {
  for (auto &c : s) c = (char)toupper((unsigned char)c);
  return s;
}

bool all_digits(const std::string &s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!isdigit((unsigned char)c)) return false;
  return true;
}

std::string status_line(const std::string &keyword, const std::string &status) {
  return "\r\n+QESIM: \"" + keyword + "\"," + status + "\r\n" + kOk;
}

std::string trans_failure(int status) {
  return "\r\n+QESIM: \"trans\"," + std::to_string(status) + ",\"\"\r\n" + kOk;
}

std::string trans_request(const std::string &status, const std::string &function,
                          const std::string &json) {
  return "\r\n+QESIM: \"trans\"," + status + ",\"" + kPathPrefix + function + "\"," + json + "\r\n";
}

const char *string_member(cJSON *obj, const char *name) {
  cJSON *item = cJSON_GetObjectItemCaseSensitive(obj, name);
  return cJSON_IsString(item) && item->valuestring[0] != '\0' ? item->valuestring : nullptr;
}

}  // namespace

std::string command_kind(const std::string &line) {
  std::string u = upper(line);
  if (u == "AT") return "at";
  if (u == "ATE" || u == "ATE0" || u == "ATE1") return "ate";
  if (u == "AT+CFUN?") return "cfun_query";
  if (u.rfind("AT+CFUN=", 0) == 0) return "cfun_set";
  if (u == "AT+QGMR") return "qgmr";
  if (u.rfind("AT+QESIM=", 0) != 0) return "unknown";
  std::vector<std::string> args;
  if (!split_qesim_args(line.substr(9), &args) || args.empty()) return "unknown";
  const std::string &sub = args[0];
  if (sub == "trans") return args.size() > 2 && args[2] == "0" ? "trans_last" : "trans";
  for (const char *k : {"eid", "download", "list", "enable", "disable", "delete", "ntf_list",
                        "ntf_get", "ntf_delete"})
    if (sub == k) return k;
  return "unknown";
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

ModemModel::ModemModel(ModemSettings settings)
    : s_(std::move(settings)), filler_(s_.seed + (uint64_t)s_.channel * 7919) {
  for (const auto &n : s_.notifications) seq_counter_ = std::max(seq_counter_, n.seq);
}

std::string ModemModel::answer(const std::string &line, const std::string &status,
                               const std::string &install_status) {
  std::string kind = command_kind(line);
  if (kind == "at") return kOk;
  if (kind == "ate") {
    s_.echo = upper(line) == "ATE1";
    return kOk;
  }
  if (kind == "cfun_query")
    return "\r\n+CFUN: " + (status.empty() ? std::to_string(s_.cfun) : status) + "\r\n" + kOk;
  if (kind == "cfun_set") {
    std::string arg = line.substr(8);
    arg = arg.substr(0, arg.find(','));
    if (arg != "0" && arg != "1" && arg != "4") return kBadParameter;
    s_.cfun = atoi(arg.c_str());
    return kOk;
  }
  if (kind == "qgmr") return "\r\n" + s_.firmware + "\r\n" + kOk;
  if (kind == "unknown") {
    if (upper(line).rfind("AT+QESIM=", 0) == 0) return kBadParameter;
    return kError;
  }
  std::vector<std::string> args;
  split_qesim_args(line.substr(9), &args);
  return qesim(args, status, install_status);
}

std::string ModemModel::qesim(const std::vector<std::string> &args, const std::string &status,
                              const std::string &install_status) {
  const std::string &sub = args[0];
  // With the radio at minimum function the eUICC is powered down.
  std::string st = status;
  if (st.empty() && s_.cfun == 0) st = std::to_string(kEuiccNotReady);
  if (sub == "eid") {
    if (args.size() != 1) return kBadParameter;
    if (!st.empty()) return "\r\n+QESIM: \"eid\"," + st + ",\"\"\r\n" + kOk;
    return "\r\n+QESIM: \"eid\",0,\"" + s_.eid + "\"\r\n" + kOk;
  }
  if (sub == "download") return download(args, st);
  if (sub == "trans") return trans(args, st, install_status);
  if (sub == "list") return list(st);
  if (sub == "enable" || sub == "disable" || sub == "delete") return set_state(sub, args, st);
  if (sub == "ntf_list") return ntf_list(args, st);
  if (sub == "ntf_get") return ntf_get(args, st);
  return ntf_delete(args, st);
}

std::string ModemModel::download(const std::vector<std::string> &args, const std::string &status) {
  if (args.size() != 3 || (args[1] != "0" && args[1] != "1")) return kBadParameter;
  abort_download();
  if (!status.empty()) return "\r\n+QESIM: \"trans\"," + status + ",\"\"\r\n" + kOk;
  // LPA:1$<SM-DP+ address>$<matching id>[$...]
  const std::string &code = args[2];
  if (code.rfind("LPA:1$", 0) != 0) return trans_failure(kBadActivationCode);
  size_t host_end = code.find('$', 6);
  if (host_end == std::string::npos || host_end == 6) return trans_failure(kBadActivationCode);
  address_ = code.substr(6, host_end - 6);
  size_t id_end = code.find('$', host_end + 1);
  matching_id_ = code.substr(
      host_end + 1, id_end == std::string::npos ? std::string::npos : id_end - host_end - 1);
  enable_after_install_ = args[1] == "1";
  stage_ = "initiateAuthentication";
  Json req(cJSON_CreateObject());
  cJSON_AddStringToObject(req.get(), "euiccChallenge", base64_encode(filler_.bytes(16)).c_str());
  std::string info1 = filler_.der(std::string("\xbf\x20", 2), 40);
  cJSON_AddStringToObject(req.get(), "euiccInfo1", base64_encode(info1).c_str());
  // The server host is the request's last member: the host reads it there.
  cJSON_AddStringToObject(req.get(), "smdpAddress", address_.c_str());
  return trans_request("0", stage_, print_compact(req.get())) + kOk;
}

std::string ModemModel::trans(const std::vector<std::string> &args, const std::string &status,
                              const std::string &install_status) {
  if (args.size() != 6) return kBadParameter;
  if (!status.empty()) {
    abort_download();
    return "\r\n+QESIM: \"trans\"," + status + ",\"\"\r\n" + kOk;
  }
  if (stage_.empty()) return trans_failure(kNoSession);
  if (!all_digits(args[1]) || !all_digits(args[3]) || !all_digits(args[4]) ||
      (args[2] != "0" && args[2] != "1")) {
    abort_download();
    return trans_failure(kChunkOrder);
  }
  long total = atol(args[1].c_str());
  bool more = args[2] == "1";
  int index = atoi(args[3].c_str());
  long len = atol(args[4].c_str());
  const std::string &chunk = args[5];
  if (index != next_index_ || (total_ >= 0 && total != total_)) {
    abort_download();
    return trans_failure(kChunkOrder);
  }
  if (len != (long)chunk.size() || chunk.size() > 1400) {
    abort_download();
    return trans_failure(kChunkLength);
  }
  for (char c : chunk) {
    if (!isdigit((unsigned char)c) && !(c >= 'a' && c <= 'f')) {
      abort_download();
      return trans_failure(kNotLowerHex);
    }
  }
  total_ = total;
  chunks_ += chunk;
  ++next_index_;
  if ((long)chunks_.size() > total_ || (more && (long)chunks_.size() == total_)) {
    abort_download();
    return trans_failure(kChunkOrder);
  }
  if (more) return kOk;
  if ((long)chunks_.size() != total_) {
    abort_download();
    return trans_failure(kChunkOrder);
  }
  std::string body;
  if (!hex_decode_lower(chunks_, &body)) {
    abort_download();
    return trans_failure(kNotLowerHex);
  }
  chunks_.clear();
  next_index_ = 0;
  total_ = -1;
  return take_answer(body, install_status);
}

// Judges one complete server answer the way the eUICC's LPA would and
// prepares the next request of the dialogue.
std::string ModemModel::take_answer(const std::string &text, const std::string &install_status) {
  Json answer(cJSON_ParseWithLength(text.data(), text.size()));
  if (!answer || !cJSON_IsObject(answer.get())) {
    abort_download();
    return trans_failure(kNotExpectedAnswer);
  }
  cJSON *header = cJSON_GetObjectItemCaseSensitive(answer.get(), "header");
  cJSON *fes = cJSON_GetObjectItemCaseSensitive(header, "functionExecutionStatus");
  const char *result = string_member(fes, "status");
  if (result == nullptr) {
    abort_download();
    return trans_failure(kNotExpectedAnswer);
  }
  if (std::string(result) == "Failed") {
    abort_download();
    return trans_failure(kServerFailed);
  }
  if (std::string(result) != "Executed-Success" && std::string(result) != "Executed-WithWarning") {
    abort_download();
    return trans_failure(kNotExpectedAnswer);
  }
  const char *tid = string_member(answer.get(), "transactionId");
  std::vector<const char *> needed;
  if (stage_ == "initiateAuthentication")
    needed = {"serverSigned1", "serverSignature1", "euiccCiPKIdToBeUsed", "serverCertificate"};
  else if (stage_ == "authenticateClient")
    needed = {"profileMetadata", "smdpSigned2", "smdpSignature2", "smdpCertificate"};
  else
    needed = {"boundProfilePackage"};
  bool ok = tid != nullptr && (stage_ == "initiateAuthentication" || transaction_id_ == tid);
  for (const char *name : needed) ok = ok && string_member(answer.get(), name) != nullptr;
  std::string bpp;
  if (ok && stage_ == "getBoundProfilePackage")
    ok = base64_decode(string_member(answer.get(), "boundProfilePackage"), &bpp);
  if (!ok) {
    abort_download();
    return trans_failure(kNotExpectedAnswer);
  }
  Json req(cJSON_CreateObject());
  if (stage_ == "initiateAuthentication") {
    transaction_id_ = tid;
    stage_ = "authenticateClient";
    cJSON_AddStringToObject(req.get(), "transactionId", tid);
    std::string asr = filler_.der(std::string("\xbf\x38", 2), 1150);
    cJSON_AddStringToObject(req.get(), "authenticateServerResponse", base64_encode(asr).c_str());
    add_later_host(req.get());
    return trans_request("0", stage_, print_compact(req.get())) + kOk;
  }
  if (stage_ == "authenticateClient") {
    stage_ = "getBoundProfilePackage";
    cJSON_AddStringToObject(req.get(), "transactionId", tid);
    std::string pdr = filler_.der(std::string("\xbf\x21", 2), 180);
    cJSON_AddStringToObject(req.get(), "prepareDownloadResponse", base64_encode(pdr).c_str());
    add_later_host(req.get());
    return trans_request("0", stage_, print_compact(req.get())) + kOk;
  }
  // The bound profile package is in: install it (unless told the
  // installation fails), and hand over the installation result as the
  // notification for the server.
  std::string done = install_status.empty() ? "0" : install_status;
  std::string iccid = done == "0" ? install_profile() : "";
  std::string blob;
  if (!iccid.empty()) {
    queue_notification(iccid, "install");
    blob = s_.notifications.back().blob;
  } else {
    blob = base64_encode(filler_.der(std::string("\xbf\x37", 2), 420));
  }
  stage_.clear();
  cJSON_AddStringToObject(req.get(), "pendingNotification", blob.c_str());
  add_later_host(req.get());
  std::string reply = s_.empty_notification_path
                          ? "\r\n+QESIM: \"trans\",0,\"\"," + print_compact(req.get()) + "\r\n"
                          : trans_request("0", "handleNotification", print_compact(req.get()));
  return reply + "\r\n+QESIM: \"download\"," + done + "\r\n" + kOk;
}

void ModemModel::add_later_host(cJSON *req) const {
  if (!s_.later_host.empty()) cJSON_AddStringToObject(req, "smdpAddress", s_.later_host.c_str());
}

std::string ModemModel::install_profile() {
  std::string iccid = s_.next_iccid;
  s_.next_iccid = next_iccid(iccid);
  Profile p;
  p.iccid = iccid;
  p.name = matching_id_.empty() ? "Profile " + iccid.substr(iccid.size() - 4) : matching_id_;
  p.enabled = enable_after_install_;
  if (p.enabled)
    for (auto &other : s_.profiles) other.enabled = false;
  s_.profiles.push_back(p);
  return iccid;
}

void ModemModel::queue_notification(const std::string &iccid, const std::string &event) {
  Notification n;
  n.seq = ++seq_counter_;
  n.iccid = iccid;
  n.event = event;
  n.address = event == "install" ? address_ : "";
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
  std::string out = "\r\n+QESIM: \"list\",0," + std::to_string(s_.profiles.size()) + "\r\n";
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

std::string ModemModel::set_state(const std::string &what, const std::vector<std::string> &args,
                                  const std::string &status) {
  if (args.size() != 2) return kBadParameter;
  if (!status.empty()) return status_line(what, status);
  size_t i = 0;
  while (i < s_.profiles.size() && s_.profiles[i].iccid != args[1]) ++i;
  if (i == s_.profiles.size()) return status_line(what, "1");  // iccidOrAidNotFound
  Profile &p = s_.profiles[i];
  if (what == "enable") {
    if (p.enabled) return status_line(what, "2");  // profileNotInDisabledState
    for (auto &other : s_.profiles) other.enabled = false;
    p.enabled = true;
    return status_line(what, "0");
  }
  if (what == "disable") {
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
    if (shown)
      out += "+QESIM: \"ntf\"," + std::to_string(n.seq) + ",\"" + n.iccid + "\",\"" + n.event +
             "\",\"" + n.address + "\"\r\n";
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
