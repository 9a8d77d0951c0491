// The sim_smdp program over real HTTPS, asked the way esimctl's relay asks
// (libcurl POST, its headers and user agent, no certificate checks): the
// ES9+ answers, the checks a real server makes, the faults, the transcript,
// and a whole download between the simulated modem and the server.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <stdlib.h>
#include <strings.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "json_owner.h"
#include "sim_test_support.h"
#include "sim_util.h"
#include "test_pki.h"

namespace {

struct Answer {
  CURLcode code = CURLE_OK;
  long status = 0;
  std::string body;
  std::string redirect;
  long ms = 0;
  std::string content_type, admin_protocol;  // answer headers ("" when absent)
};

size_t collect_body(char *p, size_t size, size_t n, void *out) {
  static_cast<std::string *>(out)->append(p, size * n);
  return size * n;
}

size_t collect_header(char *p, size_t size, size_t n, void *out) {
  std::string line(p, size * n);
  auto *a = static_cast<Answer *>(out);
  size_t colon = line.find(':');
  if (colon != std::string::npos) {
    std::string name = line.substr(0, colon);
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(' '));
    value.erase(value.find_last_not_of("\r\n") + 1);
    if (strcasecmp(name.c_str(), "Content-Type") == 0) a->content_type = value;
    if (strcasecmp(name.c_str(), "X-Admin-Protocol") == 0) a->admin_protocol = value;
  }
  return size * n;
}

// `tls` may narrow what the client offers in its handshake.
Answer post(const std::string &url, const std::string &body,
            const std::function<void(CURL *)> &tls = nullptr) {
  Answer a;
  CURL *curl = curl_easy_init();
  curl_slist *headers = curl_slist_append(nullptr, "Content-Type: application/json");
  headers = curl_slist_append(headers, "Accept: */*");
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, (long)body.size());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_USERAGENT, "curl/7.60.0");
  curl_easy_setopt(curl, CURLOPT_POST, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
  curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, (long)CURL_HTTP_VERSION_1_1);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect_body);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &a.body);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, collect_header);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &a);
  if (tls) tls(curl);
  auto t0 = std::chrono::steady_clock::now();
  a.code = curl_easy_perform(curl);
  a.ms = (long)std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now() - t0)
             .count();
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &a.status);
  char *location = nullptr;
  curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &location);
  if (location) a.redirect = location;
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return a;
}

std::string member(const std::string &json, const char *path1, const char *path2 = nullptr,
                   const char *path3 = nullptr) {
  Json root(cJSON_Parse(json.c_str()));
  cJSON *j = cJSON_GetObjectItemCaseSensitive(root.get(), path1);
  if (path2) j = cJSON_GetObjectItemCaseSensitive(j, path2);
  if (path3) j = cJSON_GetObjectItemCaseSensitive(j, path3);
  return cJSON_IsString(j) ? j->valuestring : "";
}

std::string status_of(const std::string &json) {
  return member(json, "header", "functionExecutionStatus", "status");
}

const char kInitiate[] =
    "{\"euiccChallenge\":\"ESIzRFVmd4iZqrvM3e7/AA==\",\"euiccInfo1\":\"vyAFggMCAgA=\","
    "\"smdpAddress\":\"smdp.example\"}";

class Smdp : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/simsmdp.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    server_.reset();
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }
  bool start(std::vector<std::string> extra = {}) {
    server_.reset();
    std::string port_file = dir_ + "/port" + std::to_string(++count_);
    transcript_ = dir_ + "/smdp" + std::to_string(count_) + ".jsonl";
    std::vector<std::string> argv = {SIM_SMDP_BIN, "--port",       "0",        "--port-file",
                                     port_file,    "--transcript", transcript_};
    argv.insert(argv.end(), extra.begin(), extra.end());
    server_ = std::make_unique<simtest::Child>(argv);
    if (!simtest::wait_for_path(port_file, 5000)) return false;
    base_ = "https://127.0.0.1:" + std::to_string(atoi(simtest::read_file(port_file).c_str())) +
            "/gsma/rsp2/es9plus/";
    return true;
  }
  std::string initiate() {
    return member(post(base_ + "initiateAuthentication", kInitiate).body, "transactionId");
  }
  // The authenticateClient body of transaction `tid`, the eUICC's response
  // naming `matching_id` (none when empty).
  static std::string authenticate_body(const std::string &tid, const std::string &matching_id) {
    sim::Filler filler(7);
    std::string asr =
        sim::authenticate_server_response(&filler, tid, "smdp.example", matching_id, 1150);
    return "{\"transactionId\":\"" + tid + "\",\"authenticateServerResponse\":\"" +
           sim::base64_encode(asr) + "\"}";
  }
  // initiateAuthentication and authenticateClient; gives the transactionId.
  std::string authenticate(const std::string &matching_id = "") {
    std::string tid = initiate();
    post(base_ + "authenticateClient", authenticate_body(tid, matching_id));
    return tid;
  }
  std::string dir_, base_, transcript_;
  int count_ = 0;
  std::unique_ptr<simtest::Child> server_;
};

