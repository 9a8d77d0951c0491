// The simulated modem's device model: the download dialogue with the
// simulated server's answers, chunk reassembly and its refusals, and the
// reply shapes read by the readers' rules.
#include "modem_model.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "sim_test_support.h"
#include "sim_util.h"
#include "smdp_service.h"

namespace {

using simtest::chunk_commands;
using simtest::read_trans;

std::string send_all(sim::ModemModel &m, const std::vector<std::string> &cmds) {
  std::string last;
  for (const auto &c : cmds) last = m.answer(c);
  return last;
}

sim::ModemSettings with_profile() {
  sim::ModemSettings s;
  s.profiles.push_back({"89883000000000000018", true, "Bootstrap"});
  return s;
}

// Runs the dialogue against the simulated server up to (not including) the
// answer of `stop_before`; gives the modem's last reply.
std::string dialogue(sim::ModemModel &m, sim::SmdpService &server, const std::string &stop_before) {
  std::string reply = m.answer("AT+QESIM=\"download\",1,\"LPA:1$smdp.example$MATCH-1\"");
  for (;;) {
    simtest::TransFields f = read_trans(reply, false);
    std::string function = f.path.substr(f.path.rfind('/') + 1);
    if (f.status != "0" || function == stop_before || function == "handleNotification")
      return reply;
    sim::SmdpAnswer a = server.handle(function, f.payload);
    reply = send_all(m, chunk_commands(sim::hex_encode(a.body)));
  }
}

TEST(ModemDialogue, RunsTheThreeExchangesInOrderAndInstallsTheProfile) {
  sim::ModemModel m(with_profile());
  sim::SmdpService server(sim::SmdpSettings{"smdp.example", 30000, 5});
  std::string first = m.answer("AT+QESIM=\"download\",1,\"LPA:1$smdp.example$MATCH-1\"");
  simtest::TransFields f = read_trans(first, true);
  EXPECT_EQ(f.status, "0");
  EXPECT_EQ(f.path, "/gsma/rsp2/es9plus/initiateAuthentication");
  EXPECT_EQ(f.host, "smdp.example");
  std::vector<std::string> paths;
  std::string reply = first;
  for (int i = 0; i < 3; ++i) {
    f = read_trans(reply, false);
    paths.push_back(f.path);
    sim::SmdpAnswer a = server.handle(f.path.substr(f.path.rfind('/') + 1), f.payload);
    ASSERT_EQ(a.status, 200) << a.body;
    reply = send_all(m, chunk_commands(sim::hex_encode(a.body)));
  }
  EXPECT_EQ(paths, (std::vector<std::string>{"/gsma/rsp2/es9plus/initiateAuthentication",
                                             "/gsma/rsp2/es9plus/authenticateClient",
                                             "/gsma/rsp2/es9plus/getBoundProfilePackage"}));
  f = read_trans(reply, false);
  EXPECT_EQ(f.status, "0");
  EXPECT_EQ(f.path, "/gsma/rsp2/es9plus/handleNotification");
  EXPECT_EQ(server.handle("handleNotification", f.payload).status, 204);
  bool found = false;
  EXPECT_EQ(simtest::read_status(reply, "download", &found), "0");
  EXPECT_TRUE(found);
  std::string iccid;
  ASSERT_TRUE(simtest::read_last_iccid(m.answer("AT+QESIM=\"list\""), &iccid));
  EXPECT_EQ(iccid, "89882470000000000017");
  EXPECT_EQ(m.download_stage(), sim::DownloadStage::kNone);
}

TEST(ModemDialogue, RequestsCarryTheFieldsOfRealEs9Requests) {
  sim::ModemModel m(with_profile());
  sim::SmdpService server(sim::SmdpSettings{"", 10000, 5});
  struct Row {
    const char *stop_before;
    std::vector<const char *> members;
  } rows[] = {
      {"initiateAuthentication",
       {"\"euiccChallenge\":\"", "\"euiccInfo1\":\"", "\"smdpAddress\":\""}},
      {"authenticateClient", {"\"transactionId\":\"", "\"authenticateServerResponse\":\""}},
      {"getBoundProfilePackage", {"\"transactionId\":\"", "\"prepareDownloadResponse\":\""}},
      {"handleNotification", {"\"pendingNotification\":\""}},
  };
  for (const auto &row : rows) {
    sim::ModemModel fresh(with_profile());
    std::string reply = dialogue(fresh, server, row.stop_before);
    simtest::TransFields f = read_trans(reply, false);
    EXPECT_EQ(f.path, std::string("/gsma/rsp2/es9plus/") + row.stop_before);
    for (const char *member : row.members)
      EXPECT_NE(f.payload.find(member), std::string::npos) << member;
    EXPECT_LT(reply.size(), 16384u);
  }
}

// What the scenarios need to catch a host taken from the wrong reply, and a
// notification request without a path.
TEST(ModemDialogue, LaterHostAndEmptyNotificationPath) {
  struct Row {
    const char *name;
    std::string later_host;
    bool empty_path;
    const char *notification_path;
    const char *later_payload_host;  // read the way the host is read from the first reply
  } rows[] = {
      {"plain", "", false, "/gsma/rsp2/es9plus/handleNotification", nullptr},
      {"later host", "other.example", false, "/gsma/rsp2/es9plus/handleNotification",
       "other.example"},
      {"empty notification path", "", true, "", nullptr},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    sim::ModemSettings settings = with_profile();
    settings.later_host = row.later_host;
    settings.empty_notification_path = row.empty_path;
    sim::ModemModel m(settings);
    sim::SmdpService server(sim::SmdpSettings{"smdp.example", 10000, 5});
    simtest::TransFields first =
        read_trans(m.answer("AT+QESIM=\"download\",1,\"LPA:1$smdp.example$M\""), true);
    EXPECT_EQ(first.host, "smdp.example") << "the first request names the activation code's host";
    // The dialogue helper stops at the request named by the last part of its path.
    auto stop_at = [&](std::string function) {
      return function == "handleNotification" && row.empty_path ? std::string() : function;
    };
    std::string reply = dialogue(m, server, stop_at("handleNotification"));
    for (const char *stop :
         {"authenticateClient", "getBoundProfilePackage", "handleNotification"}) {
      sim::ModemModel fresh(settings);
      simtest::TransFields f = read_trans(dialogue(fresh, server, stop_at(stop)), true);
      if (row.later_payload_host)
        EXPECT_EQ(f.host, row.later_payload_host) << stop;
      else
        EXPECT_EQ(f.payload.find("smdpAddress"), std::string::npos) << stop;
    }
    simtest::TransFields last = read_trans(reply, false);
    EXPECT_EQ(last.status, "0");
    EXPECT_TRUE(last.has_path);
    EXPECT_EQ(last.path, row.notification_path);
    EXPECT_NE(last.payload.find("\"pendingNotification\":\""), std::string::npos);
    bool found = false;
    EXPECT_EQ(simtest::read_status(reply, "download", &found), "0");
  }
}

TEST(ModemDialogue, AnswerForAnotherTransactionIsRefused) {
  sim::ModemModel m(with_profile());
  sim::SmdpService server(sim::SmdpSettings{"", 10000, 5});
  std::string reply = dialogue(m, server, "authenticateClient");
  // A well-formed authenticateClient answer, but for a transaction the modem never started.
  sim::ModemModel other(with_profile());
  sim::SmdpService other_server(sim::SmdpSettings{"", 10000, 99});
  simtest::TransFields f = read_trans(dialogue(other, other_server, "authenticateClient"), false);
  std::string foreign = other_server.handle("authenticateClient", f.payload).body;
  reply = send_all(m, chunk_commands(sim::hex_encode(foreign)));
  EXPECT_EQ(read_trans(reply, false).status, "5");
  EXPECT_EQ(m.download_stage(), sim::DownloadStage::kNone);
}

// An answer to initiateAuthentication as the server sends it, in hex.
std::string good_first_answer() {
  sim::SmdpService server(sim::SmdpSettings{"", 10000, 3});
  sim::ModemModel m(with_profile());
  simtest::TransFields f = read_trans(m.answer("AT+QESIM=\"download\",1,\"LPA:1$h$x\""), false);
  return server.handle("initiateAuthentication", f.payload).body;
}

std::string chunk(long total, int more, int index, long len, const std::string &text) {
  char head[96];
  snprintf(head, sizeof head, "AT+QESIM=\"trans\",%ld,%d,%d,%ld,\"", total, more, index, len);
  return head + text + "\"";
}

TEST(ModemChunks, ReassemblyAcceptsTheToolsChunkingAndRefusesBrokenSequences) {
  const std::string hex = sim::hex_encode(good_first_answer());
  ASSERT_GT(hex.size(), 1400u);
  const long n = (long)hex.size();
  const std::string a = hex.substr(0, 1400), b = hex.substr(1400);
  struct Row {
    const char *situation;
    std::vector<std::string> cmds;
    std::string status;  // of the last reply's trans line; "" when it is a plain OK
  } rows[] = {
      {"answer in 1400-character chunks", chunk_commands(hex), "0"},
      {"chunk over 1400 characters", {chunk(n, 0, 0, n, hex)}, "3"},
      {"index skips one", {chunk(n, 1, 0, 1400, a), chunk(n, 0, 2, (long)b.size(), b)}, "2"},
      {"index starts again at 0",
       {chunk(n, 1, 0, 1400, a), chunk(n, 0, 0, (long)b.size(), b)},
       "2"},
      {"total length changes",
       {chunk(n, 1, 0, 1400, a), chunk(n + 2, 0, 1, (long)b.size(), b)},
       "2"},
      {"last chunk leaves text missing",
       {chunk(n + 2, 1, 0, 1400, a), chunk(n + 2, 0, 1, (long)b.size(), b)},
       "2"},
      {"more announced after the whole text",
       {chunk(n, 1, 0, 1400, a), chunk(n, 1, 1, (long)b.size(), b)},
       "2"},
      {"length field larger than the chunk", {chunk(n, 1, 0, 1401, a)}, "3"},
      {"length field smaller than the chunk", {chunk(n, 1, 0, 1399, a)}, "3"},
      {"uppercase hex", {chunk(n, 1, 0, 1400, "7B" + a.substr(2))}, "4"},
      {"odd number of digits", {chunk(3, 0, 0, 3, "7b7")}, "4"},
      {"continuation flag 2", {chunk(n, 2, 0, 1400, a)}, "2"},
      {"answer that is not JSON", {chunk(4, 0, 0, 4, "3c68")}, "5"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.situation);
    sim::ModemModel m(with_profile());
    m.answer("AT+QESIM=\"download\",1,\"LPA:1$smdp.example$M\"");
    std::string reply = send_all(m, row.cmds);
    EXPECT_EQ(read_trans(reply, false).status, row.status) << reply;
    if (row.status != "0") {
      // A refused sequence ends the download: the next chunk finds none.
      EXPECT_EQ(read_trans(m.answer(chunk(4, 0, 0, 4, "7b7d")), false).status, "1");
    }
  }
}

// The stage decides which answer the next chunks are judged as, and whether
// an install fault applies; it moves only on a complete answer, and any
// refusal ends the download.
TEST(ModemDialogue, StageFollowsEveryStepOfTheDialogue) {
  using Stage = sim::DownloadStage;
  sim::ModemModel m(with_profile());
  sim::SmdpService server(sim::SmdpSettings{"", 10000, 5});
  std::string reply;  // the last reply that carried a request
  auto start = [&] { reply = m.answer("AT+QESIM=\"download\",1,\"LPA:1$smdp.example$M\""); };
  auto server_answer = [&] {
    simtest::TransFields f = read_trans(reply, false);
    return sim::hex_encode(server.handle(f.path.substr(f.path.rfind('/') + 1), f.payload).body);
  };
  auto answer = [&] { reply = send_all(m, chunk_commands(server_answer())); };
  struct Step {
    const char *situation;
    std::function<void()> act;
    Stage after;
  } steps[] = {
      {"no download yet", [] {}, Stage::kNone},
      {"chunk without a download", [&] { m.answer(chunk(4, 0, 0, 4, "7b7d")); }, Stage::kNone},
      {"download started", start, Stage::kInitiateAuthentication},
      {"download with mode 2 leaves the running one",
       [&] { m.answer("AT+QESIM=\"download\",2,\"LPA:1$smdp.example$M\""); },
       Stage::kInitiateAuthentication},
      {"trans with four arguments leaves it", [&] { m.answer("AT+QESIM=\"trans\",4,0,0"); },
       Stage::kInitiateAuthentication},
      {"first chunk of two", [&] { m.answer(chunk_commands(server_answer())[0]); },
       Stage::kInitiateAuthentication},
      {"unknown QESIM command leaves it", [&] { m.answer("AT+QESIM=\"bogus\""); },
       Stage::kInitiateAuthentication},
      {"chunk index skips one", [&] { m.answer(chunk(4, 0, 5, 4, "7b7d")); }, Stage::kNone},
      {"download started again", start, Stage::kInitiateAuthentication},
      {"initiateAuthentication answered", answer, Stage::kAuthenticateClient},
      {"authenticateClient answered", answer, Stage::kGetBoundProfilePackage},
      {"getBoundProfilePackage answered: installed", answer, Stage::kNone},
      {"next download", start, Stage::kInitiateAuthentication},
      {"status given for a chunk", [&] { m.answer(chunk(4, 0, 0, 4, "7b7d"), "9"); }, Stage::kNone},
      {"download once more", start, Stage::kInitiateAuthentication},
      {"answer that is not JSON", [&] { m.answer(chunk(4, 0, 0, 4, "3c68")); }, Stage::kNone},
      {"download at level 0",
       [&] {
         m.answer("AT+CFUN=0");
         start();
       },
       Stage::kNone},
      {"activation code of another format",
       [&] {
         m.answer("AT+CFUN=1");
         m.answer("AT+QESIM=\"download\",1,\"LPB:1$h$M\"");
       },
       Stage::kNone},
  };
  for (const auto &step : steps) {
    SCOPED_TRACE(step.situation);
    step.act();
    EXPECT_EQ(m.download_stage(), step.after) << sim::es9_function(m.download_stage());
    if (step.after != Stage::kNone) {
      EXPECT_EQ(read_trans(reply, false).path,
                std::string("/gsma/rsp2/es9plus/") + sim::es9_function(step.after))
          << "the request waiting for its answer";
    }
  }
}

TEST(ModemChunks, IntermediateChunksGetPlainOk) {
  sim::ModemModel m(with_profile());
  m.answer("AT+QESIM=\"download\",1,\"LPA:1$smdp.example$M\"");
  std::string hex = sim::hex_encode(good_first_answer());
  std::string reply = m.answer(chunk_commands(hex)[0]);
  EXPECT_EQ(reply, "\r\nOK\r\n");
  EXPECT_FALSE(read_trans(reply, false).keyword);
}

TEST(ModemChunks, ServerRefusalAndBadActivationCodesGiveTheirStatus) {
  struct Row {
    const char *situation;
    std::string download;
    std::string answer;  // fed as one chunk when not empty
    std::string status;
  } rows[] = {
      {"server answers Failed", "LPA:1$smdp.example$M",
       sim::SmdpService::failed("8.2.5", "4.3", "no profile"), "6"},
      {"answer without a header", "LPA:1$smdp.example$M", "{\"transactionId\":\"01\"}", "5"},
      {"activation code of another format", "LPB:1$smdp.example$M", "", "8"},
      {"activation code without a host", "LPA:1$$M", "", "8"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.situation);
    sim::ModemModel m(with_profile());
    std::string reply = m.answer("AT+QESIM=\"download\",1,\"" + row.download + "\"");
    if (!row.answer.empty()) reply = send_all(m, chunk_commands(sim::hex_encode(row.answer)));
    EXPECT_EQ(read_trans(reply, false).status, row.status) << reply;
  }
}

// The kind names are what faults attach to and what the scenarios read in
// transcripts. An AT+QESIM= the modem does not know is plain ERROR, like
// any unknown command; a known one with bad arguments is +CME ERROR: 50.
TEST(ModemCommands, KindAndReplyOfKnownUnknownAndMalformedCommands) {
  const std::string error = "\r\nERROR\r\n", cme50 = "\r\n+CME ERROR: 50\r\n";
  struct Row {
    const char *situation;
    std::string line;
    const char *kind;
    std::string reply;  // "" when only the kind is checked
  } rows[] = {
      {"plain AT", "AT", "at", "\r\nOK\r\n"},
      {"echo off", "ATE0", "ate", "\r\nOK\r\n"},
      {"level query", "AT+CFUN?", "cfun_query", ""},
      {"level set in lower case", "at+cfun=1", "cfun_set", "\r\nOK\r\n"},
      {"firmware", "AT+QGMR", "qgmr", ""},
      {"EID in lower case", "at+qesim=\"eid\"", "eid", ""},
      {"download", "AT+QESIM=\"download\",1,\"LPA:1$h$m\"", "download", ""},
      {"chunk with more to come", "AT+QESIM=\"trans\",8,1,0,4,\"7b7d\"", "trans", ""},
      {"last chunk", "AT+QESIM=\"trans\",4,0,0,4,\"7b7d\"", "trans_last", ""},
      {"list", "AT+QESIM=\"list\"", "list", ""},
      {"enable", "AT+QESIM=\"enable\",\"89883000000000000018\"", "enable", ""},
      {"disable", "AT+QESIM=\"disable\",\"89883000000000000018\"", "disable", ""},
      {"delete", "AT+QESIM=\"delete\",\"89000000000000000000\"", "delete", ""},
      {"notification list", "AT+QESIM=\"ntf_list\",0", "ntf_list", ""},
      {"notification", "AT+QESIM=\"ntf_get\",1", "ntf_get", ""},
      {"notification delete", "AT+QESIM=\"ntf_delete\",1", "ntf_delete", ""},
      {"unknown command", "AT+XYZ", "unknown", error},
      {"QESIM query", "AT+QESIM?", "unknown", error},
      {"QESIM sub-command the modem does not know", "AT+QESIM=\"bogus\",1", "unknown", error},
      {"QESIM sub-command in upper case", "AT+QESIM=\"EID\"", "unknown", error},
      {"QESIM kind name that is no sub-command", "AT+QESIM=\"trans_last\"", "unknown", error},
      {"QESIM without a sub-command", "AT+QESIM=", "unknown", error},
      {"QESIM with an unterminated quote", "AT+QESIM=\"eid", "unknown", error},
      {"QESIM with text behind a quote", "AT+QESIM=\"eid\"x", "unknown", error},
      {"EID with an argument", "AT+QESIM=\"eid\",1", "eid", cme50},
      {"download mode 2", "AT+QESIM=\"download\",2,\"LPA:1$h$m\"", "download", cme50},
      {"last chunk without its text", "AT+QESIM=\"trans\",4,0,0,4", "trans_last", cme50},
      {"enable without an ICCID", "AT+QESIM=\"enable\"", "enable", cme50},
      {"notification list selector 4", "AT+QESIM=\"ntf_list\",4", "ntf_list", cme50},
      {"notification number as a word", "AT+QESIM=\"ntf_get\",one", "ntf_get", cme50},
      {"notification delete without a number", "AT+QESIM=\"ntf_delete\"", "ntf_delete", cme50},
      {"level 7", "AT+CFUN=7", "cfun_set", cme50},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.situation);
    EXPECT_STREQ(sim::command_kind_name(sim::command_kind(row.line)), row.kind);
    if (row.reply.empty()) continue;
    sim::ModemModel m(with_profile());
    EXPECT_EQ(m.answer(row.line), row.reply);
  }
}

