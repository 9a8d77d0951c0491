// esimctl-info's reading of the modem's replies (every shape within what
// esimctl relies on, never more strictly than esimctl), its findings, and its
// output of modem and database text: valid UTF-8 in JSON, and nothing in the
// table for a person that could steer a terminal.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "channel_read.h"
#include "findings.h"
#include "info_output.h"
#include "tool_state.h"

namespace {

std::string table_of(const cJSON *info) {
  char *text = nullptr;
  size_t size = 0;
  FILE *out = open_memstream(&text, &size);
  print_channel_table(info, out);
  fclose(out);
  std::string table(text, size);
  free(text);
  return table;
}

TEST(ChannelTable, ShowsModemAndDatabaseTextWithoutControlBytes) {
  reset_tool_state();
  Json info = empty_info(5, nullptr);
  ASSERT_TRUE(info);
  cJSON_ReplaceItemInObject(info.get(), "firmware", cJSON_CreateString("FW\x1b[2J\r\nX\x9b"));
  cJSON *record = cJSON_CreateObject();
  cJSON_AddStringToObject(record, "iccid", "89882470000000000017");
  cJSON_AddStringToObject(record, "host", "smdp\x1b]0;owned\x07");
  cJSON_AddStringToObject(record, "path", "/p");
  cJSON_AddStringToObject(record, "saved", "2026-12-07 03:00:00");
  cJSON_AddItemToArray(cJSON_GetObjectItem(info.get(), "records"), record);

  std::string table = table_of(info.get());
  for (char c : table) EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7f)) << "byte " << int(c);
  EXPECT_NE(table.find("  firmware       FW\\x1b[2J\\x0d\\x0aX\\x9b\n"), std::string::npos)
      << table;
  EXPECT_NE(table.find("  records        89882470000000000017  smdp\\x1b]0;owned\\x07/p  saved "
                       "2026-12-07 03:00:00\n"),
            std::string::npos)
      << table;
  EXPECT_NE(table.find("  EID            -\n"), std::string::npos) << table;
  EXPECT_NE(table.find("  last           none\n"), std::string::npos) << table;

  // The last run's failure and server status come from the run log, where
  // the modem's and the server's bytes stand as they came.
  cJSON *last = cJSON_CreateObject();
  cJSON_AddStringToObject(last, "operation", "removal");
  cJSON_AddStringToObject(last, "iccid", "89882470000000000017");
  cJSON_AddStringToObject(last, "started", "2026-12-08 11:00:00");
  cJSON_AddNumberToObject(last, "result", -7);
  cJSON_AddStringToObject(last, "failure", "Error: HTTP notification request failed, ret=-7");
  cJSON_AddStringToObject(last, "server_status", "Server status: Failed\x1b[2J\r\nX");
  cJSON_ReplaceItemInObject(info.get(), "last", last);
  table = table_of(info.get());
  for (char c : table) EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7f)) << "byte " << int(c);
  EXPECT_NE(
      table.find("  last           removal 89882470000000000017  started 2026-12-08 "
                 "11:00:00  result -7\n                 Error: HTTP notification request "
                 "failed, ret=-7\n                 Server status: Failed\\x1b[2J\\x0d\\x0aX\n"),
      std::string::npos)
      << table;

  // The cause on its own line; a finding about the whole channel names no ICCID.
  cJSON_AddStringToObject(last, "cause", "HTTP Response: 500 [\x1b]");
  cJSON *finding = cJSON_CreateObject();
  cJSON_AddStringToObject(finding, "kind", "radio-off");
  cJSON_AddNullToObject(finding, "iccid");
  cJSON_AddStringToObject(finding, "detail", "level 4");
  cJSON_AddItemToArray(cJSON_GetObjectItem(info.get(), "findings"), finding);
  table = table_of(info.get());
  EXPECT_NE(table.find("X\n                 cause: HTTP Response: 500 [\\x1b]\n"),
            std::string::npos)
      << table;
  EXPECT_NE(table.find("  findings       radio-off: level 4\n"), std::string::npos) << table;
}

