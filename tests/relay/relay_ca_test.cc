// The relay as built with a CA file (ESIMCTL_CA_FILE): this program defines
// the file itself, so it links the checking configuration in place of the
// default one, and every server certificate must chain to the test CA and
// name the server.
#include <curl/curl.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "globals.h"
#include "https_relay.h"
#include "https_test_server.h"
#include "test_pki.h"
#include "tool_state.h"

const char *const tls_ca_file = "/tmp/relay-ca/ca.pem";

namespace {

constexpr char kDir[] = "/tmp/relay-ca";
constexpr char kUntouched[] = "earlier answer";

class TestPki : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_EQ(curl_global_init(CURL_GLOBAL_ALL), CURLE_OK);
    mkdir(kDir, 0700);
    ASSERT_TRUE(make_test_pki(kDir));
  }
  void TearDown() override { curl_global_cleanup(); }
};
const auto *const kPki = ::testing::AddGlobalTestEnvironment(new TestPki);

// The server's certificate decides; the host is 127.0.0.1, which the good
// certificate names and the others do not, or do not vouch for.
TEST(RelayWithCaFile, OnlyACertificateOfTheCaForTheServersNamePasses) {
  struct Row {
    const char *situation;
    const char *cert;
    int result;
    const char *log;
  } rows[] = {
      {"issued by the CA for this name", "good", 1, ""},
      {"self-signed", "self-signed", 0,
       "Error: Http request failed. SSL peer certificate or SSH remote key was not OK\n\n"},
      {"issued for another name", "other-name", 0,
       "Error: Http request failed. SSL peer certificate or SSH remote key was not OK\n\n"},
      {"expired", "expired", 0,
       "Error: Http request failed. SSL peer certificate or SSH remote key was not OK\n\n"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.situation);
    reset_tool_state();
    print_flag = 0;
    snprintf(http_payload, sizeof http_payload, "%s", kUntouched);
    RunLogCapture log;
    std::string base = std::string(kDir) + "/" + row.cert;
    HttpsTestServer server(base + ".pem", base + ".key");
    server.answer(200, "abc");
    EXPECT_EQ(send_http("127.0.0.1", "/p", "{}", 0), row.result);
    EXPECT_STREQ(http_payload, row.result == 1 ? "616263" : kUntouched);
    EXPECT_EQ(log.messages(), row.log);
    EXPECT_EQ(server.requests().size(), row.result == 1 ? 1u : 0u) << "no request on a refusal";
  }
}

// Nothing of the system's certificate store counts: a server certificate
// that the store vouches for, and libcurl would take from it, is refused.
TEST(RelayWithCaFile, SystemCertificateStoreIsNotConsulted) {
  const char *store = "/etc/ssl/certs";
  // The gateway gives the test an empty store of its own (a tmpfs); it never
  // writes into a real one.
  DIR *dir = opendir(store);
  ASSERT_NE(dir, nullptr);
  int entries = 0;
  while (dirent *entry = readdir(dir)) entries += entry->d_name[0] != '.';
  closedir(dir);
  ASSERT_EQ(entries, 0) << store << " is not the gateway's scratch store";
  std::string self_signed = std::string(kDir) + "/self-signed.pem";
  std::string add = "cp " + self_signed + " " + store + "/server.pem && openssl rehash " + store;
  ASSERT_EQ(system(add.c_str()), 0);

  std::string base = std::string(kDir) + "/self-signed";
  HttpsTestServer server(base + ".pem", base + ".key");
  server.answer(200, "abc");
  // libcurl's own default folder would trust it.
  CURL *curl = curl_easy_init();
  ASSERT_NE(curl, nullptr);
  curl_easy_setopt(curl, CURLOPT_URL, "https://127.0.0.1/p");
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, "{}");
  curl_easy_setopt(curl, CURLOPT_CAINFO, tls_ca_file);
  curl_easy_setopt(curl, CURLOPT_CAPATH, store);
  curl_easy_setopt(
      curl, CURLOPT_WRITEFUNCTION, +[](char *, size_t size, size_t n, void *) { return size * n; });
  EXPECT_EQ(curl_easy_perform(curl), CURLE_OK) << "the store vouches for the server";
  curl_easy_cleanup(curl);

  reset_tool_state();
  print_flag = 0;
  RunLogCapture log;
  EXPECT_EQ(send_http("127.0.0.1", "/p", "{}", 0), 0);
  EXPECT_EQ(log.messages(),
            "Error: Http request failed. SSL peer certificate or SSH remote key was not OK\n\n");
  EXPECT_EQ(server.requests().size(), 1u) << "only the control request reached the server";
}

// A CA file that cannot be read never falls back to checking nothing.
TEST(RelayWithCaFile, MissingCaFileFailsEveryRequest) {
  reset_tool_state();
  print_flag = 0;
  std::string ca = std::string(kDir) + "/ca.pem";
  std::string away = ca + ".away";
  ASSERT_EQ(rename(ca.c_str(), away.c_str()), 0);
  RunLogCapture log;
  {
    HttpsTestServer server(std::string(kDir) + "/good.pem", std::string(kDir) + "/good.key");
    server.answer(200, "abc");
    EXPECT_EQ(send_http("127.0.0.1", "/p", "{}", 0), 0);
    EXPECT_EQ(send_http("127.0.0.1", "/p", "{}", 1), 0);
    EXPECT_TRUE(server.requests().empty());
  }
  ASSERT_EQ(rename(away.c_str(), ca.c_str()), 0);
  const std::string line =
      "Error: Http request failed. Problem with the SSL CA cert (path? access rights?)\n\n";
  EXPECT_EQ(log.messages(), line + line);
}

}  // namespace
