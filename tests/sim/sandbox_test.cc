// The sandbox: a gateway that leaves nothing on the host, runs side by side
// with others, carries 32 channels, scales the simulators' delays, and
// leaves a transcript folder with every run's output and status.
#include <cjson/cJSON.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "sim_test_support.h"

namespace {

using simtest::read_file;

// What the host has at the gateway's fixed paths, to compare before and after.
std::string host_paths() {
  std::string out;
  for (const char *p :
       {"/dev/zarn", "/dev/zarn/chn_usb", "/www", "/my_tools", "/data/log", "/data"}) {
    out += p;
    DIR *d = opendir(p);
    if (d == nullptr) {
      out += " absent\n";
      continue;
    }
    while (dirent *e = readdir(d)) out += std::string(" ") + e->d_name;
    closedir(d);
    out += "\n";
  }
  return out;
}

class Sandbox : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/simsandbox.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }
  std::string script(const std::string &name, const std::string &text) {
    std::string path = dir_ + "/" + name;
    std::ofstream(path) << text;
    return path;
  }
  // The sandbox command line for transcript folder `out`, as a shell text.
  std::string command(const std::string &out, const std::string &options) {
    return std::string(SIM_SANDBOX) + " --build '" + TEST_BINARY_DIR + "' --esimctl '" +
           ESIMCTL_BIN + "' --out '" + dir_ + "/" + out + "' " + options + " >'" + dir_ + "/" +
           out + ".log' 2>&1";
  }
  std::string dir_;
};

const char kProbe[] = R"(
exec 3<>/dev/zarn/chn_usb/1
printf 'AT+CFUN?\r\n' >&3
timeout 0.3 cat <&3 >/sim/out/at_reply
curl -sk -X POST https://smdp.example/gsma/rsp2/es9plus/initiateAuthentication \
  -d '{"euiccChallenge":"ESIzRFVmd4iZqrvM3e7/AA==","euiccInfo1":"vyAA","smdpAddress":"smdp.example"}' \
  >/sim/out/curl_answer
curl -s -m 2 -o /dev/null https://example.com/ && echo reached >/sim/out/outside
esimctl-run -h
)";

TEST_F(Sandbox, TwoGatewaysSideBySideLeaveNothingOnTheHost) {
  std::string before = host_paths();
  std::string probe = script("probe.sh", kProbe);
  FILE *a = popen(command("a", "--channels 1-2 --script " + probe).c_str(), "r");
  FILE *b = popen(command("b", "--channels 1 --script " + probe).c_str(), "r");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  int status_a = pclose(a), status_b = pclose(b);
  // The script's last command is esimctl -h, whose status 1 the sandbox passes on.
  EXPECT_EQ(WEXITSTATUS(status_a), 1) << read_file(dir_ + "/a.log");
  EXPECT_EQ(WEXITSTATUS(status_b), 1) << read_file(dir_ + "/b.log");
  EXPECT_EQ(host_paths(), before);
  for (const std::string &out : std::vector<std::string>{dir_ + "/a", dir_ + "/b"}) {
    SCOPED_TRACE(out);
    EXPECT_EQ(read_file(out + "/at_reply"), "\r\n+CFUN: 1\r\n\r\nOK\r\n");
    EXPECT_NE(read_file(out + "/curl_answer").find("Executed-Success"), std::string::npos);
    EXPECT_EQ(read_file(out + "/outside"), "") << "the network reaches only loopback";
    EXPECT_EQ(read_file(out + "/cmd/01/status"), "1\n");
    EXPECT_EQ(read_file(out + "/cmd/01/command"), "esimctl -h\n");
    EXPECT_EQ(read_file(out + "/cmd/01/stdout").rfind("usage:\n", 0), 0u);
    EXPECT_EQ(access((out + "/cmd/01/sleeps").c_str(), F_OK), 0) << "the sleep shim was preloaded";
    // Each gateway's server saw its own request only.
    EXPECT_EQ(simtest::read_lines(out + "/smdp.jsonl").size(), 1u);
    EXPECT_EQ(simtest::read_lines(out + "/modem/chn_1.jsonl").size(), 1u);
    EXPECT_EQ(read_file(out + "/db.json"), "");
    EXPECT_EQ(read_file(out + "/status"), "1\n");
  }
  EXPECT_EQ(access((dir_ + "/a/modem/chn_2.jsonl").c_str(), F_OK), 0);
  EXPECT_NE(access((dir_ + "/b/modem/chn_2.jsonl").c_str(), F_OK), 0);
}

