#include "https_relay.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "globals.h"
#include "https_test_server.h"
#include "tool_state.h"

// Stands in for a TLS library built without brainpoolP256r1 (some
// distributions leave it out of OpenSSL): while set, a group list that names
// it is refused, as such a library refuses it.
bool refuse_brainpool_groups = false;

extern "C" long SSL_CTX_ctrl(SSL_CTX *ctx, int cmd, long larg, void *parg) {
  using Ctrl = long (*)(SSL_CTX *, int, long, void *);
  static const auto real = reinterpret_cast<Ctrl>(dlsym(RTLD_NEXT, "SSL_CTX_ctrl"));
  if (refuse_brainpool_groups && cmd == SSL_CTRL_SET_GROUPS_LIST && parg != nullptr &&
      strstr(static_cast<const char *>(parg), "brainpool") != nullptr)
    return 0;
  return real(ctx, cmd, larg, parg);
}

namespace {

class CurlGlobal : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_EQ(curl_global_init(CURL_GLOBAL_ALL), CURLE_OK); }
  void TearDown() override { curl_global_cleanup(); }
};
const auto *const kCurlGlobal = ::testing::AddGlobalTestEnvironment(new CurlGlobal);

constexpr char kBody[] = "{\"transactionId\":\"0A1B\"}";
constexpr char kUntouched[] = "earlier answer";

// The one request the relay must have sent, byte for byte.
void expect_relay_request(const HttpsTestServer &server, const std::string &path) {
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u) << "exactly one request, no redirect followed";
  const ReceivedRequest &req = requests[0];
  EXPECT_EQ(req.method, "POST");
  EXPECT_EQ(req.path, path);
  EXPECT_EQ(req.version, "HTTP/1.1");
  EXPECT_EQ(req.body, kBody);
  const std::multimap<std::string, std::string> expected = {
      {"Accept", "*/*"},
      {"Content-Length", std::to_string(strlen(kBody))},
      {"Content-Type", "application/json"},
      {"Host", server.host()},
      {"User-Agent", "curl/7.60.0"}};
  EXPECT_EQ(req.headers, expected);
}

class HttpsRelayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_tool_state();
    snprintf(http_payload, sizeof http_payload, "%s", kUntouched);
  }
  RunLogCapture log_;
};

struct ExchangeCase {
  const char *situation;
  int status;
  std::string answer;
  int expected;
  const char *payload;
};

class ExchangeRequestTest : public HttpsRelayTest,
                            public ::testing::WithParamInterface<ExchangeCase> {};

TEST_P(ExchangeRequestTest, HandsTheBodyOnAsHexWhateverTheStatus) {
  const ExchangeCase &c = GetParam();
  HttpsTestServer server;
  server.answer(c.status, c.answer, {{"Location", "/elsewhere"}});
  EXPECT_EQ(send_http(server.host().c_str(), "/gsma/rsp2/es9plus/initiateAuthentication", kBody, 0),
            c.expected);
  EXPECT_STREQ(http_payload, c.payload);
  expect_relay_request(server, "/gsma/rsp2/es9plus/initiateAuthentication");
  EXPECT_EQ(log_.messages().find("Error: "), std::string::npos) << log_.messages();
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ExchangeRequestTest,
    ::testing::Values(ExchangeCase{"ThreeLetters", 200, "abc", 1, "616263"},
                      ExchangeCase{"HighAndLowBytes", 200, std::string("\xff\x05\x00z", 4), 1,
                                   "ff05007a"},
                      ExchangeCase{"NotFoundWithErrorObject", 404, "{}", 1, "7b7d"},
                      ExchangeCase{"RedirectBodyIsTheAnswer", 302, "moved", 1, "6d6f766564"},
                      ExchangeCase{"EmptyBodyOn200", 200, "", 0, kUntouched}),
    [](const auto &info) { return std::string(info.param.situation); });

