#include "smdp_service.h"

#include "json_owner.h"

namespace sim {

namespace {

Json success_header() {
  Json root(cJSON_CreateObject());
  cJSON *header = cJSON_AddObjectToObject(root.get(), "header");
  cJSON *fes = cJSON_AddObjectToObject(header, "functionExecutionStatus");
  cJSON_AddStringToObject(fes, "status", "Executed-Success");
  return root;
}

const char *member(cJSON *obj, const char *name) {
  cJSON *item = cJSON_GetObjectItemCaseSensitive(obj, name);
  return cJSON_IsString(item) ? item->valuestring : nullptr;
}

// Mandatory members that are base64 must also decode, as a real server's
// ASN.1 layer would insist.
bool base64_member(cJSON *obj, const char *name) {
  const char *v = member(obj, name);
  std::string bytes;
  return v != nullptr && v[0] != '\0' && base64_decode(v, &bytes);
}

SmdpAnswer refuse(const std::string &subject, const std::string &reason, const std::string &msg) {
  return {200, SmdpService::failed(subject, reason, msg)};
}

}  // namespace

std::string SmdpService::failed(const std::string &subject, const std::string &reason,
                                const std::string &message, const std::string &identifier) {
  Json root(cJSON_CreateObject());
  cJSON *header = cJSON_AddObjectToObject(root.get(), "header");
  cJSON *fes = cJSON_AddObjectToObject(header, "functionExecutionStatus");
  cJSON_AddStringToObject(fes, "status", "Failed");
  cJSON *scd = cJSON_AddObjectToObject(fes, "statusCodeData");
  cJSON_AddStringToObject(scd, "subjectCode", subject.c_str());
  cJSON_AddStringToObject(scd, "reasonCode", reason.c_str());
  if (!identifier.empty()) cJSON_AddStringToObject(scd, "subjectIdentifier", identifier.c_str());
  cJSON_AddStringToObject(scd, "message", message.c_str());
  return print_compact(root.get());
}

SmdpAnswer SmdpService::handle(const std::string &function, const std::string &body) {
  Json req(cJSON_ParseWithLength(body.data(), body.size()));
  if (!req || !cJSON_IsObject(req.get()))
    return {400, failed("8.1", "6.1", "Request is not a well-formed JSON object")};
  std::lock_guard<std::mutex> guard(mu_);
  if (function == "initiateAuthentication") return initiate(req.get());
  if (function == "authenticateClient") return authenticate(req.get());
  if (function == "getBoundProfilePackage") return package(req.get());
  // handleNotification: nothing to answer but 204, as ES9+ has it.
  if (!base64_member(req.get(), "pendingNotification"))
    return {400, failed("8.1", "2.1", "Mandatory element missing or invalid: pendingNotification")};
  return {204, ""};
}

SmdpAnswer SmdpService::initiate(cJSON *req) {
  std::string challenge;
  const char *c = member(req, "euiccChallenge");
  if (c == nullptr || !base64_decode(c, &challenge) || challenge.size() != 16)
    return refuse("8.1", "2.1", "Mandatory element missing or invalid: euiccChallenge");
  if (!base64_member(req, "euiccInfo1"))
    return refuse("8.1", "2.1", "Mandatory element missing or invalid: euiccInfo1");
  const char *address = member(req, "smdpAddress");
  if (address == nullptr) return refuse("8.1", "2.1", "Mandatory element missing: smdpAddress");
  if (!s_.address.empty() && s_.address != address)
    return refuse("8.8.1", "3.8", "Invalid SM-DP+ Address");
  std::string tid;
  for (unsigned char b : filler_.bytes(16)) {
    static const char digits[] = "0123456789ABCDEF";
    tid += digits[b >> 4];
    tid += digits[b & 15];
  }
  next_[tid] = "authenticateClient";
  Json ans = success_header();
  cJSON_AddStringToObject(ans.get(), "transactionId", tid.c_str());
  cJSON_AddStringToObject(ans.get(), "serverSigned1", b64(std::string("\x30", 1), 110).c_str());
  cJSON_AddStringToObject(ans.get(), "serverSignature1", b64("\x5f\x37", 64).c_str());
  cJSON_AddStringToObject(ans.get(), "euiccCiPKIdToBeUsed", b64("\x04", 20).c_str());
  cJSON_AddStringToObject(ans.get(), "serverCertificate", b64(std::string("\x30", 1), 540).c_str());
  return {200, print_compact(ans.get())};
}

SmdpAnswer SmdpService::authenticate(cJSON *req) {
  const char *tid = member(req, "transactionId");
  if (tid == nullptr) return refuse("8.1", "2.1", "Mandatory element missing: transactionId");
  auto it = next_.find(tid);
  if (it == next_.end() || it->second != "authenticateClient")
    return refuse("8.10.1", "3.9", "Unknown transactionId or function out of order");
  if (!base64_member(req, "authenticateServerResponse"))
    return refuse("8.1", "2.1", "Mandatory element missing or invalid: authenticateServerResponse");
  if (!matching_ids_.empty()) {
    std::string asr, id;
    base64_decode(member(req, "authenticateServerResponse"), &asr);
    if (!matching_id_of(asr, &id) || matching_ids_.count(id) == 0) {
      // The session ends with the refusal, as a real server's does.
      next_.erase(it);
      return refuse("8.2.6", "3.8", "Refused");
    }
  }
  it->second = "getBoundProfilePackage";
  Json ans = success_header();
  cJSON_AddStringToObject(ans.get(), "transactionId", tid);
  cJSON_AddStringToObject(ans.get(), "profileMetadata", b64("\xbf\x25", 120).c_str());
  cJSON_AddStringToObject(ans.get(), "smdpSigned2", b64(std::string("\x30", 1), 60).c_str());
  cJSON_AddStringToObject(ans.get(), "smdpSignature2", b64("\x5f\x37", 64).c_str());
  cJSON_AddStringToObject(ans.get(), "smdpCertificate", b64(std::string("\x30", 1), 540).c_str());
  return {200, print_compact(ans.get())};
}

SmdpAnswer SmdpService::package(cJSON *req) {
  const char *tid = member(req, "transactionId");
  if (tid == nullptr) return refuse("8.1", "2.1", "Mandatory element missing: transactionId");
  auto it = next_.find(tid);
  if (it == next_.end() || it->second != "getBoundProfilePackage")
    return refuse("8.10.1", "3.9", "Unknown transactionId or function out of order");
  if (!base64_member(req, "prepareDownloadResponse"))
    return refuse("8.1", "2.1", "Mandatory element missing or invalid: prepareDownloadResponse");
  next_.erase(it);
  // Size the package so that the whole answer has the configured length:
  // base64 comes in steps of 4, and blanks before the closing brace make up
  // the rest (still well-formed JSON).
  Json ans = success_header();
  cJSON_AddStringToObject(ans.get(), "transactionId", tid);
  cJSON_AddStringToObject(ans.get(), "boundProfilePackage", "");
  size_t bare = print_compact(ans.get()).size();
  size_t room = s_.package_answer > bare + 4 ? s_.package_answer - bare : 4;
  std::string body;
  // The package's DER header grows with its length, so a first guess may be
  // a few bytes long: shorten by a base64 step until the answer fits.
  for (size_t raw = room / 4 * 3; body.empty() || (body.size() > s_.package_answer && raw >= 3);
       raw -= 3) {
    std::string bpp = raw > 300 ? filler_.der("\xbf\x36", raw - 5) : filler_.bytes(raw);
    cJSON_ReplaceItemInObjectCaseSensitive(ans.get(), "boundProfilePackage",
                                           cJSON_CreateString(base64_encode(bpp).c_str()));
    body = print_compact(ans.get());
  }
  if (body.size() < s_.package_answer)
    body.insert(body.size() - 1, std::string(s_.package_answer - body.size(), ' '));
  return {200, body};
}

}  // namespace sim
