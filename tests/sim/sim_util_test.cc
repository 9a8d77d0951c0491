// The number readers behind every simulator option and fault action: a
// value the simulators would once have read as 0, or as its leading digits,
// is refused.
#include "sim_util.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

TEST(ParseNumber, WholeNumbersAreDigitsOnlyUpToTheLimit) {
  struct Row {
    const char *situation;
    std::string text;
    uint64_t max;
    bool ok;
    uint64_t value;
  } rows[] = {
      {"plain number", "250", 1000, true, 250},
      {"zero", "0", 1000, true, 0},
      {"leading zeros", "007", 1000, true, 7},
      {"exactly the limit", "1000", 1000, true, 1000},
      {"one past the limit", "1001", 1000, false, 0},
      {"last digit overshoots a limit ending in 3", "5", 3, false, 0},
      {"largest 64-bit seed", "18446744073709551615", UINT64_MAX, true, UINT64_MAX},
      {"seed past 64 bits", "18446744073709551616", UINT64_MAX, false, 0},
      {"twenty nines", "99999999999999999999", UINT64_MAX, false, 0},
      {"empty", "", 1000, false, 0},
      {"letters behind the digits", "12ms", 1000, false, 0},
      {"a word", "fast", 1000, false, 0},
      {"minus sign", "-1", 1000, false, 0},
      {"plus sign", "+1", 1000, false, 0},
      {"blank ahead", " 1", 1000, false, 0},
      {"blank behind", "1 ", 1000, false, 0},
      {"fraction", "1.5", 1000, false, 0},
      {"hexadecimal", "0x10", 1000, false, 0},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.situation);
    uint64_t out = 4242;
    EXPECT_EQ(sim::parse_number(row.text, row.max, &out), row.ok);
    EXPECT_EQ(out, row.ok ? row.value : 4242u) << "a refusal leaves the field as it was";
  }
}

TEST(ParseNumber, IntFieldsKeepTheirLimit) {
  struct Row {
    const char *situation;
    std::string text;
    int max;
    bool ok;
    int value;
  } rows[] = {
      {"port", "8443", 65535, true, 8443},
      {"port past 65535", "65536", 65535, false, 0},
      {"delay at the fault limit", "100000000", sim::kMaxFaultNumber, true, 100000000},
      {"delay past the fault limit", "100000001", sim::kMaxFaultNumber, false, 0},
      {"past what an int holds", "4294967297", sim::kMaxFaultNumber, false, 0},
      {"negative count", "-3", sim::kMaxFaultNumber, false, 0},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.situation);
    int out = -7;
    EXPECT_EQ(sim::parse_number(row.text, row.max, &out), row.ok);
    EXPECT_EQ(out, row.ok ? row.value : -7);
  }
}

TEST(ParseNumber, TimeFactorsAreNonNegativeDecimals) {
  struct Row {
    const char *situation;
    std::string text;
    bool ok;
    double value;
  } rows[] = {
      {"the scenarios' factor", "0.02", true, 0.02},
      {"real time", "1", true, 1},
      {"no digit before the point", ".5", true, 0.5},
      {"no digit behind the point", "2.", true, 2},
      {"zero: no delays at all", "0", true, 0},
      {"the limit", "1000", true, 1000},
      {"past the limit", "1000.5", false, 0},
      {"negative", "-0.5", false, 0},
      {"two points", "0.0.2", false, 0},
      {"only a point", ".", false, 0},
      {"exponent", "2e-2", false, 0},
      {"infinity", "inf", false, 0},
      {"not a number", "nan", false, 0},
      {"comma as decimal mark", "0,02", false, 0},
      {"empty", "", false, 0},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.situation);
    double out = -1;
    EXPECT_EQ(sim::parse_number(row.text, sim::kMaxTimeFactor, &out), row.ok);
    EXPECT_DOUBLE_EQ(out, row.ok ? row.value : -1);
  }
}

// The server reads the matching ID out of bytes the modem sent: a response
// cut short or with a length past its parent names no ID, and nothing is
// read outside the bytes.
TEST(MatchingId, ReadFromTheAuthenticateServerResponse) {
  sim::Filler filler(3);
  const std::string asr =
      sim::authenticate_server_response(&filler, "00FF", "smdp.example", "DEMO-1", 1150);
  EXPECT_EQ(asr.size(), 1155u) << "BF38 with 1150 bytes of content, whatever the ID";
  std::string grown = asr;
  grown[grown.find("DEMO-1") - 1] = 0x7f;  // the matchingId's length
  struct Row {
    const char *situation;
    std::string bytes;
    bool ok;
    std::string id;
  } rows[] = {
      {"the modem's response", asr, true, "DEMO-1"},
      {"no matching ID",
       sim::authenticate_server_response(&filler, "00FF", "smdp.example", "", 1150), false, ""},
      {"cut short inside the matching ID", asr.substr(0, asr.find("DEMO-1") + 3), false, ""},
      {"matching ID longer than its parent", grown, false, ""},
      {"not a response", std::string("\x30\x03\x80\x01X", 5), false, ""},
      {"empty", "", false, ""},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.situation);
    std::string id = "untouched";
    EXPECT_EQ(sim::matching_id_of(row.bytes, &id), row.ok);
    if (row.ok) {
      EXPECT_EQ(id, row.id);
    }
  }
}

}  // namespace