TEST_F(HttpsRelayTest, LogsEveryStepOfASuccessfulExchange) {
  HttpsTestServer server;
  server.answer(200, "abc");
  ASSERT_EQ(send_http(server.host().c_str(), "/p", kBody, 0), 1);
  EXPECT_EQ(log_.messages(), "Send Http Request.\n\nURL: https://" + server.host() +
                                 "/p\n\nData: " + kBody +
                                 "\n\nHTTP Response: 200 [abc]\n\nhttp response[3][abc]\n\n"
                                 "HTTP response data len: 3\n\nafter hex data: [616263]\n\n");
}

TEST_F(HttpsRelayTest, QuietWithoutPrintFlag) {
  HttpsTestServer server;
  server.answer(200, "abc");
  print_flag = 0;
  ASSERT_EQ(send_http(server.host().c_str(), "/p", kBody, 0), 1);
  EXPECT_STREQ(http_payload, "616263");
  EXPECT_EQ(log_.messages(), "");
}

TEST_F(HttpsRelayTest, LargestAnswerFillsThePayloadBuffer) {
  HttpsTestServer server;
  server.answer(200, std::string(65534, 'a') + "\xfe");
  ASSERT_EQ(send_http(server.host().c_str(), "/p", kBody, 0), 1);
  ASSERT_EQ(strlen(http_payload), 131070u);
  EXPECT_EQ(std::string(http_payload, 4), "6161");
  EXPECT_STREQ(http_payload + 131066, "61fe");
}

TEST_F(HttpsRelayTest, OneByteMoreIsRefusedAndKeepsTheEarlierAnswer) {
  HttpsTestServer server;
  server.answer(200, std::string(65536, 'a'));
  print_flag = 0;
  EXPECT_EQ(send_http(server.host().c_str(), "/p", kBody, 0), 0);
  EXPECT_STREQ(http_payload, kUntouched);
  EXPECT_EQ(log_.messages(), "Error: response data is large, 65536\n\n");
}

// A server that answers with far more than an answer may hold: the transfer
// ends once 65535 bytes are passed, and the refusal names what had arrived.
TEST_F(HttpsRelayTest, HugeAnswerEndsTheTransferEarly) {
  HttpsTestServer server;
  server.answer(200, std::string(8 << 20, 'a'));
  print_flag = 0;
  EXPECT_EQ(send_http(server.host().c_str(), "/p", kBody, 0), 0);
  EXPECT_STREQ(http_payload, kUntouched);
  const std::string &log = log_.messages();
  ASSERT_EQ(log.rfind("Error: response data is large, ", 0), 0u) << log;
  long shown = atol(log.c_str() + strlen("Error: response data is large, "));
  EXPECT_GT(shown, 65535);
  EXPECT_LE(shown, 65535 + CURL_MAX_WRITE_SIZE) << "no more than one delivery past the limit";
  EXPECT_LT(server.answer_bytes_taken(), size_t{8} << 20) << "the transfer ended early";
}

// A notification's answer counts by its status alone; its body is read to
// the end (the server is not cut off mid-answer) but not kept.
TEST_F(HttpsRelayTest, HugeNotificationAnswerIsReadToItsEnd) {
  HttpsTestServer server;
  server.answer(200, std::string(8 << 20, 'a'));
  EXPECT_EQ(send_http(server.host().c_str(), "/p", kBody, 1), 1);
  EXPECT_EQ(server.answer_bytes_taken(), size_t{8} << 20);
  const std::string &log = log_.messages();
  size_t shown = log.find("HTTP Response: 200 [");
  ASSERT_NE(shown, std::string::npos) << log;
  EXPECT_LT(log.size() - shown, 4096u) << "only the start of the answer is kept for the log";
}

struct RefusedTarget {
  const char *situation;
  const char *host;
  const char *path;
  const char *line;
};

class RefusedTargetTest : public HttpsRelayTest,
                          public ::testing::WithParamInterface<RefusedTarget> {};

