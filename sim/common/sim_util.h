// Small pieces shared by the simulated modem and the simulated profile server:
// base64 and hex text, filler bytes that look like DER, clocks, one
// "key=value,key=value" option grammar, and compact JSON text.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

struct cJSON;

namespace sim {

std::string base64_encode(const std::string &bytes);
// False when `text` is not canonical base64 (padding included).
bool base64_decode(const std::string &text, std::string *bytes);

// Lowercase hex of `bytes`.
std::string hex_encode(const std::string &bytes);
// Accepts only an even number of lowercase hex digits, as the modem does.
bool hex_decode_lower(const std::string &text, std::string *bytes);

// Deterministic pseudo-random bytes (xorshift), so that two runs of the same
// scenario send the same requests and transcripts can be compared.
class Filler {
 public:
  explicit Filler(uint64_t seed) : state_(seed ? seed : 0x9e3779b97f4a7c15ull) {}
  std::string bytes(size_t n);
  // A DER-looking blob: the given tag bytes, a long-form length, then filler.
  std::string der(const std::string &tag, size_t content_len);
  uint64_t next();

 private:
  uint64_t state_;
};

// One DER element: `tag` bytes, the length (short form, or long form in up
// to three bytes), then `content`.
std::string der_element(const std::string &tag, const std::string &content);

// The authenticateServerResponse an eUICC sends in authenticateClient, with
// the members a server reads where SGP.22 puts them:
// BF38 { 30 authenticateResponseOk { 30 euiccSigned1 { 80 transactionId,
// 83 serverAddress, 84 serverChallenge, A0 ctxParams1 { 80 matchingId } },
// 5F37 euiccSignature1, 30 certificate filler } }. The element has
// `content_len` content bytes whatever the matching ID, so that the request
// keeps its size (unless the members alone need more); an empty matching ID
// is left out, as the eUICC leaves out an absent one.
std::string authenticate_server_response(Filler *filler, const std::string &transaction_id,
                                         const std::string &address, const std::string &matching_id,
                                         size_t content_len);

// The matchingId of such a response (its DER bytes). False when the bytes do
// not hold that path of elements, or an element runs past its parent: a
// response without a matching ID names none.
bool matching_id_of(const std::string &response, std::string *matching_id);

// Seconds since the epoch with microseconds, for transcripts.
double wall_seconds();
// Milliseconds on the monotonic clock.
int64_t mono_ms();

// "a=1,b=two,flag" -> {a:1, b:two, flag:""}. Order is kept.
std::vector<std::pair<std::string, std::string>> split_settings(const std::string &text);

// Reads a scenario file: one option per line, "name value" or "name=value";
// blank lines and lines starting with '#' are skipped. Each line becomes
// "--name" and "value" as if given on the command line.
bool read_scenario_file(const std::string &path, std::vector<std::string> *args, std::string *err);

// A file of fault lines in the --fault syntax, one per line (blank lines and
// lines starting with '#' skipped), that a running simulator reads again
// whenever it changed, so that a test can change the faults between runs.
class FaultFile {
 public:
  explicit FaultFile(std::string path = "") : path_(std::move(path)) {}
  // True when the file changed since the last call (a missing file reads as
  // an empty one); *lines_read then holds its lines.
  bool changed(std::vector<std::string> *lines_read);

 private:
  std::string path_;
  bool read_ = false;
  struct Stamp {
    long long ino = -1, size = -1, sec = -1, nsec = -1;
    bool operator==(const Stamp &o) const {
      return ino == o.ino && size == o.size && sec == o.sec && nsec == o.nsec;
    }
  } stamp_;
};

// How often a fault applies: it lets the first `skip` matching commands or
// requests pass, then applies `times` times (-1: for ever).
struct FaultCount {
  int skip = 0;
  int times = -1;
  // Counts one matching command or request; true when the fault applies to it.
  bool take();
};

// What a simulator's reader of one fault action made of it.
enum class FaultAction { kTaken, kBadValue, kUnknown };

// Both simulators' fault lines read "TARGET:ACTION[=VALUE][,ACTION...]": the
// target (a command kind, an ES9+ function) before the colon, then actions,
// of which skip=N and times=N (the FaultCount) are common and every other one
// is the simulator's own, handed to `action` with its value. `shape` names
// the syntax in the message of a line without a target or colon. False with
// a message in *err on a bad line: no target, an unknown action, a bad value,
// or no action but the counts.
template <typename ActionReader>
bool parse_fault_line(const std::string &line, const char *shape, std::string *target,
                      FaultCount *count, ActionReader action, std::string *err);

// Readers of the numbers in options and fault actions. Each takes the whole
// of `text` as a decimal number of at most `max`: digits only (the fraction
// also one '.'), no sign, no blanks, nothing behind. False, with *out
// untouched, on anything else, so that a bad number is refused instead of
// read as 0 or as its leading digits.
bool parse_number(const std::string &text, uint64_t max, uint64_t *out);
bool parse_number(const std::string &text, int max, int *out);
bool parse_number(const std::string &text, double max, double *out);

// True when `text` is one or more ASCII digits.
bool all_digits(const std::string &text);

// The most a fault's delay, size or count may be: over a day in
// milliseconds, and far more bytes than any reader takes.
constexpr int kMaxFaultNumber = 100000000;

// The most a --time-factor may be: a thousand times slower than real time.
constexpr double kMaxTimeFactor = 1000;

// JSON string literal of `text`, with every byte that is not printable ASCII
// escaped, so that replies holding control bytes stay one transcript line.
std::string json_quote(const std::string &text);

// The one-line JSON text of `item`, as both simulators put it on the wire;
// empty when cJSON cannot print it.
std::string print_compact(const cJSON *item);

template <typename ActionReader>
bool parse_fault_line(const std::string &line, const char *shape, std::string *target,
                      FaultCount *count, ActionReader action, std::string *err) {
  size_t colon = line.find(':');
  if (colon == std::string::npos || colon == 0) {
    *err = std::string("fault must read ") + shape + ": " + line;
    return false;
  }
  *target = line.substr(0, colon);
  bool any = false;
  for (const auto &kv : split_settings(line.substr(colon + 1))) {
    const std::string &k = kv.first;
    const std::string &v = kv.second;
    FaultAction read = FaultAction::kTaken;
    if (k == "skip" || k == "times") {
      if (!parse_number(v, kMaxFaultNumber, k == "skip" ? &count->skip : &count->times))
        read = FaultAction::kBadValue;
    } else {
      read = action(k, v);
      any = any || read == FaultAction::kTaken;
    }
    if (read == FaultAction::kUnknown) {
      *err = "unknown fault action '" + k + "' in " + line;
      return false;
    }
    if (read == FaultAction::kBadValue) {
      *err = "bad value for '" + k + "' in " + line;
      return false;
    }
  }
  if (!any) {
    *err = "fault names no action: " + line;
    return false;
  }
  return true;
}

}  // namespace sim
