// The sim_modem program on a real pty: reply shapes as esimctl's readers
// see them, echo, fault injection and its timing, and the transcript.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "json_owner.h"
#include "sim_test_support.h"
#include "sim_util.h"
#include "smdp_service.h"

namespace {

using simtest::PtyClient;

class ModemProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/simmodem.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    modem_.reset();
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }
  // Starts a modem with `extra` options; gives false when it did not come up.
  bool start(std::vector<std::string> extra = {}) {
    modem_.reset();
    link_ = dir_ + "/" + std::to_string(++count_);
    transcript_ = link_ + ".jsonl";
    std::vector<std::string> argv = {SIM_MODEM_BIN, "--link",    link_, "--transcript",
                                     transcript_,   "--channel", "3"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    modem_ = std::make_unique<simtest::Child>(argv);
    return simtest::wait_for_path(link_, 3000);
  }
  std::string dir_, link_, transcript_;
  int count_ = 0;
  std::unique_ptr<simtest::Child> modem_;
};

long since_ms(std::chrono::steady_clock::time_point t0) {
  return (long)std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now() - t0)
      .count();
}

TEST_F(ModemProgram, RepliesReadAsTheToolsReadersExpect) {
  ASSERT_TRUE(start({"--profile", "89883000000000000018,enabled,Bootstrap"}));
  PtyClient c(link_);
  ASSERT_TRUE(c.ok());
  struct Row {
    const char *situation;
    std::string cmd;
    bool (*check)(const std::string &);
  } rows[] = {
      {"plain AT", "AT", [](const std::string &r) { return r == "\r\nOK\r\n"; }},
      {"level query", "AT+CFUN?",
       [](const std::string &r) { return simtest::read_cfun_level(r) == 1; }},
      {"firmware", "AT+QGMR",
       [](const std::string &r) { return r.find("OK") != std::string::npos && r.size() > 10; }},
      {"radio off", "AT+CFUN=4",
       [](const std::string &r) { return r.find("OK") != std::string::npos; }},
      {"EID", "AT+QESIM=\"eid\"",
       [](const std::string &r) {
         std::string s;
         return simtest::read_eid_status(r, &s) && s == "0";
       }},
      {"download", "AT+QESIM=\"download\",1,\"LPA:1$smdp.example$ABC\"",
       [](const std::string &r) {
         simtest::TransFields f = simtest::read_trans(r, true);
         return f.status == "0" && f.host == "smdp.example" &&
                f.path == "/gsma/rsp2/es9plus/initiateAuthentication";
       }},
      {"list", "AT+QESIM=\"list\"",
       [](const std::string &r) {
         std::string iccid;
         return r.find("list") != std::string::npos && simtest::read_last_iccid(r, &iccid) &&
                iccid == "89883000000000000018";
       }},
      {"disable", "AT+QESIM=\"disable\",\"89883000000000000018\"",
       [](const std::string &r) {
         bool found;
         return simtest::read_status(r, "disable", &found) == "0" && found;
       }},
      {"delete", "AT+QESIM=\"delete\",\"89883000000000000018\"",
       [](const std::string &r) {
         bool found;
         return simtest::read_status(r, "delete", &found) == "0" && found;
       }},
      {"delete notifications", "AT+QESIM=\"ntf_list\",3",
       [](const std::string &r) {
         std::string seq;
         return simtest::read_ntf_last(r, "89883000000000000018", &seq) && seq == "1";
       }},
      {"all notifications", "AT+QESIM=\"ntf_list\",0",
       [](const std::string &r) {
         std::string seq;
         return simtest::read_ntf_first(r, "89883000000000000018", &seq) && seq == "1";
       }},
      {"notification", "AT+QESIM=\"ntf_get\",1",
       [](const std::string &r) {
         std::string status, data;
         return simtest::read_ntf_get(r, &status, &data) && data.size() > 100;
       }},
      {"notification delete", "AT+QESIM=\"ntf_delete\",1",
       [](const std::string &r) {
         bool found;
         return simtest::read_status(r, "ntf_delete", &found) == "0" && found;
       }},
      {"empty notification list", "AT+QESIM=\"ntf_list\",0",
       [](const std::string &r) {
         bool found;
         return simtest::read_status(r, "ntf_list", &found) == "0" && found;
       }},
      {"unknown command", "AT+XYZ", [](const std::string &r) { return r == "\r\nERROR\r\n"; }},
  };
  for (const auto &row : rows) {
    auto t0 = std::chrono::steady_clock::now();
    std::string reply = c.exchange(row.cmd, 2000, 60);
    EXPECT_TRUE(row.check(reply)) << row.situation << ": " << reply;
    // Echo is off: the reply never carries the command, so a reader keying
    // on the first occurrence of a word cannot read the command as its reply.
    EXPECT_EQ(reply.find(row.cmd), std::string::npos) << row.situation;
    EXPECT_LT(reply.size(), 16384u) << row.situation;
    EXPECT_LT(since_ms(t0), 1000) << row.situation;
  }
}

