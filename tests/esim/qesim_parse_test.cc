// The QESIM reply readers on reply texts, without a modem.
#include "qesim_parse.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "globals.h"
#include "tool_state.h"

namespace {

// What the four result buffers hold.
struct Buffers {
  std::string status, path, payload, host;
};

Buffers current() {
  return {at_status, at_http_path, at_payload, at_http_ip};
}

void preset(const Buffers &b) {
  snprintf(at_status, sizeof at_status, "%s", b.status.c_str());
  snprintf(at_http_path, sizeof at_http_path, "%s", b.path.c_str());
  snprintf(at_payload, sizeof at_payload, "%s", b.payload.c_str());
  snprintf(at_http_ip, sizeof at_http_ip, "%s", b.host.c_str());
}

const Buffers kOld = {"old-status", "/old/path", "{\"old\":\"payload\"}", "old.example"};

class QesimParse : public ::testing::Test {
 protected:
  void SetUp() override { reset_tool_state(); }
  void TearDown() override { reset_tool_state(); }
  RunLogCapture log;
};

struct ResponseRow {
  const char *situation;
  std::string reply;
  int get_ip_flag;
  Buffers expected;  // starting from kOld
};

TEST_F(QesimParse, ParseAtResponseFindsEachFieldOrKeepsItsBuffer) {
  const std::string s31(31, 's'), s32(32, 's');
  const std::string p511 = "/" + std::string(510, 'p'), p512 = "/" + std::string(511, 'p');
  const std::string h255(255, 'h'), h256(256, 'h');
  const std::vector<ResponseRow> rows = {
      {"download reply with host",
       "\r\n+QESIM: \"trans\",0,\"/gsma/rsp2/es9plus/initiateAuthentication\","
       "{\"euiccChallenge\":\"AbC=\",\"smdpAddress\":\"smdp.example.com\"}\r\n\r\nOK\r\n",
       1,
       {"0", "/gsma/rsp2/es9plus/initiateAuthentication",
        "{\"euiccChallenge\":\"AbC=\",\"smdpAddress\":\"smdp.example.com\"}", "smdp.example.com"}},
      {"keyword inside a longer word on an earlier line",
       "+QESIM: \"retransmit\",7,\"/p\",{\"a\":\"h.example\"}\r\nOK\r\n",
       1,
       {"7", "/p", "{\"a\":\"h.example\"}", "h.example"}},
      {"keyword missing", "+QESIM: \"list\",0,\"/p\",{\"a\":\"h.example\"}\r\n", 1, kOld},
      {"single comma after the keyword",
       "\"trans\",0 {\"a\":\"h.example\"}",
       1,
       {kOld.status, kOld.path, "{\"a\":\"h.example\"}", "h.example"}},
      {"empty status keeps the old one",
       "\"trans\",,\"/p\",{\"a\":1}",
       0,
       {kOld.status, "/p", "{\"a\":1}", kOld.host}},
      {"empty quoted path", "\"trans\",0,\"\",{\"a\":1}", 0, {"0", "", "{\"a\":1}", kOld.host}},
      {"payload runs to the last closing brace",
       "\"trans\",0,\"/p\",{\"a\":1}\r\nx}y\r\n",
       0,
       {"0", "/p", "{\"a\":1}\r\nx}", kOld.host}},
      {"only closing brace before the opening one",
       "\"trans\",0,\"/p\"} {\"a\":1",
       0,
       {"0", "/p", kOld.payload, kOld.host}},
      {"host with a port",
       "\"trans\",0,\"/p\",{\"a\":\"b\",\"h\":\"smdp.example:8443\"}",
       1,
       {"0", "/p", "{\"a\":\"b\",\"h\":\"smdp.example:8443\"}", kOld.host}},
      {"host not asked for",
       "\"trans\",0,\"/p\",{\"h\":\"smdp.example\"}",
       0,
       {"0", "/p", "{\"h\":\"smdp.example\"}", kOld.host}},
      {"status of 31 characters",
       "\"trans\"," + s31 + ",\"/p\",{}",
       0,
       {s31, "/p", "{}", kOld.host}},
      {"status of 32 characters passed over",
       "\"trans\"," + s32 + ",\"/p\",{}",
       0,
       {kOld.status, "/p", "{}", kOld.host}},
      {"path of 511 characters",
       "\"trans\",0,\"" + p511 + "\",{}",
       0,
       {"0", p511, "{}", kOld.host}},
      {"path of 512 characters passed over",
       "\"trans\",0,\"" + p512 + "\",{}",
       0,
       {"0", kOld.path, "{}", kOld.host}},
      {"host of 255 characters",
       "\"trans\",0,\"/p\",{\"h\":\"" + h255 + "\"}",
       1,
       {"0", "/p", "{\"h\":\"" + h255 + "\"}", h255}},
      {"host of 256 characters passed over",
       "\"trans\",0,\"/p\",{\"h\":\"" + h256 + "\"}",
       1,
       {"0", "/p", "{\"h\":\"" + h256 + "\"}", kOld.host}},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.situation);
    preset(kOld);
    parse_at_response(row.reply.c_str(), "trans", row.get_ip_flag);
    Buffers got = current();
    EXPECT_EQ(got.status, row.expected.status);
    EXPECT_EQ(got.path, row.expected.path);
    EXPECT_EQ(got.payload, row.expected.payload);
    EXPECT_EQ(got.host, row.expected.host);
  }
}

