#include "download_cmds.h"

#include <cstdio>
#include <cstring>

#include "at_commands.h"
#include "at_exchange.h"
#include "globals.h"
#include "qesim_parse.h"
#include "run_log.h"

namespace {
constexpr size_t kDownloadCommandSize = 1024;
}  // namespace

int send_at_download(const char *act_code) {
  if (print_flag) log_print("Send at download esim command\n");

  char command[kDownloadCommandSize] = {};
  char result[kReplySize];
  memset(result, 0, sizeof result);
  // A code too long for the command would reach the modem without its line
  // end and run into the next command, so it is refused like a failed exchange.
  int needed =
      act_code != nullptr ? snprintf(command, sizeof command, kAtQesimDownloadFmt, act_code) : -1;
  if (needed < 0 || static_cast<size_t>(needed) >= sizeof command) {
    log_print("[%d]Error, download failed [%s]\n", chan_id, result);
    return -1;
  }
  if (exchange_on_channel(command, result, 0, 0) < 0) {
    log_print("[%d]Error, download failed [%s]\n", chan_id, result);
    return -1;
  }
  if (print_flag) log_print("Send At Download successfully\n");

  parse_at_response(result, "trans", 1);
  return 0;
}

int format_trans_chunk(char *command, char *one_max_msg, const char *remain_msg, int length,
                       int index, int tmp_len) {
  if (tmp_len > kTransChunkSize) {
    memcpy(one_max_msg, remain_msg, kTransChunkSize);
    one_max_msg[kTransChunkSize] = '\0';
    snprintf(command, kTransCommandSize, kAtQesimTransMoreFmt, length, index, kTransChunkSize,
             one_max_msg);
    return kTransChunkSize;
  }
  snprintf(command, kTransCommandSize, kAtQesimTransLastFmt, length, index, tmp_len, remain_msg);
  return tmp_len;
}

// The chunks are cut straight out of the caller's text: nothing is allocated
// and only one chunk at a time is copied, whatever the answer's size.
int send_at_trans(const char *http_json_hex, int at_timeout, int download_flag) {
  int long_time_flag = 0;
  if (at_timeout == 0) at_timeout = 1;
  if (http_json_hex == nullptr) {
    log_print("Error: chan %d send at trans[%d] failed\n", chan_id, 0);
    return -1;
  }

  int length = static_cast<int>(strlen(http_json_hex));
  if (print_flag) log_print("length=%d\n", length);

  char command[kTransCommandSize];
  char one_max_msg[kTransChunkSize + 1];
  char result[kReplySize];
  int tmp_len = length;
  const char *remain_msg = http_json_hex;
  int index = 0;

  while (tmp_len > kTransChunkSize) {
    format_trans_chunk(command, one_max_msg, remain_msg, length, index, tmp_len);
    if (exchange_on_channel(command, result, 0, 0) < 0) {
      log_print("Error: chan %d send at trans[%d] failed\n", chan_id, index);
      return -1;
    }
    remain_msg += kTransChunkSize;
    tmp_len -= kTransChunkSize;
    if (print_flag) log_print("[%d] finsih, leave tmp_len=%d\n", index, tmp_len);
    ++index;
  }

  format_trans_chunk(command, one_max_msg, remain_msg, length, index, tmp_len);
  long_time_flag = download_flag;
  if (exchange_on_channel(command, result, at_timeout, long_time_flag) < 0) {
    log_print("Error: chan %d send at trans[%d] failed\n", chan_id, index);
    return -1;
  }
  if (print_flag) log_print("at_trans[%d] response successfully\n", index);

  parse_at_response(result, "trans", 0);
  if (download_flag != 1) return 0;

  if (strcmp(at_status, "0") != 0) {
    log_print("Error: at_status [%s], when downloading.\n", at_status);
    return -5;
  }
  if (parse_at_status(result, "download") < 0) {
    log_print("Error: goto parse_at_status download response\n");
    return -6;
  }
  return 0;
}