TEST_F(Smdp, AnswersTheFourFunctionsInOrder) {
  ASSERT_TRUE(start({"--package-answer-size", "65535"}));
  Answer a = post(base_ + "initiateAuthentication", kInitiate);
  ASSERT_EQ(a.code, CURLE_OK);
  EXPECT_EQ(a.status, 200);
  EXPECT_EQ(status_of(a.body), "Executed-Success");
  EXPECT_EQ(a.content_type, "application/json;charset=UTF-8");
  EXPECT_EQ(a.admin_protocol, "gsma/rsp/v2.2.0");
  std::string tid = member(a.body, "transactionId");
  EXPECT_EQ(tid.size(), 32u);
  for (const char *m :
       {"serverSigned1", "serverSignature1", "euiccCiPKIdToBeUsed", "serverCertificate"})
    EXPECT_FALSE(member(a.body, m).empty()) << m;
  a = post(base_ + "authenticateClient",
           "{\"transactionId\":\"" + tid + "\",\"authenticateServerResponse\":\"vzgA\"}");
  EXPECT_EQ(status_of(a.body), "Executed-Success");
  EXPECT_EQ(member(a.body, "transactionId"), tid);
  for (const char *m : {"profileMetadata", "smdpSigned2", "smdpSignature2", "smdpCertificate"})
    EXPECT_FALSE(member(a.body, m).empty()) << m;
  a = post(base_ + "getBoundProfilePackage",
           "{\"transactionId\":\"" + tid + "\",\"prepareDownloadResponse\":\"vyEA\"}");
  EXPECT_EQ(status_of(a.body), "Executed-Success");
  EXPECT_EQ(a.body.size(), 65535u) << "the largest answer esimctl takes";
  std::string bpp;
  EXPECT_TRUE(sim::base64_decode(member(a.body, "boundProfilePackage"), &bpp));
  EXPECT_EQ(a.content_type, "application/json;charset=UTF-8");
  a = post(base_ + "handleNotification", "{\"pendingNotification\":\"vzeA\"}");
  EXPECT_EQ(a.status, 204);
  EXPECT_TRUE(a.body.empty());
  EXPECT_EQ(a.content_type, "") << "no body, no type";
  EXPECT_EQ(a.admin_protocol, "gsma/rsp/v2.2.0");
}