TEST_F(QesimParse, ParseAtResponseLogsTheWholeReplyWhenTheKeywordIsMissing) {
  print_flag = 0;
  parse_at_response("+QESIM: \"list\",0\r\nOK", "trans", 1);
  EXPECT_EQ(log.messages(), "Error: response[+QESIM: \"list\",0\r\nOK], keyword[trans]\n\n");
}

TEST_F(QesimParse, ParseAtResponseFieldLinesFollowPrintFlag) {
  const char *reply = "\"trans\",0,\"/p\",{\"h\":\"smdp.example\"}";
  parse_at_response(reply, "trans", 1);
  EXPECT_EQ(log.messages(),
            "at_status: [0]\n\nat_http_path: [/p]\n\nat_http_ip: [smdp.example]\n\n"
            "at_payload: [{\"h\":\"smdp.example\"}]\n\n");
  print_flag = 0;
  parse_at_response(reply, "trans", 1);
  parse_at_response("\"trans\",5,\"/q\"", "trans", 1);
  EXPECT_EQ(log.messages(),
            "at_status: [0]\n\nat_http_path: [/p]\n\nat_http_ip: [smdp.example]\n\n"
            "at_payload: [{\"h\":\"smdp.example\"}]\n\n");
  EXPECT_STREQ(at_status, "5");
}

TEST_F(QesimParse, ParseAtResponseNeverWritesPastABuffer) {
  // A reply as long as a reply buffer allows, every field oversized; the
  // sanitizer build catches any write past the result buffers.
  std::string reply = "\"trans\"," + std::string(6000, '1') + ",\"" + std::string(6000, '/') +
                      "\",{\"h\":\"" + std::string(4000, 'h') + "\"}";
  reply.resize(kReplySize - 2, ' ');
  reply += "}";
  preset(kOld);
  parse_at_response(reply.c_str(), "trans", 1);
  EXPECT_EQ(std::string(at_status), kOld.status);
  EXPECT_EQ(std::string(at_http_path), kOld.path);
  EXPECT_EQ(std::string(at_http_ip), kOld.host);
  EXPECT_EQ(strlen(at_payload), reply.size() - reply.find('{'));
}

struct StatusRow {
  const char *situation;
  std::string reply;
  int code;
  std::string log;          // the whole run log the call leaves
  std::string reply_after;  // the text up to the first NUL afterwards
};

TEST_F(QesimParse, ParseAtStatusCodesLinesAndTheNulItWrites) {
  print_flag = 0;
  const std::vector<StatusRow> rows = {
      {"status 0", "+QESIM: \"download\",0\r\nOK\r\n", 0, "", "+QESIM: \"download\",0"},
      {"keyword inside a longer word", "+QESIM: \"downloaded\",0\r\n", 0, "",
       "+QESIM: \"downloaded\",0"},
      {"keyword missing", "+QESIM: \"trans\",0\r\n", -5, "Error: download response not found\n\n",
       "+QESIM: \"trans\",0\r\n"},
      {"no comma after the keyword", "+QESIM: \"download\"\r\nOK\r\n", -1,
       "Error: decode [download] , failed.\n\n", "+QESIM: \"download\"\r\nOK\r\n"},
      {"no CR after the comma", "+QESIM: \"download\",0", -3,
       "Error: decode [download] /\r failed.\n\n", "+QESIM: \"download\",0"},
      {"other status", "+QESIM: \"download\",6\r\n", -4, "Error: Failed to download, status: 6\n\n",
       "+QESIM: \"download\",6"},
      {"empty status", "+QESIM: \"download\",\r\n", -4, "Error: Failed to download, status: \n\n",
       "+QESIM: \"download\","},
      {"further fields before the CR", "+QESIM: \"download\",0,1\r\n", -4,
       "Error: Failed to download, status: 0,1\n\n", "+QESIM: \"download\",0,1"},
      {"LF-only line, CR on a later line", "\"download\",0\nOK\r\n", -4,
       "Error: Failed to download, status: 0\nOK\n\n", "\"download\",0\nOK"},
      {"LF-only lines and no CR", "\"download\",0\nOK\n", -3,
       "Error: decode [download] /\r failed.\n\n", "\"download\",0\nOK\n"},
      {"two zeros", "\"download\",00\r\n", -4, "Error: Failed to download, status: 00\n\n",
       "\"download\",00"},
      {"blank before the zero", "\"download\", 0\r\n", -4,
       "Error: Failed to download, status:  0\n\n", "\"download\", 0"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.situation);
    size_t logged_before = log.messages().size();
    std::vector<char> buffer(row.reply.begin(), row.reply.end());
    buffer.push_back('\0');
    EXPECT_EQ(parse_at_status(buffer.data(), "download"), row.code);
    EXPECT_EQ(log.messages().substr(logged_before), row.log);
    EXPECT_EQ(std::string(buffer.data()), row.reply_after);
    // Only the CR that ends the status is overwritten; the rest stays.
    size_t cut = row.reply_after.size();
    if (cut < row.reply.size()) {
      EXPECT_EQ(std::string(buffer.data() + cut + 1), row.reply.substr(cut + 1));
    }
  }
}

}  // namespace