// Modem or record text that would turn the URL's host into user information,
// add a port or a path, or start another line never leads to a request.
TEST_P(RefusedTargetTest, SendsNothing) {
  const RefusedTarget &c = GetParam();
  HttpsTestServer server;
  server.answer(200, "abc");
  EXPECT_EQ(send_http(c.host, c.path, kBody, 0), 0);
  EXPECT_EQ(send_http(c.host, c.path, kBody, 1), 0);
  EXPECT_TRUE(server.requests().empty());
  EXPECT_STREQ(http_payload, kUntouched);
  std::string once = std::string("Send Http Request.\n\n") + c.line + "\n";
  EXPECT_EQ(log_.messages(), once + once);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, RefusedTargetTest,
    ::testing::Values(
        RefusedTarget{"PathMakesTheHostUserInformation", "smdp.example", "@127.0.0.1:443/x",
                      "Error: server path [@127.0.0.1:443/x] refused: it must be empty or begin "
                      "with '/'\n"},
        RefusedTarget{"HostWithUserInformation", "smdp.example@127.0.0.1", "/p",
                      "Error: server host [smdp.example@127.0.0.1] refused: only letters, "
                      "digits, '-' and '.' may name it\n"},
        RefusedTarget{"HostWithPort", "127.0.0.1:443", "/p",
                      "Error: server host [127.0.0.1:443] refused: only letters, digits, '-' "
                      "and '.' may name it\n"},
        RefusedTarget{"HostWithPath", "127.0.0.1/x", "/p",
                      "Error: server host [127.0.0.1/x] refused: only letters, digits, '-' and "
                      "'.' may name it\n"},
        RefusedTarget{"HostWithLineEnd", "127.0.0.1\r\nX: y", "/p",
                      "Error: server host [127.0.0.1\\x0d\\x0aX: y] refused: only letters, "
                      "digits, '-' and '.' may name it\n"},
        RefusedTarget{"NoHostLetsThePathNameOne", "", "/127.0.0.1/gsma/x",
                      "Error: server host [] refused: only letters, digits, '-' and '.' may "
                      "name it\n"},
        RefusedTarget{"PathWithQueryOnly", "127.0.0.1", "?a=b",
                      "Error: server path [?a=b] refused: it must be empty or begin with '/'\n"}),
    [](const auto &info) { return std::string(info.param.situation); });

TEST_F(HttpsRelayTest, EmptyPathGoesToTheHostsRoot) {
  HttpsTestServer server;
  server.answer(200, "abc");
  print_flag = 0;
  EXPECT_EQ(send_http(server.host().c_str(), "", kBody, 0), 1);
  expect_relay_request(server, "/");
}

struct NotificationCase {
  const char *situation;
  int status;
  int expected;
};

class NotificationRequestTest : public HttpsRelayTest,
                                public ::testing::WithParamInterface<NotificationCase> {};

TEST_P(NotificationRequestTest, OnlyTheStatusCounts) {
  const NotificationCase &c = GetParam();
  HttpsTestServer server;
  server.answer(c.status, c.status == 204 ? "" : "ignored", {{"Location", "/elsewhere"}});
  EXPECT_EQ(send_http(server.host().c_str(), "/gsma/rsp2/es9plus/handleNotification", kBody, 1),
            c.expected);
  EXPECT_STREQ(http_payload, kUntouched);
  expect_relay_request(server, "/gsma/rsp2/es9plus/handleNotification");
  // The header lines reach the log ahead of the body.
  EXPECT_NE(log_.messages().find("HTTP Response: " + std::to_string(c.status) + " [HTTP/1.1 " +
                                 std::to_string(c.status)),
            std::string::npos)
      << log_.messages();
  EXPECT_EQ(log_.messages().find("Error: "), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Statuses, NotificationRequestTest,
                         ::testing::Values(NotificationCase{"Ok", 200, 1},
                                           NotificationCase{"NoContent", 204, 1},
                                           NotificationCase{"LastSuccessStatus", 299, 1},
                                           NotificationCase{"MultipleChoices", 300, 0},
                                           NotificationCase{"RedirectNotFollowed", 302, 0},
                                           NotificationCase{"ServerError", 500, 0}),
                         [](const auto &info) { return std::string(info.param.situation); });

TEST_F(HttpsRelayTest, CertificateForAnotherHostIsAccepted) {
  HttpsTestServer server("other.example");
  server.answer(200, "abc");
  EXPECT_EQ(send_http(server.host().c_str(), "/p", kBody, 0), 1);
  EXPECT_STREQ(http_payload, "616263");
}

// What libcurl offers and negotiates on its own, with the TLS library's
// defaults and the platform's configuration, as a P-256 server sees it.
ReceivedRequest plain_libcurl_request() {
  HttpsTestServer server;
  server.answer(200, "abc");
  CURL *curl = curl_easy_init();
  curl_easy_setopt(curl, CURLOPT_URL, "https://127.0.0.1/plain");
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, "{}");
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
  curl_easy_setopt(
      curl, CURLOPT_WRITEFUNCTION, +[](char *, size_t, size_t n, void *) { return n; });
  EXPECT_EQ(curl_easy_perform(curl), CURLE_OK);
  curl_easy_cleanup(curl);
  auto requests = server.requests();
  return requests.empty() ? ReceivedRequest{} : requests[0];
}