// Each byte sequence that is not well-formed UTF-8 becomes one U+FFFD per
// broken part, as Python's and the Unicode standard's decoders do; the rest
// stays as it was.
TEST(ChannelInfoJson, TextIsMadeValidUtf8) {
  const std::string r = "\xef\xbf\xbd";
  struct Row {
    const char *situation;
    std::string in;
    std::string out;
  } rows[] = {
      {"ASCII with control bytes", "a\x1b[2J\n", "a\x1b[2J\n"},
      {"two, three and four bytes", "\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
       "\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
      {"bytes that start nothing", "\x80\xfe\xff", r + r + r},
      {"overlong slash", "\xc0\xaf", r + r},
      {"overlong three bytes", "\xe0\x80\xaf", r + r + r},
      {"surrogate", "\xed\xa0\x80", r + r + r},
      {"past U+10FFFF", "\xf4\x90\x80\x80", r + r + r + r},
      {"cut at the end", "ab\xe2\x82", "ab" + r},
      {"cut before ASCII", "\xf0\x9f\x98z", r + "z"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.situation);
    Json info = empty_info(1, row.in.c_str());
    ASSERT_TRUE(info);
    const cJSON *errors = cJSON_GetObjectItem(info.get(), "errors");
    ASSERT_EQ(cJSON_GetArraySize(errors), 1);
    EXPECT_EQ(std::string(cJSON_GetStringValue(cJSON_GetArrayItem(errors, 0))), row.out);
  }
}

// One look as text: level, firmware, EID, profiles, notifications
// (seq:iccid), findings (kind:iccid) and errors, "-" for null.
std::string summary(const cJSON *info) {
  auto text = [](const cJSON *item) {
    if (cJSON_IsNumber(item)) return std::to_string(item->valueint);
    const char *s = cJSON_GetStringValue(item);
    return std::string(s != nullptr ? s : "-");
  };
  auto list = [&](const char *name, const char *first, const char *second) {
    std::string out = std::string(" ") + name + "=[";
    const cJSON *item = nullptr;
    cJSON_ArrayForEach(item, cJSON_GetObjectItem(info, name)) {
      if (item != cJSON_GetObjectItem(info, name)->child) out += ";";
      out += first != nullptr ? text(cJSON_GetObjectItem(item, first)) : text(item);
      if (second != nullptr) out += ":" + text(cJSON_GetObjectItem(item, second));
    }
    return out + "]";
  };
  return "level=" + text(cJSON_GetObjectItem(info, "functionality")) +
         " fw=" + text(cJSON_GetObjectItem(info, "firmware")) +
         " eid=" + text(cJSON_GetObjectItem(info, "eid")) + list("profiles", "iccid", nullptr) +
         list("notifications", "seq", "iccid") + list("findings", "kind", "iccid") +
         list("errors", nullptr, nullptr);
}

constexpr char kEid[] = "89049032000001000000000000000107";
constexpr char kOdd[] = "89445006012345678912";  // recorded, gone from the list

// The replies as the simulated modem gives them; each row changes some.
// A null reply is an exchange that got none.
TEST(ChannelReading, RepliesAreReadAsEsimctlReadsThem) {
  const char *const simulator[kInfoReads] = {
      "\r\n+CFUN: 1\r\n\r\nOK\r\n",
      "\r\nSIMMODEM01R02A03_01.002.01.002\r\n\r\nOK\r\n",
      "\r\n+QESIM: \"eid\",0,\"89049032000001000000000000000107\"\r\n\r\nOK\r\n",
      "\r\n+QESIM: \"list\",0,1\r\n+QESIM: 1,\"89882470000000000017\",1,\"A\"\r\n\r\nOK\r\n",
      "\r\n+QESIM: \"ntf_list\",0\r\n\r\nOK\r\n",
  };
  const std::string base = std::string("level=1 fw=SIMMODEM01R02A03_01.002.01.002 eid=") + kEid;
  struct Row {
    const char *situation;
    std::vector<std::pair<InfoRead, const char *>> replies;
    std::vector<const char *> records;
    InfoStatus status;
    std::string summary;
    const char *detail_has;    // in the detail of the finding about kOdd
    const char *detail_lacks;  // nowhere in any detail
  } rows[] = {
      {"the simulator's own shapes",
       {},
       {"89882470000000000017"},
       kInfoAnswered,
       base + " profiles=[89882470000000000017] notifications=[] findings=[] errors=[]",
       nullptr,
       nullptr},
      {"list with a count after its keyword",
       {{kReadList,
         "\r\n+QESIM: \"list\",2\r\n+QESIM: 1,\"89882470000000000017\",1,\"A\"\r\n+QESIM: "
         "2,\"89883000000000000018\",0,\"B\"\r\n\r\nOK\r\n"}},
       {"89882470000000000017"},
       kInfoAnswered,
       base + " profiles=[89882470000000000017;89883000000000000018] notifications=[] "
              "findings=[profile-without-record:89883000000000000018] errors=[]",
       nullptr,
       nullptr},
      {"list with nothing after its keyword",
       {{kReadList,
         "\r\n+QESIM: \"list\"\r\n+QESIM: 1,\"89882470000000000017\",1,\"A\"\r\n\r\nOK\r\n"}},
       {"89882470000000000017"},
       kInfoAnswered,
       base + " profiles=[89882470000000000017] notifications=[] findings=[] errors=[]",
       nullptr,
       nullptr},
      {"list holding ERROR names no profile: no comparison",
       {{kReadList, "\r\nERROR\r\n"}},
       {"89882470000000000017"},
       kInfoQueryFailed,
       base + " profiles=[] notifications=[] findings=[] errors=[AT+QESIM=\"list\": the modem "
              "answered with an error]",
       nullptr,
       nullptr},
      {"list keyword followed by +CME ERROR",
       {{kReadList, "\r\n+QESIM: \"list\"\r\n+CME ERROR: 13\r\n"}},
       {"89882470000000000017"},
       kInfoQueryFailed,
       base + " profiles=[] notifications=[] findings=[] errors=[AT+QESIM=\"list\": the modem "
              "answered with an error]",
       nullptr,
       nullptr},
      {"pending notification with its ICCID unquoted keeps its record",
       {{kReadNotifications,
         "\r\n+QESIM: \"ntf_list\",0\r\n+QESIM: "
         "\"ntf_list\",5,89445006012345678912,2\r\n\r\nOK\r\n"}},
       {"89882470000000000017", kOdd},
       kInfoAnswered,
       base + " profiles=[89882470000000000017] notifications=[5:89445006012345678912] "
              "findings=[record-without-profile:89445006012345678912;notifications-pending:"
              "89445006012345678912] errors=[]",
       "esimctl -c 1 -i 89445006012345678912 -r -n",
       "DELETE"},
      {"pending notification with its sequence number last keeps its record",
       {{kReadNotifications,
         "\r\n+QESIM: \"ntf_list\",0\r\n+QESIM: \"89445006012345678912\",5\r\n\r\nOK\r\n"}},
       {kOdd},
       kInfoAnswered,
       base + " profiles=[89882470000000000017] notifications=[5:89445006012345678912] "
              "findings=[profile-without-record:89882470000000000017;record-without-profile:"
              "89445006012345678912;notifications-pending:89445006012345678912] errors=[]",
       "esimctl -c 1 -i 89445006012345678912 -r -n",
       "DELETE"},
      {"ICCID glued to other text is not read, yet the line is listed and the record kept",
       {{kReadNotifications,
         "\r\n+QESIM: \"ntf_list\",0\r\n+QESIM: \"ntf\",6,\"89445006012345678912x\",\"delete\"\r\n"
         "\r\nOK\r\n"}},
       {"89882470000000000017", kOdd},
       kInfoAnswered,
       base + " profiles=[89882470000000000017] notifications=[6:-] "
              "findings=[record-without-profile:89445006012345678912;notifications-pending:-] "
              "errors=[]",
       "-r -n",
       "DELETE"},
      {"record without profile and no notification: forget it",
       {},
       {"89882470000000000017", kOdd},
       kInfoAnswered,
       base + " profiles=[89882470000000000017] notifications=[] "
              "findings=[record-without-profile:89445006012345678912] errors=[]",
       "DELETE FROM esim_http WHERE port = 1 AND iccid = \\\"89445006012345678912\\\"",
       "-r -n"},
      {"notification list unanswered: a record without profile is not offered for forgetting",
       {{kReadNotifications, nullptr}},
       {"89882470000000000017", kOdd},
       kInfoQueryFailed,
       base + " profiles=[89882470000000000017] notifications=[] "
              "findings=[record-without-profile:89445006012345678912] "
              "errors=[AT+QESIM=\"ntf_list\",0: no reply]",
       "look again",
       "DELETE"},
      {"EID unquoted",
       {{kReadEid, "\r\n+QESIM: \"eid\",0,89049032000001000000000000000107\r\n\r\nOK\r\n"}},
       {"89882470000000000017"},
       kInfoAnswered,
       base + " profiles=[89882470000000000017] notifications=[] findings=[] errors=[]",
       nullptr,
       nullptr},
      {"EID unquoted, then an unsolicited line",
       {{kReadEid,
         "\r\n+QESIM: \"eid\",0,89049032000001000000000000000107\r\n\r\nOK\r\n\r\n+QIND: \"SMS "
         "DONE\"\r\n"}},
       {"89882470000000000017"},
       kInfoAnswered,
       base + " profiles=[89882470000000000017] notifications=[] findings=[] errors=[]",
       nullptr,
       nullptr},
      {"empty EID field: the unsolicited line behind it is not the EID",
       {{kReadEid, "\r\n+QESIM: \"eid\",0,\r\n\r\nOK\r\n\r\n+QIND: \"SMS DONE\"\r\n"}},
       {"89882470000000000017"},
       kInfoQueryFailed,
       "level=1 fw=SIMMODEM01R02A03_01.002.01.002 eid=- profiles=[89882470000000000017] "
       "notifications=[] findings=[] errors=[AT+QESIM=\"eid\": the reply holds no EID]",
       nullptr,
       nullptr},
      {"firmware query answered ERROR",
       {{kReadFirmware, "\r\nERROR\r\n"}},
       {"89882470000000000017"},
       kInfoAnswered,
       std::string("level=1 fw=- eid=") + kEid +
           " profiles=[89882470000000000017] notifications=[] findings=[] errors=[]",
       nullptr,
       nullptr},
      {"firmware query unanswered",
       {{kReadFirmware, nullptr}},
       {"89882470000000000017"},
       kInfoAnswered,
       std::string("level=1 fw=- eid=") + kEid +
           " profiles=[89882470000000000017] notifications=[] findings=[] errors=[]",
       nullptr,
       nullptr},
      {"echo on: an error for each command, no radio-off finding",
       {{kReadLevel, "AT+CFUN?\r\r\n+CFUN: 1\r\n\r\nOK\r\n"},
        {kReadFirmware, "AT+QGMR\r\r\nSIMMODEM01R02A03_01.002.01.002\r\n\r\nOK\r\n"},
        {kReadEid,
         "AT+QESIM=\"eid\"\r\r\n+QESIM: \"eid\",0,\"89049032000001000000000000000107\"\r\n"},
        {kReadList, "AT+QESIM=\"list\"\r\r\n+QESIM: \"list\",0,0\r\n\r\nOK\r\n"},
        {kReadNotifications, "AT+QESIM=\"ntf_list\",0\r\r\n+QESIM: \"ntf_list\",0\r\n\r\nOK\r\n"}},
       {"89882470000000000017"},
       kInfoQueryFailed,
       "level=- fw=- eid=- profiles=[] notifications=[] findings=[] errors=[AT+CFUN?: command "
       "echo is on;AT+QGMR: command echo is on;AT+QESIM=\"eid\": command echo is on;"
       "AT+QESIM=\"list\": command echo is on;AT+QESIM=\"ntf_list\",0: command echo is on]",
       nullptr,
       nullptr},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.situation);
    reset_tool_state();
    ChannelRead read;
    read.chan = 1;
    read.records_read = true;
    for (const char *id : row.records)
      read.records.push_back(
          {id, "smdp.example", "/gsma/rsp2/es9plus/handleNotification", "2026-12-07 03:00:00"});
    ChannelReplies replies{};
    for (int i = 0; i < kInfoReads; ++i) replies.reply[i] = simulator[i];
    for (const auto &changed : row.replies) {
      replies.reply[changed.first] = changed.second != nullptr ? changed.second : "";
      replies.ret[changed.first] = changed.second != nullptr ? 0 : -4;
    }
    read_replies(replies, &read);
    EXPECT_EQ(look_status(read), row.status);
    Json info = info_json(read, find_findings(read, "2026-12-07 03:00:00"));
    ASSERT_TRUE(info);
    EXPECT_EQ(summary(info.get()), row.summary);
    const cJSON *finding = nullptr;
    cJSON_ArrayForEach(finding, cJSON_GetObjectItem(info.get(), "findings")) {
      std::string detail = cJSON_GetStringValue(cJSON_GetObjectItem(finding, "detail"));
      const char *id = cJSON_GetStringValue(cJSON_GetObjectItem(finding, "iccid"));
      if (row.detail_has != nullptr && id != nullptr && std::string(id) == kOdd &&
          std::string(cJSON_GetStringValue(cJSON_GetObjectItem(finding, "kind"))) ==
              "record-without-profile") {
        EXPECT_NE(detail.find(row.detail_has), std::string::npos) << detail;
      }
      if (row.detail_lacks != nullptr) {
        EXPECT_EQ(detail.find(row.detail_lacks), std::string::npos) << detail;
      }
    }
  }
}

}  // namespace
