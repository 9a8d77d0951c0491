// sim_smdp: a simulated SM-DP+ profile server speaking ES9+ over HTTPS with
// a self-signed certificate it makes at start or one it is given (a CI-signed
// one of the test PKI). Every request is recorded in a transcript. See
// sim/README.md for the answers, options and faults.
#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sim_util.h"
#include "smdp_service.h"

namespace {

struct Fault {
  std::string function;  // ES9+ function name, or "any"
  std::string text;
  int status = 0;
  bool empty = false;
  size_t size = 0;  // pad the body with blanks to this many bytes
  bool redirect = false;
  int delay_ms = 0;
  bool stall = false;         // hold the answer for 35 s of real time
  bool close = false;         // close the connection half-way through the body
  bool stream = false;        // stream a body of filler, chunk by chunk, never held whole
  uint64_t stream_bytes = 0;  // how much; 0: without end
  bool nonjson = false;
  bool failed = false;  // a function-level refusal with the codes below
  std::string subject = "8.2.5";
  std::string reason = "4.3";
  std::string identifier;  // subjectIdentifier; none when empty
  std::string message = "No eligible Profile for this eUICC";
  sim::FaultCount count;
};

struct Options {
  std::string listen = "127.0.0.1";
  int port = 443;
  std::string port_file;
  std::string transcript;
  std::string cert_out;
  std::string cert_file;  // serve with this certificate and key instead of a fresh self-signed one
  std::string key_file;
  std::string host = "smdp.example";
  std::string tls_limit;  // empty, "tls1.2" or "tls1.2-ecdsa"
  double time_factor = 1.0;
  sim::SmdpSettings settings;
  std::set<std::string> matching_ids;
  std::vector<Fault> faults;
  std::string fault_file;  // "{host}" in it stands for the request's host name
};

// An answer past this many bytes only slows the tests; esimctl takes 65535
// by default, and the tests' raised build 262143.
constexpr uint64_t kMaxPackageAnswer = 1000000;
constexpr int kMinHttpStatus = 100;
constexpr int kMaxHttpStatus = 599;

const char *const kFunctions[] = {"initiateAuthentication", "authenticateClient",
                                  "getBoundProfilePackage", "handleNotification"};

// OpenSSL's default groups with brainpoolP256r1 beside P-256, as a profile
// server holding a brainpool certificate has them: a client that offers no
// other curve still agrees on a key exchange.
constexpr char kGroups[] =
    "X25519:P-256:brainpoolP256r1:X448:P-521:P-384:ffdhe2048:ffdhe3072:ffdhe4096:ffdhe6144:"
    "ffdhe8192";
// The ECDHE-ECDSA suites profile servers offer over TLS 1.2.
constexpr char kEcdsaSuites[] =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-ECDSA-AES128-SHA256:"
    "ECDHE-ECDSA-AES256-SHA384";

FILE *transcript = nullptr;
std::mutex transcript_mu;

void on_signal(int) {
  // Transcript lines are flushed one by one, so nothing is lost here.
  _exit(0);
}

// Text of a fault action with %XX escapes decoded, so that a message can hold
// blanks, commas and control bytes; a NUL or a stray % is refused.
bool percent_decode(const std::string &text, std::string *out) {
  out->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      *out += text[i];
      continue;
    }
    if (i + 2 >= text.size() || !isxdigit((unsigned char)text[i + 1]) ||
        !isxdigit((unsigned char)text[i + 2]))
      return false;
    unsigned long byte = strtoul(text.substr(i + 1, 2).c_str(), nullptr, 16);
    if (byte == 0) return false;
    *out += (char)byte;
    i += 2;
  }
  return true;
}