std::string with_brainpool(const std::string &groups) {
  return groups.find("brainpoolP256r1") == std::string::npos ? groups + ":brainpoolP256r1" : groups;
}

struct ServerKeyCase {
  const char *situation;
  const char *key_type;
  bool library_without_brainpool;
  // What the connection negotiated: on OpenSSL 3.0, where a brainpool key
  // has no TLS 1.3 signature scheme, and on 3.5, whose first key share is
  // the hybrid X25519MLKEM768.
  const char *tls_3_0;
  const char *tls_3_5;
};

class ServerKeyTest : public HttpsRelayTest, public ::testing::WithParamInterface<ServerKeyCase> {
 protected:
  void TearDown() override { refuse_brainpool_groups = false; }
};

// Profile servers hold certificates on P-256 or brainpoolP256r1: both are
// reached, with what libcurl offers on its own and brainpoolP256r1 added, and
// a server either would have reached before negotiates as it did, whether or
// not the TLS library takes the group.
TEST_P(ServerKeyTest, ReachesTheServerOfferingTheLibrarysGroupsAndBrainpool) {
  const ServerKeyCase &c = GetParam();
  const ReceivedRequest plain = plain_libcurl_request();
  ASSERT_FALSE(plain.offered.empty());
  // Set by the run that gives the platform's OpenSSL configuration a Groups line.
  if (const char *platform = getenv("ESIMCTL_TEST_PLATFORM_GROUPS")) {
    EXPECT_EQ(plain.offered, platform);
  }
  HttpsTestServer server("127.0.0.1", KeyType{c.key_type});
  server.answer(200, "abc");
  refuse_brainpool_groups = c.library_without_brainpool;
  EXPECT_EQ(send_http(server.host().c_str(), "/p", kBody, 0), 1) << log_.messages();
  EXPECT_STREQ(http_payload, "616263");
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].offered,
            c.library_without_brainpool ? plain.offered : with_brainpool(plain.offered));
  if (getenv("ESIMCTL_TEST_PLATFORM_GROUPS") == nullptr) {
    EXPECT_EQ(requests[0].tls, OPENSSL_VERSION_NUMBER >= 0x30500000L ? c.tls_3_5 : c.tls_3_0);
  }
  const char fallback[] =
      "brainpoolP256r1] not taken by the TLS library: sent with its own groups\n";
  EXPECT_EQ(log_.messages().find(fallback) != std::string::npos, c.library_without_brainpool)
      << log_.messages();
  EXPECT_EQ(log_.messages().find("Error: "), std::string::npos) << log_.messages();
}

