// The run log's entry form, in-process.
#include "run_log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "globals.h"
#include "tool_state.h"

namespace {

const std::regex kStamp(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\])");

TEST(RunLog, EntryIsStampMessageAndLineEnd) {
  RunLogCapture log;
  log_print("Channel ID: %d\n", 3);
  log_print("no line end of its own");
  std::string text = log.text();
  EXPECT_TRUE(std::regex_match(text.substr(0, 21), kStamp)) << text;
  EXPECT_EQ(text.substr(21),
            "Channel ID: 3\n\n" + text.substr(21 + 15, 21) + "no line end of its own\n");
  EXPECT_EQ(log.messages(), "Channel ID: 3\n\nno line end of its own\n");
}

TEST(RunLog, LongMessagesAreCutAt2023CharactersAndStillEndTheLine) {
  struct Row {
    size_t length;
    size_t kept;
  } rows[] = {{2022, 2022}, {2023, 2023}, {2024, 2023}, {5000, 2023}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.length);
    RunLogCapture log;
    std::string message(row.length, 'm');
    log_print("%s", message.c_str());
    std::string text = log.text();
    ASSERT_EQ(text.size(), 21 + row.kept + 1);
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.substr(21, row.kept), message.substr(0, row.kept));
  }
}

TEST(RunLog, WithoutAnOpenLogEntriesGoToStandardOutput) {
  log_fd = nullptr;
  testing::internal::CaptureStdout();
  log_print("Send Prev AT\n");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(std::regex_match(out.substr(0, 21), kStamp));
  EXPECT_EQ(out.substr(21), "Send Prev AT\n\n");
}

TEST(RunLog, DroppedEntriesReachNeitherTheLogNorStandardOutput) {
  RunLogCapture log;
  log_drop_entries(true);
  testing::internal::CaptureStdout();
  log_print("Send AT %d: [%s]\n", 1, "AT+CFUN?");
  FILE *kept = log_fd;
  log_fd = nullptr;
  log_print("Recv AT %d: [%s]\n", 1, "OK");
  log_fd = kept;
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(log.text(), "");
  log_drop_entries(false);
  log_print("written again");
  EXPECT_EQ(log.messages(), "written again\n");
}

TEST(RunLog, OpenRefusesEmptyNamesSilentlyAndReportsFailures) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(log_open(nullptr), nullptr);
  EXPECT_EQ(log_open(""), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  testing::internal::CaptureStdout();
  EXPECT_EQ(log_open("/no/such/dir/run.log"), nullptr);
  EXPECT_EQ(
      testing::internal::GetCapturedStdout(),
      "open /no/such/dir/run.log failed : No such file or directory\nSo write log to STDOUT\n");
  log_close(nullptr);  // no stream: nothing to do, nothing to crash
}

}  // namespace
