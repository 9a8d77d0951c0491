// The notification commands against a scripted modem.
#include "notification_cmds.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "esim_modem_fixture.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

const std::string kNoReply = "Error: chan 1 AT response failed.\n\n";
const std::string kListLatest = "AT+QESIM=\"ntf_list\",3\r\n";
const std::string kListAll = "AT+QESIM=\"ntf_list\",0\r\n";
const std::string kIccid = "89860012345678901234";
const std::string kOther = "89860099999999999999";
const std::string kListHead = "\r\n+QESIM: \"ntf_list\",0\r\n";
const std::string kTail = "\r\nOK\r\n";

// A listed notification whose sequence number is followed by more fields.
std::string ntf(const std::string &seq, const std::string &iccid) {
  return "+QESIM: 0," + seq + ",\"" + iccid + "\",2\r\n";
}

// Each pending notification of a selector-0 list as "seq:iccid" ("-" when
// its ICCID cannot be read), joined by ";".
void add_listed(const char *seq, size_t seq_len, const char *iccid, size_t iccid_len,
                const char *line, void *context) {
  auto *listed = static_cast<std::string *>(context);
  if (!listed->empty()) *listed += ";";
  *listed +=
      std::string(seq, seq_len) + ":" + (iccid != nullptr ? std::string(iccid, iccid_len) : "-");
  EXPECT_EQ(strpbrk(line, "\r\n"), nullptr) << "a line ends at its line end";
}

// What esimctl-info lists as pending: every line but the status line with a
// sequence number read as the removal reads it; the ICCID quoted or not.
TEST(ListedNotifications, EachLineWithASequenceNumberAndItsIccid) {
  struct Row {
    const char *situation;
    std::string reply;
    int code;
    std::string listed;
  } rows[] = {
      {"the simulator's empty list", kListHead + kTail, 0, ""},
      {"ICCID quoted after the sequence number", kListHead + ntf("11", kIccid) + kTail, 1,
       "11:" + kIccid},
      {"ICCID unquoted",
       "\r\n+QESIM: \"ntf_list\",0\r\n+QESIM: \"ntf_list\",5,89445006012345678912,2\r\n\r\nOK\r\n",
       1, "5:89445006012345678912"},
      {"sequence number last, ICCID first",
       "\r\n+QESIM: \"ntf_list\",0\r\n+QESIM: \"89445006012345678912\",5\r\n\r\nOK\r\n", 1,
       "5:89445006012345678912"},
      {"ICCID glued to other text is not read, yet the line is listed",
       "\r\n+QESIM: \"ntf_list\",0\r\n+QESIM: \"ntf\",6,\"89445006012345678912x\",\"delete\"\r\n"
       "\r\nOK\r\n",
       1, "6:-"},
      {"several, in list order",
       kListHead + ntf("11", kIccid) + ntf("5", kOther) + ntf("12", kIccid) + kTail, 3,
       "11:" + kIccid + ";5:" + kOther + ";12:" + kIccid},
      {"an unsolicited line after the reply is no notification",
       kListHead + ntf("11", kIccid) + kTail + "\r\n+QIND: \"csq\",20,99\r\n", 1, "11:" + kIccid},
      {"an unsolicited registration line among the notifications",
       kListHead + "+CREG: 1,5\r\n" + ntf("11", kIccid) + kTail, 1, "11:" + kIccid},
      {"status other than 0 lists nothing",
       "\r\n+QESIM: \"ntf_list\",1\r\n" + ntf("11", kIccid) + kTail, -2, ""},
      {"no status", ntf("11", kIccid) + kTail, -2, ""},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.situation);
    std::string listed;
    const std::string reply = row.reply;
    EXPECT_EQ(for_each_listed_notification(row.reply.c_str(), add_listed, &listed), row.code);
    EXPECT_EQ(listed, row.listed);
    EXPECT_EQ(row.reply, reply);
  }
}

class NotificationCmds : public EsimModemTest {
 protected:
  std::vector<std::string> commands_since(size_t seen) {
    std::vector<std::string> lines = modem_.command_lines();
    return std::vector<std::string>(lines.begin() + seen, lines.end());
  }
};

