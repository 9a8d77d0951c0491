// The record store against a stand-in database client at the gateway's
// client path: a script that records its arguments and prints what the test
// chose. Runs inside the private gateway, where that path is writable.
#include "record_store.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "globals.h"
#include "tool_state.h"

namespace {

constexpr char kArgvFile[] = "/tmp/standin.argv";
constexpr char kOutputFile[] = "/tmp/standin.out";
constexpr char kMarker[] = "/tmp/marker";
constexpr char kFormattedSave[] = "{\n\t\"ResultCode\":\t0,\n\t\"Changes\":\t1\n}\n";

void write_file(const std::string &path, const std::string &text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

bool exists(const char *path) {
  return access(path, F_OK) == 0;
}

std::string local_time_text() {
  char text[32];
  time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

class RecordStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_tool_state();
    write_file(ESIMCTL_DB_CLIENT,
               "#!/bin/sh\n"
               "{ echo \"$#\"; for a; do printf '[%s]\\n' \"$a\"; done; } > /tmp/standin.argv\n"
               "cat /tmp/standin.out\n");
    ASSERT_EQ(chmod(ESIMCTL_DB_CLIENT, 0755), 0);
    unlink(kArgvFile);
    unlink(kMarker);
    write_file(kOutputFile, "");
  }
  void TearDown() override { unlink(ESIMCTL_DB_CLIENT); }

  // The arguments the client received, one "[arg]" line each after the count.
  std::string client_argv() const { return read_file(kArgvFile); }

  RunLogCapture log_;
  char ip_[kAtHttpIpSize] = {};
  char path_[kAtHttpPathSize] = {};
};

TEST_F(RecordStoreTest, ClientReceivesTheDatabaseAndOneStatement) {
  write_file(kOutputFile, kFormattedSave);
  std::string before = local_time_text();
  ASSERT_EQ(save_http_info(3, "89014103211118510720", "smdp.example:8443", "/gsma/rsp2/es9plus"),
            0);
  std::string after = local_time_text();
  std::string argv = client_argv();
  const std::string head =
      "2\n[" ESIMCTL_DB_FILE
      "]\n[INSERT INTO esim_http (port, iccid, http_ip, http_path, save_time) VALUES (3, "
      "\"89014103211118510720\", \"smdp.example:8443\", \"/gsma/rsp2/es9plus\", \"";
  ASSERT_EQ(argv.substr(0, head.size()), head);
  ASSERT_EQ(argv.size(), head.size() + 19 + 4);
  std::string saved = argv.substr(head.size(), 19);
  EXPECT_TRUE(before <= saved && saved <= after) << saved;
  EXPECT_EQ(argv.substr(head.size() + 19), "\")]\n");

  ASSERT_EQ(get_http_info(3, "8901", ip_, path_), -2);
  EXPECT_EQ(client_argv(), "2\n[" ESIMCTL_DB_FILE
                           "]\n[SELECT * FROM esim_http WHERE port = 3 AND iccid = \"8901\" ]\n");
  ASSERT_EQ(delete_http_info(32, "8901"), 0);
  EXPECT_EQ(client_argv(), "2\n[" ESIMCTL_DB_FILE
                           "]\n[DELETE FROM esim_http WHERE port = 32 AND iccid = \"8901\" ]\n");
}

enum class Op { kSave, kLookup, kDelete, kList };

struct OutputCase {
  const char *situation;
  Op op;
  std::string output;
  int expected;
  const char *ip;
  const char *path;
  // kList: each row as iccid|host|path|saved, rows joined by ";".
  const char *listed = "";
  const char *why = "";  // record_store_failure(): "" when the store logged its reason
};

class ClientOutputTest : public RecordStoreTest,
                         public ::testing::WithParamInterface<OutputCase> {};

TEST_P(ClientOutputTest, IsJudgedAsDocumented) {
  const OutputCase &c = GetParam();
  write_file(kOutputFile, c.output);
  switch (c.op) {
    case Op::kSave:
      EXPECT_EQ(save_http_info(1, "8901", "h", "/p"), c.expected);
      break;
    case Op::kLookup:
      EXPECT_EQ(get_http_info(1, "8901", ip_, path_), c.expected);
      EXPECT_STREQ(ip_, c.ip);
      EXPECT_STREQ(path_, c.path);
      break;
    case Op::kDelete:
      EXPECT_EQ(delete_http_info(1, "8901"), c.expected);
      break;
    case Op::kList: {
      std::string rows;
      EXPECT_EQ(list_http_info(
                    1,
                    [](const char *iccid, const char *ip, const char *path, const char *saved,
                       void *out) {
                      std::string &text = *static_cast<std::string *>(out);
                      text += (text.empty() ? "" : ";") + std::string(iccid) + "|" + ip + "|" +
                              path + "|" + saved;
                    },
                    &rows),
                c.expected);
      EXPECT_EQ(rows, c.listed);
      break;
    }
  }
  EXPECT_STREQ(record_store_failure(), c.why);
}

const std::string kRows =
    R"({"ResultCode":0,"infos":[{"port":1,"http_ip":"a.example","http_path":"/a"},)"
    R"({"port":1,"http_ip":"b.example","http_path":"/b"}]})";

INSTANTIATE_TEST_SUITE_P(
    Outputs, ClientOutputTest,
    ::testing::Values(
        OutputCase{"SaveFormattedWithFurtherMember", Op::kSave, kFormattedSave, 0, "", ""},
        OutputCase{
            "SaveCompactJson", Op::kSave, R"({"ResultCode":0,"Changes":1})", -3, "", "", "",
            "the database client's answer is not a success [{\"ResultCode\":0,\"Changes\":1}]"},
        OutputCase{"SaveResultCodeLastMember", Op::kSave, "{\n\t\"ResultCode\":\t0\n}", -3, "", "",
                   "",
                   "the database client's answer is not a success "
                   "[{\\x0a\\x09\"ResultCode\":\\x090\\x0a}]"},
        OutputCase{
            "SaveReasonInsideAValue", Op::kSave,
            "{\n\t\"ResultCode\":\t0,\n\t\"Note\":\t\"Reason: none\"\n}", -2, "", "", "",
            "the database client reported an error "
            "[{\\x0a\\x09\"ResultCode\":\\x090,\\x0a\\x09\"Note\":\\x09\"Reason: none\"\\x0a}]"},
        OutputCase{"SaveEmptyOutput", Op::kSave, "", -3, "", "", "",
                   "the database client " ESIMCTL_DB_CLIENT " gave no answer"},
        OutputCase{"LookupFirstRowWins", Op::kLookup, kRows, 0, "a.example", "/a"},
        OutputCase{"LookupRowWithoutPath", Op::kLookup,
                   R"({"ResultCode":0,"infos":[{"http_ip":"a.example"}]})", 0, "a.example", ""},
        OutputCase{"LookupHostNotText", Op::kLookup,
                   R"({"ResultCode":0,"infos":[{"http_ip":7,"http_path":"/a"}]})", 0, "", "/a"},
        OutputCase{"LookupMemberNamesInCapitals", Op::kLookup,
                   R"({"INFOS":[{"HTTP_IP":"a.example","Http_Path":"/a"}]})", 0, "a.example", "/a"},
        OutputCase{"LookupEmptyInfos", Op::kLookup, R"({"ResultCode":0,"infos":[]})", -2, "", "",
                   "", "no record for channel 1 and ICCID 8901"},
        OutputCase{"LookupNoInfos", Op::kLookup, R"({"ResultCode":0})", -2, "", "", "",
                   "the database client's answer holds no \"infos\" list"},
        OutputCase{"LookupInfosNotArray", Op::kLookup, R"({"infos":{"http_ip":"a"}})", -2, "", "",
                   "", "the database client's answer holds no \"infos\" list"},
        OutputCase{"LookupReasonInLowerCase", Op::kLookup,
                   R"({"ResultCode":1,"reason":"disk I/O error","infos":[{"http_ip":"a"}]})", -3,
                   "", ""},
        OutputCase{"LookupEmptyOutput", Op::kLookup, "", -2, "", "", "",
                   "the database client " ESIMCTL_DB_CLIENT " gave no answer"},
        OutputCase{"LookupHostOf256Characters", Op::kLookup,
                   R"({"infos":[{"http_ip":")" + std::string(256, 'h') + R"(","http_path":"/a"}]})",
                   -2, "", ""},
        OutputCase{"LookupPathOf512Characters", Op::kLookup,
                   R"({"infos":[{"http_ip":"a","http_path":"/)" + std::string(511, 'p') + R"("}]})",
                   -2, "", ""},
        OutputCase{"DeleteResultCodeOne", Op::kDelete, R"({"ResultCode":1})", 0, "", ""},
        OutputCase{"DeleteNoResultCode", Op::kDelete, R"({"Changes":1})", -4, "", "", "",
                   "the database client's answer holds no \"ResultCode\""},
        OutputCase{"DeleteReason", Op::kDelete, R"({"ResultCode":5,"Reason":"locked"})", -3, "",
                   ""},
        OutputCase{"DeleteNotJson", Op::kDelete, "Error: no such table", -2, "", "", "",
                   "the database client's answer is not JSON [Error: no such table]"},
        OutputCase{"ListTextMembers", Op::kList,
                   R"({"infos":[{"port":1,"iccid":"89882470000000000017","http_ip":"a.example",)"
                   R"("http_path":"/a","save_time":"2026-12-07 03:00:00"}]})",
                   0, "", "", "89882470000000000017|a.example|/a|2026-12-07 03:00:00"},
        OutputCase{
            "ListNumbersKeepTheirDigits", Op::kList,
            "{\n\t\"infos\":\t[{\n\t\t\"port\":\t1,\n\t\t\"iccid\":\t89445006012345678912,"
            "\n\t\t\"http_ip\":\t\"a.example\",\n\t\t\"http_path\":\t\"/a-1,2\","
            "\n\t\t\"save_time\":\t1796616978}, {\"iccid\":-1.5e3,\"http_ip\":\"q\\\"7\"}]\n}",
            0, "", "", "89445006012345678912|a.example|/a-1,2|1796616978;-1.5e3|q\"7||"},
        OutputCase{"ListMembersNeitherTextNorNumber", Op::kList,
                   R"({"infos":[{"iccid":null,"http_ip":true,"http_path":["/a"],"save_time":{}}]})",
                   0, "", "", "|||"}),
    [](const auto &info) { return std::string(info.param.situation); });

TEST_F(RecordStoreTest, LongestRecordedServerFitsTheBuffers) {
  std::string host(255, 'h'), path = "/" + std::string(510, 'p');
  write_file(kOutputFile,
             R"({"infos":[{"http_ip":")" + host + R"(","http_path":")" + path + R"("}]})");
  ASSERT_EQ(get_http_info(1, "8901", ip_, path_), 0);
  EXPECT_EQ(ip_, host);
  EXPECT_EQ(path_, path);
}

TEST_F(RecordStoreTest, ErrorMemberIsLoggedWithItsText) {
  write_file(kOutputFile, R"({"ResultCode":1,"Reason":"no such table: esim_http"})");
  print_flag = 0;
  ASSERT_EQ(delete_http_info(1, "8901"), -3);
  EXPECT_EQ(log_.messages(), "database failed [no such table: esim_http].\n\n");
}

// Output as long as the buffer or longer: the last byte of the buffer never
// takes part, so a closing brace there no longer completes the object.
TEST_F(RecordStoreTest, OutputFillingTheBufferIsCutOneByteShort) {
  const std::string object = R"({"infos":[{"http_ip":"a","http_path":"/a"}]})";
  write_file(kOutputFile, object + std::string(2047 - object.size(), ' '));
  EXPECT_EQ(get_http_info(1, "8901", ip_, path_), 0);
  write_file(kOutputFile, std::string(2047 - object.size() + 1, ' ') + object);
  EXPECT_EQ(get_http_info(1, "8901", ip_, path_), -2);

  const std::string success = "\"ResultCode\":\t0,";
  write_file(kOutputFile, std::string(1023 - success.size(), ' ') + success);
  EXPECT_EQ(save_http_info(1, "8901", "h", "/p"), 0);
  write_file(kOutputFile, std::string(1024 - success.size(), ' ') + success + "x");
  EXPECT_EQ(save_http_info(1, "8901", "h", "/p"), -3);
  write_file(kOutputFile, std::string(70000, 'x'));
  EXPECT_EQ(save_http_info(1, "8901", "h", "/p"), -3);
}

struct RefusedCase {
  const char *situation;
  const char *iccid;
  const char *ip;
  const char *path;
};

class RefusedValueTest : public RecordStoreTest,
                         public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedValueTest, NeverReachesTheShell) {
  const RefusedCase &c = GetParam();
  write_file(kOutputFile, kFormattedSave);
  size_t refusals = 1;
  EXPECT_EQ(save_http_info(1, c.iccid, c.ip, c.path), -1);
  if (strcmp(c.iccid, "8901") != 0) {
    EXPECT_EQ(get_http_info(1, c.iccid, ip_, path_), -1);
    EXPECT_EQ(delete_http_info(1, c.iccid), -1);
    refusals = 3;
  }
  EXPECT_FALSE(exists(kMarker)) << "a value ran as a command";
  EXPECT_FALSE(exists(kArgvFile)) << "the client was started";
  // One "Error: " entry per refusal, with no line end of the value's own.
  std::string log = log_.messages();
  size_t entries = 0;
  for (size_t at = 0; at < log.size(); ++entries) {
    EXPECT_EQ(log.compare(at, 7, "Error: "), 0) << log;
    size_t end = log.find('\n', at);
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(log.compare(end, 2, "\n\n"), 0) << log;
    at = end + 2;
  }
  EXPECT_EQ(entries, refusals) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Values, RefusedValueTest,
    ::testing::Values(
        RefusedCase{"IccidClosingTheShellWord", "1\";touch /tmp/marker;\"", "h", "/p"},
        RefusedCase{"IccidCommandSubstitution", "$(touch /tmp/marker)", "h", "/p"},
        RefusedCase{"IccidBackquotes", "`touch /tmp/marker`", "h", "/p"},
        RefusedCase{"IccidEscapedQuote", "89\\\"01", "h", "/p"},
        RefusedCase{"IccidSingleQuote", "8901' OR '1", "h", "/p"},
        RefusedCase{"IccidNamingAColumn", "iccid", "h", "/p"},
        RefusedCase{"IccidNamingTheRowid", "RowId", "h", "/p"},
        RefusedCase{"HostWithDollar", "8901", "h$(touch /tmp/marker)", "/p"},
        RefusedCase{"HostWithTab", "8901", "h\tx", "/p"},
        RefusedCase{"PathWithNewline", "8901", "h", "/p\n[2026-12-07 00:00:00]forged"},
        RefusedCase{"PathWithDelete", "8901", "h", "/p\x7f"}),
    [](const auto &info) { return std::string(info.param.situation); });