TEST_F(ModemProgram, EchoOnPutsTheCommandAheadOfItsReply) {
  ASSERT_TRUE(start());
  PtyClient c(link_);
  EXPECT_EQ(c.exchange("ATE1"), "\r\nOK\r\n");
  std::string reply = c.exchange("AT+CFUN?");
  EXPECT_EQ(reply.rfind("AT+CFUN?\r", 0), 0u) << reply;
  // The first CFUN is the echoed one: the level read behind it is no number.
  EXPECT_EQ(simtest::read_cfun_level(reply), 0);
  EXPECT_EQ(c.exchange("ATE0"), "ATE0\r\r\nOK\r\n");
  EXPECT_EQ(c.exchange("AT"), "\r\nOK\r\n");
}

TEST_F(ModemProgram, CommandLineIsAnsweredOnlyWhenComplete) {
  ASSERT_TRUE(start());
  PtyClient c(link_);
  c.send("AT+CF");
  EXPECT_TRUE(c.collect(150).empty());
  c.send("UN?\r\n");
  auto pieces = c.collect(300);
  ASSERT_EQ(pieces.size(), 1u) << "one write";
  EXPECT_EQ(pieces[0].second, "\r\n+CFUN: 1\r\n\r\nOK\r\n");
}

TEST_F(ModemProgram, FaultsShapeTheReply) {
  const std::string cfun_ok = "\r\n+CFUN: 1\r\n\r\nOK\r\n";
  struct Row {
    const char *situation;
    std::vector<std::string> opts;
    // (from, to) window in ms for the first byte, the bytes, and the pieces' count.
    long first_min, first_max;
    std::string expect;
    size_t pieces;
  } rows[] = {
      {"silence", {"--fault", "cfun_query:silent"}, 0, 0, "", 0},
      {"ERROR", {"--fault", "cfun_query:error"}, 0, 300, "\r\nERROR\r\n", 1},
      {"+CME ERROR", {"--fault", "cfun_query:cme=13"}, 0, 300, "\r\n+CME ERROR: 13\r\n", 1},
      // 1000 ms; a factor not applied would give 2000, a loaded machine a
      // few hundred more.
      {"delayed, time factor 0.5",
       {"--fault", "cfun_query:delay=2000", "--time-factor", "0.5"},
       950,
       1800,
       cfun_ok,
       1},
      {"split with a gap", {"--fault", "cfun_query:split=300"}, 0, 300, cfun_ok, 2},
      {"unsolicited line before",
       {"--fault", "cfun_query:urc_before=+CPIN: READY"},
       0,
       300,
       "\r\n+CPIN: READY\r\n" + cfun_ok,
       1},
      {"unsolicited line after a gap",
       {"--fault", "cfun_query:urc_after=+QIND: x,urc_gap=300"},
       0,
       300,
       cfun_ok + "\r\n+QIND: x\r\n",
       2},
      {"level reported 0",
       {"--fault", "cfun_query:status=0"},
       0,
       300,
       "\r\n+CFUN: 0\r\n\r\nOK\r\n",
       1},
      {"only after the first one passed",
       {"--fault", "cfun_query:skip=1,error"},
       0,
       300,
       cfun_ok,
       1},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.situation);
    ASSERT_TRUE(start(row.opts));
    PtyClient c(link_);
    c.send("AT+CFUN?\r\n");
    auto pieces = c.collect(row.pieces == 2 ? 900 : (int)row.first_max + 300);
    std::string all;
    for (const auto &p : pieces) all += p.second;
    EXPECT_EQ(all, row.expect);
    if (row.pieces == 0) continue;
    ASSERT_FALSE(pieces.empty());
    EXPECT_GE(pieces[0].first, row.first_min);
    EXPECT_LE(pieces[0].first, row.first_max);
    ASSERT_EQ(pieces.size(), row.pieces);
    if (row.pieces == 2) {
      EXPECT_GE(pieces[1].first - pieces[0].first, 250);
    }
  }
}

