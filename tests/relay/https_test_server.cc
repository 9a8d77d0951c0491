#include "https_test_server.h"

#include <openssl/objects.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>

void make_certificate(const std::string &dir, const std::string &common_name,
                      const std::string &key_type) {
  std::string key = key_type == "rsa" ? "rsa:2048"
                                      : "ec -pkeyopt ec_paramgen_curve:" + key_type +
                                            " -pkeyopt ec_param_enc:named_curve";
  std::string cmd = "openssl req -x509 -newkey " + key +
                    " -nodes -days 2 -subj /CN=" + common_name + " -keyout " + dir +
                    "/key.pem -out " + dir + "/cert.pem 2>/dev/null";
  if (system(cmd.c_str()) != 0) abort();
}

HttpsTestServer::HttpsTestServer(const std::string &common_name)
    : HttpsTestServer(common_name, KeyType{"prime256v1"}) {}

HttpsTestServer::HttpsTestServer(const std::string &common_name, const KeyType &key_type) {
  char name[] = "/tmp/httpsXXXXXX";
  if (mkdtemp(name) == nullptr) abort();
  dir_ = name;
  make_certificate(dir_, common_name, key_type.name);
  start(dir_ + "/cert.pem", dir_ + "/key.pem");
}

HttpsTestServer::HttpsTestServer(const std::string &cert_file, const std::string &key_file) {
  start(cert_file, key_file);
}

void HttpsTestServer::start(const std::string &cert_file, const std::string &key_file) {
  server_ = std::make_unique<httplib::SSLServer>(cert_file.c_str(), key_file.c_str());
  if (!server_->is_valid()) abort();
  server_->Post(".*", [this](const httplib::Request &req, httplib::Response &res) {
    ReceivedRequest got{req.method, req.path, req.version, req.body, {}, {}, {}};
    if (req.ssl != nullptr) {
      SSL *ssl = const_cast<SSL *>(req.ssl);
      int group = SSL_get_negotiated_group(ssl);
      // A group of a provider (OpenSSL 3.5's X25519MLKEM768) has no NID of its own.
      const char *name =
          (group & TLSEXT_nid_unknown) != 0 ? SSL_group_to_name(ssl, group) : OBJ_nid2sn(group);
      got.tls = std::string(SSL_get_version(ssl)) + " " + (name != nullptr ? name : "?");
      std::vector<int> groups(
          static_cast<size_t>(std::max<long>(SSL_get1_groups(ssl, nullptr), 0)));
      if (!groups.empty()) SSL_get1_groups(ssl, groups.data());
      for (size_t i = 0; i < groups.size(); ++i) {
        const char *offered = SSL_group_to_name(ssl, groups[i]);
        got.offered += (i ? ":" : "") + std::string(offered != nullptr ? offered : "?");
      }
    }
    for (const auto &[key, value] : req.headers)
      if (key.rfind("REMOTE_", 0) != 0 && key.rfind("LOCAL_", 0) != 0)
        got.headers.emplace(key, value);
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(got);
    res.status = status_;
    for (const auto &[key, value] : answer_headers_) res.set_header(key, value);
    taken_ = 0;
    answer_ended_ = false;
    if (body_.empty()) return;
    auto body = std::make_shared<std::string>(body_);
    res.set_content_provider(
        body->size(), "application/json",
        [this, body](size_t offset, size_t length, httplib::DataSink &sink) {
          size_t piece = std::min<size_t>(length, 16384);
          if (!sink.write(body->data() + offset, piece)) return false;
          std::lock_guard<std::mutex> lock(mutex_);
          taken_ += piece;
          return true;
        },
        [this](bool) {
          std::lock_guard<std::mutex> lock(mutex_);
          answer_ended_ = true;
          ended_.notify_all();
        });
  });
  // The relay takes a bare host name, so the server is on the HTTPS port of
  // the gateway's own loopback (the test runs in a network namespace).
  port_ = 443;
  if (!server_->bind_to_port("127.0.0.1", port_)) abort();
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // stop() only takes effect on a running server.
  while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

HttpsTestServer::~HttpsTestServer() {
  server_->stop();
  thread_.join();
  if (dir_.empty()) return;
  std::string cmd = "rm -rf '" + dir_ + "'";
  if (system(cmd.c_str()) != 0) abort();
}

void HttpsTestServer::answer(int status, const std::string &body,
                             const std::multimap<std::string, std::string> &headers) {
  std::lock_guard<std::mutex> lock(mutex_);
  status_ = status;
  body_ = body;
  answer_headers_ = headers;
}

std::string HttpsTestServer::host() const {
  return "127.0.0.1";
}

size_t HttpsTestServer::answer_bytes_taken() {
  std::unique_lock<std::mutex> lock(mutex_);
  ended_.wait_for(lock, std::chrono::seconds(10), [this] { return answer_ended_; });
  return taken_;
}

std::vector<ReceivedRequest> HttpsTestServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}
