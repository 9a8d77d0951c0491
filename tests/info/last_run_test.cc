// esimctl-info's reading of the run logs: which run was last and how it
// ended. A wrong reading tells an operator that a failed run succeeded, or
// hides the server's refusal; log text carries modem and server bytes, so
// none of it may steer the reading past its bounds.
#include "last_run.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "run_logs.h"

namespace {

constexpr char kIccid[] = "89882470000000000017";

std::string entry(const char *stamp, const std::string &message) {
  return std::string("[2026-12-08 ") + stamp + "]" + message + "\n";
}

const std::string kDownloadStart = entry("10:00:00", "=== eSIM Download Tool===\n") +
                                   entry("10:00:00", "Channel ID: 1\n") +
                                   entry("10:00:01", "Send AT 1: [AT+CFUN?\r\n]\n") +
                                   entry("10:00:01", "Recv AT 1: [\r\n+CFUN: 1\r\n\r\nOK\r\n]\n");
const std::string kRemovalStart =
    entry("11:00:00", "=== eSIM Delete Tool===\n") + entry("11:00:00", "Channel ID: 1\n") +
    entry("11:00:00", "ICCID: 89882470000000000017\n") + entry("11:00:00", "Disable flag: No\n");

// One reading as text: operation iccid started result failure server, "-" for null.
std::string summary(const LastRun &run) {
  if (!run.found) return "none";
  auto opt = [](bool has, const std::string &text) { return has ? text : std::string("-"); };
  return std::string(run.removal ? "removal" : "download") + " " + opt(run.has_iccid, run.iccid) +
         " " + opt(run.has_started, run.started) + " " +
         opt(run.has_result, std::to_string(run.result)) + " [" +
         opt(run.has_failure, run.failure) + "] [" + opt(run.has_server_status, run.server_status) +
         "]";
}

TEST(LastRun, EachWayARunEndsIsReadFromItsLog) {
  const std::string pad(kRunLogWindow, 'x');
  struct Row {
    const char *situation;
    std::string text;
    bool whole;
    bool removal;
    std::string summary;
    std::string cause = "-";  // the entry that says why, "-" for none
  } rows[] = {
      {"no log text", "", true, false, "none"},
      {"download done",
       kDownloadStart +
           entry("10:02:30", "eSim Download Completed, iccid: [89882470000000000017]\r\n"),
       true, false, "download - 2026-12-08 10:00:00 0 [-] [-]"},
      {"removal done, its ICCID from its entry",
       kRemovalStart + entry("11:01:00", "eSIM Remove Completed\n"), true, true,
       "removal 89882470000000000017 2026-12-08 11:00:00 0 [-] [-]"},
      {"refused by the server: its status and the stopping entry",
       kDownloadStart + entry("10:00:05", "HTTP Response: 200 [{\"header\":{}}]\n") +
           entry("10:00:05", "Server status: Failed, subject 8.2.6, reason 3.8: Refused\n") +
           entry("10:00:05", "Error: goto send_http failed, ret=-16\n"),
       true, false,
       "download - 2026-12-08 10:00:00 -16 [Error: goto send_http failed, ret=-16] "
       "[Server status: Failed, subject 8.2.6, reason 3.8: Refused]",
       "Server status: Failed, subject 8.2.6, reason 3.8: Refused"},
      {"killed: no outcome", kDownloadStart + entry("10:00:02", "Send at download esim command\n"),
       true, false, "download - 2026-12-08 10:00:00 - [-] [-]"},
      {"only logged: result 0, the logged entry kept",
       kDownloadStart + entry("10:02:29", "Error: goto save_http_info failed, ret=-24\n") +
           entry("10:02:30", "eSim Download Completed, iccid: [89882470000000000017]\r\n"),
       true, false,
       "download - 2026-12-08 10:00:00 0 [Error: goto save_http_info failed, ret=-24] [-]"},
      {"only logged, then killed: no result",
       kRemovalStart + entry("11:00:40", "Error: Continue to ntf_delete req_id, ret=-9, count=1\n"),
       true, true,
       "removal 89882470000000000017 2026-12-08 11:00:00 - "
       "[Error: Continue to ntf_delete req_id, ret=-9, count=1] [-]"},
      {"a failed run, then a good one: the last counts",
       kDownloadStart +
           entry("10:00:05", "Server status: Failed, subject 8.2.6, reason 3.8: Refused\n") +
           entry("10:00:05", "Error: goto send_http failed, ret=-16\n") +
           entry("12:00:00", "=== eSIM Download Tool===\n") +
           entry("12:02:00", "eSim Download Completed, iccid: [89882470000000000017]\r\n"),
       true, false, "download - 2026-12-08 12:00:00 0 [-] [-]"},
      {"the window cuts the run's start: started unknown, the kind from the file",
       pad + "\n" + entry("11:00:30", "Send AT 1: [AT+QESIM=\"delete\"\r\n]\n") +
           entry("11:00:31", "Error: Failed to delete eSIM, ret=-4\n"),
       false, true, "removal 89882470000000000017 - -4 [Error: Failed to delete eSIM, ret=-4] [-]"},
      {"a stamp in the cut first line is not an entry",
       "[2026-12-08 09:59:59]eSim Download Completed, iccid: [1]\n" +
           entry("10:00:30", "Send at download esim command\n"),
       false, false, "download - - - [-] [-]"},
      {"control bytes and a status holding ret= of its own",
       kDownloadStart + entry("10:00:02", "Error: at_status 1\x1b[2J ret=0\x07, ret=-12\n"), true,
       false,
       "download - 2026-12-08 10:00:00 -12 [Error: at_status 1\x1b[2J ret=0\x07, ret=-12] [-]"},
      {"an error inside a modem reply is no failure, a forged line start no entry",
       kDownloadStart +
           entry("10:00:02", "Recv AT 1: [\r\nError: ret=-12\r\n x[2026-12-08 10:00:03]eSIM\n]\n"),
       true, false, "download - 2026-12-08 10:00:00 - [-] [-]"},
      {"a failing entry is cut to what an entry holds",
       kDownloadStart + entry("10:00:02", "Error: goto send_at_trans failed, ret=-17\n" +
                                              std::string(3 * kRunEntryText, 'y') + "\n"),
       true, false,
       "download - 2026-12-08 10:00:00 -17 [Error: goto send_at_trans failed, ret=-17\n" +
           std::string(kRunEntryText - 42, 'y') + "] [-]"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.situation);
    LastRun run = last_run_in_log(row.text, row.whole, row.removal, row.removal ? kIccid : nullptr);
    EXPECT_EQ(summary(run), row.summary);
    EXPECT_EQ(run.has_cause ? run.cause : "-", row.cause);
  }
}

// The cause is the entry that says why; an error that belongs to an earlier
// exchange, or text that is no entry, is never taken for it.
TEST(LastRun, TheCauseOfAFailureIsItsOwnExchangesError) {
  const std::string step1 =
      entry("10:00:03", "\n=== Step 1: initiateAuthentication ===\n") +
      entry("10:00:03", "Send Http Request.\n") +
      entry("10:00:03", "URL: https://smdp.example/gsma/initiateAuthentication\n");
  const std::string open5 =
      entry("10:00:01", "Error: open serial failed module [5]\n") +
      entry("10:00:01",
            "Error: chan 5 device /dev/zarn/chn_usb/5: open failed, error-2[No such file "
            "or directory]\n");
  struct Row {
    const char *situation;
    std::string text;
    bool removal;
    const char *cause;  // "-" for none
  } rows[] = {
      {"libcurl's text, not the step's failure",
       kDownloadStart + step1 +
           entry("10:00:13", "Error: Http request failed. Couldn't resolve host name\n") +
           entry("10:00:13", "Error: goto send_http failed, ret=-13\n"),
       false, "Error: Http request failed. Couldn't resolve host name"},
      {"the device open's reason, after the entry that restates it, each exchange",
       kDownloadStart + open5 + open5 + entry("10:00:02", "[5]Error, download failed []\n") +
           entry("10:00:02", "Error goto send_at_download failed. ret=-11\n"),
       false,
       "Error: chan 5 device /dev/zarn/chn_usb/5: open failed, error-2[No such file or directory]"},
      {"the modem's error reply, not the entries that restate it",
       kRemovalStart + entry("11:00:09", "Send AT 1: [AT+QESIM=\"disable\"\r\n]\n") +
           entry("11:00:09", "Error: chan 1 AT response failed. [\r\nERROR\r\n]\n") +
           entry("11:00:09", "Error: Failed to execute disable eSIM command\n") +
           entry("11:00:09", "Error: Failed to disable eSIM, ret=-3\n"),
       true, "Error: chan 1 AT response failed. [\r\nERROR\r\n]"},
      {"a refused notification: the answer's status line",
       kDownloadStart + entry("10:02:00", "\n=== Step 4: notify ===\n") +
           entry("10:02:00", "Send Http Request.\n") +
           entry("10:02:01", "HTTP Response: 500 [HTTP/1.1 500 Internal\r\nX: y\r\n]\n") +
           entry("10:02:01", "Error: goto send_http failed, ret=-22\n"),
       false, "HTTP Response: 500 [HTTP/1.1 500 Internal"},
      {"a server's 500 answer, then the modem's refusal of it",
       kDownloadStart + step1 + entry("10:00:04", "HTTP Response: 500 [oops]\n") +
           entry("10:00:05", "Send AT 1: [AT+QESIM=\"trans\"]\n") +
           entry("10:00:06", "Error: at_status 2, ret=-15\n"),
       false, "HTTP Response: 500 [oops]"},
      {"an earlier exchange's error is not the lookup's; the store's reason after it is",
       kRemovalStart + entry("11:00:01", "Send AT 1: [AT+CFUN=4\r\n]\n") +
           entry("11:00:02", "Error: AT+CFUN=4 response\n") +
           entry("11:00:03", "Get http info: formatted json:\n{}\n") +
           entry("11:00:03", "Error: Get http info failed. ret=-1\n") +
           entry("11:00:03",
                 "Error: record store: no record for channel 1 and ICCID "
                 "89882470000000000017\n"),
       true, "Error: record store: no record for channel 1 and ICCID 89882470000000000017"},
      {"same, from a log without the store's entry: none",
       kRemovalStart + entry("11:00:01", "Send AT 1: [AT+CFUN=4\r\n]\n") +
           entry("11:00:02", "Error: AT+CFUN=4 response\n") +
           entry("11:00:03", "Get http info: formatted json:\n{}\n") +
           entry("11:00:03", "Error: Get http info failed. ret=-1\n"),
       true, "-"},
      {"the store's reason after a logged failure; its text is read for no code",
       kDownloadStart + entry("10:02:29", "Error: goto save_http_info failed, ret=-24\n") +
           entry("10:02:29",
                 "Error: record store: the database client reported [locked ret=-7]\n") +
           entry("10:02:30", "eSim Download Completed, iccid: [89882470000000000017]\r\n"),
       false, "Error: record store: the database client reported [locked ret=-7]"},
      {"killed mid-entry: no outcome, no cause",
       kDownloadStart + step1 + "[2026-12-08 10:00:13]Error: Http request fai", false, "-"},
      {"a foreign file: its lines are no entries",
       "Error: Http request failed. x\nError: goto send_http failed, ret=-13\n", false, "-"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.situation);
    LastRun run = last_run_in_log(row.text, true, row.removal, row.removal ? kIccid : nullptr);
    EXPECT_EQ(run.has_cause ? run.cause : "-", row.cause);
    EXPECT_TRUE(!run.has_cause || run.has_failure) << "a cause only with a failure";
  }
}

void write_file(const std::string &path, const std::string &text, long long mtime) {
  FILE *f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  fwrite(text.data(), 1, text.size(), f);
  fclose(f);
  struct timespec times[2] = {{static_cast<time_t>(mtime), 0}, {static_cast<time_t>(mtime), 0}};
  utimensat(AT_FDCWD, path.c_str(), times, 0);
}

// The channel's files, and only its: the latest run across them, each read
// only at its end.
TEST(LastRun, TheLatestRunAcrossTheChannelsLogs) {
  char folder[] = "/tmp/last_run_test.XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  std::string dir = folder;
  LastRun run;
  EXPECT_FALSE(find_last_run(1, folder, &run)) << "no log at all";

  write_file(dir + "/esim_add_1.txt",
             kDownloadStart +
                 entry("10:02:30", "eSim Download Completed, iccid: [89882470000000000017]\r\n"),
             2000000000);
  write_file(dir + "/esim_delete_1_89882470000000000017.txt",
             kRemovalStart + entry("11:00:05", "Error: HTTP notification request failed, ret=-7\n"),
             1000000000);  // an old mtime: the start in the log decides
  // Other channels' logs and names that are no ICCID are not the channel's.
  write_file(dir + "/esim_delete_12_89882470000000000099.txt",
             entry("23:00:00", "=== eSIM Delete Tool===\n"), 2000000000);
  write_file(dir + "/esim_add_11.txt", entry("23:00:00", "=== eSIM Download Tool===\n"),
             2000000000);
  write_file(dir + "/esim_delete_1_x.txt", entry("23:00:00", "=== eSIM Delete Tool===\n"),
             2000000000);
  LastRun download;
  ASSERT_TRUE(find_last_run(1, folder, &run, &download));
  EXPECT_EQ(summary(run),
            "removal 89882470000000000017 2026-12-08 11:00:00 -7 "
            "[Error: HTTP notification request failed, ret=-7] [-]");
  EXPECT_EQ(summary(download), "download - 2026-12-08 10:00:00 0 [-] [-]") << "the last download";

  // A download log larger than the window: its run's start lies before it.
  write_file(dir + "/esim_add_1.txt",
             kDownloadStart + std::string(2 * kRunLogWindow, 'z') + "\n" +
                 entry("12:00:00", "Error: goto send_at_trans failed, ret=-20\n"),
             2000000000);
  ASSERT_TRUE(find_last_run(1, folder, &run));
  EXPECT_EQ(summary(run), "download - - -20 [Error: goto send_at_trans failed, ret=-20] [-]");

  // A link is not followed, whatever it names.
  unlink((dir + "/esim_add_1.txt").c_str());
  unlink((dir + "/esim_delete_1_89882470000000000017.txt").c_str());
  write_file(dir + "/elsewhere", entry("10:00:00", "=== eSIM Download Tool===\n"), 2000000000);
  ASSERT_EQ(symlink("elsewhere", (dir + "/esim_add_1.txt").c_str()), 0);
  EXPECT_FALSE(find_last_run(1, folder, &run)) << summary(run);

  for (const char *name :
       {"/esim_add_1.txt", "/elsewhere", "/esim_delete_12_89882470000000000099.txt",
        "/esim_add_11.txt", "/esim_delete_1_x.txt"})
    unlink((dir + name).c_str());
  rmdir(folder);
}

}  // namespace