TEST(ModemReplies, RadioAndEidRepliesReadAsTheToolReadsThem) {
  sim::ModemSettings s = with_profile();
  s.cfun = 0;
  sim::ModemModel m(s);
  EXPECT_EQ(simtest::read_cfun_level(m.answer("AT+CFUN?")), 0);
  std::string status;
  ASSERT_TRUE(simtest::read_eid_status(m.answer("AT+QESIM=\"eid\""), &status));
  EXPECT_NE(status, "0") << "the eUICC is off at level 0";
  EXPECT_NE(m.answer("AT+CFUN=1").find("OK"), std::string::npos);
  EXPECT_EQ(simtest::read_cfun_level(m.answer("AT+CFUN?")), 1);
  ASSERT_TRUE(simtest::read_eid_status(m.answer("AT+QESIM=\"eid\""), &status));
  EXPECT_EQ(status, "0");
  EXPECT_NE(m.answer("AT+CFUN=4").find("OK"), std::string::npos);
  EXPECT_EQ(simtest::read_cfun_level(m.answer("AT+CFUN?")), 4);
  EXPECT_NE(m.answer("AT+CFUN=7").find("ERROR"), std::string::npos);
}

TEST(ModemReplies, ProfileListDisableAndDelete) {
  sim::ModemSettings s = with_profile();
  s.profiles.push_back({"8944500000000000012F", false, "Padded"});
  sim::ModemModel m(s);
  std::string list = m.answer("AT+QESIM=\"list\"");
  EXPECT_NE(list.find("list"), std::string::npos);
  EXPECT_EQ(simtest::read_iccids(list),
            (std::vector<std::string>{"89883000000000000018", "8944500000000000012F"}));
  struct Row {
    const char *situation;
    std::string cmd, keyword, status;
  } rows[] = {
      {"disable an enabled profile", "AT+QESIM=\"disable\",\"89883000000000000018\"", "disable",
       "0"},
      {"disable it again", "AT+QESIM=\"disable\",\"89883000000000000018\"", "disable", "2"},
      {"disable an unknown ICCID", "AT+QESIM=\"disable\",\"89000000000000000000\"", "disable", "1"},
      {"delete a profile", "AT+QESIM=\"delete\",\"89883000000000000018\"", "delete", "0"},
      {"delete it again", "AT+QESIM=\"delete\",\"89883000000000000018\"", "delete", "1"},
  };
  for (const auto &row : rows) {
    bool found = false;
    EXPECT_EQ(simtest::read_status(m.answer(row.cmd), row.keyword, &found), row.status)
        << row.situation;
    EXPECT_TRUE(found) << row.situation;
  }
  EXPECT_EQ(simtest::read_iccids(m.answer("AT+QESIM=\"list\"")),
            std::vector<std::string>{"8944500000000000012F"});
}