TEST_F(NotificationCmds, ListDeleteTakesTheLastLineAndListTheFirst) {
  print_flag = 0;
  const std::string reply =
      kListHead + ntf("11", kIccid) + ntf("5", kOther) + ntf("12", kIccid) + kTail;
  modem_.reply(reply);
  modem_.reply(reply);
  EXPECT_EQ(send_at_ntf_list_delete(kIccid.c_str()), 0);
  EXPECT_STREQ(req_id, "12");
  char first[kReqIdSize] = {};
  EXPECT_EQ(send_at_ntf_list(kIccid.c_str(), first, sizeof first), 0);
  EXPECT_STREQ(first, "11");
  EXPECT_THAT(modem_.command_lines(), ElementsAre(kListLatest, kListAll));
  EXPECT_THAT(long_waits(), ElementsAre(9)) << "selector 3 is read after half a second";
  EXPECT_EQ(log_.messages(), "");
}

TEST_F(NotificationCmds, SequenceNumberRulesOfTheTwoLists) {
  print_flag = 0;
  const std::string not_found = "Error: Notification for specified ICCID not found\n\n";
  struct Row {
    const char *situation;
    std::string reply;
    std::string iccid;
    const char *latest;  // req_id after send_at_ntf_list_delete; nullptr: refused
    const char *all;     // req_id after send_at_ntf_list; nullptr: refused
  } rows[] = {
      {"sequence number ended by the line end", kListHead + "+QESIM: " + kIccid + ",12\r\n" + kTail,
       kIccid, "12", nullptr},
      {"15 characters", kListHead + ntf("123456789012345", kIccid) + kTail, kIccid,
       "123456789012345", "123456789012345"},
      {"16 characters", kListHead + ntf("1234567890123456", kIccid) + kTail, kIccid, nullptr,
       nullptr},
      {"ICCID inside the first 23 characters", "\"ntf_list\",0\r\n" + kIccid + ",5,x\r\n", kIccid,
       nullptr, "5"},
      {"no line names the ICCID", kListHead + ntf("7", kOther) + kTail, kIccid, nullptr, nullptr},
      {"empty ICCID matches nothing", kListHead + ntf("7", kOther) + kTail, "", nullptr, nullptr},
      {"no comma behind the ICCID", kListHead + "+QESIM: " + kIccid + "\r\n" + kTail, kIccid,
       nullptr, nullptr},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.situation);
    snprintf(req_id, sizeof req_id, "old");
    size_t logged = log_.messages().size();
    modem_.reply(row.reply);
    EXPECT_EQ(send_at_ntf_list_delete(row.iccid.c_str()), row.latest ? 0 : -1);
    EXPECT_STREQ(req_id, row.latest ? row.latest : "old");
    EXPECT_EQ(logged_since(logged), row.latest ? "" : not_found);

    char out[kReqIdSize] = "old";
    logged = log_.messages().size();
    modem_.reply(row.reply);
    EXPECT_EQ(send_at_ntf_list(row.iccid.c_str(), out, sizeof out), row.all ? 0 : -1);
    EXPECT_STREQ(out, row.all ? row.all : "old");
    EXPECT_EQ(logged_since(logged), "") << "the list loop learns silently that none is left";
  }
}

TEST_F(NotificationCmds, ListCapacityIsTheCallers) {
  print_flag = 0;
  const std::string reply = kListHead + ntf("1234", kIccid) + kTail;
  struct Row {
    int capacity;
    int code;
  } rows[] = {{5, 0}, {4, -1}, {0, -1}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.capacity);
    modem_.reply(reply);
    char out[kReqIdSize] = "old";
    EXPECT_EQ(send_at_ntf_list(kIccid.c_str(), out, row.capacity), row.code);
    EXPECT_STREQ(out, row.code == 0 ? "1234" : "old");
  }
  EXPECT_EQ(send_at_ntf_list(kIccid.c_str(), nullptr, 16), -1);
  EXPECT_EQ(modem_.command_lines().size(), 3u) << "no buffer, no command";
}

