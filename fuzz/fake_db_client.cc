// The client's side of the record store, for the fuzz targets: the command
// line is checked and kept, the output comes from the fuzz input.
#include "fake_db_client.h"

#include <cstring>

#include "build_config.h"
#include "fuzz_support.h"
#include "invariants.h"
#include "record_store.h"

namespace {

std::vector<std::string_view> pending;
size_t next_output = 0;
std::vector<std::string> run;

}  // namespace

void fake_db_client_reset(const std::vector<std::string_view> &outputs) {
  pending = outputs;
  next_output = 0;
  run.clear();
}

const std::vector<std::string> &fake_db_client_lines() {
  return run;
}

// The same bound as the real exec_cmd: at most len - 1 bytes, then a NUL.
int exec_cmd(const char *cmd, int len, char *result) {
  FUZZ_CHECK(cmd != nullptr && keeps_shell_quoting(cmd, ESIMCTL_DB_CLIENT, ESIMCTL_DB_FILE));
  run.emplace_back(cmd);
  if (next_output >= pending.size()) return -11;
  std::string_view output = pending[next_output++];
  if (result != nullptr && len > 0) {
    size_t n = std::min(output.size(), static_cast<size_t>(len) - 1);
    memcpy(result, output.data(), n);
    result[n] = '\0';
  }
  return 0;
}
