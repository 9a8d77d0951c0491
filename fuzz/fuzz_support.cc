#include "fuzz_support.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

std::vector<std::string_view> split_input(const uint8_t *data, size_t size, char separator) {
  std::vector<std::string_view> pieces;
  std::string_view rest(reinterpret_cast<const char *>(data), size);
  for (;;) {
    size_t end = rest.find(separator);
    pieces.push_back(rest.substr(0, end));
    if (end == std::string_view::npos) return pieces;
    rest.remove_prefix(end + 1);
  }
}

void ScriptedPeer::reset(const std::vector<std::string_view> &answers) {
  answers_ = answers;
  next_ = 0;
  requests_.clear();
}

bool ScriptedPeer::next(std::string_view *answer) {
  if (next_ >= answers_.size()) return false;
  *answer = answers_[next_++];
  return true;
}

void copy_bounded(std::string_view text, char *buffer, size_t size) {
  size_t n = std::min(text.size(), size - 1);
  memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
}

void fuzz_fail(const char *what, const char *file, int line) {
  // Straight to descriptor 2: a target may have pointed stderr elsewhere.
  char message[512];
  int n =
      snprintf(message, sizeof message, "\n*** invariant broken at %s:%d: %s\n", file, line, what);
  if (n > 0) {
    ssize_t ignored = write(STDERR_FILENO, message, static_cast<size_t>(n));
    (void)ignored;
  }
  abort();
}