TEST_F(Sandbox, ThirtyTwoChannelsAnswer) {
  std::string run = script("all.sh", R"(python3 - <<'PY'
import os, select, tty
ok = 0
for ch in range(1, 33):
    fd = os.open('/dev/zarn/chn_usb/%d' % ch, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)
    os.write(fd, b'AT+CFUN?\r\n')
    if select.select([fd], [], [], 2)[0] and b'+CFUN: 1' in os.read(fd, 100):
        ok += 1
    os.close(fd)
open('/sim/out/answered', 'w').write(str(ok))
PY
)");
  ASSERT_EQ(WEXITSTATUS(system(command("c", "--channels all --script " + run).c_str())), 0)
      << read_file(dir_ + "/c.log");
  EXPECT_EQ(read_file(dir_ + "/c/answered"), "32");
  for (int ch = 1; ch <= 32; ++ch)
    EXPECT_EQ(simtest::read_lines(dir_ + "/c/modem/chn_" + std::to_string(ch) + ".jsonl").size(),
              1u)
        << ch;
}

TEST_F(Sandbox, CommandsInSequenceSeededDatabaseAndScaledDelays) {
  std::string options =
      "--channels 1 --time-factor 0.1 --modem-scenario 1:" +
      script("modem.scenario", "fault cfun_query:delay=3000\n") +
      " "
      "--seed-db \"INSERT INTO esim_http VALUES (1, '89882470000000000017', 'smdp.example', "
      "'/gsma/rsp2/es9plus/handleNotification', '2026-12-07 04:00:00')\" "
      "--run '-h' --run '-c 1' --script " +
      script("probe.sh",
             "exec 3<>/dev/zarn/chn_usb/1; printf 'AT+CFUN?\\r\\n' >&3; timeout 1 cat <&3 "
             ">/dev/null; exit 0\n");
  ASSERT_EQ(WEXITSTATUS(system(command("d", options).c_str())), 0) << read_file(dir_ + "/d.log");
  EXPECT_EQ(read_file(dir_ + "/d/cmd/01/command"), "esimctl -h\n");
  EXPECT_EQ(read_file(dir_ + "/d/cmd/02/command"), "esimctl -c 1\n");
  EXPECT_EQ(read_file(dir_ + "/d/cmd/02/status"), "1\n");
  EXPECT_EQ(read_file(dir_ + "/d/script_status"), "0\n");
  cJSON *rows = cJSON_Parse(read_file(dir_ + "/d/db.json").c_str());
  ASSERT_TRUE(cJSON_IsArray(rows));
  ASSERT_EQ(cJSON_GetArraySize(rows), 1);
  EXPECT_STREQ(cJSON_GetObjectItem(cJSON_GetArrayItem(rows, 0), "iccid")->valuestring,
               "89882470000000000017");
  cJSON_Delete(rows);
  std::vector<std::string> lines = simtest::read_lines(dir_ + "/d/modem/chn_1.jsonl");
  ASSERT_EQ(lines.size(), 1u);
  cJSON *line = cJSON_Parse(lines[0].c_str());
  double waited = cJSON_GetObjectItem(line, "reply_time")->valuedouble -
                  cJSON_GetObjectItem(line, "time")->valuedouble;
  EXPECT_GE(waited, 0.28);
  EXPECT_LT(waited, 1.0) << "3 s of delay at factor 0.1";
  cJSON_Delete(line);
}

// esimctl as built, unchanged, downloads a profile and removes it again in
// one gateway: the whole road runs on the simulators.
TEST_F(Sandbox, DownloadThenRemovalOfTheSameProfile) {
  std::string flow = script("flow.sh", R"(
esimctl-run -c 2 -a 'LPA:1$smdp.example$DEMO-1' || exit 10
sqlite3 /data/log/esimhttp.db 'SELECT port, iccid, http_ip FROM esim_http' >/sim/out/after_download
iccid=$(sed -n 's/.*iccid: \[\(.*\)\]/\1/p' /sim/out/cmd/01/stdout)
esimctl-run -c 2 -i "$iccid" -r
)");
  ASSERT_EQ(
      WEXITSTATUS(system(command("h", "--channels 2 --time-factor 0.02 --script " + flow).c_str())),
      0)
      << read_file(dir_ + "/h.log");
  EXPECT_EQ(read_file(dir_ + "/h/cmd/01/stdout"),
            "eSim Download Completed, iccid: [89882470000000000017]\n");
  EXPECT_EQ(read_file(dir_ + "/h/after_download"), "2|89882470000000000017|smdp.example\n");
  EXPECT_EQ(read_file(dir_ + "/h/cmd/02/stdout"), "eSIM Remove Completed\n");
  EXPECT_EQ(read_file(dir_ + "/h/db.json"), "") << "the record is forgotten";
  std::vector<std::string> paths;
  for (const auto &line : simtest::read_lines(dir_ + "/h/smdp.jsonl")) {
    cJSON *j = cJSON_Parse(line.c_str());
    paths.push_back(cJSON_GetObjectItem(j, "path")->valuestring);
    cJSON_Delete(j);
  }
  EXPECT_EQ(paths, (std::vector<std::string>{"/gsma/rsp2/es9plus/initiateAuthentication",
                                             "/gsma/rsp2/es9plus/authenticateClient",
                                             "/gsma/rsp2/es9plus/getBoundProfilePackage",
                                             "/gsma/rsp2/es9plus/handleNotification",
                                             "/gsma/rsp2/es9plus/handleNotification"}));
  EXPECT_NE(read_file(dir_ + "/h/www/esim_add_2.txt").find("Send AT 2: [AT+CFUN?"),
            std::string::npos);
}

