// Radio preparation and release against a scripted modem.
#include "radio.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "globals.h"
#include "pty_responder.h"
#include "sleep_shim.h"
#include "tool_state.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const char kOk[] = "\r\nOK\r\n";
const char kQgmr[] = "\r\nEG25GGBR07A08M2G\r\n\r\nOK\r\n";

std::string cfun(const char *level) {
  return std::string("\r\n+CFUN: ") + level + "\r\n\r\nOK\r\n";
}
std::string eid(const char *status) {
  return std::string("\r\n+QESIM: \"eid\",") + status +
         ",\"89049032123451234512345678901234\"\r\n\r\nOK\r\n";
}

int count_sleeps(const char *call, long long us) {
  std::vector<sleep_record> recs(4096);
  int n = sleep_shim_records(recs.data(), static_cast<int>(recs.size()));
  int found = 0;
  for (int i = 0; i < n; ++i)
    if (std::string(recs[i].call) == call && recs[i].requested_us == us) ++found;
  return found;
}

// The readers esimctl-info reads the modem's own replies with: every shape
// within what esimctl relies on, never more strictly than esimctl.
TEST(ModemReplyReaders, EidFirmwareResultCodeAndEcho) {
  struct Row {
    const char *situation;
    const char *reply;
    int eid_code;          // read_eid_reply
    const char *eid;       // the EID, or the status for -2
    const char *firmware;  // null: no firmware line
    bool error_line;
  } rows[] = {
      {"the simulator's EID reply",
       "\r\n+QESIM: \"eid\",0,\"89049032000001000000000000000107\"\r\n\r\nOK\r\n", 0,
       "89049032000001000000000000000107", "+QESIM: \"eid\",0,\"89049032000001000000000000000107\"",
       false},
      {"EID unquoted", "\r\n+QESIM: \"eid\",0,89049032000001000000000000000107\r\n\r\nOK\r\n", 0,
       "89049032000001000000000000000107", "+QESIM: \"eid\",0,89049032000001000000000000000107",
       false},
      {"EID unquoted, then an unsolicited line",
       "\r\n+QESIM: \"eid\",0,89049032000001000000000000000107\r\n\r\nOK\r\n\r\n+QIND: \"SMS "
       "DONE\"\r\n",
       0, "89049032000001000000000000000107", "+QESIM: \"eid\",0,89049032000001000000000000000107",
       false},
      {"EID unquoted with spaces around it", "+QESIM: \"eid\",0,  8904903200000100 ,x\r\n", 0,
       "8904903200000100", "+QESIM: \"eid\",0,  8904903200000100 ,x", false},
      {"empty EID field: the unsolicited line behind it is not the EID",
       "\r\n+QESIM: \"eid\",0,\r\n\r\nOK\r\n\r\n+QIND: \"SMS DONE\"\r\n", -3, "",
       "+QESIM: \"eid\",0,", false},
      {"quoted EID that does not close on its line", "+QESIM: \"eid\",0,\"8904903200\r\n01\"\r\n",
       -3, "", "+QESIM: \"eid\",0,\"8904903200", false},
      {"EID status other than 0", "\r\n+QESIM: \"eid\",2,\"8904\"\r\n\r\nOK\r\n", -2, "2",
       "+QESIM: \"eid\",2,\"8904\"", false},
      {"no EID status", "\r\n+QESIM: \"eid\"\r\n\r\nOK\r\n", -1, "", "+QESIM: \"eid\"", false},
      {"the simulator's firmware reply", "\r\nSIMMODEM01R02A03_01.002.01.002\r\n\r\nOK\r\n", -1, "",
       "SIMMODEM01R02A03_01.002.01.002", false},
      {"firmware after its echoed command", "AT+QGMR\r\r\nEG25GGBR07A08M2G\r\n\r\nOK\r\n", -1, "",
       "EG25GGBR07A08M2G", false},
      {"firmware query answered ERROR", "\r\nERROR\r\n", -1, "", nullptr, true},
      {"a line that only starts like ERROR is no result code", "\r\nERRORS 2\r\n\r\nOK\r\n", -1, "",
       "ERRORS 2", false},
      {"list keyword followed by +CME ERROR", "\r\n+QESIM: \"list\"\r\n+CME ERROR: 13\r\n", -1, "",
       nullptr, true},
      {"+CMS ERROR after an answer", "\r\nX\r\n+CMS ERROR: 500\r\n", -1, "", nullptr, true},
      {"only the final result code", "\r\nOK\r\n", -1, "", nullptr, false},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.situation);
    char status[8] = "", found_eid[64] = "";
    int code = read_eid_reply(row.reply, status, sizeof status, found_eid, sizeof found_eid);
    EXPECT_EQ(code, row.eid_code);
    EXPECT_EQ(std::string(code == -2 ? status : found_eid), row.eid);
    const char *line = nullptr;
    size_t len = 0;
    bool has_firmware = read_firmware_line(row.reply, &line, &len);
    EXPECT_EQ(has_firmware, row.firmware != nullptr);
    if (has_firmware && row.firmware != nullptr) {
      EXPECT_EQ(std::string(line, len), row.firmware);
    }
    EXPECT_EQ(reply_has_error_line(row.reply), row.error_line);
  }
}