TEST(ModemReplies, NewestFirstListPutsTheDownloadedProfileFirst) {
  sim::ModemSettings s = with_profile();
  s.newest_first = true;
  sim::ModemModel m(s);
  sim::SmdpService server(sim::SmdpSettings{"", 10000, 5});
  dialogue(m, server, "handleNotification");
  std::vector<std::string> iccids = simtest::read_iccids(m.answer("AT+QESIM=\"list\""));
  ASSERT_EQ(iccids.size(), 2u);
  EXPECT_EQ(iccids.front(), "89882470000000000017");
  EXPECT_EQ(iccids.back(), "89883000000000000018");
}

TEST(ModemReplies, NotificationsOfADownloadedAndDeletedProfile) {
  sim::ModemModel m(with_profile());
  sim::SmdpService server(sim::SmdpSettings{"", 10000, 5});
  dialogue(m, server, "handleNotification");
  const std::string iccid = "89882470000000000017";
  m.answer("AT+QESIM=\"delete\",\"" + iccid + "\"");
  std::string seq;
  // The download's install notification (seq 1) went to the host and is not
  // pending; the delete left seq 2.
  ASSERT_TRUE(simtest::read_ntf_last(m.answer("AT+QESIM=\"ntf_list\",3"), iccid, &seq));
  EXPECT_EQ(seq, "2");
  std::string status, data;
  ASSERT_TRUE(simtest::read_ntf_get(m.answer("AT+QESIM=\"ntf_get\"," + seq), &status, &data));
  std::string bytes;
  EXPECT_TRUE(sim::base64_decode(data, &bytes));
  EXPECT_GT(bytes.size(), 100u);
  bool found = false;
  EXPECT_EQ(simtest::read_status(m.answer("AT+QESIM=\"ntf_delete\"," + seq), "ntf_delete", &found),
            "0");
  EXPECT_FALSE(simtest::read_ntf_first(m.answer("AT+QESIM=\"ntf_list\",0"), iccid, &seq));
  EXPECT_EQ(simtest::read_status(m.answer("AT+QESIM=\"ntf_delete\",1"), "ntf_delete", &found), "1");
  EXPECT_FALSE(simtest::read_ntf_get(m.answer("AT+QESIM=\"ntf_get\",1"), &status, &data));
  EXPECT_EQ(status, "1\r\n\r\nOK\r\n");
}

