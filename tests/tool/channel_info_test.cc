// esimctl-info's output of modem and database text: valid UTF-8 in JSON, and
// nothing in the table for a person that could steer a terminal.
#include "channel_info.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

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

}  // namespace