TEST_F(Smdp, RefusesWhatARealServerRefuses) {
  ASSERT_TRUE(
      start({"--address", "smdp.example", "--matching-id", "ABC-1", "--matching-id", "ABC-2"}));
  std::string tid = authenticate("ABC-2"), refused = initiate();
  struct Row {
    const char *situation;
    std::string function, body;
    long status;
    std::string subject, reason;  // of statusCodeData; "" for no JSON check
  } rows[] = {
      {"matching ID the server does not hold", "authenticateClient",
       authenticate_body(refused, "ABC-3"), 200, "8.2.6", "3.8"},
      {"the refused session goes no further", "getBoundProfilePackage",
       "{\"transactionId\":\"" + refused + "\",\"prepareDownloadResponse\":\"vyEA\"}", 200,
       "8.10.1", "3.9"},
      {"no matching ID in the response", "authenticateClient", authenticate_body(initiate(), ""),
       200, "8.2.6", "3.8"},
      {"unknown transaction", "authenticateClient",
       "{\"transactionId\":\"00\",\"authenticateServerResponse\":\"vzgA\"}", 200, "8.10.1", "3.9"},
      {"authenticateClient twice", "authenticateClient",
       "{\"transactionId\":\"" + tid + "\",\"authenticateServerResponse\":\"vzgA\"}", 200, "8.10.1",
       "3.9"},
      {"missing member", "getBoundProfilePackage", "{\"transactionId\":\"" + tid + "\"}", 200,
       "8.1", "2.1"},
      {"other server's address", "initiateAuthentication",
       "{\"euiccChallenge\":\"ESIzRFVmd4iZqrvM3e7/"
       "AA==\",\"euiccInfo1\":\"vyAA\",\"smdpAddress\":\"other.example\"}",
       200, "8.8.1", "3.8"},
      {"challenge of the wrong size", "initiateAuthentication",
       "{\"euiccChallenge\":\"ESIz\",\"euiccInfo1\":\"vyAA\",\"smdpAddress\":\"smdp.example\"}",
       200, "8.1", "2.1"},
      {"malformed JSON", "initiateAuthentication", "{\"euiccChallenge\":", 400, "8.1", "6.1"},
      {"notification that is not JSON", "handleNotification", "pendingNotification=x", 400, "8.1",
       "6.1"},
      {"unknown function", "cancelSessionX", "{}", 404, "", ""},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.situation);
    Answer a = post(base_ + row.function, row.body);
    EXPECT_EQ(a.status, row.status);
    if (row.subject.empty()) continue;
    EXPECT_EQ(status_of(a.body), "Failed");
    EXPECT_EQ(a.content_type, "application/json;charset=UTF-8");
    EXPECT_EQ(a.admin_protocol, "gsma/rsp/v2.2.0");
    Json root(cJSON_Parse(a.body.c_str()));
    cJSON *scd = cJSON_GetObjectItem(
        cJSON_GetObjectItem(cJSON_GetObjectItem(root.get(), "header"), "functionExecutionStatus"),
        "statusCodeData");
    ASSERT_NE(scd, nullptr);
    EXPECT_STREQ(cJSON_GetObjectItem(scd, "subjectCode")->valuestring, row.subject.c_str());
    EXPECT_STREQ(cJSON_GetObjectItem(scd, "reasonCode")->valuestring, row.reason.c_str());
  }
}

TEST_F(Smdp, FaultsChangeTheAnswer) {
  struct Row {
    const char *situation;
    std::string fault;
    CURLcode code;
    long status;
    long size;          // -1: not checked
    std::string start;  // the body begins with this
  } rows[] = {
      {"given HTTP status", "initiateAuthentication:status=503", CURLE_OK, 503, -1, "{\"header\""},
      {"empty body", "initiateAuthentication:empty", CURLE_OK, 200, 0, ""},
      {"body of 65536 bytes", "initiateAuthentication:huge", CURLE_OK, 200, 65536, "{\"header\""},
      {"redirect", "any:redirect", CURLE_OK, 302, -1, "<html>"},
      {"not JSON", "initiateAuthentication:nonjson", CURLE_OK, 200, -1, "<html>"},
      {"function-level failure", "initiateAuthentication:failed", CURLE_OK, 200, -1,
       "{\"header\":{\"functionExecutionStatus\":{\"status\":\"Failed\",\"statusCodeData\":{"
       "\"subjectCode\":\"8.2.5\",\"reasonCode\":\"4.3\",\"message\":\"No eligible Profile for "
       "this eUICC\"}}}}"},
      {"refusal with the codes chosen, blanks, a comma and control bytes in the message",
       "initiateAuthentication:subject=8.2.6,reason=3.8,identifier=ABC-1,"
       "message=Matching%20ID%2c%20refused%0d%0a%07%7f",
       CURLE_OK, 200, -1,
       "{\"header\":{\"functionExecutionStatus\":{\"status\":\"Failed\",\"statusCodeData\":{"
       "\"subjectCode\":\"8.2.6\",\"reasonCode\":\"3.8\",\"subjectIdentifier\":\"ABC-1\","
       "\"message\":\"Matching ID, refused\\r\\n\\u0007\x7f\"}}}}"},
      {"closed mid-answer", "initiateAuthentication:close", CURLE_PARTIAL_FILE, 200, -1,
       "{\"header\""},
      {"fault on another function", "handleNotification:status=500", CURLE_OK, 200, -1,
       "{\"header\""},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.situation);
    ASSERT_TRUE(start({"--fault", row.fault}));
    Answer a = post(base_ + "initiateAuthentication", kInitiate);
    // libcurl 8 tells a connection closed mid-body as a receive error.
    if (row.code == CURLE_PARTIAL_FILE && a.code == CURLE_RECV_ERROR) a.code = CURLE_PARTIAL_FILE;
    EXPECT_EQ(a.code, row.code) << curl_easy_strerror(a.code);
    EXPECT_EQ(a.status, row.status);
    if (row.size >= 0) {
      EXPECT_EQ((long)a.body.size(), row.size);
    }
    EXPECT_EQ(a.body.rfind(row.start, 0), 0u) << a.body.substr(0, 80);
    if (row.status == 302) {
      EXPECT_EQ(a.redirect.rfind("https://smdp.example/moved/", 0), 0u);
    }
  }
}