// A modem with echo on sends each command back ahead of its reply.
TEST(ModemReplyReaders, EchoOfEachCommandOfALook) {
  struct Row {
    const char *command;
    const char *reply;
    bool echoed;
  } rows[] = {
      {"AT+CFUN?\r\n", "AT+CFUN?\r\r\n+CFUN: 1\r\n\r\nOK\r\n", true},
      {"AT+QGMR\r\n", "AT+QGMR\r\r\nSIMMODEM01R02A03_01.002.01.002\r\n\r\nOK\r\n", true},
      {"AT+QESIM=\"eid\"\r\n",
       "AT+QESIM=\"eid\"\r\r\n+QESIM: \"eid\",0,\"89049032000001000000000000000107\"\r\n", true},
      {"AT+QESIM=\"list\"\r\n", "AT+QESIM=\"list\"\r\r\n+QESIM: \"list\",0,0\r\n\r\nOK\r\n", true},
      {"AT+QESIM=\"ntf_list\",0\r\n",
       "AT+QESIM=\"ntf_list\",0\r\r\n+QESIM: \"ntf_list\",0\r\n\r\nOK\r\n", true},
      {"AT+QESIM=\"ntf_list\",0\r\n", "\r\nAT+QESIM=\"ntf_list\",0\r\n", true},
      {"AT+CFUN?\r\n", "\r\n+CFUN: 1\r\n\r\nOK\r\n", false},
      {"AT+QESIM=\"ntf_list\",0\r\n", "\r\n+QESIM: \"ntf_list\",0\r\n\r\nOK\r\n", false},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.reply);
    EXPECT_EQ(reply_echoes_command(row.reply, row.command), row.echoed);
  }
}

class RadioTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_tool_state();
    use_device_dir(dir_.path());
    chan_id = 4;
    sleep_shim_set_factor(0.02);
    sleep_shim_record_this_thread();
  }
  void TearDown() override { reset_tool_state(); }

  TempDir dir_;
  PtyResponder modem_{dir_.path() + "/4"};
  RunLogCapture log_;
};

TEST_F(RadioTest, FullFunctionIsRequestedOnlyForLevelZero) {
  struct Row {
    const char *situation;
    std::string cfun_reply;
    bool requests_full_function;
  } rows[] = {
      {"level 1", cfun("1"), false},
      {"level 4", cfun("4"), false},
      {"level 0", cfun("0"), true},
      {"text that is no number", "\r\n+CFUN: x\r\n\r\nOK\r\n", true},
      {"echoed query comes first", "AT+CFUN?\r\r\n+CFUN: 1\r\n\r\nOK\r\n", true},
      {"no CFUN in the reply", kOk, false},
      {"reply ends right after CFUN", "\r\n+CFUN", true},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.situation);
    reset_tool_state();
    use_device_dir(dir_.path());
    chan_id = 4;
    size_t before = modem_.command_lines().size();
    modem_.reply(row.cfun_reply);
    modem_.reply(kQgmr);
    if (row.requests_full_function) modem_.reply(kOk);
    modem_.reply(eid("0"));
    sleep_shim_record_this_thread();
    send_prev_at();
    std::vector<std::string> sent = modem_.command_lines();
    sent.erase(sent.begin(), sent.begin() + static_cast<long>(before));
    std::vector<std::string> expected = {"AT+CFUN?\r\n", "AT+QGMR\r\n"};
    if (row.requests_full_function) expected.push_back("AT+CFUN=1\r\n");
    expected.push_back("AT+QESIM=\"eid\"\r\n");
    EXPECT_EQ(sent, expected);
    EXPECT_EQ(count_sleeps("sleep", 4000000), row.requests_full_function ? 1 : 0);
  }
}

