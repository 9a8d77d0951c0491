// The AT exchange against a scripted modem on a real pty.
#include "at_exchange.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "globals.h"
#include "pty_responder.h"
#include "sleep_shim.h"
#include "tool_state.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

constexpr int kChan = 7;

std::vector<std::string> recorded_sleeps() {
  std::vector<sleep_record> recs(4096);
  int n = sleep_shim_records(recs.data(), static_cast<int>(recs.size()));
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i)
    out.push_back(std::string(recs[i].call) + " " + std::to_string(recs[i].requested_us));
  return out;
}

class AtExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_tool_state();
    use_device_dir(dir_.path());
    sleep_shim_set_factor(0.02);
    sleep_shim_record_this_thread();
  }
  void TearDown() override { reset_tool_state(); }

  int exchange(const char *cmd, int timeout = 0, int long_flag = 0) {
    memset(reply_, 0, sizeof reply_);
    return execute_at_command(kChan, cmd, reply_, sizeof reply_, timeout, long_flag);
  }

  TempDir dir_;
  PtyResponder modem_{dir_.path() + "/7"};
  RunLogCapture log_;
  char reply_[kReplySize];
};

TEST_F(AtExchangeTest, WaitRuleDecidesTheFirstPause) {
  struct Row {
    int timeout, long_flag;
    const char *wait;
  } rows[] = {
      {0, 0, "usleep 500000"},  {-3, 0, "usleep 500000"}, {1, 0, "sleep 3000000"},
      {2, 0, "sleep 6000000"},  {5, 0, "sleep 15000000"}, {5, 1, "sleep 28000000"},
      {0, 1, "sleep 28000000"},
  };
  sleep_shim_set_factor(0.005);
  for (const Row &row : rows) {
    SCOPED_TRACE(std::to_string(row.timeout) + "/" + std::to_string(row.long_flag));
    modem_.reply("\r\nOK\r\n");
    sleep_shim_record_this_thread();
    ASSERT_EQ(exchange("AT\r\n", row.timeout, row.long_flag), 0);
    // The wait, then the polling pauses: at least the one after the read
    // that brought the reply and the one after the empty read that ended it.
    std::vector<std::string> sleeps = recorded_sleeps();
    ASSERT_GE(sleeps.size(), 3u);
    EXPECT_EQ(sleeps[0], row.wait);
    for (size_t i = 1; i < sleeps.size(); ++i) EXPECT_EQ(sleeps[i], "usleep 500000");
    EXPECT_STREQ(reply_, "\r\nOK\r\n");
  }
}

// A look reads until the reply's final result line, or for as long as the
// fixed wait and its polls would have taken, in 20 ms pauses.
TEST_F(AtExchangeTest, LookStopsAtTheFinalResultOrTheSameBound) {
  struct Row {
    const char *situation;
    std::string reply;
    int timeout;
    size_t most_pauses;  // of 20 ms
  } rows[] = {
      {"a status reply ends with OK", "\r\n+QESIM: \"eid\",0,\"8904\"\r\n\r\nOK\r\n", 1, 50},
      {"an error ends the reply", "\r\n+CME ERROR: 50\r\n", 1, 50},
      {"a reply with no final line costs the bound: 3 s and 15 s", "\r\n+CFUN: 1\r\n", 1, 900},
      {"with no timeout the bound is 1 s and 15 s", "\r\n+CFUN: 1\r\n", 0, 800},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.situation);
    // Real pauses while the reply may still be on its way; a bound is only
    // counted, so its pauses can be short.
    sleep_shim_set_factor(row.most_pauses >= 800 ? 0.001 : 1.0);
    modem_.reply(row.reply);
    sleep_shim_record_this_thread();
    memset(reply_, 0, sizeof reply_);
    ASSERT_EQ(look_at_command(kChan, "AT\r\n", reply_, sizeof reply_, row.timeout, 0), 0);
    EXPECT_EQ(reply_, row.reply);
    std::vector<std::string> sleeps = recorded_sleeps();
    for (const std::string &pause : sleeps) EXPECT_EQ(pause, "usleep 20000");
    if (row.most_pauses >= 800)
      EXPECT_EQ(sleeps.size(), row.most_pauses);
    else
      EXPECT_LE(sleeps.size(), row.most_pauses);
  }
  modem_.reply("");
  EXPECT_EQ(look_at_command(kChan, "AT\r\n", reply_, sizeof reply_, 0, 0), -4);
}

