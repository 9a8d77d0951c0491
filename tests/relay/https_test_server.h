// A profile server stand-in for tests: HTTPS on 127.0.0.1:443 (inside the
// test's own network namespace; one server at a time) with a self-signed
// certificate made at start, answering every POST as told and recording the
// requests it received.
#pragma once

#include <httplib.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct ReceivedRequest {
  std::string method;
  std::string path;
  std::string version;
  std::string body;
  // The client's own header lines, names as sent.
  std::multimap<std::string, std::string> headers;
  // The connection's TLS version and key exchange group ("TLSv1.3 X25519").
  std::string tls;
  // The groups the client offered, in its order ("x25519:secp256r1:...").
  std::string offered;
};

// A certificate key: an OpenSSL curve name, or "rsa".
struct KeyType {
  std::string name;
};

class HttpsTestServer {
 public:
  // `common_name` goes into the self-signed certificate's subject; its key is
  // on P-256, or on `key_type`.
  explicit HttpsTestServer(const std::string &common_name = "127.0.0.1");
  HttpsTestServer(const std::string &common_name, const KeyType &key_type);
  // Serves with the certificate and key in these files.
  HttpsTestServer(const std::string &cert_file, const std::string &key_file);
  ~HttpsTestServer();
  HttpsTestServer(const HttpsTestServer &) = delete;
  HttpsTestServer &operator=(const HttpsTestServer &) = delete;

  // Every later request is answered with this status, body and headers.
  void answer(int status, const std::string &body,
              const std::multimap<std::string, std::string> &headers = {});
  // "127.0.0.1", as send_http takes its host.
  std::string host() const;
  std::vector<ReceivedRequest> requests() const;
  // How many bytes of the last answer's body the client took, once the
  // server is done with that answer (at most 10 s after the call).
  size_t answer_bytes_taken();

 private:
  void start(const std::string &cert_file, const std::string &key_file);

  std::string dir_;
  std::unique_ptr<httplib::SSLServer> server_;
  std::thread thread_;
  int port_ = 0;
  mutable std::mutex mutex_;
  int status_ = 200;
  std::string body_;
  std::multimap<std::string, std::string> answer_headers_;
  std::vector<ReceivedRequest> requests_;
  // The last answer's body as it goes out: handed over in 16 KiB pieces, so
  // a client that stops reading leaves the count short.
  size_t taken_ = 0;
  bool answer_ended_ = false;
  std::condition_variable ended_;
};

// Makes a self-signed certificate and key for `common_name` in `dir`
// (cert.pem, key.pem), the key on the curve `key_type` or RSA ("rsa");
// aborts when the openssl command fails.
void make_certificate(const std::string &dir, const std::string &common_name,
                      const std::string &key_type = "prime256v1");
