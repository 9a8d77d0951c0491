// Profile list, disable and delete: the ICCID rule on list texts, and the
// commands against a scripted modem.
#include "profile_cmds.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "esim_modem_fixture.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

// What the exchange itself logs when the modem stays silent.
const std::string kNoReply = "Error: chan 1 AT response failed.\n\n";

const char kIccid15[] = "898600123456789";
const char kIccid19[] = "8986001234567890123";
const char kIccid20[] = "89860012345678901234";

// One list line for `quoted`, in the modem's shape.
std::string entry(const std::string &quoted) {
  return "+QESIM: \"" + quoted + "\",1,\"Op\"\r\n";
}

struct IccidRow {
  const char *situation;
  std::string reply;
  size_t buffer_size;
  int code;
  std::string iccid;  // the buffer afterwards; it starts as "unchanged"
};

TEST(GetLastIccidFromList, AppliesTheIccidRuleLineByLine) {
  const std::string start = "unchanged";
  const std::vector<IccidRow> rows = {
      {"last of several ICCIDs", entry(kIccid20) + entry(kIccid15) + "\r\nOK\r\n", 21, 0, kIccid15},
      {"15 characters", entry(kIccid15), 21, 0, kIccid15},
      {"20 characters", entry(kIccid20), 21, 0, kIccid20},
      {"14 characters", entry("89860012345678"), 21, -1, start},
      {"21 characters", entry("898600123456789012345"), 21, -1, start},
      {"21 characters after a good one", entry(kIccid15) + entry("898600123456789012345"), 21, 0,
       kIccid15},
      {"F padding", entry("8986001234567890123F"), 21, 0, "8986001234567890123F"},
      {"f padding inside", entry("89860f1234567890123"), 21, 0, "89860f1234567890123"},
      {"another letter fails the line", entry(kIccid15) + entry("8986001234567890A23"), 21, 0,
       kIccid15},
      {"F as the first character", entry("F986001234567890123"), 21, -1, start},
      {"first quoted text not a digit", "+QESIM: \"list\",\"" + std::string(kIccid20) + "\"\r\n",
       21, -1, start},
      {"closing quote on a later line", "+QESIM: \"89860012345678\r\n90\",1\r\n", 21, -1, start},
      {"CR only", "\"" + std::string(kIccid20) + "\"\r\"" + kIccid15 + "\"\r", 21, 0, kIccid15},
      {"LF only", "\"" + std::string(kIccid15) + "\"\n\"" + kIccid20 + "\"\n", 21, 0, kIccid20},
      {"blank lines between", entry(kIccid20) + "\r\n\n\r\r\n" + entry(kIccid19) + "\n\n", 21, 0,
       kIccid19},
      {"20 characters into 21 bytes", entry(kIccid19) + entry(kIccid20), 21, 0, kIccid20},
      {"too long for the buffer keeps the earlier one", entry(kIccid19) + entry(kIccid20), 20, 0,
       kIccid19},
      {"nothing fits a small buffer", entry(kIccid15), 15, -1, start},
      {"empty reply", "", 21, -1, start},
      {"no ICCID", "\r\n+QESIM: \"list\",0\r\n\r\nOK\r\n", 21, -1, start},
      {"no line end at all", "+QESIM: \"" + std::string(kIccid20) + "\"", 21, 0, kIccid20},
      {"buffer size 0", entry(kIccid15), 0, -1, start},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.situation);
    char buffer[32] = "unchanged";
    EXPECT_EQ(get_last_iccid_from_list(row.reply.c_str(), buffer, row.buffer_size), row.code);
    EXPECT_EQ(std::string(buffer), row.iccid);
  }
}

TEST(GetLastIccidFromList, RefusesMissingArgumentsAndLeavesTheReplyAlone) {
  char buffer[21] = "";
  EXPECT_EQ(get_last_iccid_from_list(nullptr, buffer, sizeof buffer), -1);
  EXPECT_EQ(get_last_iccid_from_list(entry(kIccid15).c_str(), nullptr, 21), -1);
  const std::string reply = entry(kIccid15) + entry(kIccid20);
  std::string copy = reply;
  EXPECT_EQ(get_last_iccid_from_list(copy.c_str(), buffer, sizeof buffer), 0);
  EXPECT_EQ(copy, reply);
}

