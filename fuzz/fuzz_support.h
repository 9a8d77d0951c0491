// Plumbing shared by every fuzz target: how one input is cut into the peer's
// answers and how a broken invariant ends the run.
#pragma once

#include <cstddef>
#include <cstdint>
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

// Reports the broken invariant on the process's error descriptor and
// aborts, so libFuzzer keeps the input as a crash.
[[noreturn]] void fuzz_fail(const char *what, const char *file, int line);

#define FUZZ_CHECK(cond) ((cond) ? (void)0 : fuzz_fail(#cond, __FILE__, __LINE__))