bool parse_fault(const std::string &line, Fault *out, std::string *err) {
  Fault f;
  f.text = line;
  auto action = [&f](const std::string &k, const std::string &v) {
    bool ok = true;
    if (k == "status") {
      ok = sim::parse_number(v, kMaxHttpStatus, &f.status) && f.status >= kMinHttpStatus;
    } else if (k == "empty") {
      f.empty = true;
    } else if (k == "huge") {
      int size = 65536;
      ok = v.empty() || sim::parse_number(v, sim::kMaxFaultNumber, &size);
      f.size = (size_t)size;
    } else if (k == "redirect") {
      f.redirect = true;
    } else if (k == "delay") {
      ok = sim::parse_number(v, sim::kMaxFaultNumber, &f.delay_ms);
    } else if (k == "stall") {
      f.stall = true;
    } else if (k == "close") {
      f.close = true;
    } else if (k == "stream") {
      f.stream = true;
      ok = v.empty() || sim::parse_number(v, UINT64_MAX, &f.stream_bytes);
    } else if (k == "nonjson") {
      f.nonjson = true;
    } else if (k == "failed") {
      f.failed = true;
    } else if (k == "subject" || k == "reason" || k == "identifier" || k == "message") {
      std::string *field = k == "subject"   ? &f.subject
                           : k == "reason"  ? &f.reason
                           : k == "message" ? &f.message
                                            : &f.identifier;
      ok = percent_decode(v, field) && !(k != "message" && field->empty());
      f.failed = true;
    } else {
      return sim::FaultAction::kUnknown;
    }
    return ok ? sim::FaultAction::kTaken : sim::FaultAction::kBadValue;
  };
  if (!sim::parse_fault_line(line, "FUNCTION:ACTION[,...]", &f.function, &f.count, action, err))
    return false;
  bool known = f.function == "any";
  for (const char *fn : kFunctions) known = known || f.function == fn;
  if (!known) {
    *err = "unknown ES9+ function in fault: " + line;
    return false;
  }
  *out = f;
  return true;
}

// Matching IDs from a file, one a line; blank lines and lines starting
// with '#' are skipped, and so are blanks around an ID.
bool read_matching_ids(const std::string &path, std::set<std::string> *ids, std::string *err) {
  std::ifstream in(path);
  if (!in) {
    *err = "cannot read matching IDs from " + path;
    return false;
  }
  std::string line;
  while (std::getline(in, line)) {
    line.erase(line.find_last_not_of(" \t\r") + 1);
    line.erase(0, line.find_first_not_of(" \t"));
    if (!line.empty() && line[0] != '#') ids->insert(line);
  }
  return true;
}

bool parse_options(std::vector<std::string> args, Options *o, std::string *err) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string &a = args[i];
    if (i + 1 >= args.size()) {
      *err = a + " needs a value";
      return false;
    }
    std::string v = args[++i];
    bool ok = true;
    if (a == "--listen") {
      o->listen = v;
    } else if (a == "--port") {
      ok = sim::parse_number(v, 65535, &o->port);
    } else if (a == "--port-file") {
      o->port_file = v;
    } else if (a == "--transcript") {
      o->transcript = v;
    } else if (a == "--cert-out") {
      o->cert_out = v;
    } else if (a == "--cert") {
      o->cert_file = v;
    } else if (a == "--key") {
      o->key_file = v;
    } else if (a == "--tls-limit") {
      o->tls_limit = v;
      if (v != "tls1.2" && v != "tls1.2-ecdsa") {
        *err = "--tls-limit takes tls1.2 or tls1.2-ecdsa: " + v;
        return false;
      }
    } else if (a == "--host") {
      o->host = v;
    } else if (a == "--address") {
      o->settings.address = v;
    } else if (a == "--matching-id") {
      if (v.empty()) {
        *err = "--matching-id needs an ID";
        return false;
      }
      o->matching_ids.insert(v);
    } else if (a == "--matching-ids") {
      if (!read_matching_ids(v, &o->matching_ids, err)) return false;
    } else if (a == "--package-answer-size") {
      uint64_t size = 0;
      ok = sim::parse_number(v, UINT64_MAX, &size);
      if (ok) o->settings.package_answer = (size_t)std::min(size, kMaxPackageAnswer);
    } else if (a == "--seed") {
      ok = sim::parse_number(v, UINT64_MAX, &o->settings.seed);
    } else if (a == "--time-factor") {
      ok = sim::parse_number(v, sim::kMaxTimeFactor, &o->time_factor);
    } else if (a == "--scenario") {
      std::vector<std::string> more;
      if (!sim::read_scenario_file(v, &more, err)) return false;
      args.insert(args.begin() + (long)i + 1, more.begin(), more.end());
    } else if (a == "--fault-file") {
      o->fault_file = v;
    } else if (a == "--fault") {
      Fault f;
      if (!parse_fault(v, &f, err)) return false;
      o->faults.push_back(f);
    } else {
      *err = "unknown option " + a;
      return false;
    }
    if (!ok) {
      *err = "bad number for " + a + ": " + v;
      return false;
    }
  }
  return true;
}

