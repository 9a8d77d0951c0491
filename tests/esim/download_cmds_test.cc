// The download and trans commands against a scripted modem.
#include "download_cmds.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "esim_modem_fixture.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const char kChunkAck[] = "\r\n+QESIM: \"trans\",0\r\n\r\nOK\r\n";
const char kLastReply[] =
    "\r\n+QESIM: \"trans\",0,\"/gsma/rsp2/es9plus/getBoundProfilePackage\",{\"t\":\"x\"}\r\n"
    "\r\nOK\r\n";
const char kCompleted[] =
    "\r\n+QESIM: \"trans\",0,\"/gsma/rsp2/es9plus/handleNotification\",{\"n\":\"y\"}\r\n"
    "+QESIM: \"download\",0\r\n\r\nOK\r\n";

// Hex digits whose position can be read back from any cut.
std::string hex_text(size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) s += digits[(i * 7 + i / 16) % 16];
  return s;
}

std::string trans_command(size_t total, int more, int index, const std::string &chunk) {
  return "AT+QESIM=\"trans\"," + std::to_string(total) + "," + std::to_string(more) + "," +
         std::to_string(index) + "," + std::to_string(chunk.size()) + ",\"" + chunk + "\"\r\n";
}

class DownloadCmds : public EsimModemTest {};

TEST_F(DownloadCmds, DownloadSendsTheCodeAndTakesTheHostFromTheReply) {
  print_flag = 0;
  modem_.reply(
      "\r\n+QESIM: \"trans\",0,\"/gsma/rsp2/es9plus/initiateAuthentication\","
      "{\"euiccInfo1\":\"vwA=\",\"smdpAddress\":\"smdp.example.com\"}\r\n\r\nOK\r\n");
  EXPECT_EQ(send_at_download("LPA:1$smdp.example.com$MATCH-1"), 0);
  EXPECT_THAT(modem_.command_lines(),
              ElementsAre("AT+QESIM=\"download\",1,\"LPA:1$smdp.example.com$MATCH-1\"\r\n"));
  EXPECT_STREQ(at_status, "0");
  EXPECT_STREQ(at_http_path, "/gsma/rsp2/es9plus/initiateAuthentication");
  EXPECT_STREQ(at_http_ip, "smdp.example.com");
  EXPECT_TRUE(long_waits().empty()) << "the download reply is read after half a second";
  EXPECT_EQ(log_.messages(), "");
}

TEST_F(DownloadCmds, FailedDownloadExchangeKeepsTheResultBuffers) {
  snprintf(at_http_ip, sizeof at_http_ip, "kept.example");
  modem_.silence();
  EXPECT_EQ(send_at_download("LPA:1$smdp.example.com$X"), -1);
  EXPECT_THAT(log_.messages(), HasSubstr("[1]Error, download failed []\n"));
  EXPECT_THAT(log_.messages(), Not(HasSubstr("Send At Download successfully")));
  EXPECT_STREQ(at_http_ip, "kept.example");
}

TEST_F(DownloadCmds, TransCutsTheTextIntoChunksOf1400) {
  print_flag = 0;
  struct Row {
    const char *situation;
    size_t length;
    std::vector<std::vector<int>> chunks;  // continuation flag, index, chunk length
  } rows[] = {
      {"empty text", 0, {{0, 0, 0}}},
      {"exactly one chunk", 1400, {{0, 0, 1400}}},
      {"one digit more than a chunk", 1401, {{1, 0, 1400}, {0, 1, 1}}},
      {"exactly two chunks", 2800, {{1, 0, 1400}, {0, 1, 1400}}},
      {"one digit more than two chunks", 2801, {{1, 0, 1400}, {1, 1, 1400}, {0, 2, 1}}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.situation);
    size_t seen = modem_.command_lines().size();
    const std::string text = hex_text(row.length);
    std::vector<std::string> expected;
    size_t at = 0;
    for (const auto &c : row.chunks) {
      expected.push_back(trans_command(row.length, c[0], c[1], text.substr(at, c[2])));
      at += c[2];
      modem_.reply(c[0] ? kChunkAck : kLastReply);
    }
    ASSERT_EQ(send_at_trans(text.c_str(), 5, 0), 0);
    std::vector<std::string> lines = modem_.command_lines();
    EXPECT_EQ(std::vector<std::string>(lines.begin() + seen, lines.end()), expected);
    EXPECT_STREQ(at_http_path, "/gsma/rsp2/es9plus/getBoundProfilePackage");
  }
}