TEST(ModemReplies, ThreeAndEndlessPendingNotifications) {
  const std::string iccid = "89883000000000000018";
  sim::ModemSettings three = with_profile();
  three.delete_notifications = 3;
  sim::ModemModel m(three);
  m.answer("AT+QESIM=\"delete\",\"" + iccid + "\"");
  int cleaned = 0;
  std::string seq;
  while (cleaned < 10 &&
         simtest::read_ntf_first(m.answer("AT+QESIM=\"ntf_list\",0"), iccid, &seq)) {
    m.answer("AT+QESIM=\"ntf_delete\"," + seq);
    ++cleaned;
  }
  EXPECT_EQ(cleaned, 3);

  sim::ModemSettings endless = with_profile();
  endless.endless_notifications = true;
  sim::ModemModel e(endless);
  e.answer("AT+QESIM=\"delete\",\"" + iccid + "\"");
  std::vector<std::string> seqs;
  while (seqs.size() < 10 &&
         simtest::read_ntf_first(e.answer("AT+QESIM=\"ntf_list\",0"), iccid, &seq)) {
    e.answer("AT+QESIM=\"ntf_delete\"," + seq);
    seqs.push_back(seq);
  }
  EXPECT_EQ(seqs.size(), 10u);
  EXPECT_NE(seqs.front(), seqs.back()) << "each one is a new notification";
}

