#include "dbfiles/callkey.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "tests/test_util.h"

namespace dbfiles {
namespace {

// Runs encode_call and returns the key; *messages gets what it wrote to stderr.
CallKey encode_capturing(const char* text, std::string* messages) {
  testing::internal::CaptureStderr();
  const CallKey key = encode_call(text);
  *messages = testing::internal::GetCapturedStderr();
  return key;
}

int count_of(const std::string& haystack, const std::string& needle) {
  int n = 0;
  for (std::size_t pos = haystack.find(needle); pos != std::string::npos;
       pos = haystack.find(needle, pos + 1)) {
    ++n;
  }
  return n;
}

// ---------------------------------------------------------------------------------------------
// US keys

TEST(CallKey, WorkedExamplesHaveTheirKeys) {
  EXPECT_EQ(encode_call("K1ABC"), 0x422CC340u);
  EXPECT_EQ(encode_call("N0A"), 0x812C0000u);
  EXPECT_EQ(encode_call("AA9Z"), 0x0B2A4000u);
  EXPECT_EQ(encode_call("WA2XYZ"), 0xCB0E28E4u);
}

TEST(CallKey, KeysSortInCallsignOrderAsUnsignedNumbers) {
  const std::vector<std::string> sorted = {"AA9Z", "K1A", "K1AB", "K1ABC", "K1B", "KA1A", "N0A",
                                           "W2X"};
  for (std::size_t i = 1; i < sorted.size(); ++i) {
    EXPECT_LT(encode_call(sorted[i - 1].c_str()), encode_call(sorted[i].c_str()))
        << sorted[i - 1] << " before " << sorted[i];
  }
  // N and W keys have the top bit: a signed comparison would put them first.
  EXPECT_GT(encode_call("N0A"), 0x80000000u);
  EXPECT_GT(encode_call("W2X"), encode_call("KZ9ZZZ"));
}

TEST(CallKey, RandomPairsOrderLikeTheirTexts) {
  std::mt19937 rng(7);
  for (int i = 0; i < 50000; ++i) {
    const std::string a = testutil::random_us_call(rng);
    const std::string b = testutil::random_us_call(rng);
    // Digits sort before letters and a callsign before its extensions: plain byte order.
    EXPECT_EQ(a < b, encode_call(a.c_str()) < encode_call(b.c_str())) << a << " vs " << b;
    EXPECT_EQ(a == b, encode_call(a.c_str()) == encode_call(b.c_str())) << a << " vs " << b;
  }
}

TEST(CallKey, DecodeGivesBackEveryShortCallsign) {
  const std::string rest = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  for (char first : std::string("AKNW")) {
    std::vector<std::string> calls = {std::string(1, first)};
    for (char c2 : rest) {
      calls.push_back(std::string{first, c2});
      for (char c3 : rest) calls.push_back(std::string{first, c2, c3});
    }
    for (const std::string& call : calls) {
      ASSERT_EQ(decode_call(encode_call(call.c_str())), call);
    }
  }
}

TEST(CallKey, DecodeGivesBackLongCallsigns) {
  std::mt19937 rng(11);
  for (int i = 0; i < 100000; ++i) {
    std::string call = testutil::random_us_call(rng);
    ASSERT_EQ(decode_call(encode_call(call.c_str())), call);
  }
  EXPECT_STREQ(decode_call(encode_call("WZ9Z9Z")), "WZ9Z9Z");
  EXPECT_STREQ(decode_call(encode_call("A0")), "A0");
}

TEST(CallKey, UnencodableCharactersAreReportedOncePerRemainingSlot) {
  std::string messages;

  EXPECT_EQ(encode_capturing("", &messages), 0u);
  EXPECT_EQ(messages, "CAN'T encode ''\n");

  EXPECT_EQ(encode_capturing("W1A-B", &messages), encode_call("W1A"));
  EXPECT_EQ(count_of(messages, "CAN'T encode 'W1A-B'\n"), 3);

  // Lower case ends the callsign where it stands.
  EXPECT_EQ(encode_capturing("K1abc", &messages), encode_call("K1"));
  EXPECT_EQ(count_of(messages, "CAN'T encode 'K1abc'\n"), 4);

  EXPECT_EQ(encode_capturing("X1ABC", &messages), encode_call("A1ABC"));
  EXPECT_EQ(messages, "CAN'T encode 'X1ABC'\n");

  // A seventh character is dropped without a word.
  EXPECT_EQ(encode_capturing("WA2XYZQ", &messages), encode_call("WA2XYZ"));
  EXPECT_EQ(messages, "");
}

TEST(CallKey, OnlyAknwStartUsCallsigns) {
  EXPECT_TRUE(is_us_callsign("K1ABC"));
  EXPECT_TRUE(is_us_callsign("A"));
  EXPECT_TRUE(is_us_callsign("W"));
  EXPECT_FALSE(is_us_callsign(""));
  EXPECT_FALSE(is_us_callsign("VE3ABC"));
  EXPECT_FALSE(is_us_callsign("X1ABC"));
  EXPECT_FALSE(is_us_callsign("k1abc"));
}

// ---------------------------------------------------------------------------------------------
// Canadian keys

CanKey can_key(const char* text) {
  CanKey key = 0xFFFFFFFFu;
  EXPECT_EQ(encode_can_call(text, &key), 0) << text;
  return key;
}

TEST(CanKey, WorkedExamplesHaveTheirKeys) {
  EXPECT_EQ(can_key("VE3ABC"), 0x098443u);
  EXPECT_EQ(can_key("VA7XY"), 0x03E320u);
  EXPECT_EQ(can_key("VO1A"), 0x108400u);
  // Letters after the end of the text count as absent.
  EXPECT_EQ(can_key("VE3A"), 0x098400u);
  EXPECT_EQ(can_key("VY0"), 0x180000u);
  // A seventh character is ignored.
  EXPECT_EQ(can_key("VE3ABCD"), can_key("VE3ABC"));
}

TEST(CanKey, KeysOfDistinctCallsignsDifferAndFitIn21Bits) {
  std::vector<CanKey> keys;
  const std::string letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  for (char second : std::string("AEOY")) {
    for (char digit : std::string("0123456789")) {
      for (char a : letters) {
        for (char b : std::string("AMZ")) {
          const std::string call{'V', second, digit, a, b};
          const CanKey k = can_key(call.c_str());
          EXPECT_EQ(k & ~CanEntry::kKeyMask, 0u) << call;
          keys.push_back(k);
        }
        keys.push_back(can_key(std::string{'V', second, digit, a}.c_str()));
      }
    }
  }
  std::sort(keys.begin(), keys.end());
  EXPECT_EQ(std::adjacent_find(keys.begin(), keys.end()), keys.end());
}

TEST(CanKey, MalformedCallsignsAreNotEncodable) {
  CanKey key = 0;
  for (const char* text :
       {"", "V", "VE", "VB3ABC", "VG3ABC", "VEX123", "VE31AB", "VE3A-B", "VE3ab", "VE3AB1"}) {
    EXPECT_EQ(encode_can_call(text, &key), -1) << text;
  }
}

}  // namespace
}  // namespace dbfiles
