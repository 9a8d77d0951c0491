// The real database client at the gateway's client path, driven directly and
// through the record store. Runs inside the private gateway.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "globals.h"
#include "record_store.h"
#include "run_program.h"
#include "tool_state.h"

extern char **environ;

namespace {

struct ClientRun {
  int status;  // exit status, or -1 when it did not exit normally
  std::string output;
};

// Runs the client with exactly these arguments, no shell between.
ClientRun run_client(const std::vector<std::string> &args) {
  std::vector<char *> argv{const_cast<char *>(ESIMCTL_DB_CLIENT)};
  for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  int fds[2];
  if (pipe(fds) != 0) return {-1, ""};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  pid_t pid;
  int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  ClientRun run{-1, ""};
  char chunk[4096];
  for (ssize_t n; (n = read(fds[0], chunk, sizeof chunk)) > 0;) run.output.append(chunk, n);
  close(fds[0]);
  int status = 0;
  if (rc == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
    run.status = WEXITSTATUS(status);
  return run;
}

ClientRun sql(const std::string &statement) {
  return run_client({ESIMCTL_DB_FILE, statement});
}

class DbshellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_tool_state();
    print_flag = 0;
    install_program(DBSHELL_BIN, ESIMCTL_DB_CLIENT);
    for (const char *suffix : {"", "-journal", "-wal", "-shm"})
      std::filesystem::remove(std::string(ESIMCTL_DB_FILE) + suffix);
  }
  RunLogCapture log_;
  char ip_[kAtHttpIpSize] = {};
  char path_[kAtHttpPathSize] = {};
};

TEST_F(DbshellTest, FreshFileGetsFileAndTable) {
  ClientRun run = sql("SELECT * FROM esim_http");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, "{\n\t\"ResultCode\":\t0,\n\t\"infos\":\t[]\n}\n");
  EXPECT_TRUE(std::filesystem::exists(ESIMCTL_DB_FILE));
  run = sql("SELECT name FROM pragma_table_info('esim_http')");
  for (const char *column : {"port", "iccid", "http_ip", "http_path", "save_time"})
    EXPECT_NE(run.output.find(std::string("\"") + column + "\""), std::string::npos) << column;
}

TEST_F(DbshellTest, RecordRoundTripThroughTheStore) {
  ASSERT_EQ(save_http_info(5, "89014103211118510720", "smdp.example:8443", "/gsma/rsp2/es9plus"),
            0);
  ASSERT_EQ(get_http_info(5, "89014103211118510720", ip_, path_), 0);
  EXPECT_STREQ(ip_, "smdp.example:8443");
  EXPECT_STREQ(path_, "/gsma/rsp2/es9plus");
  EXPECT_EQ(get_http_info(6, "89014103211118510720", ip_, path_), -2) << "other channel";
  ASSERT_EQ(delete_http_info(5, "89014103211118510720"), 0);
  EXPECT_EQ(get_http_info(5, "89014103211118510720", ip_, path_), -2);
}

TEST_F(DbshellTest, RepeatedDownloadReplacesTheRecord) {
  ASSERT_EQ(save_http_info(1, "8901", "old.example", "/old"), 0);
  ASSERT_EQ(save_http_info(2, "8901", "two.example", "/two"), 0);
  ASSERT_EQ(save_http_info(1, "8901", "new.example", "/new"), 0);
  ASSERT_EQ(get_http_info(1, "8901", ip_, path_), 0);
  EXPECT_STREQ(ip_, "new.example");
  EXPECT_STREQ(path_, "/new");
  EXPECT_EQ(sql("SELECT port, COUNT(*) AS n FROM esim_http GROUP BY port").output,
            "{\n\t\"ResultCode\":\t0,\n\t\"infos\":\t[{\n\t\t\t\"port\":\t1,\n\t\t\t\"n\":\t1\n"
            "\t\t}, {\n\t\t\t\"port\":\t2,\n\t\t\t\"n\":\t1\n\t\t}]\n}\n");
}

struct StatementCase {
  const char *situation;
  const char *statement;
  int status;
  const char *output;
};

class StatementTest : public DbshellTest, public ::testing::WithParamInterface<StatementCase> {};

