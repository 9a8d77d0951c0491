// Plumbing shared by every fuzz target: how one input is cut into the peer's
// answers and how a broken invariant ends the run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The answers in one input (modem replies, client outputs, command words)
// are separated by this byte, the ASCII record separator: a single byte, so
// the fuzzer finds it at once, and one that no reply needs to hold.
constexpr char kSliceSeparator = '\x1e';

// The pieces of `data` between separators, in order; n separators give n + 1
// pieces, empty ones included.
std::vector<std::string_view> split_input(const uint8_t *data, size_t size,
                                          char separator = kSliceSeparator);

// A peer whose answers come from the fuzz input, one per request, and which
// keeps every request it was sent: the modem and the database client.
class ScriptedPeer {
 public:
  // Forgets the requests so far; later requests get these answers in order.
  // The views must outlive the calls.
  void reset(const std::vector<std::string_view> &answers);
  void keep(const char *request) { requests_.emplace_back(request); }
  // The next answer; false when none is left.
  bool next(std::string_view *answer);
  const std::vector<std::string> &requests() const { return requests_; }

 private:
  std::vector<std::string_view> answers_;
  size_t next_ = 0;
  std::vector<std::string> requests_;
};

// Copies `text` into a caller's buffer of `size` (at least 1) bytes as the
// real peers' readers do: at most size - 1 bytes, then a NUL.
void copy_bounded(std::string_view text, char *buffer, size_t size);

// Reports the broken invariant on the process's error descriptor and
// aborts, so libFuzzer keeps the input as a crash.
[[noreturn]] void fuzz_fail(const char *what, const char *file, int line);

#define FUZZ_CHECK(cond) ((cond) ? (void)0 : fuzz_fail(#cond, __FILE__, __LINE__))