// A self-signed certificate for `host`, made fresh at every start: the tool
// verifies neither peer nor host, and nothing secret is kept on disk.
bool make_certificate(const std::string &host, X509 **cert_out, EVP_PKEY **key_out) {
  EVP_PKEY *key = EVP_EC_gen("P-256");
  if (key == nullptr) return false;
  X509 *cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), (long)time(nullptr));
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 365L * 24 * 3600);
  X509_set_pubkey(cert, key);
  X509_NAME *name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, (const unsigned char *)"Simulated SM-DP+", -1,
                             -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, (const unsigned char *)host.c_str(), -1, -1,
                             0);
  X509_set_issuer_name(cert, name);
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  std::string san = "DNS:" + host + ",IP:127.0.0.1";
  X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, san.c_str());
  if (ext != nullptr) {
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
  }
  if (X509_sign(cert, key, EVP_sha256()) == 0) {
    X509_free(cert);
    EVP_PKEY_free(key);
    return false;
  }
  *cert_out = cert;
  *key_out = key;
  return true;
}

// The context every connection is made from, set up as a profile server's:
// brainpoolP256r1 among the groups, and when asked no TLS past 1.2, with the
// ECDHE-ECDSA suites only or with OpenSSL's.
bool setup_tls(SSL_CTX *ctx, const std::string &limit) {
  if (ctx == nullptr || SSL_CTX_set1_groups_list(ctx, kGroups) != 1) return false;
  if (limit.empty()) return true;
  if (SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION) != 1) return false;
  return limit != "tls1.2-ecdsa" || SSL_CTX_set_cipher_list(ctx, kEcdsaSuites) == 1;
}

Fault *take_fault(std::vector<Fault> &faults, std::mutex &mu, const std::string &function) {
  std::lock_guard<std::mutex> guard(mu);
  for (auto &f : faults) {
    if ((f.function == "any" || f.function == function) && f.count.take()) return &f;
  }
  return nullptr;
}

// The faults of --fault-file for one host name, read again when its file
// changed (their counts start afresh then); a line that does not parse is
// reported and left out.
struct HostFaults {
  sim::FaultFile file;
  std::vector<Fault> faults;
};

// The due fault of the fault file for the request's host, copied out (the
// file may be read again by the next request meanwhile). A host name that is
// not letters, digits, '-' and '.' names no file.
bool take_file_fault(const std::string &pattern, const httplib::Request &req,
                     const std::string &function, std::mutex &mu, Fault *out) {
  static std::map<std::string, HostFaults> by_host;
  std::string host = req.get_header_value("Host");
  host = host.substr(0, host.find(':'));
  if (pattern.empty() ||
      host.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-.") !=
          std::string::npos)
    return false;
  std::string path = pattern;
  size_t at = path.find("{host}");
  if (at != std::string::npos) path.replace(at, 6, host);
  std::lock_guard<std::mutex> guard(mu);
  auto it = by_host.find(path);
  if (it == by_host.end()) it = by_host.emplace(path, HostFaults{sim::FaultFile(path), {}}).first;
  std::vector<std::string> lines_read;
  if (it->second.file.changed(&lines_read)) {
    it->second.faults.clear();
    for (const std::string &line : lines_read) {
      Fault f;
      std::string err;
      if (parse_fault(line, &f, &err))
        it->second.faults.push_back(f);
      else
        fprintf(stderr, "sim_smdp: %s: %s\n", path.c_str(), err.c_str());
    }
  }
  for (auto &f : it->second.faults) {
    if ((f.function == "any" || f.function == function) && f.count.take()) {
      *out = f;
      return true;
    }
  }
  return false;
}