INSTANTIATE_TEST_SUITE_P(
    Keys, ServerKeyTest,
    ::testing::Values(
        ServerKeyCase{"Rsa", "rsa", false, "TLSv1.3 X25519", "TLSv1.3 X25519MLKEM768"},
        ServerKeyCase{"P256", "prime256v1", false, "TLSv1.3 X25519", "TLSv1.3 X25519MLKEM768"},
        ServerKeyCase{"Brainpool", "brainpoolP256r1", false, "TLSv1.2 X25519",
                      "TLSv1.3 X25519MLKEM768"},
        ServerKeyCase{"P256LibraryWithoutBrainpool", "prime256v1", true, "TLSv1.3 X25519",
                      "TLSv1.3 X25519MLKEM768"}),
    [](const auto &info) { return std::string(info.param.situation); });

struct ServerStatusCase {
  const char *situation;
  int notify_flag;
  int status;
  std::string body;
  std::string line;  // the entry right after "HTTP Response"; empty: none
};

class ServerStatusTest : public HttpsRelayTest,
                         public ::testing::WithParamInterface<ServerStatusCase> {};

// A refusal comes as an answer like any other: it is handed on unchanged,
// and the server's own words get one entry after the answer's.
TEST_P(ServerStatusTest, TellsTheServersRefusal) {
  const ServerStatusCase &c = GetParam();
  HttpsTestServer server;
  server.answer(c.status, c.body);
  EXPECT_EQ(send_http(server.host().c_str(), "/p", kBody, c.notify_flag), 1);
  if (c.notify_flag != 1) {
    std::string hex;
    char digits[3];
    for (unsigned char byte : c.body) {
      snprintf(digits, sizeof digits, "%02x", byte);
      hex += digits;
    }
    EXPECT_EQ(std::string(http_payload), hex) << "the answer goes to the modem unchanged";
  }
  // The entries, each without its time stamp and the log's own line end.
  static const std::regex entry_end(R"(\n(?=\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\]))");
  const std::string text = log_.text();
  std::vector<std::string> entries;
  for (std::sregex_token_iterator it(text.begin(), text.end(), entry_end, -1), end; it != end; ++it)
    entries.push_back(it->str().substr(strlen("[2026-01-01 00:00:00]")));
  if (!entries.empty() && !entries.back().empty()) entries.back().pop_back();
  size_t answer = 0;
  while (answer < entries.size() && entries[answer].rfind("HTTP Response: ", 0) != 0) ++answer;
  ASSERT_LT(answer, entries.size()) << text;
  std::vector<std::string> told;
  for (const std::string &entry : entries)
    if (entry.rfind("Server status", 0) == 0) told.push_back(entry);
  if (c.line.empty()) {
    EXPECT_TRUE(told.empty()) << text;
  } else {
    ASSERT_LT(answer + 1, entries.size()) << text;
    EXPECT_EQ(entries[answer + 1], c.line) << text;
    EXPECT_EQ(told.size(), 1u) << text;
  }
  EXPECT_EQ(text.find("Error: "), std::string::npos) << text;
}

const char kRefused[] =
    "{\"header\":{\"functionExecutionStatus\":{\"status\":\"Failed\",\"statusCodeData\":{"
    "\"subjectCode\":\"8.2.6\",\"reasonCode\":\"3.8\",\"message\":\"Refused\"}}}}";

