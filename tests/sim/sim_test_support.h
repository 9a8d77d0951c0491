// Helpers for the tests of the simulated gateway: the reply readers' rules,
// written here from the reply shapes esimctl relies on (not taken from the
// tool's code, so that a simulator and a reader that agree on a mistake
// still fail), a client for a simulated modem's pty, and child processes.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace simtest {

// ---- reader rules ----
struct TransFields {
  bool keyword = false;
  bool has_status = false, has_path = false, has_payload = false, has_host = false;
  std::string status, path, payload, host;
};
// The trans reply: status between the first two commas after "trans", path
// in the next quotes, payload from the first '{' after the keyword to the
// reply's last '}', host in the first quotes after the payload's last ':'.
TransFields read_trans(const std::string &reply, bool want_host);

// The status reply: after `keyword`, the first comma, then everything up to
// the next CR. `found` is false when the keyword, comma or CR is missing.
std::string read_status(const std::string &reply, const std::string &keyword, bool *found);

// The functionality level: atoi 6 characters after the first "CFUN"; -1 without one.
int read_cfun_level(const std::string &reply);

// The EID status: after the first "eid", between the next two commas.
bool read_eid_status(const std::string &reply, std::string *status);

// The last ICCID of a list reply by the list rule (first quoted text of a line,
// starts with a digit, 15-20 digits or F, closing quote on the line).
bool read_last_iccid(const std::string &reply, std::string *iccid);
// Every ICCID by the same rule, in order.
std::vector<std::string> read_iccids(const std::string &reply);

// Selector 3 reader: status check, then the LAST line holding `iccid`, searched
// from offset 23 in the text the status check left; sequence number after the
// line's first comma, ended by a comma or a line end, at most 15 characters.
bool read_ntf_last(const std::string &reply, const std::string &iccid, std::string *seq);
// Selector 0 reader: FIRST occurrence searched before the status check, number
// between the line's first comma and the next comma.
bool read_ntf_first(const std::string &reply, const std::string &iccid, std::string *seq);

// ntf_get: status after "ntf_get\"," up to the next comma; data in the next quotes.
bool read_ntf_get(const std::string &reply, std::string *status, std::string *data);

// The chunk commands esimctl sends for one hex text: 1400 characters per
// chunk, the continuation flag 1 on all but the last.
std::vector<std::string> chunk_commands(const std::string &hex);

// ---- a client on a modem's pty ----
class PtyClient {
 public:
  explicit PtyClient(const std::string &path);
  ~PtyClient();
  bool ok() const { return fd_ >= 0; }
  void send(const std::string &bytes);
  // Sends `cmd` + CR LF and collects the reply until `quiet_ms` pass without
  // a byte (after the first one, waited for up to `first_ms`).
  std::string exchange(const std::string &cmd, int first_ms = 2000, int quiet_ms = 80);
  // Everything that arrives within `ms`, as (milliseconds since the call, bytes) pieces.
  std::vector<std::pair<long, std::string>> collect(int ms);

 private:
  int fd_ = -1;
};

// ---- child processes ----
class Child {
 public:
  explicit Child(const std::vector<std::string> &argv);
  ~Child();
  int pid() const { return pid_; }
  void stop();

 private:
  int pid_ = -1;
};

// Runs `argv` to its end with its stderr in `err_path` and its stdout
// dropped; gives its exit status, or -1 when it was still running after `ms`
// (it is then stopped) or did not start.
int run_to_end(const std::vector<std::string> &argv, const std::string &err_path, int ms);

bool wait_for_path(const std::string &path, int ms);
std::string read_file(const std::string &path);
std::vector<std::string> read_lines(const std::string &path);

}  // namespace simtest
