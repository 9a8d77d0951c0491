// The simulated profile server's ES9+ functions, apart from HTTP: each
// request body gets the answer a real SM-DP+ would give, and each
// transaction is followed from initiateAuthentication to the notification.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "sim_util.h"

struct cJSON;

namespace sim {

struct SmdpSettings {
  std::string address;            // the smdpAddress a request must name; empty: any
  size_t package_answer = 10000;  // bytes of the getBoundProfilePackage answer
  uint64_t seed = 1;
};

struct SmdpAnswer {
  int status = 200;
  std::string body;  // JSON, or empty for 204
};

class SmdpService {
 public:
  // `matching_ids`: those the server holds a profile for; empty: it takes any.
  explicit SmdpService(SmdpSettings s, std::set<std::string> matching_ids = {})
      : s_(std::move(s)), matching_ids_(std::move(matching_ids)), filler_(s_.seed) {}

  // `function` is the last part of the path (initiateAuthentication, ...).
  SmdpAnswer handle(const std::string &function, const std::string &body);

  // A function-level refusal, as the server sends it with HTTP status 200.
  // `identifier` (subjectIdentifier) is left out when empty.
  static std::string failed(const std::string &subject, const std::string &reason,
                            const std::string &message, const std::string &identifier = "");

 private:
  SmdpAnswer initiate(cJSON *req);
  SmdpAnswer authenticate(cJSON *req);
  SmdpAnswer package(cJSON *req);
  std::string b64(const std::string &tag, size_t len) {
    return base64_encode(filler_.der(tag, len));
  }

  SmdpSettings s_;
  std::set<std::string> matching_ids_;
  std::mutex mu_;
  Filler filler_;
  // transactionId -> the function the transaction may call next.
  std::map<std::string, std::string> next_;
};

}  // namespace sim