// The certificates and TLS limits the matrix scenarios serve with, as a
// client that narrows its offer sees them: a brainpool certificate is usable
// only with a client that offers the curve (and then over TLS 1.2, which
// OpenSSL 3.0 picks for it), a client offering that curve alone agrees on
// a key exchange with the server, and the ECDSA limit leaves no RSA suite.
TEST_F(Smdp, ServesTheEcosystemsCertificatesAndTlsLimits) {
  ASSERT_TRUE(make_test_pki(dir_));
  const char *brainpool = "X25519:P-256:brainpoolP256r1:X448:P-521:P-384";
  auto curves = [](const char *list) {
    return [list](CURL *c) { curl_easy_setopt(c, CURLOPT_SSL_EC_CURVES, list); };
  };
  // The key exchange too must then be on brainpoolP256r1: the server's groups hold it.
  auto brainpool_only = [](CURL *c) {
    curl_easy_setopt(c, CURLOPT_SSLVERSION,
                     (long)(CURL_SSLVERSION_TLSv1_2 | CURL_SSLVERSION_MAX_TLSv1_2));
    curl_easy_setopt(c, CURLOPT_SSL_EC_CURVES, "brainpoolP256r1");
  };
  auto tls13_only = [](CURL *c) {
    curl_easy_setopt(c, CURLOPT_SSLVERSION, (long)CURL_SSLVERSION_TLSv1_3);
  };
  auto rsa_suites = [](CURL *c) {
    curl_easy_setopt(c, CURLOPT_SSLVERSION,
                     (long)(CURL_SSLVERSION_TLSv1_2 | CURL_SSLVERSION_MAX_TLSv1_2));
    curl_easy_setopt(c, CURLOPT_SSL_CIPHER_LIST, "ECDHE-RSA-AES128-GCM-SHA256");
  };
  struct Row {
    const char *situation;
    std::string cert;  // a test_pki name; "" for the certificate made at start
    std::string limit;
    std::function<void(CURL *)> tls;
    CURLcode code;
  } rows[] = {
      {"made at start, any client", "", "", nullptr, CURLE_OK},
      {"P-256 CI-signed, any client", "tls-p256", "", nullptr, CURLE_OK},
      {"P-256 CI-signed, ECDSA suites", "tls-p256", "tls1.2-ecdsa", nullptr, CURLE_OK},
      // OpenSSL 3.5 signs TLS 1.3 with a brainpool key whatever curves the client lists.
      {"brainpool, client without the curve", "tls-brainpool", "", nullptr,
       OpenSSL_version_num() >= 0x30500000L ? CURLE_OK : CURLE_SSL_CONNECT_ERROR},
      {"brainpool, client offering the curve", "tls-brainpool", "", curves(brainpool), CURLE_OK},
      {"brainpool, ECDSA suites, client offering the curve", "tls-brainpool", "tls1.2-ecdsa",
       curves(brainpool), CURLE_OK},
      {"brainpool, TLS 1.2 client with no other group", "tls-brainpool", "", brainpool_only,
       CURLE_OK},
      {"RSA self-signed, TLS 1.2", "rsa-self-signed", "tls1.2", nullptr, CURLE_OK},
      {"limited to TLS 1.2, client wanting 1.3", "tls-p256", "tls1.2", tls13_only,
       CURLE_SSL_CONNECT_ERROR},
      {"ECDSA suites, client with an RSA suite only", "tls-p256", "tls1.2-ecdsa", rsa_suites,
       CURLE_SSL_CONNECT_ERROR},
      {"RSA self-signed, ECDSA suites", "rsa-self-signed", "tls1.2-ecdsa", nullptr,
       CURLE_SSL_CONNECT_ERROR},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.situation);
    std::vector<std::string> opts;
    if (!row.cert.empty())
      opts = {"--cert", dir_ + "/" + row.cert + ".pem", "--key", dir_ + "/" + row.cert + ".key"};
    if (!row.limit.empty()) opts.insert(opts.end(), {"--tls-limit", row.limit});
    ASSERT_TRUE(start(opts));
    Answer a = post(base_ + "initiateAuthentication", kInitiate, row.tls);
    EXPECT_EQ(a.code, row.code) << curl_easy_strerror(a.code);
    EXPECT_EQ(status_of(a.body), row.code == CURLE_OK ? "Executed-Success" : "");
  }
}