// The shapes other modems answer in, each within what the readers rely on;
// esimctl-info's scenarios run them against the tool. Each modem has an EID
// of its own.
TEST(ModemReplies, OtherModemsShapes) {
  const std::string ok = "\r\n\r\nOK\r\n";
  struct Row {
    const char *situation;
    std::function<void(sim::ModemSettings *)> set;
    std::string cmd, reply;
  } rows[] = {
      {"list with a count", [](sim::ModemSettings *s) { s->list_head = "count"; },
       "AT+QESIM=\"list\"",
       "\r\n+QESIM: \"list\",1\r\n+QESIM: 1,\"89883000000000000018\",1,\"Bootstrap\"" + ok},
      {"list with nothing after its keyword", [](sim::ModemSettings *s) { s->list_head = "bare"; },
       "AT+QESIM=\"list\"",
       "\r\n+QESIM: \"list\"\r\n+QESIM: 1,\"89883000000000000018\",1,\"Bootstrap\"" + ok},
      {"notification with its ICCID unquoted",
       [](sim::ModemSettings *s) { s->ntf_line = "unquoted"; }, "AT+QESIM=\"ntf_list\",0",
       "\r\n+QESIM: \"ntf_list\",0\r\n+QESIM: \"ntf_list\",1,89883000000000000018,3" + ok},
      {"notification with its sequence number last",
       [](sim::ModemSettings *s) { s->ntf_line = "seq-last"; }, "AT+QESIM=\"ntf_list\",3",
       "\r\n+QESIM: \"ntf_list\",0\r\n+QESIM: \"89883000000000000018\",1" + ok},
      {"EID unquoted", [](sim::ModemSettings *s) { s->eid_unquoted = true; }, "AT+QESIM=\"eid\"",
       "\r\n+QESIM: \"eid\",0,89049032000001000000000000000107" + ok},
      {"EID of the modem on channel 12", [](sim::ModemSettings *s) { s->channel = 12; },
       "AT+QESIM=\"eid\"", "\r\n+QESIM: \"eid\",0,\"89049032000001000000000000001207\"" + ok},
      {"EID given", [](sim::ModemSettings *s) { s->eid = "89049032000001000000000000009907"; },
       "AT+QESIM=\"eid\"", "\r\n+QESIM: \"eid\",0,\"89049032000001000000000000009907\"" + ok},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.situation);
    sim::ModemSettings s = with_profile();
    s.notifications.push_back({1, "89883000000000000018", "delete", "smdp.example", "MA=="});
    row.set(&s);
    sim::ModemModel m(s);
    EXPECT_EQ(m.answer(row.cmd), row.reply);
  }
}

TEST(ModemReplies, StatusOverrideChangesNothing) {
  sim::ModemModel m(with_profile());
  bool found = false;
  EXPECT_EQ(simtest::read_status(m.answer("AT+QESIM=\"delete\",\"89883000000000000018\"", "6"),
                                 "delete", &found),
            "6");
  EXPECT_EQ(simtest::read_iccids(m.answer("AT+QESIM=\"list\"")).size(), 1u);
  EXPECT_EQ(simtest::read_cfun_level(m.answer("AT+CFUN?", "0")), 0);
}

TEST(ModemIccid, NextIccidCountsUpKeepingThePadding) {
  EXPECT_EQ(sim::next_iccid("89882470000000000017"), "89882470000000000018");
  EXPECT_EQ(sim::next_iccid("8988247000000000009F"), "8988247000000000010F");
}

}  // namespace
