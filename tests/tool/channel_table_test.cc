// esimctl-info's table for a person: modem and database text reaches a
// terminal there, so nothing in it may steer that terminal.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "channel_info.h"
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

}  // namespace