TEST_P(StatementTest, AnswersWithOneObject) {
  const StatementCase &c = GetParam();
  ASSERT_EQ(sql("INSERT INTO esim_http (port, iccid) VALUES (1, \"8901\")").status, 0);
  ClientRun run = sql(c.statement);
  EXPECT_EQ(run.status, c.status);
  EXPECT_EQ(run.output, c.output);
  // Nothing before a refusal may have run.
  EXPECT_EQ(sql("SELECT COUNT(*) AS n FROM esim_http").output,
            "{\n\t\"ResultCode\":\t0,\n\t\"infos\":\t[{\n\t\t\t\"n\":\t1\n\t\t}]\n}\n");
}

INSTANTIATE_TEST_SUITE_P(
    Statements, StatementTest,
    ::testing::Values(
        StatementCase{"SyntaxError", "SELEC 1", 1,
                      "{\n\t\"ResultCode\":\t1,\n\t\"Reason\":\t\"near \\\"SELEC\\\": syntax "
                      "error\"\n}\n"},
        StatementCase{"UnknownTable", "DELETE FROM missing", 1,
                      "{\n\t\"ResultCode\":\t1,\n\t\"Reason\":\t\"no such table: missing\"\n}\n"},
        StatementCase{"SecondStatementRefused", "DELETE FROM esim_http; SELECT 1", 1,
                      "{\n\t\"ResultCode\":\t1,\n\t\"Reason\":\t\"only one SQL statement may be "
                      "given\"\n}\n"},
        StatementCase{"BrokenSecondStatementRefused", "DELETE FROM esim_http; x", 1,
                      "{\n\t\"ResultCode\":\t1,\n\t\"Reason\":\t\"only one SQL statement may be "
                      "given\"\n}\n"},
        StatementCase{"NoStatement", " ;", 1,
                      "{\n\t\"ResultCode\":\t1,\n\t\"Reason\":\t\"no SQL statement given\"\n}\n"},
        StatementCase{"TrailingSemicolonsAndComment", "SELECT 1 AS one; ; -- done\n", 0,
                      "{\n\t\"ResultCode\":\t0,\n\t\"infos\":\t[{\n\t\t\t\"one\":\t1\n\t\t}]\n}\n"},
        StatementCase{
            "ValuesKeepTheirTypes",
            "SELECT 9007199254740993 AS big, NULL AS none, x'00ff' AS raw, 'a\"b' AS t", 0,
            "{\n\t\"ResultCode\":\t0,\n\t\"infos\":\t[{\n\t\t\t\"big\":\t9007199254740993,"
            "\n\t\t\t\"none\":\tnull,\n\t\t\t\"raw\":\t\"00ff\",\n\t\t\t\"t\":\t\"a\\\"b\"\n"
            "\t\t}]\n}\n"},
        StatementCase{"UpdateCountsItsRows", "UPDATE esim_http SET http_ip = 'h'", 0,
                      "{\n\t\"ResultCode\":\t0,\n\t\"Changes\":\t1\n}\n"}),
    [](const auto &info) { return std::string(info.param.situation); });

TEST_F(DbshellTest, WrongArgumentCountIsAnError) {
  ClientRun run = run_client({ESIMCTL_DB_FILE});
  EXPECT_NE(run.status, 0);
  EXPECT_NE(run.output.find("\"Reason\":"), std::string::npos);
}

// One esimctl per channel may save at the same moment; every save must wait
// its turn rather than fail.
TEST_F(DbshellTest, ThirtyTwoConcurrentSaversLoseNothing) {
  std::vector<pid_t> savers;
  for (int chan = 1; chan <= 32; ++chan) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      std::string iccid = "89010000000000000" + std::to_string(100 + chan);
      _exit(save_http_info(chan, iccid.c_str(), "smdp.example", "/gsma/rsp2/es9plus") == 0 ? 0 : 1);
    }
    savers.push_back(pid);
  }
  int failures = 0;
  for (pid_t pid : savers) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    failures += !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(sql("SELECT COUNT(DISTINCT port) AS n FROM esim_http").output,
            "{\n\t\"ResultCode\":\t0,\n\t\"infos\":\t[{\n\t\t\t\"n\":\t32\n\t\t}]\n}\n");
}

}  // namespace
