// CPU time of the QESIM reply readers on the largest reply a command can get
// (16383 characters) and of cutting the largest server answer the relay
// allows (131070 hex digits, 94 chunks) into trans commands.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "download_cmds.h"
#include "globals.h"
#include "notification_cmds.h"
#include "profile_cmds.h"
#include "qesim_parse.h"

namespace {

constexpr size_t kLongestReply = kReplySize - 1;

// A download reply padded to the longest reply: the payload fills it.
std::string long_trans_reply() {
  std::string head = "\r\n+QESIM: \"trans\",0,\"/gsma/rsp2/es9plus/authenticateClient\",{\"d\":\"";
  std::string tail = "\",\"smdpAddress\":\"smdp.example.com\"}\r\n\r\nOK\r\n";
  return head + std::string(kLongestReply - head.size() - tail.size(), 'A') + tail;
}

// A status reply whose keyword line comes last, after a long text.
std::string long_status_reply() {
  std::string tail = "+QESIM: \"download\",0\r\n\r\nOK\r\n";
  return std::string(kLongestReply - tail.size(), 'x') + tail;
}

// A profile list of as many 20-digit entries as the longest reply holds.
std::string long_list_reply() {
  std::string reply = "\r\n+QESIM: \"list\",0\r\n";
  const std::string line = "+QESIM: \"89860012345678901234\",1,\"Operator\"\r\n";
  while (reply.size() + line.size() <= kLongestReply) reply += line;
  return reply;
}

void BM_ParseAtResponse(benchmark::State &state) {
  print_flag = 0;
  const std::string reply = long_trans_reply();
  for (auto _ : state) {
    parse_at_response(reply.c_str(), "trans", 1);
    benchmark::DoNotOptimize(at_http_ip);
  }
  state.SetLabel(std::to_string(reply.size()) + " chars");
}
BENCHMARK(BM_ParseAtResponse);

void BM_ParseAtStatus(benchmark::State &state) {
  print_flag = 0;
  std::string reply = long_status_reply();
  size_t cr = reply.rfind("0\r\n\r\nOK") + 1;
  for (auto _ : state) {
    benchmark::DoNotOptimize(parse_at_status(&reply[0], "download"));
    reply[cr] = '\r';  // the reader ends the status with a NUL; put the CR back
  }
  state.SetLabel(std::to_string(reply.size()) + " chars");
}
BENCHMARK(BM_ParseAtStatus);

void BM_GetLastIccidFromList(benchmark::State &state) {
  const std::string reply = long_list_reply();
  char out[kIccidSize];
  for (auto _ : state) {
    benchmark::DoNotOptimize(get_last_iccid_from_list(reply.c_str(), out, sizeof out));
  }
  state.SetLabel(std::to_string(reply.size()) + " chars");
}
BENCHMARK(BM_GetLastIccidFromList);

// The formatting send_at_trans does for every chunk, without the exchanges.
void BM_TransChunkingLargestAnswer(benchmark::State &state) {
  const std::string text(kHttpPayloadSize - 2, 'a');
  const int length = static_cast<int>(text.size());
  char command[kTransCommandSize];
  char one_max_msg[kTransChunkSize + 1];
  int chunks = 0;
  for (auto _ : state) {
    const char *remain_msg = text.c_str();
    int tmp_len = length;
    int index = 0;
    while (true) {
      bool last = tmp_len <= kTransChunkSize;
      int taken = format_trans_chunk(command, one_max_msg, remain_msg, length, index, tmp_len);
      benchmark::DoNotOptimize(command);
      ++index;
      if (last) break;
      remain_msg += taken;
      tmp_len -= taken;
    }
    chunks = index;
  }
  state.SetLabel(std::to_string(length) + " digits, " + std::to_string(chunks) + " chunks");
}
BENCHMARK(BM_TransChunkingLargestAnswer);

}  // namespace

BENCHMARK_MAIN();
