// Reads the database client's answers in the record store: save_http_info,
// get_http_info, delete_http_info and esimctl-info's list_http_info, each
// handed one client output.
// Input: one byte for the channel, then pieces split at the record
// separator: the ICCID, the server host, the server path, the outputs.
// Every command line the store runs is checked to keep its quoting, and
// to carry exactly the values it was given.
#include <strings.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fake_db_client.h"
#include "fuzz_support.h"
#include "globals.h"
#include "invariants.h"
#include "record_store.h"
#include "tool_setup.h"

namespace {

constexpr unsigned char kUntouched = 0xa5;

std::string c_string(std::string_view piece) {
  return std::string(piece.substr(0, piece.find('\0')));
}

// The values the last command line carries, when a line was run at all.
void check_values(size_t lines_before, const std::vector<std::string> &expected, int ret) {
  const std::vector<std::string> &lines = fake_db_client_lines();
  if (lines.size() == lines_before) {
    FUZZ_CHECK(ret == -1);
    return;
  }
  FUZZ_CHECK(lines.size() == lines_before + 1);
  std::vector<std::string_view> values = quoted_values(lines.back());
  FUZZ_CHECK(values.size() >= expected.size());
  for (size_t i = 0; i < expected.size(); ++i) FUZZ_CHECK(values[i] == expected[i]);
}

// SQLite would read a double-quoted column name as that column, so that
// iccid = "iccid" matched every record: such an ICCID never reaches the client.
bool names_a_column(const std::string &value) {
  for (const char *column :
       {"port", "iccid", "http_ip", "http_path", "save_time", "rowid", "oid", "_rowid_"})
    if (strcasecmp(value.c_str(), column) == 0) return true;
  return false;
}

bool untouched(const char *buffer, size_t size) {
  for (size_t i = 0; i < size; ++i)
    if (static_cast<unsigned char>(buffer[i]) != kUntouched) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  quiet_tool_setup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  int channel = 1 + data[0] % 32;
  std::vector<std::string_view> pieces = split_input(data + 1, size - 1);
  if (pieces.size() < 3) return 0;
  std::string iccid_value = c_string(pieces[0]);
  std::string host = c_string(pieces[1]);
  std::string path = c_string(pieces[2]);
  fake_db_client_reset({pieces.begin() + 3, pieces.end()});
  bool column_name = names_a_column(iccid_value);

  int ret = save_http_info(channel, iccid_value.c_str(), host.c_str(), path.c_str());
  FUZZ_CHECK(ret == 0 || ret == -1 || ret == -2 || ret == -3 || ret == -11);
  check_values(0, {iccid_value, host, path}, ret);
  if (!fake_db_client_lines().empty())
    FUZZ_CHECK(quoted_values(fake_db_client_lines().back()).size() == 4);

  // The buffers of a lookup, exactly as large as the store says they are.
  std::unique_ptr<char[]> ip(new char[kAtHttpIpSize]);
  std::unique_ptr<char[]> server_path(new char[kAtHttpPathSize]);
  memset(ip.get(), kUntouched, kAtHttpIpSize);
  memset(server_path.get(), kUntouched, kAtHttpPathSize);
  size_t before = fake_db_client_lines().size();
  ret = get_http_info(channel, iccid_value.c_str(), ip.get(), server_path.get());
  FUZZ_CHECK(ret == 0 || ret == -1 || ret == -2 || ret == -3 || ret == -11);
  check_values(before, {iccid_value}, ret);
  if (ret != 0) {
    // A failed lookup writes neither buffer: a cut host names another server.
    FUZZ_CHECK(untouched(ip.get(), kAtHttpIpSize) && untouched(server_path.get(), kAtHttpPathSize));
  } else {
    FUZZ_CHECK(untouched(ip.get(), kAtHttpIpSize) ||
               memchr(ip.get(), '\0', kAtHttpIpSize) != nullptr);
    FUZZ_CHECK(untouched(server_path.get(), kAtHttpPathSize) ||
               memchr(server_path.get(), '\0', kAtHttpPathSize) != nullptr);
  }

  before = fake_db_client_lines().size();
  ret = delete_http_info(channel, iccid_value.c_str());
  FUZZ_CHECK(ret <= 0 && (ret >= -4 || ret == -11));
  check_values(before, {iccid_value}, ret);
  if (column_name) FUZZ_CHECK(fake_db_client_lines().empty());

  // Every row handed on has its four texts, whatever the answer held.
  int rows = 0;
  ret = list_http_info(
      channel,
      [](const char *iccid_of, const char *ip_of, const char *path_of, const char *saved,
         void *count) {
        FUZZ_CHECK(iccid_of != nullptr && ip_of != nullptr && path_of != nullptr &&
                   saved != nullptr);
        ++*static_cast<int *>(count);
      },
      &rows);
  FUZZ_CHECK(ret == 0 || ret == -2 || ret == -3 || ret == -11);
  if (ret != 0) FUZZ_CHECK(rows == 0);
  return 0;
}