TEST_F(NotificationCmds, BadListStatusProbesTheRadioOnlyForSelector3) {
  print_flag = 0;
  const std::string refused = "\r\n+QESIM: \"ntf_list\",1\r\n\r\nOK\r\n";
  const std::string status_lines =
      "Error: Failed to ntf_list, status: 1\n\nError: goto parse_at_status ntf_list response\n\n";

  modem_.reply(refused);
  modem_.reply("\r\n+CFUN: 4\r\n\r\nOK\r\n");
  EXPECT_EQ(send_at_ntf_list_delete(kIccid.c_str()), -1);
  EXPECT_THAT(modem_.command_lines(), ElementsAre(kListLatest, "AT+CFUN?\r\n"));
  EXPECT_THAT(long_waits(), ElementsAre(3));
  EXPECT_EQ(log_.messages(), status_lines + "Error: resp [\r\n+CFUN: 4\r\n\r\nOK\r\n]\n\n");

  size_t logged = log_.messages().size();
  modem_.reply(refused);
  modem_.silence();
  EXPECT_EQ(send_at_ntf_list_delete(kIccid.c_str()), -1);
  EXPECT_EQ(logged_since(logged), status_lines + kNoReply +
                                      "Error: Failed to execute notification list command\n\n"
                                      "Error: resp []\n\n");

  size_t seen = modem_.command_lines().size();
  logged = log_.messages().size();
  modem_.reply(refused);
  char out[kReqIdSize] = "old";
  EXPECT_EQ(send_at_ntf_list(kIccid.c_str(), out, sizeof out), -1);
  EXPECT_THAT(commands_since(seen), ElementsAre(kListAll));
  EXPECT_EQ(logged_since(logged), status_lines);
  EXPECT_STREQ(out, "old");
}

TEST_F(NotificationCmds, SilentListFailsBothLists) {
  print_flag = 0;
  const std::string line = kNoReply + "Error: Failed to execute notification list command\n\n";
  modem_.silence();
  snprintf(req_id, sizeof req_id, "old");
  EXPECT_EQ(send_at_ntf_list_delete(kIccid.c_str()), -1);
  EXPECT_EQ(log_.messages(), line);
  modem_.silence();
  EXPECT_EQ(send_at_ntf_list(kIccid.c_str(), req_id, sizeof req_id), -1);
  EXPECT_EQ(log_.messages(), line + line);
  EXPECT_STREQ(req_id, "old");
  EXPECT_THAT(modem_.command_lines(), ElementsAre(kListLatest, kListAll)) << "no probe";
}

TEST_F(NotificationCmds, GetWrapsTheNotificationOrKeepsThePayload) {
  print_flag = 0;
  const std::string parse_failed = "Error: Failed to parse notification data\n\n";
  struct Row {
    const char *situation;
    const char *reply;    // nullptr: the modem stays silent
    const char *payload;  // http_payload afterwards; nullptr: unchanged
    std::string log;
  } rows[] = {
      {"status 0 with data", "\r\n+QESIM: \"ntf_get\",0,\"MIIBvzCB\"\r\n\r\nOK\r\n",
       "{\"pendingNotification\":\"MIIBvzCB\"}", ""},
      {"status 0 with empty data", "\r\n+QESIM: \"ntf_get\",0,\"\"\r\n\r\nOK\r\n",
       "{\"pendingNotification\":\"\"}", ""},
      {"status 6", "\r\n+QESIM: \"ntf_get\",6,\"\"\r\n", nullptr,
       "Error: Failed to get notification data, status: 6\n\n"},
      {"status 0 with no comma after it", "\r\n+QESIM: \"ntf_get\",0", nullptr, parse_failed},
      {"no get keyword", "\r\n+QESIM: \"ntf_list\",0,\"MIIB\"\r\n", nullptr, parse_failed},
      {"data not quoted", "\r\n+QESIM: \"ntf_get\",0,MIIB\r\n", nullptr, parse_failed},
      {"data without closing quote", "\r\n+QESIM: \"ntf_get\",0,\"MIIB\r\n", nullptr, parse_failed},
      {"no reply", nullptr, nullptr,
       kNoReply + "Error: Failed to execute notification get command\n\n"},
  };
  snprintf(req_id, sizeof req_id, "12");
  for (const Row &row : rows) {
    SCOPED_TRACE(row.situation);
    snprintf(http_payload, sizeof http_payload, "previous");
    size_t seen = modem_.command_lines().size();
    size_t logged = log_.messages().size();
    sleep_shim_record_this_thread();
    if (row.reply) {
      modem_.reply(row.reply);
    } else {
      modem_.silence();
    }
    EXPECT_EQ(send_at_ntf_get(), row.payload ? 0 : -1);
    EXPECT_STREQ(http_payload, row.payload ? row.payload : "previous");
    EXPECT_EQ(logged_since(logged), row.log);
    EXPECT_THAT(commands_since(seen), ElementsAre("AT+QESIM=\"ntf_get\",12\r\n"));
    EXPECT_THAT(long_waits(), ElementsAre(6));
  }
}