TEST_F(Smdp, DelayIsScaledByTheTimeFactorAndTimesLimitsAFault) {
  ASSERT_TRUE(
      start({"--time-factor", "0.25", "--fault", "initiateAuthentication:delay=4000,times=1"}));
  Answer slow = post(base_ + "initiateAuthentication", kInitiate);
  Answer quick = post(base_ + "initiateAuthentication", kInitiate);
  EXPECT_GE(slow.ms, 950);
  EXPECT_LT(slow.ms, 3000) << "4 s of delay at factor 0.25";
  EXPECT_LT(quick.ms, 900);
  EXPECT_EQ(status_of(quick.body), "Executed-Success");
}

TEST_F(Smdp, TranscriptHoldsEachRequestAsSent) {
  ASSERT_TRUE(start({"--fault", "handleNotification:status=500"}));
  post(base_ + "initiateAuthentication", kInitiate);
  post(base_ + "handleNotification", "{\"pendingNotification\":\"vzeA\"}");
  std::vector<std::string> lines = simtest::read_lines(transcript_);
  ASSERT_EQ(lines.size(), 2u);
  Json first(cJSON_Parse(lines[0].c_str()));
  ASSERT_NE(first, nullptr);
  EXPECT_STREQ(cJSON_GetObjectItem(first.get(), "method")->valuestring, "POST");
  EXPECT_STREQ(cJSON_GetObjectItem(first.get(), "path")->valuestring,
               "/gsma/rsp2/es9plus/initiateAuthentication");
  EXPECT_STREQ(cJSON_GetObjectItem(first.get(), "body")->valuestring, kInitiate);
  cJSON *h = cJSON_GetObjectItem(first.get(), "headers");
  EXPECT_STREQ(cJSON_GetObjectItem(h, "Content-Type")->valuestring, "application/json");
  EXPECT_STREQ(cJSON_GetObjectItem(h, "Accept")->valuestring, "*/*");
  EXPECT_STREQ(cJSON_GetObjectItem(h, "User-Agent")->valuestring, "curl/7.60.0");
  EXPECT_EQ(cJSON_GetObjectItem(h, "REMOTE_ADDR"), nullptr);
  EXPECT_EQ(cJSON_GetObjectItem(first.get(), "status")->valueint, 200);
  Json second(cJSON_Parse(lines[1].c_str()));
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(cJSON_GetObjectItem(second.get(), "status")->valueint, 500);
  EXPECT_STREQ(cJSON_GetObjectItem(second.get(), "fault")->valuestring,
               "handleNotification:status=500");
}

