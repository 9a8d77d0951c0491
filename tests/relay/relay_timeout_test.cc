// Takes the real 30 s of the relay's transfer limit; kept apart so that the
// other relay tests stay fast.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "globals.h"
#include "https_relay.h"
#include "tool_state.h"

// While set, libcurl presents itself as built on another TLS library, whose
// context esimctl does not touch, and that library takes 20 s to refuse a
// group list naming brainpoolP256r1.
bool slow_foreign_library = false;

extern "C" curl_version_info_data *curl_version_info(CURLversion age) {
  using Info = curl_version_info_data *(*)(CURLversion);
  static const auto real = reinterpret_cast<Info>(dlsym(RTLD_NEXT, "curl_version_info"));
  static curl_version_info_data foreign;
  curl_version_info_data *info = real(age);
  if (!slow_foreign_library) return info;
  foreign = *info;
  foreign.ssl_version = "GnuTLS/3.7.9";
  return &foreign;
}

extern "C" long SSL_CTX_ctrl(SSL_CTX *ctx, int cmd, long larg, void *parg) {
  using Ctrl = long (*)(SSL_CTX *, int, long, void *);
  static const auto real = reinterpret_cast<Ctrl>(dlsym(RTLD_NEXT, "SSL_CTX_ctrl"));
  if (slow_foreign_library && cmd == SSL_CTRL_SET_GROUPS_LIST && parg != nullptr &&
      strstr(static_cast<const char *>(parg), "brainpool") != nullptr) {
    sleep(20);
    return 0;
  }
  return real(ctx, cmd, larg, parg);
}

struct TimeoutCase {
  const char *situation;
  bool slow_foreign_library;
};

class RelayTimeoutTest : public ::testing::TestWithParam<TimeoutCase> {};

// A request takes at most its 30 s, also when the first try of a TLS library
// that refuses the group list took most of them.
TEST_P(RelayTimeoutTest, SilentServerEndsAfterThirtySeconds) {
  const TimeoutCase &c = GetParam();
  slow_foreign_library = c.slow_foreign_library;
  ASSERT_EQ(curl_global_init(CURL_GLOBAL_ALL), CURLE_OK);
  reset_tool_state();
  RunLogCapture log;
  // Listens but never accepts: the connection opens, the TLS handshake never ends.
  int sock = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(443);  // the gateway's own loopback: the test has its own network
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(sock, 4), 0);
  std::string host = "127.0.0.1";
  snprintf(http_payload, sizeof http_payload, "before");
  print_flag = 0;

  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(send_http(host.c_str(), "/p", "{}", 0), 0);
  auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  close(sock);
  curl_global_cleanup();

  EXPECT_GE(seconds, 29.0);
  EXPECT_LT(seconds, 40.0);
  EXPECT_STREQ(http_payload, "before");
  slow_foreign_library = false;
  EXPECT_EQ(log.messages(), "Error: Http request failed. Timeout was reached\n\n");
}

INSTANTIATE_TEST_SUITE_P(Servers, RelayTimeoutTest,
                         ::testing::Values(TimeoutCase{"Silent", false},
                                           TimeoutCase{"SilentAfterASlowRefusalOfTheGroups", true}),
                         [](const auto &info) { return std::string(info.param.situation); });