TEST_F(ModemProgram, FaultForOneTimeThenPlainReplies) {
  ASSERT_TRUE(start({"--fault", "eid:status=1,times=1"}));
  PtyClient c(link_);
  std::string status;
  ASSERT_TRUE(simtest::read_eid_status(c.exchange("AT+QESIM=\"eid\""), &status));
  EXPECT_EQ(status, "1");
  ASSERT_TRUE(simtest::read_eid_status(c.exchange("AT+QESIM=\"eid\""), &status));
  EXPECT_EQ(status, "0");
}

// A soak changes a running modem's faults between runs: a replaced file
// is read again before the next command, its counts start afresh, and an
// emptied one leaves the plain replies.
TEST_F(ModemProgram, FaultFileIsReadAgainWhenReplaced) {
  std::string file = dir_ + "/faults";
  auto replace = [&](const std::string &text) {
    std::ofstream(file + ".new") << text;
    ASSERT_EQ(rename((file + ".new").c_str(), file.c_str()), 0);
  };
  ASSERT_TRUE(start({"--fault-file", file}));
  PtyClient c(link_);
  std::string status;
  auto eid_status = [&]() {
    status.clear();
    simtest::read_eid_status(c.exchange("AT+QESIM=\"eid\""), &status);
    return status;
  };
  EXPECT_EQ(eid_status(), "0") << "no file yet";
  replace("# once\neid:status=1,times=1\n");
  EXPECT_EQ(eid_status(), "1");
  EXPECT_EQ(eid_status(), "0") << "used up";
  replace("eid:status=1,times=1\n");
  EXPECT_EQ(eid_status(), "1") << "the same line again, counted afresh";
  replace("eid:status=2\n");
  EXPECT_EQ(eid_status(), "2");
  replace("");
  EXPECT_EQ(eid_status(), "0");
}

// A modem unplugged by hangup=MS comes back on a new pty at the same link,
// with the eUICC it had.
TEST_F(ModemProgram, HangUpWithReplugComesBackWithItsEuicc) {
  ASSERT_TRUE(start(
      {"--fault", "cfun_set:hangup=300,times=1", "--profile", "89883000000000000018,enabled,B"}));
  {
    PtyClient c(link_);
    EXPECT_EQ(c.exchange("AT+CFUN=4", 500), "");
  }
  ASSERT_TRUE(simtest::wait_for_path(link_, 3000));
  PtyClient again(link_);
  EXPECT_EQ(simtest::read_iccids(again.exchange("AT+QESIM=\"list\"")),
            std::vector<std::string>{"89883000000000000018"});
  EXPECT_EQ(simtest::read_cfun_level(again.exchange("AT+CFUN?")), 1)
      << "the hung-up command was not carried out";
}

TEST_F(ModemProgram, BigReplyIs20000BytesStartingWithTheReply) {
  ASSERT_TRUE(start({"--fault", "list:big", "--profile", "89883000000000000018,enabled,B"}));
  PtyClient c(link_);
  std::string reply = c.exchange("AT+QESIM=\"list\"", 2000, 150);
  EXPECT_EQ(reply.size(), 20000u);
  EXPECT_EQ(reply.rfind("\r\n+QESIM: \"list\",0,1\r\n", 0), 0u);
  EXPECT_EQ(simtest::read_iccids(reply), std::vector<std::string>{"89883000000000000018"});
}

TEST_F(ModemProgram, ScenarioFileSetsTheDevice) {
  std::string scenario = dir_ + "/scenario";
  std::ofstream(scenario) << "# level 0 at start, list newest first\ncfun 0\nlist-newest-first\n"
                             "profile=89883000000000000018,enabled,Boot\n"
                             "fault download:status=9\n";
  ASSERT_TRUE(start({"--scenario", scenario}));
  PtyClient c(link_);
  EXPECT_EQ(simtest::read_cfun_level(c.exchange("AT+CFUN?")), 0);
  c.exchange("AT+CFUN=1");
  EXPECT_EQ(simtest::read_trans(c.exchange("AT+QESIM=\"download\",1,\"LPA:1$h$m\""), false).status,
            "9");
}