TEST(FinalResult, OnlyAWholeFinalLineEndsAReply) {
  struct Row {
    const char *reply;
    bool final;
  } rows[] = {
      {"\r\nOK\r\n", true},
      {"AT+CFUN?\r\r\n+CFUN: 1\r\n\r\nOK\r\n", true},
      {"\r\nERROR\r\n", true},
      {"\r\n+CMS ERROR: 500\r\n", true},
      {"\r\n+QESIM: \"list\",0\r\n+QESIM: \"89882470000000000017\",1\r\n", false},
      {"\r\nOK", false},
      {"\r\nOKAY\r\n", false},
      {"\r\n+QIND: \"ERROR\"\r\n", false},
      {"", false},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.reply);
    EXPECT_EQ(has_final_result(row.reply), row.final);
  }
}

TEST_F(AtExchangeTest, OpensTheChannelDeviceOnceAndLogsBothDirections) {
  modem_.reply("\r\n+CFUN: 1\r\n\r\nOK\r\n");
  modem_.reply("\r\nOK\r\n");
  ASSERT_EQ(exchange("AT+CFUN?\r\n"), 0);
  int fd = at_fd;
  ASSERT_GE(fd, 0);
  ASSERT_EQ(exchange("AT+QGMR\r\n"), 0);
  EXPECT_EQ(at_fd, fd);
  EXPECT_THAT(modem_.command_lines(), ElementsAre("AT+CFUN?\r\n", "AT+QGMR\r\n"));
  EXPECT_THAT(log_.messages(), HasSubstr("Send AT 7: [AT+CFUN?\r\n]\n\n"));
  EXPECT_THAT(log_.messages(), HasSubstr("Recv AT 7: [\r\n+CFUN: 1\r\n\r\nOK\r\n]\n\n"));
  EXPECT_THAT(log_.messages(), Not(HasSubstr("Error")));
}

TEST_F(AtExchangeTest, TraceLinesFollowPrintFlag) {
  print_flag = 0;
  modem_.reply("\r\nOK\r\n");
  ASSERT_EQ(exchange("AT\r\n"), 0);
  EXPECT_EQ(log_.text(), "");
}

TEST_F(AtExchangeTest, ErrorRepliesAreLoggedButSucceed) {
  const char *replies[] = {"\r\nERROR\r\n", "\r\n+CME ERROR: 10\r\n", "\r\n+CMS ERROR: 500\r\n"};
  for (const char *r : replies) {
    SCOPED_TRACE(r);
    modem_.reply(r);
    ASSERT_EQ(exchange("AT\r\n"), 0);
    EXPECT_STREQ(reply_, r);
    EXPECT_THAT(log_.messages(), HasSubstr("Recv AT 7: [" + std::string(r) + "]\n\n"));
    EXPECT_THAT(log_.messages(),
                HasSubstr("Error: chan 7 AT response failed. [" + std::string(r) + "]\n\n"));
  }
}

TEST_F(AtExchangeTest, SilenceGivesMinusFourAfterThirtyReads) {
  modem_.silence();
  strcpy(reply_, "untouched");
  EXPECT_EQ(execute_at_command(kChan, "AT\r\n", reply_, sizeof reply_, 0, 0), -4);
  EXPECT_STREQ(reply_, "untouched");
  std::vector<std::string> expected(31, "usleep 500000");
  EXPECT_EQ(recorded_sleeps(), expected);
  EXPECT_THAT(log_.messages(), HasSubstr("Error: chan 7 AT response failed.\n\n"));
}

TEST_F(AtExchangeTest, DeviceThatNeverPausesEndsTheLoopAfterThirtyReads) {
  sleep_shim_set_factor(0.1);
  // A byte every 10 ms against reads every 50 ms: no read ever comes back empty.
  modem_.reply(Reply{{0, "x", 1}, {100, "y", 400}});
  ASSERT_EQ(exchange("AT\r\n"), 0);
  std::vector<std::string> expected(31, "usleep 500000");
  EXPECT_EQ(recorded_sleeps(), expected);
  EXPECT_GT(strlen(reply_), 30u);
}

