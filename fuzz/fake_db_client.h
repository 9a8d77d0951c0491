// The database client of the fuzz targets. fake_db_client.cc defines
// exec_cmd, the only symbol of store/db_client.cc, so linking it keeps the
// real client (and the shell) out of the program.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Each later exec_cmd prints the next of `outputs`; with none left the
// client counts as not started (-11, nothing read). The views must outlive
// the calls. Forgets the command lines run before.
void fake_db_client_reset(const std::vector<std::string_view> &outputs);

// Every command line run since the last reset, in order. Each has been
// checked to keep its quoting.
const std::vector<std::string> &fake_db_client_lines();