// The list is read by "list" and its ICCID lines, whatever follows the
// keyword; a failed command's result code means no profile is named.
TEST(CheckListReply, ReadsWhatEsimctlReadsAndNothingAfterAnError) {
  struct Row {
    const char *situation;
    const char *reply;
    int code;
  } rows[] = {
      {"the simulator's own shape",
       "\r\n+QESIM: \"list\",0,1\r\n+QESIM: 1,\"89882470000000000017\",1,\"A\"\r\n\r\nOK\r\n", 0},
      {"list with a count after its keyword",
       "\r\n+QESIM: \"list\",2\r\n+QESIM: 1,\"89882470000000000017\",1,\"A\"\r\n+QESIM: "
       "2,\"89883000000000000018\",0,\"B\"\r\n\r\nOK\r\n",
       0},
      {"list with nothing after its keyword",
       "\r\n+QESIM: \"list\"\r\n+QESIM: 1,\"89882470000000000017\",1,\"A\"\r\n\r\nOK\r\n", 0},
      {"list holding ERROR names no profile", "\r\nERROR\r\n", -1},
      {"list keyword followed by +CME ERROR", "\r\n+QESIM: \"list\"\r\n+CME ERROR: 13\r\n", -1},
      {"no list keyword", "\r\n+QESIM: \"eid\",0,\"8904\"\r\n\r\nOK\r\n", -2},
      {"empty reply", "", -2},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.situation);
    EXPECT_EQ(check_list_reply(row.reply), row.code);
  }
}

class ProfileCmds : public EsimModemTest {};

TEST_F(ProfileCmds, ListStoresTheLastIccid) {
  modem_.reply("\r\n+QESIM: \"list\",0\r\n" + entry(kIccid19) + entry(kIccid20) + "\r\nOK\r\n");
  char out[kIccidSize] = {};
  EXPECT_EQ(send_at_list(out, sizeof out), 0);
  EXPECT_STREQ(out, kIccid20);
  EXPECT_THAT(modem_.command_lines(), ElementsAre("AT+QESIM=\"list\"\r\n"));
  EXPECT_THAT(long_waits(), ElementsAre(6));
  EXPECT_THAT(log_.messages(), HasSubstr("Getting list\n"));
  EXPECT_THAT(log_.messages(), HasSubstr(std::string("Get new iccid: ") + kIccid20 + "\n"));
}

TEST_F(ProfileCmds, ListFailures) {
  print_flag = 0;
  struct Row {
    const char *situation;
    bool answer;
    std::string reply;
    std::string line;
  } rows[] = {
      {"no reply", false, "", kNoReply + "Error: Failed to execute notification list command\n\n"},
      {"empty list", true, "\r\n+QESIM: \"list\",0\r\n\r\nOK\r\n",
       "Error: goto parse_at_status list response\n\n"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.situation);
    size_t logged = log_.messages().size();
    if (row.answer) {
      modem_.reply(row.reply);
    } else {
      modem_.silence();
    }
    char out[kIccidSize] = "kept";
    EXPECT_EQ(send_at_list(out, sizeof out), -1);
    EXPECT_STREQ(out, "kept");
    EXPECT_EQ(logged_since(logged), row.line);
  }
}

TEST_F(ProfileCmds, DisableReportsTheModemStatus) {
  print_flag = 0;
  struct Row {
    const char *situation;
    bool answer;
    std::string reply;
    int code;
    std::string log;
  } rows[] = {
      {"status 0", true, "+QESIM: \"disable\",0\r\nOK\r\n", 0,
       "Disable chan_id [1] response[+QESIM: \"disable\",0\r\nOK\r\n]\n\n"},
      {"status 1", true, "+QESIM: \"disable\",1\r\n", -1,
       "Disable chan_id [1] response[+QESIM: \"disable\",1\r\n]\n\n"
       "Error: Failed to disable, status: 1\n\nError: goto parse_at_status disable response\n\n"},
      {"no reply", false, "", -1, kNoReply + "Error: Failed to execute disable eSIM command\n\n"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.situation);
    size_t seen = modem_.command_lines().size();
    size_t logged = log_.messages().size();
    if (row.answer) {
      modem_.reply(row.reply);
    } else {
      modem_.silence();
    }
    EXPECT_EQ(send_at_disable_esim(kIccid20), row.code);
    EXPECT_EQ(modem_.command_lines().at(seen),
              std::string("AT+QESIM=\"disable\",\"") + kIccid20 + "\"\r\n");
    EXPECT_EQ(logged_since(logged), row.log);
  }
}