TEST_F(RadioTest, EidStatusOtherThanZeroGivesExactlyOneRecoveryPass) {
  struct Row {
    const char *situation;
    const char *first, *second;
    bool recovers;
  } rows[] = {
      {"status 0", "0", nullptr, false},   {"status 1 once", "1", "0", true},
      {"status 1 always", "1", "1", true}, {"blank before the zero", " 0", "0", true},
      {"two zeros", "00", "00", true},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.situation);
    reset_tool_state();
    use_device_dir(dir_.path());
    chan_id = 4;
    size_t before = modem_.command_lines().size();
    modem_.reply(cfun("1"));
    modem_.reply(kQgmr);
    modem_.reply(eid(row.first));
    if (row.recovers) {
      modem_.reply(kOk);
      modem_.reply(kOk);
      modem_.reply(eid(row.second));
    }
    sleep_shim_record_this_thread();
    send_prev_at();
    std::vector<std::string> sent = modem_.command_lines();
    sent.erase(sent.begin(), sent.begin() + static_cast<long>(before));
    std::vector<std::string> expected = {"AT+CFUN?\r\n", "AT+QGMR\r\n", "AT+QESIM=\"eid\"\r\n"};
    if (row.recovers) {
      for (const char *c : {"AT+CFUN=0\r\n", "AT+CFUN=1\r\n", "AT+QESIM=\"eid\"\r\n"})
        expected.push_back(c);
      EXPECT_EQ(count_sleeps("sleep", 1000000), 1);
      EXPECT_EQ(count_sleeps("sleep", 4000000), 1);
    }
    EXPECT_EQ(sent, expected);
    EXPECT_THAT(log_.messages(), Not(HasSubstr("Not find")));
  }
}

TEST_F(RadioTest, EidMalformedRepliesEndWithTheirLine) {
  struct Row {
    const char *situation;
    const char *reply;
    const char *line;
  } rows[] = {
      {"no comma after eid", "\r\n+QESIM: \"eid\"\r\n", "Not find eid comma\n"},
      {"no second comma", "\r\n+QESIM: \"eid\",0\r\n\r\nOK\r\n", "Not find eid comma value\n"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.situation);
    modem_.reply(cfun("1"));
    modem_.reply(kQgmr);
    modem_.reply(row.reply);
    send_prev_at();
    EXPECT_THAT(log_.messages(), HasSubstr(row.line));
  }
}

TEST_F(RadioTest, LateEidBurstIsPickedUpByAnExtraRead) {
  sleep_shim_set_factor(0.05);
  modem_.reply(cfun("1"));
  modem_.reply(kQgmr);
  // The first burst ends the exchange; the EID line follows 5 s later.
  modem_.reply(Reply{{0, "\r\nOK\r\n", 1}, {5000, eid("0"), 1}});
  send_prev_at();
  EXPECT_THAT(log_.messages(), Not(HasSubstr("Not find")));
  EXPECT_GE(count_sleeps("sleep", 1000000), 1);
  EXPECT_LE(count_sleeps("sleep", 1000000), 4);
  EXPECT_EQ(modem_.command_lines().size(), 3u);
}

TEST_F(RadioTest, NoDeviceEndsWithNotFindEidAfterTwentyExtraReads) {
  chan_id = 5;  // nothing published there
  send_prev_at();
  EXPECT_EQ(count_sleeps("sleep", 1000000), 20);
  EXPECT_THAT(log_.messages(), HasSubstr("Error: open serial failed module [5]\n"));
  EXPECT_THAT(log_.messages(), HasSubstr("Not find eid\n"));
}

TEST_F(RadioTest, ExtraReadThatFillsTheBufferStaysTerminated) {
  modem_.reply(cfun("1"));
  modem_.reply(kQgmr);
  modem_.reply(Reply{{0, "\r\nOK\r\n", 1}, {3000, std::string(kReplySize + 100, 'z'), 1}});
  send_prev_at();
  EXPECT_THAT(log_.messages(), HasSubstr("Not find eid\n"));
}

TEST_F(RadioTest, RadioOffNeedsOk) {
  struct Row {
    const char *situation;
    Reply reply;
    int result;
    const char *line;
  } rows[] = {
      {"OK", {{0, kOk, 1}}, 0, "eSIM CFUN 4 successfully\n"},
      {"OK among other text",
       {{0, "\r\n+QIND: x\r\n\r\nOK\r\n", 1}},
       0,
       "eSIM CFUN 4 successfully\n"},
      {"ERROR", {{0, "\r\nERROR\r\n", 1}}, -1, "Error: AT+CFUN=4 response\n"},
      {"silence", {}, -1, "Error: Failed to execute disable eSIM command\n"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.situation);
    modem_.reply(row.reply);
    EXPECT_EQ(send_at_cfun_max(), row.result);
    EXPECT_THAT(log_.messages(), HasSubstr(row.line));
    EXPECT_EQ(modem_.command_lines().back(), "AT+CFUN=4\r\n");
  }
}

TEST_F(RadioTest, ReleaseSetsFullFunction) {
  modem_.reply(kOk);
  send_end_at();
  EXPECT_THAT(modem_.command_lines(), ElementsAre("AT+CFUN=1\r\n"));
  EXPECT_THAT(log_.messages(), HasSubstr("Send End AT\n"));
}

}  // namespace
