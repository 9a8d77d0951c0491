// Reads the download commands' replies: the download command's reply
// (send_at_download, host included), then the reply to every chunk of a
// server answer handed back with send_at_trans.
// Input: pieces split at the record separator: the activation code, three
// bytes for the answer (its length in hex digits / 2, 12 bits little-endian,
// up to 8190 digits or six chunks, enough for every chunk boundary; then the
// download flag in bit 0 and the timeout above it), the bytes whose hex
// digits fill the answer, then the modem's replies.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "download_cmds.h"
#include "fake_modem.h"
#include "fuzz_support.h"
#include "globals.h"
#include "https_relay.h"
#include "tool_setup.h"

namespace {

// The command line lets no double quote or control character into the code.
std::string activation_code(std::string_view piece) {
  std::string code;
  for (char c : piece) {
    auto byte = static_cast<unsigned char>(c);
    if (byte != '"' && byte >= 0x20 && byte != 0x7f) code.push_back(c);
  }
  return code;
}

// The answer as the relay leaves it in http_payload: lowercase hex of the
// server's bytes (here `seed` over and over), `length` digits.
std::string answer_hex(std::string_view seed, size_t length) {
  if (seed.empty()) seed = std::string_view("\0", 1);
  std::string hex(2 * seed.size() + 1, '\0');
  string_to_hex(seed.data(), seed.size(), hex.data());
  hex.resize(2 * seed.size());
  std::string answer;
  while (answer.size() < length) answer += hex;
  answer.resize(length);
  return answer;
}

void check_download(const std::string &code, int ret) {
  const std::vector<std::string> &sent = fake_modem_commands();
  std::string command = "AT+QESIM=\"download\",1,\"" + code + "\"\r\n";
  // A command that would not fit 1024 bytes is never sent.
  if (command.size() >= 1024) {
    FUZZ_CHECK(ret == -1 && sent.empty());
    return;
  }
  FUZZ_CHECK(ret == 0 || ret == -1);
  FUZZ_CHECK(sent.size() == 1 && sent[0] == command);
  FUZZ_CHECK(memchr(at_status, '\0', sizeof at_status) != nullptr);
  FUZZ_CHECK(memchr(at_http_path, '\0', sizeof at_http_path) != nullptr);
  FUZZ_CHECK(memchr(at_payload, '\0', sizeof at_payload) != nullptr);
  FUZZ_CHECK(memchr(at_http_ip, '\0', sizeof at_http_ip) != nullptr);
}

// Every chunk command carries the answer's length, the continuation flag,
// its index and its own length; put together the chunks are the answer.
void check_chunks(const std::string &answer, int ret, size_t first) {
  const std::vector<std::string> &sent = fake_modem_commands();
  size_t chunks = answer.empty() ? 1 : (answer.size() + kTransChunkSize - 1) / kTransChunkSize;
  FUZZ_CHECK(sent.size() - first <= chunks);
  if (ret != -1) FUZZ_CHECK(sent.size() - first == chunks);
  std::string joined;
  for (size_t i = first; i < sent.size(); ++i) {
    int total = -1, more = -1, index = -1, chunk_len = -1, head = 0;
    FUZZ_CHECK(sscanf(sent[i].c_str(), "AT+QESIM=\"trans\",%d,%d,%d,%d,\"%n", &total, &more, &index,
                      &chunk_len, &head) == 4 &&
               head > 0);
    size_t k = i - first;
    FUZZ_CHECK(static_cast<size_t>(total) == answer.size());
    FUZZ_CHECK(more == (k + 1 < chunks ? 1 : 0) && static_cast<size_t>(index) == k);
    std::string tail = sent[i].substr(static_cast<size_t>(head));
    FUZZ_CHECK(tail.size() >= 3 && tail.compare(tail.size() - 3, 3, "\"\r\n") == 0);
    std::string chunk = tail.substr(0, tail.size() - 3);
    FUZZ_CHECK(chunk.size() == static_cast<size_t>(chunk_len) && chunk_len <= kTransChunkSize);
    joined += chunk;
  }
  FUZZ_CHECK(answer.compare(0, joined.size(), joined) == 0);
  if (sent.size() - first == chunks) FUZZ_CHECK(joined == answer);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  quiet_tool_setup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<std::string_view> pieces = split_input(data, size);
  if (pieces.size() < 3 || pieces[1].size() < 3) return 0;
  std::string code = activation_code(pieces[0].substr(0, pieces[0].find('\0')));
  auto shape = reinterpret_cast<const uint8_t *>(pieces[1].data());
  size_t length = 2 * (shape[0] | (shape[1] & 0x0f) << 8);
  int download_flag = shape[2] & 1;
  int at_timeout = shape[2] >> 1;
  std::string answer = answer_hex(pieces[2], length);

  fake_modem_reset({pieces.begin() + 3, pieces.end()});
  memset(at_http_ip, 0, sizeof at_http_ip);
  int ret = send_at_download(code.c_str());
  check_download(code, ret);

  size_t first = fake_modem_commands().size();
  at_status[0] = at_payload[0] = at_http_path[0] = '\0';
  ret = send_at_trans(answer.c_str(), at_timeout, download_flag);
  FUZZ_CHECK(ret == 0 || ret == -1 || ret == -5 || ret == -6);
  if (!download_flag) FUZZ_CHECK(ret == 0 || ret == -1);
  check_chunks(answer, ret, first);
  return 0;
}