TEST_F(ProfileCmds, DeleteFallsBackToTheListWhenItDoesNotSucceed) {
  print_flag = 0;
  const std::string del = std::string("AT+QESIM=\"delete\",\"") + kIccid19 + "\"\r\n";
  const std::string list = "AT+QESIM=\"list\"\r\n";
  const std::string names_it = "+QESIM: \"list\",0\r\n" + entry(kIccid19);
  const std::string lacks_it = "+QESIM: \"list\",0\r\n" + entry(kIccid15);
  struct Row {
    const char *situation;
    const char *delete_reply;  // nullptr: the modem stays silent
    const char *list_reply;    // nullptr: silent; not used when no list is expected
    int code;
    std::vector<std::string> commands;
    std::string log;
  } rows[] = {
      {"deleted", "+QESIM: \"delete\",0\r\n", nullptr, 0, {del}, ""},
      {"no delete reply, list without the ICCID",
       nullptr,
       lacks_it.c_str(),
       0,
       {del, list},
       kNoReply +
           "Error: Failed to execute delete eSIM command\n\n"
           "Parse eSIM list command is not iccid [8986001234567890123], maybe delete success, "
           "continue;\n\n"},
      {"no delete reply, list still names it",
       nullptr,
       names_it.c_str(),
       -1,
       {del, list},
       kNoReply + "Error: Failed to execute delete eSIM command\n\n"},
      {"delete status 1, list still names it",
       "+QESIM: \"delete\",1\r\n",
       names_it.c_str(),
       -2,
       {del, list},
       "Error: Failed to delete, status: 1\n\nError: goto parse_at_status delete response\n\n"},
      {"delete status 1, ICCID inside a longer number",
       "+QESIM: \"delete\",1\r\n",
       "+QESIM: \"list\",0\r\n+QESIM: \"89860012345678901234\",1\r\n",
       -2,
       {del, list},
       "Error: Failed to delete, status: 1\n\nError: goto parse_at_status delete response\n\n"},
      {"delete status 1, list without the ICCID",
       "+QESIM: \"delete\",1\r\n",
       lacks_it.c_str(),
       0,
       {del, list},
       "Error: Failed to delete, status: 1\n\nError: goto parse_at_status delete response\n\n"
       "Parse eSIM list command is not iccid [8986001234567890123], maybe delete success, "
       "continue;\n\n"},
      {"no delete reply, no list reply",
       nullptr,
       nullptr,
       -3,
       {del, list},
       kNoReply + "Error: Failed to execute delete eSIM command\n\n" + kNoReply +
           "Error: Failed to execute eSIM list command\n\n"},
      {"delete status 1, list reply without list",
       "+QESIM: \"delete\",1\r\n",
       "\r\nERROR\r\n",
       -4,
       {del, list},
       "Error: Failed to delete, status: 1\n\nError: goto parse_at_status delete response\n\n"
       "Error: chan 1 AT response failed. [\r\nERROR\r\n]\n\n"
       "Error: Failed to parse eSIM list command is not list string\n\n"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.situation);
    size_t seen = modem_.command_lines().size();
    size_t logged = log_.messages().size();
    if (row.delete_reply) {
      modem_.reply(row.delete_reply);
    } else {
      modem_.silence();
    }
    if (row.commands.size() > 1) {
      if (row.list_reply) {
        modem_.reply(row.list_reply);
      } else {
        modem_.silence();
      }
    }
    sleep_shim_record_this_thread();
    EXPECT_EQ(send_at_delete_esim(kIccid19), row.code);
    std::vector<std::string> lines = modem_.command_lines();
    EXPECT_EQ(std::vector<std::string>(lines.begin() + seen, lines.end()), row.commands);
    EXPECT_EQ(logged_since(logged), row.log);
    // The delete waits 28 s; the list that follows only half a second.
    EXPECT_THAT(long_waits(), ElementsAre(28));
  }
}

TEST_F(ProfileCmds, AnIccidThatWouldBreakTheCommandIsNotSent) {
  print_flag = 0;
  EXPECT_EQ(send_at_delete_esim("8986\"\r\nAT+QESIM=\"list"), -1);
  EXPECT_EQ(send_at_disable_esim(nullptr), -1);
  EXPECT_EQ(send_at_delete_esim(std::string(60, '8').c_str()), -1);
  EXPECT_TRUE(modem_.command_lines().empty());
  EXPECT_EQ(log_.messages(),
            "Error: Failed to execute delete eSIM command\n\n"
            "Error: Failed to execute disable eSIM command\n\n"
            "Error: Failed to execute delete eSIM command\n\n");
}

TEST_F(ProfileCmds, ProgressLinesFollowPrintFlag) {
  modem_.reply("+QESIM: \"disable\",0\r\n");
  modem_.reply("+QESIM: \"delete\",0\r\n");
  ASSERT_EQ(send_at_disable_esim(kIccid15), 0);
  ASSERT_EQ(send_at_delete_esim(kIccid15), 0);
  std::string log = log_.messages();
  for (const char *line : {"Disabling eSIM: 898600123456789\n", "eSIM disabled successfully\n",
                           "Deleting eSIM: 898600123456789\n", "eSIM deleted successfully\n"}) {
    EXPECT_THAT(log, HasSubstr(line));
  }
  print_flag = 0;
  size_t logged = log.size();
  modem_.reply("+QESIM: \"disable\",0\r\n");
  modem_.reply("+QESIM: \"delete\",0\r\n");
  ASSERT_EQ(send_at_disable_esim(kIccid15), 0);
  ASSERT_EQ(send_at_delete_esim(kIccid15), 0);
  EXPECT_EQ(logged_since(logged), "Disable chan_id [1] response[+QESIM: \"disable\",0\r\n]\n\n");
}

}  // namespace
