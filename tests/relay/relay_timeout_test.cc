// Takes the real 30 s of the relay's transfer limit; kept apart so that the
// other relay tests stay fast.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "globals.h"
#include "https_relay.h"
#include "tool_state.h"

TEST(RelayTimeoutTest, SilentServerEndsAfterThirtySeconds) {
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
  EXPECT_EQ(log.messages(), "Error: Http request failed. Timeout was reached\n\n");
}