TEST_F(ModemProgram, TranscriptRecordsCommandsRepliesAndTimes) {
  ASSERT_TRUE(start({"--fault", "qgmr:delay=200", "--fault", "eid:silent"}));
  std::vector<std::string> replies;
  {
    PtyClient c(link_);
    replies.push_back(c.exchange("AT+CFUN?"));
    replies.push_back(c.exchange("AT+QGMR"));
    replies.push_back(c.exchange("AT+QESIM=\"eid\"", 300));
  }
  std::vector<std::string> lines = simtest::read_lines(transcript_);
  ASSERT_EQ(lines.size(), 3u);
  const char *cmds[] = {"AT+CFUN?\r\n", "AT+QGMR\r\n", "AT+QESIM=\"eid\"\r\n"};
  double last_time = 0;
  for (size_t i = 0; i < 3; ++i) {
    Json j(cJSON_Parse(lines[i].c_str()));
    ASSERT_NE(j, nullptr) << lines[i];
    EXPECT_STREQ(cJSON_GetObjectItem(j.get(), "cmd")->valuestring, cmds[i]);
    EXPECT_EQ(cJSON_GetObjectItem(j.get(), "reply")->valuestring, replies[i]);
    EXPECT_EQ(cJSON_GetObjectItem(j.get(), "channel")->valueint, 3);
    double t = cJSON_GetObjectItem(j.get(), "time")->valuedouble;
    EXPECT_GE(t, last_time);
    last_time = t;
    cJSON *rt = cJSON_GetObjectItem(j.get(), "reply_time");
    if (i == 1) {
      EXPECT_GE(rt->valuedouble - t, 0.18);
      EXPECT_LT(rt->valuedouble - t, 0.6);
    }
    if (i == 2) {
      EXPECT_TRUE(cJSON_IsNull(rt));
    }
  }
}

// The install fault waits for the last chunk of the getBoundProfilePackage
// answer: the last chunks of the two answers before it pass untouched.
TEST_F(ModemProgram, InstallFaultAppliesToTheEndOfTheDownloadOnly) {
  ASSERT_TRUE(start({"--fault", "install:status=3"}));
  sim::SmdpService server(sim::SmdpSettings{"", 10000, 5});
  std::string reply;
  {
    PtyClient c(link_);
    reply = c.exchange("AT+QESIM=\"download\",1,\"LPA:1$smdp.example$M\"");
    for (int round = 0; round < 3; ++round) {
      simtest::TransFields f = simtest::read_trans(reply, false);
      ASSERT_EQ(f.status, "0") << reply;
      std::string function = f.path.substr(f.path.rfind('/') + 1);
      std::string hex = sim::hex_encode(server.handle(function, f.payload).body);
      for (const auto &chunk : simtest::chunk_commands(hex)) reply = c.exchange(chunk, 2000, 25);
    }
    bool found = false;
    EXPECT_EQ(simtest::read_status(reply, "download", &found), "3");
    EXPECT_EQ(simtest::read_trans(reply, false).path, "/gsma/rsp2/es9plus/handleNotification");
    EXPECT_TRUE(simtest::read_iccids(c.exchange("AT+QESIM=\"list\"")).empty())
        << "the failed installation leaves no profile";
  }
  std::vector<std::string> faults;
  for (const auto &line : simtest::read_lines(transcript_)) {
    Json j(cJSON_Parse(line.c_str()));
    ASSERT_NE(j, nullptr) << line;
    if (std::string(cJSON_GetObjectItem(j.get(), "kind")->valuestring) != "trans_last") continue;
    cJSON *fault = cJSON_GetObjectItem(j.get(), "fault");
    faults.push_back(cJSON_IsString(fault) ? fault->valuestring : "");
  }
  EXPECT_EQ(faults, (std::vector<std::string>{"", "", "install:status=3"}));
}