TEST_F(NotificationCmds, GetCarriesALongNotificationWhole) {
  print_flag = 0;
  const std::string data(16000, 'A');
  snprintf(req_id, sizeof req_id, "3");
  modem_.reply("+QESIM: \"ntf_get\",0,\"" + data + "\"\r\n");
  ASSERT_EQ(send_at_ntf_get(), 0);
  EXPECT_EQ(std::string(http_payload), "{\"pendingNotification\":\"" + data + "\"}");
}

TEST_F(NotificationCmds, DeleteSendsTheSequenceNumberUnquoted) {
  print_flag = 0;
  struct Row {
    const char *situation;
    const char *reply;  // nullptr: the modem stays silent
    int code;
    std::string log;
  } rows[] = {
      {"status 0", "\r\n+QESIM: \"ntf_delete\",0\r\n\r\nOK\r\n", 0, ""},
      {"status 2", "\r\n+QESIM: \"ntf_delete\",2\r\n", -1,
       "Error: Failed to ntf_delete, status: 2\n\n"
       "Error: goto parse_at_status ntf_delete response\n\n"},
      {"no reply", nullptr, -1, kNoReply + "Error: Failed to execute ntf_delete command\n\n"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.situation);
    size_t seen = modem_.command_lines().size();
    size_t logged = log_.messages().size();
    sleep_shim_record_this_thread();
    if (row.reply) {
      modem_.reply(row.reply);
    } else {
      modem_.silence();
    }
    EXPECT_EQ(send_at_ntf_delete("12"), row.code);
    EXPECT_EQ(logged_since(logged), row.log);
    EXPECT_THAT(commands_since(seen), ElementsAre("AT+QESIM=\"ntf_delete\",12\r\n"));
    EXPECT_THAT(long_waits(), ElementsAre(3));
  }
}

TEST_F(NotificationCmds, ASequenceNumberThatWouldSplitTheCommandIsNotSent) {
  print_flag = 0;
  EXPECT_EQ(send_at_ntf_delete("1\r\nAT+CFUN=0"), -1);
  EXPECT_EQ(send_at_ntf_delete(std::string(300, '1').c_str()), -1);
  snprintf(req_id, sizeof req_id, "4\r\nAT+CFUN=0");
  EXPECT_EQ(send_at_ntf_get(), -1);
  EXPECT_TRUE(modem_.command_lines().empty());
  EXPECT_EQ(log_.messages(),
            "Error: Failed to execute ntf_delete command\n\n"
            "Error: Failed to execute ntf_delete command\n\n"
            "Error: Failed to execute notification get command\n\n");
}

TEST_F(NotificationCmds, ProgressLinesFollowPrintFlag) {
  const std::string list = kListHead + ntf("12", kIccid) + kTail;
  auto run_all = [&] {
    modem_.reply(list);
    modem_.reply("+QESIM: \"ntf_get\",0,\"MIIB\"\r\n");
    modem_.reply(list);
    modem_.reply("+QESIM: \"ntf_delete\",0\r\n");
    ASSERT_EQ(send_at_ntf_list_delete(kIccid.c_str()), 0);
    ASSERT_EQ(send_at_ntf_get(), 0);
    ASSERT_EQ(send_at_ntf_list(kIccid.c_str(), req_id, sizeof req_id), 0);
    ASSERT_EQ(send_at_ntf_delete(req_id), 0);
  };
  run_all();
  std::string log = log_.messages();
  for (const char *line :
       {"Getting notification list\n", "Found req_id from last match: 12\n",
        "Getting notification data, req_id: 12\n", "Notification data prepared\n",
        "Found req_id: 12\n", "Deleting ntf req_id: 12\n", "eSIM ntf_delete [12] successfully\n"}) {
    EXPECT_THAT(log, HasSubstr(line));
  }
  print_flag = 0;
  run_all();
  EXPECT_EQ(logged_since(log.size()), "");
}

}  // namespace