TEST_F(DownloadCmds, TransMovesTheLargestAnswerIn94Chunks) {
  print_flag = 0;
  const size_t length = kHttpPayloadSize - 2;  // 131070 digits
  const std::string text = hex_text(length);
  for (int i = 0; i < 93; ++i) modem_.reply(kChunkAck);
  modem_.reply(kCompleted);
  ASSERT_EQ(send_at_trans(text.c_str(), 20, 1), 0);
  std::vector<std::string> lines = modem_.command_lines();
  ASSERT_EQ(lines.size(), 94u);
  for (int i = 0; i < 94; ++i) {
    size_t at = static_cast<size_t>(i) * 1400;
    EXPECT_EQ(lines[i], trans_command(length, i < 93, i, text.substr(at, 1400))) << "chunk " << i;
  }
  EXPECT_THAT(long_waits(), ElementsAre(28));
}

TEST_F(DownloadCmds, TransWaitsForTheLastChunkOnly) {
  print_flag = 0;
  struct Row {
    const char *situation;
    size_t length;
    int at_timeout, download_flag;
    long long wait_s;
  } rows[] = {
      {"timeout 0 taken as 1", 10, 0, 0, 3},
      {"timeout 5", 2801, 5, 0, 15},
      {"download flag asks the long wait", 2801, 20, 1, 28},
      {"download flag 2 still asks the long wait", 10, 1, 2, 28},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.situation);
    for (size_t i = 0; i + 1400 < row.length; i += 1400) modem_.reply(kChunkAck);
    modem_.reply(kCompleted);
    sleep_shim_record_this_thread();
    EXPECT_EQ(send_at_trans(hex_text(row.length).c_str(), row.at_timeout, row.download_flag), 0);
    EXPECT_THAT(long_waits(), ElementsAre(row.wait_s));
  }
}

TEST_F(DownloadCmds, AFailingChunkEndsTheTransferWithItsIndex) {
  struct Row {
    const char *situation;
    int answered;  // chunks the modem answers before falling silent
    const char *line;
  } rows[] = {
      {"first chunk unanswered", 0, "Error: chan 1 send at trans[0] failed\n"},
      {"second of three unanswered", 1, "Error: chan 1 send at trans[1] failed\n"},
      {"last chunk unanswered", 2, "Error: chan 1 send at trans[2] failed\n"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.situation);
    size_t seen = modem_.command_lines().size();
    size_t logged = log_.messages().size();
    for (int i = 0; i < row.answered; ++i) modem_.reply(kChunkAck);
    modem_.silence();
    EXPECT_EQ(send_at_trans(hex_text(2801).c_str(), 5, 0), -1);
    EXPECT_EQ(modem_.command_lines().size() - seen, static_cast<size_t>(row.answered + 1));
    EXPECT_THAT(logged_since(logged), HasSubstr(row.line));
    EXPECT_THAT(logged_since(logged), Not(HasSubstr("response successfully")));
  }
}

TEST_F(DownloadCmds, CompletionTestOfTheFinalAnswer) {
  print_flag = 0;
  struct Row {
    const char *situation;
    const char *reply;
    int download_flag;
    int code;
    std::string log;
  } rows[] = {
      {"trans and download status 0", kCompleted, 1, 0, ""},
      {"trans status not 0", "+QESIM: \"trans\",3,\"/p\",{}\r\n+QESIM: \"download\",0\r\n", 1, -5,
       "Error: at_status [3], when downloading.\n\n"},
      {"download status not 0", "+QESIM: \"trans\",0,\"/p\",{}\r\n+QESIM: \"download\",2\r\n", 1,
       -6,
       "Error: Failed to download, status: 2\n\nError: goto parse_at_status download response\n\n"},
      {"no download report", "+QESIM: \"trans\",0,\"/p\",{}\r\nOK\r\n", 1, -6,
       "Error: download response not found\n\nError: goto parse_at_status download response\n\n"},
      {"flag 0 does not judge the status", "+QESIM: \"trans\",3,\"/p\",{}\r\n", 0, 0, ""},
      {"flag 2 does not judge the status", "+QESIM: \"trans\",3,\"/p\",{}\r\n", 2, 0, ""},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.situation);
    at_status[0] = '\0';
    size_t logged = log_.messages().size();
    modem_.reply(row.reply);
    EXPECT_EQ(send_at_trans("0a1b", 1, row.download_flag), row.code);
    EXPECT_EQ(logged_since(logged), row.log);
  }
}

TEST_F(DownloadCmds, ProgressLinesFollowPrintFlag) {
  modem_.reply(kChunkAck);
  modem_.reply(kLastReply);
  ASSERT_EQ(send_at_trans(hex_text(1401).c_str(), 1, 0), 0);
  std::string log = log_.messages();
  EXPECT_THAT(log, HasSubstr("length=1401\n"));
  EXPECT_THAT(log, HasSubstr("[0] finsih, leave tmp_len=1\n"));
  EXPECT_THAT(log, HasSubstr("at_trans[1] response successfully\n"));
  print_flag = 0;
  size_t logged = log.size();
  modem_.reply(kChunkAck);
  modem_.reply(kLastReply);
  ASSERT_EQ(send_at_trans(hex_text(1401).c_str(), 1, 0), 0);
  EXPECT_EQ(logged_since(logged), "");
}

}  // namespace