// An unknown QESIM command is answered and recorded like any unknown
// command, apart from a known one with bad arguments.
TEST_F(ModemProgram, TranscriptRecordsUnknownQesimCommandsAsUnknownWithError) {
  ASSERT_TRUE(start());
  struct Row {
    const char *situation;
    std::string cmd;
    const char *kind;
    const char *reply;
  } rows[] = {
      {"QESIM sub-command the modem does not know", "AT+QESIM=\"bogus\"", "unknown",
       "\r\nERROR\r\n"},
      {"QESIM arguments that do not split", "AT+QESIM=\"eid", "unknown", "\r\nERROR\r\n"},
      {"known QESIM command with a bad argument", "AT+QESIM=\"ntf_list\",9", "ntf_list",
       "\r\n+CME ERROR: 50\r\n"},
      {"unknown command", "AT+XYZ", "unknown", "\r\nERROR\r\n"},
  };
  {
    PtyClient c(link_);
    for (const auto &row : rows) EXPECT_EQ(c.exchange(row.cmd), row.reply) << row.situation;
  }
  std::vector<std::string> lines = simtest::read_lines(transcript_);
  ASSERT_EQ(lines.size(), std::size(rows));
  for (size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(rows[i].situation);
    Json j(cJSON_Parse(lines[i].c_str()));
    ASSERT_NE(j, nullptr) << lines[i];
    EXPECT_STREQ(cJSON_GetObjectItem(j.get(), "cmd")->valuestring, (rows[i].cmd + "\r\n").c_str());
    EXPECT_STREQ(cJSON_GetObjectItem(j.get(), "kind")->valuestring, rows[i].kind);
    EXPECT_STREQ(cJSON_GetObjectItem(j.get(), "reply")->valuestring, rows[i].reply);
  }
}

TEST_F(ModemProgram, DeviceCanBeClosedAndOpenedAgain) {
  ASSERT_TRUE(start());
  {
    PtyClient c(link_);
    EXPECT_EQ(c.exchange("AT"), "\r\nOK\r\n");
  }
  {
    PtyClient c(link_);
    EXPECT_EQ(c.exchange("AT"), "\r\nOK\r\n");
  }
}

// A refused option ends the program with status 2 before the device is
// published, with a message naming what was wrong.
TEST_F(ModemProgram, BadOptionsAndNumbersAreRefused) {
  std::ofstream(dir_ + "/scenario") << "cfun 1\nchannel 1x\n";
  struct Row {
    const char *situation;
    std::vector<std::string> opts;
    const char *message;
  } rows[] = {
      {"unknown fault action", {"--fault", "eid:explode"}, "unknown fault action 'explode'"},
      {"fault without an action", {"--fault", "eid"}, "fault must read KIND:ACTION"},
      {"fault delay with a unit", {"--fault", "qgmr:delay=20ms"}, "bad value for 'delay'"},
      {"negative fault count", {"--fault", "eid:status=1,times=-1"}, "bad value for 'times'"},
      {"channel as a word", {"--channel", "three"}, "bad number for --channel: three"},
      {"channel from a scenario file",
       {"--scenario", dir_ + "/scenario"},
       "bad number for --channel: 1x"},
      {"negative time factor", {"--time-factor", "-1"}, "bad number for --time-factor: -1"},
      {"time factor with a comma", {"--time-factor", "0,5"}, "bad number for --time-factor: 0,5"},
      {"level AT+CFUN cannot set", {"--cfun", "2"}, "bad number for --cfun: 2"},
      {"seed past 64 bits", {"--seed", "18446744073709551616"}, "bad number for --seed"},
      {"notification count with a sign",
       {"--delete-notifications", "+3"},
       "bad number for --delete-notifications: +3"},
      {"unknown option", {"--colour", "red"}, "unknown option --colour"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.situation);
    std::string link = dir_ + "/refused";
    std::vector<std::string> argv = {SIM_MODEM_BIN, "--link", link};
    argv.insert(argv.end(), row.opts.begin(), row.opts.end());
    EXPECT_EQ(simtest::run_to_end(argv, dir_ + "/stderr", 5000), 2);
    std::string err = simtest::read_file(dir_ + "/stderr");
    EXPECT_NE(err.find(row.message), std::string::npos) << err;
    EXPECT_NE(err.find("usage: sim_modem"), std::string::npos);
    struct stat st;
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "the device was published";
  }
}

TEST_F(ModemProgram, NumbersAtTheirLimitsAreTaken) {
  ASSERT_TRUE(start({"--cfun", "4", "--seed", "18446744073709551615", "--delete-notifications", "3",
                     "--time-factor", "1000", "--profile", "89883000000000000018,disabled,B"}));
  PtyClient c(link_);
  EXPECT_EQ(simtest::read_cfun_level(c.exchange("AT+CFUN?")), 4);
  c.exchange("AT+CFUN=1");
  c.exchange("AT+QESIM=\"delete\",\"89883000000000000018\"");
  std::string reply = c.exchange("AT+QESIM=\"ntf_list\",3");
  size_t lines = 0;
  for (size_t at = reply.find("\"ntf\","); at != std::string::npos;
       at = reply.find("\"ntf\",", at + 1))
    ++lines;
  EXPECT_EQ(lines, 3u) << reply;
}

}  // namespace
