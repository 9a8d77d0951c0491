// The checkers the fuzz targets abort on: a checker that accepted a broken
// line would let a fault pass every fuzz run unseen.
#include "invariants.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr char kClient[] = "/my_tools/dbshell";
constexpr char kDb[] = "/data/log/esimhttp.db";

struct LineCase {
  const char *situation;
  std::string line;
  bool accepted;
};

std::string db_line(const std::string &sql) {
  return std::string(kClient) + " " + kDb + " \"" + sql + "\"";
}

TEST(FuzzInvariants, CommandIsOneLine) {
  const LineCase cases[] = {
      {"plain query", "AT+CFUN?\r\n", true},
      {"quoted argument", "AT+QESIM=\"delete\",\"89882470000000000017\"\r\n", true},
      {"no line end", "AT+CFUN?", false},
      {"LF only", "AT+CFUN?\n", false},
      {"CR only", "AT+CFUN?\r", false},
      {"sequence number holding a line end", "AT+QESIM=\"ntf_get\",1\r\nAT+CFUN=0\r\n", false},
      {"lone CR inside", "AT+QESIM=\"ntf_get\",1\r2\r\n", false},
      {"empty", "", false},
  };
  for (const LineCase &c : cases) {
    SCOPED_TRACE(c.situation);
    EXPECT_EQ(is_one_command_line(c.line.c_str()), c.accepted);
  }
  EXPECT_FALSE(is_one_command_line(nullptr));
}

TEST(FuzzInvariants, DatabaseLineKeepsItsQuoting) {
  const std::string save =
      "INSERT INTO esim_http (port, iccid, http_ip, http_path, save_time) VALUES (3, "
      "\\\"89882470000000000017\\\", \\\"smdp.example\\\", \\\"/gsma/rsp2/es9plus\\\", "
      "\\\"2026-01-01 00:00:00\\\")";
  const LineCase cases[] = {
      {"save as the store builds it", db_line(save), true},
      {"lookup", db_line("SELECT * FROM esim_http WHERE port = 1 AND iccid = \\\"8988\\\" "), true},
      {"empty value", db_line("DELETE FROM esim_http WHERE iccid = \\\"\\\" "), true},
      {"command substitution in a value", db_line("SELECT 1 WHERE iccid = \\\"$(reboot)\\\""),
       false},
      {"backquote in a value", db_line("SELECT 1 WHERE iccid = \\\"`reboot`\\\""), false},
      {"bare quote ends the shell word",
       db_line("SELECT 1 WHERE iccid = \\\"x\\\" \" ; reboot ; \""), false},
      {"value never closed", db_line("SELECT 1 WHERE iccid = \\\"x"), false},
      {"backslash before a letter", db_line("SELECT 1 WHERE iccid = \\\"a\\b\\\""), false},
      {"line end in the SQL", db_line("SELECT 1;\nreboot"), false},
      {"another client", std::string("/tmp/dbshell ") + kDb + " \"SELECT 1\"", false},
      {"another database", std::string(kClient) + " /tmp/x.db \"SELECT 1\"", false},
      {"second word after the SQL", db_line("SELECT 1") + " x", false},
      {"SQL not quoted", std::string(kClient) + " " + kDb + " SELECT", false},
  };
  for (const LineCase &c : cases) {
    SCOPED_TRACE(c.situation);
    EXPECT_EQ(keeps_shell_quoting(c.line, kClient, kDb), c.accepted);
  }

  // The values are views into the line, which must outlive them.
  const std::string line = db_line(save);
  std::vector<std::string_view> values = quoted_values(line);
  ASSERT_EQ(values.size(), 4u);
  EXPECT_EQ(values[0], "89882470000000000017");
  EXPECT_EQ(values[2], "/gsma/rsp2/es9plus");
  EXPECT_EQ(values[3], "2026-01-01 00:00:00");
}

struct AnswerCase {
  const char *situation;
  std::string output;
  int status;
  bool accepted;
};

TEST(FuzzInvariants, DbshellAnswerSaysWhatItsStatusSays) {
  const std::string saved = "{\n\t\"ResultCode\":\t0,\n\t\"Changes\":\t1\n}\n";
  const std::string rows =
      "{\n\t\"ResultCode\":\t0,\n\t\"infos\":\t[{\n\t\t\t\"port\":\t1,\n\t\t\t\"iccid\":"
      "\t\"8988\"\n"
      "\t\t}]\n}\n";
  const std::string locked = "{\n\t\"ResultCode\":\t5,\n\t\"Reason\":\t\"database is locked\"\n}\n";
  const AnswerCase cases[] = {
      {"save", saved, 0, true},
      {"lookup with a row", rows, 0, true},
      {"no rows", "{\n\t\"ResultCode\":\t0,\n\t\"infos\":\t[]\n}\n", 0, true},
      {"error", locked, 1, true},
      {"error answer with status 0", locked, 0, false},
      {"success answer with status 1", saved, 1, false},
      {"two answers", saved + saved, 0, false},
      {"no line end", saved.substr(0, saved.size() - 1), 0, false},
      {"nothing printed", "", 1, false},
      {"success with a reason",
       "{\n\t\"ResultCode\":\t0,\n\t\"Changes\":\t1,\n\t\"Reason\":\t\"x\"\n}\n", 0, false},
      {"success without rows or count", "{\n\t\"ResultCode\":\t0,\n\t\"x\":\t1\n}\n", 0, false},
      {"rows that are not objects", "{\n\t\"ResultCode\":\t0,\n\t\"infos\":\t[1]\n}\n", 0, false},
      {"error code 0", "{\n\t\"ResultCode\":\t0,\n\t\"Reason\":\t\"x\"\n}\n", 1, false},
      {"result code not first", "{\n\t\"Changes\":\t1,\n\t\"ResultCode\":\t0\n}\n", 0, false},
      {"not JSON", "{\n\t\"ResultCode\":\t0,\n", 0, false},
  };
  for (const AnswerCase &c : cases) {
    SCOPED_TRACE(c.situation);
    EXPECT_EQ(is_dbshell_answer(c.output, c.status), c.accepted);
  }
}

}  // namespace
