// The client's side of the record store, for the fuzz targets: the command
// line is checked and kept, the output comes from the fuzz input.
#include "fake_db_client.h"

#include <cstring>

#include "build_config.h"
#include "fuzz_support.h"
#include "invariants.h"
#include "record_store.h"

namespace {

ScriptedPeer client;

}  // namespace

void fake_db_client_reset(const std::vector<std::string_view> &outputs) {
  client.reset(outputs);
}

const std::vector<std::string> &fake_db_client_lines() {
  return client.requests();
}

// The same bound as the real exec_cmd: at most len - 1 bytes, then a NUL.
int exec_cmd(const char *cmd, int len, char *result) {
  FUZZ_CHECK(cmd != nullptr && keeps_shell_quoting(cmd, ESIMCTL_DB_CLIENT, ESIMCTL_DB_FILE));
  client.keep(cmd);
  std::string_view output;
  if (!client.next(&output)) return -11;
  if (result != nullptr && len > 0) copy_bounded(output, result, static_cast<size_t>(len));
  return 0;
}