void record(const httplib::Request &req, int status, const std::string &body, const Fault *fault,
            double arrived) {
  if (transcript == nullptr) return;
  std::string headers = "{";
  for (const auto &h : req.headers) {
    // cpp-httplib files the peer's addresses among the headers; they were not sent.
    if (h.first == "REMOTE_ADDR" || h.first == "REMOTE_PORT" || h.first == "LOCAL_ADDR" ||
        h.first == "LOCAL_PORT")
      continue;
    if (headers.size() > 1) headers += ",";
    headers += sim::json_quote(h.first) + ":" + sim::json_quote(h.second);
  }
  headers += "}";
  std::lock_guard<std::mutex> guard(transcript_mu);
  fprintf(transcript,
          "{\"time\":%.6f,\"method\":%s,\"path\":%s,\"headers\":%s,\"body\":%s,\"status\":%d,"
          "\"response_size\":%zu,\"response\":%s,\"fault\":%s}\n",
          arrived, sim::json_quote(req.method).c_str(), sim::json_quote(req.path).c_str(),
          headers.c_str(), sim::json_quote(req.body).c_str(), status, body.size(),
          sim::json_quote(body).c_str(), fault ? sim::json_quote(fault->text).c_str() : "null");
  fflush(transcript);
}

}  // namespace