// The database is dbshell's: the build's client makes the table, with one
// row per port and ICCID, before the seeds run, and without calling the client
// at /my_tools/dbshell, which must see esimctl's statements only.
TEST_F(Sandbox, DbshellMakesTheTableBeforeTheSeeds) {
  std::string client = script("client", R"(#!/bin/sh
printf '%s\n' "$2" >>/sim/out/client_calls
exec /sim/bin/dbshell "$@"
)");
  ASSERT_EQ(chmod(client.c_str(), 0755), 0);
  std::string probe = script("probe.sh", R"(
sqlite3 /data/log/esimhttp.db '.schema esim_http' >/sim/out/schema
/my_tools/dbshell /data/log/esimhttp.db 'SELECT http_ip FROM esim_http' >/sim/out/client_answer
)");
  auto seed = [](const std::string &host) {
    return "--seed-db \"INSERT INTO esim_http VALUES (1, '89882470000000000017', '" + host +
           "', '/p', '2026-12-07 04:00:00')\" ";
  };
  std::string options = "--channels 1 --dbshell '" + client + "' " + seed("a.example") +
                        seed("b.example") + "--script " + probe;
  ASSERT_EQ(WEXITSTATUS(system(command("s", options).c_str())), 0) << read_file(dir_ + "/s.log");
  EXPECT_NE(read_file(dir_ + "/s/schema").find("UNIQUE (port, iccid) ON CONFLICT REPLACE"),
            std::string::npos)
      << read_file(dir_ + "/s/schema");
  EXPECT_EQ(read_file(dir_ + "/s/client_calls"), "SELECT http_ip FROM esim_http\n");
  EXPECT_NE(read_file(dir_ + "/s/client_answer").find("b.example"), std::string::npos)
      << read_file(dir_ + "/s/client_answer");
  cJSON *rows = cJSON_Parse(read_file(dir_ + "/s/db.json").c_str());
  ASSERT_TRUE(cJSON_IsArray(rows));
  ASSERT_EQ(cJSON_GetArraySize(rows), 1) << "the second seed replaced the first";
  EXPECT_STREQ(cJSON_GetObjectItem(cJSON_GetArrayItem(rows, 0), "http_ip")->valuestring,
               "b.example");
  cJSON_Delete(rows);
}

// In the shell a person types plain esimctl: it runs with the shim at the
// gateway's time factor (its 58 s of waits for the modem take about 1 s).
TEST_F(Sandbox, ShellRunsPlainEsimctlAtTheTimeFactor) {
  std::string typed = script(
      "typed", R"(ESIMCTL_SLEEP_LOG=/sim/out/sleeps esimctl -c 1 -a 'LPA:1$smdp.example$DEMO-1'
echo $? >/sim/out/plain_status
)");
  ASSERT_EQ(
      WEXITSTATUS(system(
          (command("s", "--channels 1 --time-factor 0.02 --shell") + " <'" + typed + "'").c_str())),
      0)
      << read_file(dir_ + "/s.log");
  EXPECT_EQ(read_file(dir_ + "/s/plain_status"), "0\n");
  EXPECT_NE(read_file(dir_ + "/s/sleeps"), "") << "the shim took the sleeps";
  std::vector<std::string> lines = simtest::read_lines(dir_ + "/s/modem/chn_1.jsonl");
  ASSERT_GE(lines.size(), 2u);
  auto time_of = [](const std::string &line) {
    cJSON *j = cJSON_Parse(line.c_str());
    double t = cJSON_GetObjectItem(j, "time")->valuedouble;
    cJSON_Delete(j);
    return t;
  };
  EXPECT_LT(time_of(lines.back()) - time_of(lines.front()), 15.0) << "not at real time (over 60 s)";
}

TEST_F(Sandbox, RefusesWhatItCannotSetUp) {
  EXPECT_EQ(WEXITSTATUS(system(command("e", "--channels 40").c_str())), 125);
  EXPECT_EQ(WEXITSTATUS(system(command("h", "--time-factor fast --run -h").c_str())), 125);
  EXPECT_EQ(WEXITSTATUS(system(command("f", "--modem 'no-channel'").c_str())), 125);
  EXPECT_EQ(WEXITSTATUS(system(command("g", "--modem '1:--fault eid:explode' --run -h").c_str())),
            125);
}

}  // namespace