TEST_F(AtExchangeTest, ReplyInTwoPiecesIsJoinedWhenTheSecondComesBeforeTheNextRead) {
  sleep_shim_set_factor(0.4);
  // Reads at 0.5 s and 1.0 s after the write; the second piece lands between them.
  modem_.reply(Reply{{0, "\r\n+QESIM: \"eid\",", 1}, {750, "0,8904\r\n\r\nOK\r\n", 1}});
  ASSERT_EQ(exchange("AT+QESIM=\"eid\"\r\n"), 0);
  EXPECT_STREQ(reply_, "\r\n+QESIM: \"eid\",0,8904\r\n\r\nOK\r\n");
}

TEST_F(AtExchangeTest, LateSecondPieceStartsTheNextReply) {
  sleep_shim_set_factor(0.4);
  // The read at 1.0 s finds nothing and ends the exchange; the piece at 1.25 s
  // stays on the device.
  modem_.reply(Reply{{0, "first", 1}, {1250, "late", 1}});
  modem_.reply("\r\nOK\r\n");
  ASSERT_EQ(exchange("AT\r\n"), 0);
  EXPECT_STREQ(reply_, "first");
  usleep(1000000);  // let the late piece arrive (scaled)
  ASSERT_EQ(exchange("AT\r\n"), 0);
  EXPECT_STREQ(reply_, "late\r\nOK\r\n");
}

TEST_F(AtExchangeTest, OverlongReplyIsCutAndItsRestReadNextTime) {
  std::string big;
  for (int i = 0; i < 20000; ++i) big.push_back(static_cast<char>('a' + i % 26));
  modem_.reply(big);
  modem_.reply("!");
  ASSERT_EQ(exchange("AT\r\n"), 0);
  EXPECT_EQ(std::string(reply_), big.substr(0, kReplySize - 1));
  // The byte that the terminator replaced is gone; what was never read comes next.
  ASSERT_EQ(exchange("AT\r\n"), 0);
  EXPECT_EQ(std::string(reply_), big.substr(kReplySize) + "!");
}

TEST_F(AtExchangeTest, RefusedArgumentsTouchNothing) {
  EXPECT_EQ(execute_at_command(0, "AT\r\n", reply_, sizeof reply_, 0, 0), -1);
  EXPECT_EQ(execute_at_command(33, "AT\r\n", reply_, sizeof reply_, 0, 0), -1);
  EXPECT_EQ(execute_at_command(kChan, nullptr, reply_, sizeof reply_, 0, 0), -1);
  EXPECT_EQ(execute_at_command(kChan, "AT\r\n", reply_, 0, 0, 0), -1);
  EXPECT_EQ(at_fd, -1);
  EXPECT_EQ(log_.text(), "");
  EXPECT_TRUE(modem_.command_lines().empty());
}

TEST_F(AtExchangeTest, ChannelThirtyTwoIsAccepted) {
  PtyResponder modem32(dir_.path() + "/32");
  modem32.reply("\r\nOK\r\n");
  EXPECT_EQ(execute_at_command(32, "AT\r\n", reply_, sizeof reply_, 0, 0), 0);
  EXPECT_STREQ(reply_, "\r\nOK\r\n");
}

TEST_F(AtExchangeTest, NoReplyBufferMeansWriteOnlyWithoutPause) {
  EXPECT_EQ(execute_at_command(kChan, "AT+CFUN=1\r\n", nullptr, 0, 5, 1), 0);
  EXPECT_TRUE(recorded_sleeps().empty());
  ASSERT_TRUE(modem_.wait_for_commands(1, 2000));
  EXPECT_THAT(modem_.command_lines(), ElementsAre("AT+CFUN=1\r\n"));
}

TEST_F(AtExchangeTest, FailedOpenIsRetriedByTheNextExchange) {
  EXPECT_EQ(execute_at_command(9, "AT\r\n", reply_, sizeof reply_, 0, 0), -2);
  EXPECT_EQ(at_fd, -1);
  EXPECT_THAT(log_.messages(),
              HasSubstr("Error: open serial failed module [9]\n\nError: chan 9 device " +
                        dir_.path() + "/9: open failed, error-2[No such file or directory]\n\n"));
  PtyResponder modem9(dir_.path() + "/9");
  modem9.reply("\r\nOK\r\n");
  EXPECT_EQ(execute_at_command(9, "AT\r\n", reply_, sizeof reply_, 0, 0), 0);
  EXPECT_GE(at_fd, 0);
}