int main(int argc, char **argv) {
  Options o;
  std::string err;
  if (!parse_options(std::vector<std::string>(argv + 1, argv + argc), &o, &err)) {
    fprintf(stderr, "sim_smdp: %s\n", err.c_str());
    fprintf(stderr,
            "usage: sim_smdp [--listen ADDR] [--port N] [--port-file FILE] [--transcript FILE]\n"
            "  [--cert-out FILE] [--cert FILE --key FILE] [--tls-limit tls1.2|tls1.2-ecdsa]\n"
            "  [--host NAME] [--address SMDP_ADDRESS] [--matching-id ID]... [--matching-ids FILE]\n"
            "  [--package-answer-size N]\n"
            "  [--time-factor F] [--scenario FILE] [--fault FUNCTION:ACTION,...] [--seed N]\n"
            "  [--fault-file PATH]\n");
    return 2;
  }
  signal(SIGTERM, on_signal);
  signal(SIGINT, on_signal);
  signal(SIGPIPE, SIG_IGN);
  if (!o.transcript.empty()) {
    transcript = fopen(o.transcript.c_str(), "a");
    if (transcript == nullptr) {
      fprintf(stderr, "sim_smdp: cannot write %s: %s\n", o.transcript.c_str(), strerror(errno));
      return 1;
    }
  }
  X509 *cert = nullptr;
  EVP_PKEY *key = nullptr;
  if (o.cert_file.empty() != o.key_file.empty()) {
    fprintf(stderr, "sim_smdp: --cert and --key go together\n");
    return 2;
  }
  if (o.cert_file.empty() && !make_certificate(o.host, &cert, &key)) {
    fprintf(stderr, "sim_smdp: cannot make a certificate\n");
    return 1;
  }
  if (!o.cert_out.empty() && cert != nullptr) {
    FILE *f = fopen(o.cert_out.c_str(), "w");
    if (f != nullptr) {
      PEM_write_X509(f, cert);
      fclose(f);
    }
  }
  // A certificate given by the test (one a test CA issued) or the fresh one.
  std::unique_ptr<httplib::SSLServer> tls =
      o.cert_file.empty()
          ? std::make_unique<httplib::SSLServer>(cert, key)
          : std::make_unique<httplib::SSLServer>(o.cert_file.c_str(), o.key_file.c_str());
  httplib::SSLServer &server = *tls;
  if (!server.is_valid() || !setup_tls(server.ssl_context(), o.tls_limit)) {
    fprintf(stderr, "sim_smdp: TLS setup failed\n");
    return 1;
  }
  sim::SmdpService service(o.settings, o.matching_ids);
  std::mutex fault_mu;
  const double factor = o.time_factor;
  server.Post(R"(/gsma/rsp2/es9plus/(\w+))", [&](const httplib::Request &req,
                                                 httplib::Response &res) {
    double arrived = sim::wall_seconds();
    std::string function = req.matches[1];
    bool known = false;
    for (const char *fn : kFunctions) known = known || function == fn;
    if (!known) {
      res.status = 404;
      record(req, 404, "", nullptr, arrived);
      return;
    }
    Fault *fault = take_fault(o.faults, fault_mu, function);
    Fault from_file;
    if (fault == nullptr && take_file_fault(o.fault_file, req, function, fault_mu, &from_file))
      fault = &from_file;
    sim::SmdpAnswer answer = service.handle(function, req.body);
    if (fault != nullptr) {
      if (fault->failed)
        answer = {200, sim::SmdpService::failed(fault->subject, fault->reason, fault->message,
                                                fault->identifier)};
      if (fault->status != 0) answer.status = fault->status;
      if (fault->nonjson)
        answer.body = "<html><head><title>503 Service Unavailable</title></head></html>\n";
      if (fault->empty) answer.body.clear();
      if (fault->size > 0) {
        if (answer.body.empty()) answer.body = "{}";
        if (answer.body.size() < fault->size)
          answer.body.insert(answer.body.size() - 1,
                             std::string(fault->size - answer.body.size(), ' '));
      }
      if (fault->redirect) {
        answer.status = 302;
        answer.body = "<html><body>302 Found</body></html>\n";
        res.set_header("Location", "https://" + o.host + "/moved" + req.path);
      }
      if (fault->delay_ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds((long)(fault->delay_ms * factor)));
      if (fault->stall) std::this_thread::sleep_for(std::chrono::seconds(35));
    }
    res.status = answer.status;
    if (answer.status == 204) answer.body.clear();
    const char *type =
        answer.body.rfind("<html>", 0) == 0 ? "text/html" : "application/json;charset=UTF-8";
    if (fault != nullptr && fault->stream) {
      // Filler sent as it is made, so a body of any size (or without end)
      // costs the server nothing; it ends when the client goes away.
      uint64_t total = fault->stream_bytes;
      res.set_chunked_content_provider(type, [total](size_t offset, httplib::DataSink &sink) {
        static const std::string kFiller(64 * 1024, ' ');
        if (total != 0 && offset >= total) {
          sink.done();
          return true;
        }
        size_t n = kFiller.size();
        if (total != 0 && total - offset < n) n = static_cast<size_t>(total - offset);
        return sink.write(kFiller.data(), n);
      });
      answer.body.clear();
    } else if (fault != nullptr && fault->close) {
      // Promise the whole body, send half of it and drop the connection.
      auto body = std::make_shared<std::string>(answer.body.empty() ? "{}" : answer.body);
      res.set_content_provider(body->size(), type,
                               [body](size_t offset, size_t, httplib::DataSink &sink) {
                                 if (offset > 0) return false;
                                 sink.write(body->data(), body->size() / 2);
                                 return true;
                               });
    } else if (!answer.body.empty()) {
      res.set_content(answer.body, type);
    }
    if (answer.status != 204 && answer.body.empty() && !(fault && (fault->close || fault->stream)))
      res.set_header("Content-Length", "0");
    res.set_header("X-Admin-Protocol", "gsma/rsp/v2.2.0");
    record(req, answer.status, answer.body, fault, arrived);
  });
  // Anything else is no ES9+ function: 404, recorded like every request.
  auto unknown = [&](const httplib::Request &req, httplib::Response &res) {
    res.status = 404;
    record(req, 404, "", nullptr, sim::wall_seconds());
  };
  server.Post(".*", unknown);
  server.Get(".*", unknown);
  server.Put(".*", unknown);
  server.Delete(".*", unknown);
  int port = o.port;
  if (port == 0) {
    port = server.bind_to_any_port(o.listen.c_str());
  } else if (!server.bind_to_port(o.listen.c_str(), port)) {
    port = -1;
  }
  if (port < 0) {
    fprintf(stderr, "sim_smdp: cannot listen on %s:%d: %s\n", o.listen.c_str(), o.port,
            strerror(errno));
    return 1;
  }
  if (!o.port_file.empty()) {
    std::string tmp = o.port_file + ".new";
    FILE *f = fopen(tmp.c_str(), "w");
    if (f == nullptr) return 1;
    fprintf(f, "%d\n", port);
    fclose(f);
    rename(tmp.c_str(), o.port_file.c_str());
  }
  server.listen_after_bind();
  return 0;
}