TEST_F(RecordStoreTest, AbsentValuesStartNoClient) {
  EXPECT_EQ(save_http_info(1, nullptr, "h", "/p"), -1);
  EXPECT_EQ(save_http_info(1, "8901", nullptr, "/p"), -1);
  EXPECT_EQ(save_http_info(1, "8901", "h", nullptr), -1);
  EXPECT_EQ(get_http_info(1, nullptr, ip_, path_), -1);
  EXPECT_EQ(get_http_info(1, "8901", nullptr, path_), -1);
  EXPECT_EQ(get_http_info(1, "8901", ip_, nullptr), -1);
  EXPECT_EQ(delete_http_info(1, nullptr), -1);
  EXPECT_FALSE(exists(kArgvFile));
}

TEST_F(RecordStoreTest, MissingClientGivesNoOutputToJudge) {
  unlink(ESIMCTL_DB_CLIENT);
  EXPECT_EQ(save_http_info(1, "8901", "h", "/p"), -3);
  EXPECT_EQ(get_http_info(1, "8901", ip_, path_), -2);
  EXPECT_EQ(delete_http_info(1, "8901"), -2);
}

TEST_F(RecordStoreTest, ShellThatCannotStartGivesMinusEleven) {
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  testing::internal::CaptureStdout();
  rlimit low = saved;
  low.rlim_cur = 64;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  // Uses up every descriptor, so popen cannot make its pipe.
  std::vector<int> taken;
  for (int fd; (fd = dup(0)) >= 0;) taken.push_back(fd);
  int ret = exec_cmd("true", 0, nullptr);
  for (int fd : taken) close(fd);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(ret, -11);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "exec cmd faild, cmd:\"true\"");
}

}  // namespace
