#include "download_dialogue.h"

#include <cctype>
#include <cstdlib>
#include <initializer_list>
#include <utility>

#include "final_results.h"
#include "json_owner.h"

namespace sim {

namespace {

// The most hex characters one trans chunk may carry.
const size_t kMaxChunk = 1400;

std::string trans_status(const std::string &status) {
  return "\r\n+QESIM: \"trans\"," + status + ",\"\"\r\n" + kOk;
}

std::string trans_request(const std::string &prefix, const char *function,
                          const std::string &json) {
  return "\r\n+QESIM: \"trans\",0,\"" + prefix + function + "\"," + json + "\r\n";
}

const char *string_member(cJSON *obj, const char *name) {
  cJSON *item = cJSON_GetObjectItemCaseSensitive(obj, name);
  return cJSON_IsString(item) && item->valuestring[0] != '\0' ? item->valuestring : nullptr;
}

bool has_strings(cJSON *obj, std::initializer_list<const char *> names) {
  for (const char *name : names)
    if (string_member(obj, name) == nullptr) return false;
  return true;
}

}  // namespace

const char *es9_function(DownloadStage stage) {
  switch (stage) {
    case DownloadStage::kNone:
      return "";
    case DownloadStage::kInitiateAuthentication:
      return "initiateAuthentication";
    case DownloadStage::kAuthenticateClient:
      return "authenticateClient";
    case DownloadStage::kGetBoundProfilePackage:
      return "getBoundProfilePackage";
  }
  return "";
}

DownloadDialogue::DownloadDialogue(Filler *filler, Store *store, std::string path_prefix,
                                   std::string later_host, bool empty_notification_path)
    : filler_(filler),
      store_(store),
      path_prefix_(std::move(path_prefix)),
      later_host_(std::move(later_host)),
      empty_notification_path_(empty_notification_path) {}

void DownloadDialogue::clear_chunks() {
  chunks_.clear();
  next_index_ = 0;
  total_ = -1;
}

void DownloadDialogue::reset() {
  stage_ = DownloadStage::kNone;
  clear_chunks();
}

// Any refusal ends the download, as the eUICC drops its session.
std::string DownloadDialogue::abort(int status) {
  reset();
  return trans_status(std::to_string(status));
}

std::string DownloadDialogue::download(const std::vector<std::string> &args,
                                       const std::string &status) {
  if (args.size() != 3 || (args[1] != "0" && args[1] != "1")) return kBadParameter;
  // A new download drops the one running, whatever comes of it.
  reset();
  if (!status.empty()) return trans_status(status);
  // LPA:1$<SM-DP+ address>$<matching id>[$...]
  const std::string &code = args[2];
  if (code.rfind("LPA:1$", 0) != 0) return abort(kBadActivationCode);
  size_t host_end = code.find('$', 6);
  if (host_end == std::string::npos || host_end == 6) return abort(kBadActivationCode);
  address_ = code.substr(6, host_end - 6);
  size_t id_end = code.find('$', host_end + 1);
  matching_id_ = code.substr(
      host_end + 1, id_end == std::string::npos ? std::string::npos : id_end - host_end - 1);
  enable_after_install_ = args[1] == "1";
  stage_ = DownloadStage::kInitiateAuthentication;
  Json req(cJSON_CreateObject());
  cJSON_AddStringToObject(req.get(), "euiccChallenge", base64_encode(filler_->bytes(16)).c_str());
  std::string info1 = filler_->der(std::string("\xbf\x20", 2), 40);
  cJSON_AddStringToObject(req.get(), "euiccInfo1", base64_encode(info1).c_str());
  // The server host is the request's last member: the host reads it there.
  cJSON_AddStringToObject(req.get(), "smdpAddress", address_.c_str());
  return request(req.get());
}

std::string DownloadDialogue::trans(const std::vector<std::string> &args, const std::string &status,
                                    const std::string &install_status) {
  if (args.size() != 6) return kBadParameter;
  if (!status.empty()) {
    reset();
    return trans_status(status);
  }
  if (stage_ == DownloadStage::kNone) return trans_status(std::to_string(kNoSession));
  if (!all_digits(args[1]) || !all_digits(args[3]) || !all_digits(args[4]) ||
      (args[2] != "0" && args[2] != "1"))
    return abort(kChunkOrder);
  long total = atol(args[1].c_str());
  bool more = args[2] == "1";
  int index = atoi(args[3].c_str());
  long len = atol(args[4].c_str());
  const std::string &chunk = args[5];
  if (index != next_index_ || (total_ >= 0 && total != total_)) return abort(kChunkOrder);
  if (len != (long)chunk.size() || chunk.size() > kMaxChunk) return abort(kChunkLength);
  for (char c : chunk) {
    if (!isdigit((unsigned char)c) && !(c >= 'a' && c <= 'f')) return abort(kNotLowerHex);
  }
  total_ = total;
  chunks_ += chunk;
  ++next_index_;
  if ((long)chunks_.size() > total_ || (more && (long)chunks_.size() == total_))
    return abort(kChunkOrder);
  if (more) return kOk;
  if ((long)chunks_.size() != total_) return abort(kChunkOrder);
  std::string body;
  if (!hex_decode_lower(chunks_, &body)) return abort(kNotLowerHex);
  clear_chunks();
  return take_answer(body, install_status);
}

// Judges one complete server answer the way the eUICC's LPA would and
// prepares the next request of the dialogue.
std::string DownloadDialogue::take_answer(const std::string &text,
                                          const std::string &install_status) {
  Json answer(cJSON_ParseWithLength(text.data(), text.size()));
  if (!answer || !cJSON_IsObject(answer.get())) return abort(kNotExpectedAnswer);
  cJSON *header = cJSON_GetObjectItemCaseSensitive(answer.get(), "header");
  cJSON *fes = cJSON_GetObjectItemCaseSensitive(header, "functionExecutionStatus");
  const char *result = string_member(fes, "status");
  if (result == nullptr) return abort(kNotExpectedAnswer);
  if (std::string(result) == "Failed") return abort(kServerFailed);
  if (std::string(result) != "Executed-Success" && std::string(result) != "Executed-WithWarning")
    return abort(kNotExpectedAnswer);
  const char *tid = string_member(answer.get(), "transactionId");
  // After the first answer every answer belongs to the transaction it opened.
  bool same_transaction = tid != nullptr && transaction_id_ == tid;
  Json req(cJSON_CreateObject());
  switch (stage_) {
    case DownloadStage::kInitiateAuthentication: {
      if (tid == nullptr ||
          !has_strings(answer.get(), {"serverSigned1", "serverSignature1", "euiccCiPKIdToBeUsed",
                                      "serverCertificate"}))
        return abort(kNotExpectedAnswer);
      transaction_id_ = tid;
      stage_ = DownloadStage::kAuthenticateClient;
      cJSON_AddStringToObject(req.get(), "transactionId", tid);
      // The matching ID goes to the server inside the signed response, as an
      // eUICC sends it: a server that holds only some refuses the others.
      std::string asr = authenticate_server_response(filler_, tid, address_, matching_id_, 1150);
      cJSON_AddStringToObject(req.get(), "authenticateServerResponse", base64_encode(asr).c_str());
      add_later_host(req.get());
      return request(req.get());
    }
    case DownloadStage::kAuthenticateClient: {
      if (!same_transaction || !has_strings(answer.get(), {"profileMetadata", "smdpSigned2",
                                                           "smdpSignature2", "smdpCertificate"}))
        return abort(kNotExpectedAnswer);
      stage_ = DownloadStage::kGetBoundProfilePackage;
      cJSON_AddStringToObject(req.get(), "transactionId", tid);
      std::string pdr = filler_->der(std::string("\xbf\x21", 2), 180);
      cJSON_AddStringToObject(req.get(), "prepareDownloadResponse", base64_encode(pdr).c_str());
      add_later_host(req.get());
      return request(req.get());
    }
    case DownloadStage::kGetBoundProfilePackage: {
      const char *package = string_member(answer.get(), "boundProfilePackage");
      std::string bpp;
      if (!same_transaction || package == nullptr || !base64_decode(package, &bpp))
        return abort(kNotExpectedAnswer);
      return install(req.get(), install_status);
    }
    case DownloadStage::kNone:
      break;
  }
  // trans() lets no answer through without a download running.
  return abort(kNoSession);
}

// The bound profile package is in: install it (unless told the installation
// fails), and hand over the installation result as the notification for
// the server.
std::string DownloadDialogue::install(cJSON *req, const std::string &install_status) {
  std::string done = install_status.empty() ? "0" : install_status;
  std::string blob =
      done == "0" ? store_->install(matching_id_, enable_after_install_, address_) : std::string();
  if (blob.empty()) blob = base64_encode(filler_->der(std::string("\xbf\x37", 2), 420));
  stage_ = DownloadStage::kNone;
  cJSON_AddStringToObject(req, "pendingNotification", blob.c_str());
  add_later_host(req);
  std::string reply = empty_notification_path_
                          ? "\r\n+QESIM: \"trans\",0,\"\"," + print_compact(req) + "\r\n"
                          : trans_request(path_prefix_, "handleNotification", print_compact(req));
  return reply + "\r\n+QESIM: \"download\"," + done + "\r\n" + kOk;
}

std::string DownloadDialogue::request(cJSON *req) const {
  return trans_request(path_prefix_, es9_function(stage_), print_compact(req)) + kOk;
}

void DownloadDialogue::add_later_host(cJSON *req) const {
  if (!later_host_.empty()) cJSON_AddStringToObject(req, "smdpAddress", later_host_.c_str());
}

}  // namespace sim
