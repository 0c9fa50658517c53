#include "dbfiles/callkey.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "tests/test_util.h"

namespace dbfiles {
namespace {

TEST(CallKey, ExamplesKeysAndReports) {
  struct Row {
    const char* text;
    CallKey key;
    int reports;  // "CAN'T encode" lines: one per slot left when a character cannot be encoded
    bool us;
  };
  const Row rows[] = {
      {"K1ABC", 0x422CC340u, 0, true},   {"N0A", 0x812C0000u, 0, true},
      {"AA9Z", 0x0B2A4000u, 0, true},    {"WA2XYZ", 0xCB0E28E4u, 0, true},
      {"WA2XYZQ", 0xCB0E28E4u, 0, true},  // a seventh character is dropped
      {"", 0u, 1, false},                {"W1A-B", 0xC22C0000u, 3, true},
      {"K1abc", 0x42000000u, 4, true},   {"X1ABC", 0x022CC340u, 1, false},
      {"k1", 0x02000000u, 1, false},     {"V", 0u, 1, false},
  };
  for (const Row& row : rows) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(encode_call(row.text), row.key) << row.text;
    std::string expected;
    for (int i = 0; i < row.reports; ++i) expected += "CAN'T encode '" + std::string(row.text) + "'\n";
    EXPECT_EQ(testing::internal::GetCapturedStderr(), expected) << row.text;
    EXPECT_EQ(is_us_callsign(row.text), row.us) << row.text;
  }
}

// Keys round-trip and order as unsigned numbers exactly like the texts (digits before letters,
// a callsign before its extensions).
TEST(CallKey, RandomCallsignsRoundTripAndKeepTheirOrder) {
  std::mt19937 rng(7);
  std::string last = "A";
  for (int i = 0; i < 100000; ++i) {
    const std::string call = testutil::random_us_call(rng);
    ASSERT_EQ(decode_call(encode_call(call.c_str())), call);
    ASSERT_EQ(call < last, encode_call(call.c_str()) < encode_call(last.c_str())) << call << last;
    last = call;
  }
}

TEST(CanKey, ExamplesAndMalformedCallsigns) {
  const std::pair<const char*, CanKey> rows[] = {
      {"VE3ABC", 0x098443u}, {"VA7XY", 0x03E320u}, {"VO1A", 0x108400u}, {"VE3A", 0x098400u},
      {"VY0", 0x180000u},    {"VE3ABCD", 0x098443u}};
  for (const auto& [text, expected] : rows) {
    CanKey key = 0;
    EXPECT_EQ(encode_can_call(text, &key), 0) << text;
    EXPECT_EQ(key, expected) << text;
  }
  for (const char* text :
       {"", "V", "VE", "VB3ABC", "VG3ABC", "VEX123", "VE31AB", "VE3A-B", "VE3ab", "VE3AB1"}) {
    CanKey key = 0;
    EXPECT_EQ(encode_can_call(text, &key), -1) << text;
  }
}

}  // namespace
}  // namespace dbfiles