// A refused option ends the server with status 2 before it listens, with a
// message naming what was wrong.
TEST_F(Smdp, BadOptionsAndNumbersAreRefused) {
  struct Row {
    const char *situation;
    std::vector<std::string> opts;
    const char *message;
  } rows[] = {
      {"port past 65535", {"--port", "65536"}, "bad number for --port: 65536"},
      {"port as a service name", {"--port", "https"}, "bad number for --port: https"},
      {"answer size with a unit",
       {"--package-answer-size", "10k"},
       "bad number for --package-answer-size: 10k"},
      {"negative seed", {"--seed", "-1"}, "bad number for --seed: -1"},
      {"time factor as a word", {"--time-factor", "fast"}, "bad number for --time-factor: fast"},
      {"HTTP status as a word",
       {"--fault", "handleNotification:status=busy"},
       "bad value for 'status'"},
      {"HTTP status below 100",
       {"--fault", "handleNotification:status=99"},
       "bad value for 'status'"},
      {"HTTP status past 599",
       {"--fault", "handleNotification:status=600"},
       "bad value for 'status'"},
      {"delay with a unit", {"--fault", "any:delay=2s"}, "bad value for 'delay'"},
      {"negative body size", {"--fault", "any:huge=-1"}, "bad value for 'huge'"},
      {"skip as a word", {"--fault", "any:skip=once,empty"}, "bad value for 'skip'"},
      {"unknown fault action", {"--fault", "any:explode"}, "unknown fault action 'explode'"},
      {"refusal message with a stray %",
       {"--fault", "any:message=100%"},
       "bad value for 'message'"},
      {"refusal message with a NUL", {"--fault", "any:message=a%00b"}, "bad value for 'message'"},
      {"refusal without a subject", {"--fault", "any:subject="}, "bad value for 'subject'"},
      {"TLS limit past 1.2", {"--tls-limit", "tls1.3"}, "--tls-limit takes tls1.2 or"},
      {"empty matching ID", {"--matching-id", ""}, "--matching-id needs an ID"},
      {"matching IDs from a missing file",
       {"--matching-ids", "/nonexistent/ids"},
       "cannot read matching IDs from /nonexistent/ids"},
      {"unknown option", {"--colour", "red"}, "unknown option --colour"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.situation);
    std::string port_file = dir_ + "/refused-port";
    std::vector<std::string> argv = {SIM_SMDP_BIN, "--port", "0", "--port-file", port_file};
    argv.insert(argv.end(), row.opts.begin(), row.opts.end());
    EXPECT_EQ(simtest::run_to_end(argv, dir_ + "/stderr", 5000), 2);
    std::string err = simtest::read_file(dir_ + "/stderr");
    EXPECT_NE(err.find(row.message), std::string::npos) << err;
    EXPECT_NE(err.find("usage: sim_smdp"), std::string::npos);
    EXPECT_EQ(simtest::read_file(port_file), "") << "the server listened";
  }
}

// The relay's part played by the test: every modem request goes to the
// server, every answer goes back as hex in 1400-character chunks.
TEST_F(Smdp, WholeDownloadBetweenTheSimulatedModemAndServer) {
  std::string ids = dir_ + "/matching_ids";
  FILE *f = fopen(ids.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fputs("# held\n ABC-1 \n", f);
  fclose(f);
  ASSERT_TRUE(start({"--package-answer-size", "30000", "--matching-ids", ids}));
  std::string link = dir_ + "/chn1";
  simtest::Child modem(
      {SIM_MODEM_BIN, "--link", link, "--profile", "89883000000000000018,enabled,B"});
  ASSERT_TRUE(simtest::wait_for_path(link, 3000));
  simtest::PtyClient c(link);
  std::string reply = c.exchange("AT+QESIM=\"download\",1,\"LPA:1$smdp.example$ABC-1\"");
  std::vector<std::string> functions;
  for (int round = 0; round < 3; ++round) {
    simtest::TransFields f = simtest::read_trans(reply, round == 0);
    ASSERT_EQ(f.status, "0") << reply;
    functions.push_back(f.path);
    Answer a = post(base_ + f.path.substr(f.path.rfind('/') + 1), f.payload);
    for (const auto &chunk : simtest::chunk_commands(sim::hex_encode(a.body)))
      reply = c.exchange(chunk, 2000, 25);
  }
  EXPECT_EQ(functions[2], "/gsma/rsp2/es9plus/getBoundProfilePackage");
  simtest::TransFields note = simtest::read_trans(reply, false);
  EXPECT_EQ(note.path, "/gsma/rsp2/es9plus/handleNotification");
  bool found = false;
  EXPECT_EQ(simtest::read_status(reply, "download", &found), "0");
  EXPECT_EQ(post(base_ + "handleNotification", note.payload).status, 204);
  std::string iccid;
  ASSERT_TRUE(simtest::read_last_iccid(c.exchange("AT+QESIM=\"list\""), &iccid));
  EXPECT_EQ(iccid, "89882470000000000017");
}

}  // namespace
