// Reads esimctl's command line with parse_arguments.
// Input: the words after the program name, split at the record separator.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "globals.h"
#include "options.h"
#include "profile_cmds.h"
#include "tool_setup.h"
#include "tool_state.h"

namespace {

constexpr size_t kMostWords = 32;

bool terminated(const char *buffer, size_t size) {
  return memchr(buffer, '\0', size) != nullptr;
}

bool is_at_safe(const char *text) {
  for (const char *p = text; *p != '\0'; ++p) {
    auto c = static_cast<unsigned char>(*p);
    if (c == '"' || c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  quiet_tool_setup();
  // A refusal names its reason on stderr once per run. libFuzzer keeps the
  // stream it was started with; the tool's stderr variable goes nowhere.
  stderr = fopen("/dev/null", "w");
  FUZZ_CHECK(stderr != nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<std::string_view> pieces = split_input(data, size);
  if (pieces.size() > kMostWords) return 0;
  std::vector<std::string> words{"esimctl"};
  for (std::string_view piece : pieces) words.emplace_back(piece.substr(0, piece.find('\0')));
  std::vector<char *> argv;
  for (std::string &word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  reset_tool_state();
  optind = 0;  // glibc's getopt starts afresh, forgetting a half-read cluster
  int ret = parse_arguments(static_cast<int>(words.size()), argv.data());
  FUZZ_CHECK(ret <= 0 && ret >= -4);
  FUZZ_CHECK(terminated(active_code, sizeof active_code) && terminated(iccid, sizeof iccid) &&
             terminated(log_file, sizeof log_file));
  if (ret == 0) {
    FUZZ_CHECK(words.size() > 4 && chan_id > 0);
    FUZZ_CHECK(iccid[0] != '\0' || active_code[0] != '\0');
    FUZZ_CHECK(is_iccid_text(iccid) && is_at_safe(active_code));
  }
  return 0;
}