INSTANTIATE_TEST_SUITE_P(
    Answers, ServerStatusTest,
    ::testing::Values(
        ServerStatusCase{"FailedWithCodes", 0, 200, kRefused,
                         "Server status: Failed, subject 8.2.6, reason 3.8: Refused\n"},
        ServerStatusCase{"FailedWithoutCodes", 0, 200,
                         "{\"header\":{\"functionExecutionStatus\":{\"status\":\"Failed\"}}}",
                         "Server status: Failed\n"},
        ServerStatusCase{"Success", 0, 200,
                         "{\"header\":{\"functionExecutionStatus\":{\"status\":"
                         "\"Executed-Success\"}},\"transactionId\":\"01\"}",
                         ""},
        ServerStatusCase{"WarningIsNoSuccess", 0, 200,
                         "{\"header\":{\"functionExecutionStatus\":{\"status\":"
                         "\"Executed-WithWarning\",\"statusCodeData\":{\"subjectCode\":"
                         "\"8.1\",\"reasonCode\":6}}}}",
                         "Server status: Executed-WithWarning, subject 8.1, reason : \n"},
        ServerStatusCase{"ControlBytesInTheMessage", 0, 200,
                         "{\"header\":{\"functionExecutionStatus\":{\"status\":\"Failed\\r\","
                         "\"statusCodeData\":{\"subjectCode\":\"8.2.6\",\"reasonCode\":\"3.8\","
                         "\"message\":\"no\\n[2026-01-01 00:00:00]Server status: \\u001b[2J\"}}}}",
                         "Server status: Failed\\x0d, subject 8.2.6, reason 3.8: "
                         "no\\x0a[2026-01-01 00:00:00]Server status: \\x1b[2J\n"},
        ServerStatusCase{
            "LongMessageIsCut", 0, 200,
            "{\"header\":{\"functionExecutionStatus\":{\"status\":\"Failed\","
            "\"statusCodeData\":{\"subjectCode\":\"8.2.6\",\"reasonCode\":\"3.8\","
            "\"message\":\"" +
                std::string(5000, 'm') + "\"}}}}",
            "Server status: Failed, subject 8.2.6, reason 3.8: " + std::string(256, 'm') + "\n"},
        ServerStatusCase{"NotJson", 0, 200, "Failed", ""},
        ServerStatusCase{"StatusNotText", 0, 200,
                         "{\"header\":{\"functionExecutionStatus\":{\"status\":1}}}", ""},
        ServerStatusCase{"NotificationRefusedInItsBody", 1, 200, kRefused,
                         "Server status: Failed, subject 8.2.6, reason 3.8: Refused\n"},
        ServerStatusCase{"NotificationWithoutBody", 1, 204, "", ""}),
    [](const auto &info) { return std::string(info.param.situation); });

TEST_F(HttpsRelayTest, ClosedPortFailsWithLibcurlText) {
  // No server runs: the gateway's HTTPS port is closed.
  print_flag = 0;
  EXPECT_EQ(send_http("127.0.0.1", "/p", kBody, 1), 0);
  EXPECT_STREQ(http_payload, kUntouched);
  EXPECT_EQ(log_.messages(), std::string("Error: Http request failed. ") +
                                 curl_easy_strerror(CURLE_COULDNT_CONNECT) + "\n\n");
}

TEST(CurlCallbackTest, RefusesWhatItCannotCount) {
  char bytes[] = "abc";
  EXPECT_EQ(curl_callback(bytes, 1, 3, nullptr), SIZE_MAX);
  // A count whose size times number wraps is refused, not taken as the
  // wrapped remainder.
  curl_response r{nullptr, 0, 0, false, 0};
  EXPECT_EQ(curl_callback(bytes, 3, SIZE_MAX / 3 + 1, &r), 0u);
  EXPECT_EQ(r.data, nullptr);
}

// The accumulator never holds more than its limit, whatever arrives.
TEST(CurlCallbackTest, KeepsNoMoreThanTheLimit) {
  std::string chunk(1000, 'x');
  struct Row {
    const char *situation;
    bool cut_off;
    size_t consumed_by_third;  // what the third 1000-byte delivery reports
    size_t kept;
  } rows[] = {{"an exchange answer ends the transfer", true, 0, 2000},
              {"a notification answer is read on and dropped", false, 1000, 2500}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.situation);
    curl_response r{nullptr, 0, 2500, row.cut_off, 0};
    EXPECT_EQ(curl_callback(chunk.data(), 1, 1000, &r), 1000u);
    EXPECT_EQ(curl_callback(chunk.data(), 10, 100, &r), 1000u);
    EXPECT_EQ(curl_callback(chunk.data(), 1, 1000, &r), row.consumed_by_third);
    if (!row.cut_off) {
      EXPECT_EQ(curl_callback(chunk.data(), 1, 1000, &r), 1000u);
    }
    EXPECT_EQ(r.size, row.kept);
    EXPECT_EQ(r.data[r.size], '\0');
    EXPECT_EQ(r.received, row.cut_off ? 3000u : 4000u);
    free(r.data);
  }
}

}  // namespace