// A held channel is waited for once a run, 60 s in 0.5 s pauses; a run
// that waited in vain fails its later exchanges at once.
TEST_F(AtExchangeTest, ChannelHeldByAnotherRunIsWaitedForOnceThenRefused) {
  int other = open(modem_.slave_name().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(other, 0);
  ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(exchange("AT\r\n"), -2);
  EXPECT_EQ(at_fd, -1);
  EXPECT_EQ(recorded_sleeps(), std::vector<std::string>(120, "usleep 500000"));
  EXPECT_THAT(log_.messages(), HasSubstr("is held by another run: waiting up to 60 s for it\n"));
  EXPECT_THAT(log_.messages(), HasSubstr("is in use by another esimctl run"));
  EXPECT_THAT(log_.messages(), HasSubstr("Error: open serial failed module [7]\n\n"));
  EXPECT_EQ(exchange("AT\r\n"), -2);
  EXPECT_EQ(recorded_sleeps().size(), 120u) << "no second wait";
  close(other);
  modem_.reply("\r\nOK\r\n");
  EXPECT_EQ(exchange("AT\r\n"), 0);
}

TEST_F(AtExchangeTest, ChannelGivenUpDuringTheWaitIsTaken) {
  int other = open(modem_.slave_name().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(other, 0);
  ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  std::thread holder([other] {
    poll(nullptr, 0, 300);  // real time: the run waits in shortened pauses
    close(other);
  });
  modem_.reply("\r\nOK\r\n");
  EXPECT_EQ(exchange("AT\r\n"), 0);
  holder.join();
  EXPECT_GE(at_fd, 0);
  EXPECT_THAT(log_.messages(), Not(HasSubstr("is in use by another esimctl run")));
}

// A run refused for a held channel must not touch the line the holder uses:
// setting it up and flushing it would lose the reply the holder waits for.
TEST_F(AtExchangeTest, RefusedRunLeavesTheHoldersLineAlone) {
  int holder = open(modem_.slave_name().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  struct termios slow {};
  ASSERT_EQ(tcgetattr(holder, &slow), 0);
  cfmakeraw(&slow);
  cfsetspeed(&slow, B9600);
  ASSERT_EQ(tcsetattr(holder, TCSANOW, &slow), 0);
  modem_.send("\r\n+QESIM: \"list\",0,0\r\n");
  struct pollfd arrived = {holder, POLLIN, 0};
  ASSERT_EQ(poll(&arrived, 1, 2000), 1);

  EXPECT_EQ(exchange("AT\r\n"), -2);

  struct termios after {};
  ASSERT_EQ(tcgetattr(holder, &after), 0);
  EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B9600)) << "line settings kept";
  char buf[64] = {};
  EXPECT_EQ(read(holder, buf, sizeof buf - 1), 22) << "the holder's pending reply kept";
  close(holder);
}

TEST_F(AtExchangeTest, CommandLongerThanTheDeviceBufferArrivesWhole) {
  // The modem takes 20000 bytes before it answers: its reply gets 3 s of
  // polls, room for a loaded or emulated machine.
  sleep_shim_set_factor(0.2);
  std::string cmd = "AT+QESIM=\"trans\",20000,0,0,20000,\"" + std::string(20000, 'a') + "\"\r\n";
  modem_.hold_reading(true);
  std::thread release([this] {
    poll(nullptr, 0, 300);  // real time: the sleep shim would shorten a sleep
    modem_.hold_reading(false);
  });
  modem_.reply("\r\nOK\r\n");
  EXPECT_EQ(exchange(cmd.c_str()), 0);
  release.join();
  EXPECT_EQ(modem_.received(), cmd);
  EXPECT_THAT(log_.messages(), Not(HasSubstr("write at failed")));
}

TEST_F(AtExchangeTest, DeviceThatNeverTakesTheRestFailsTheWrite) {
  // Far more than a pty holds (its buffers and one read the modem may still
  // make before it stops), however the threads are scheduled.
  std::string cmd = "AT+QESIM=\"trans\",20000,0,0,20000,\"" + std::string(200000, 'b') + "\"\r\n";
  modem_.hold_reading(true);
  EXPECT_EQ(exchange(cmd.c_str()), -3);
  EXPECT_THAT(log_.messages(),
              HasSubstr("Error: chan 7 write at failed, [AT+QESIM=\"trans\",20000"));
  modem_.hold_reading(false);
}

}  // namespace
