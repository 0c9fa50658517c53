#include "dbfiles/callkey.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "dbfiles/line_out.h"
#include "tests/test_util.h"

namespace dbfiles {
namespace {

using testutil::bytes_of;

TEST(CallKey, ExamplesKeysAndReports) {
  // reports: "CAN'T encode" lines, one per slot left once a character cannot be encoded.
  const struct { const char* text; CallKey key; int reports; bool us; } rows[] = {
      {"K1ABC", 0x422CC340u, 0, true},   {"N0A", 0x812C0000u, 0, true},
      {"AA9Z", 0x0B2A4000u, 0, true},    {"WA2XYZ", 0xCB0E28E4u, 0, true},
      {"WA2XYZQ", 0xCB0E28E4u, 0, true},  // a seventh character is dropped
      {"", 0u, 1, false},                {"W1A-B", 0xC22C0000u, 3, true},
      {"K1abc", 0x42000000u, 4, true},   {"X1ABC", 0x022CC340u, 1, false},
      {"k1", 0x02000000u, 1, false},     {"V", 0u, 1, false},
  };
  for (const auto& row : rows) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(encode_call(row.text), row.key) << row.text;
    const std::string line = "CAN'T encode '" + std::string(row.text) + "'\n";
    std::string expected;
    for (int i = 0; i < row.reports; ++i) expected += line;
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
  constexpr CanKey kNone = ~0u;  // not encodable
  const std::pair<const char*, CanKey> rows[] = {
      {"VE3ABC", 0x098443u}, {"VA7XY", 0x03E320u}, {"VO1A", 0x108400u}, {"VE3A", 0x098400u},
      {"VY0", 0x180000u},    {"VE3ABCD", 0x098443u}, {"", kNone},       {"V", kNone},
      {"VE", kNone},         {"VB3ABC", kNone},      {"VG3ABC", kNone}, {"VEX123", kNone},
      {"VE31AB", kNone},     {"VE3A-B", kNone},      {"VE3ab", kNone},  {"VE3AB1", kNone}};
  for (const auto& [text, expected] : rows) {
    CanKey key = kNone;
    EXPECT_EQ(encode_can_call(text, &key), expected == kNone ? -1 : 0) << text;
    EXPECT_EQ(key, expected) << text;
  }
}

// The display lines of a found licence.
TEST(Record, DisplayLines) {
  constexpr std::uint32_t kCan = ~0u;  // as the ZIP: a Canadian record, its state the province
  const std::string n200(200, 'N'), c200(200, 'C'), s300(300, 'S');
  const struct {
    std::uint32_t name_len, street_len, po_box, state, zip;
    std::string text, lines;
  } rows[] = {
      {9, 10, 0, 9, 90210, bytes_of("DOE, JOHN12 MAIN STBEVERLY HILLS\0"),
       "DOE, JOHN|12 MAIN ST|BEVERLY HILLS CA 90210"},
      {3, 3, 1, 14, 32801, bytes_of("DOE123ORLANDO\0"), "DOE|PO BOX 123|ORLANDO FL 32801"},
      {0, 0, 0, 1, 131071, bytes_of("X\0"), "||X AA 131071"},
      {0, 0, 0, 60, 82001, bytes_of("\0"), "|| WY 82001"},
      {0, 0, 0, 61, 1, bytes_of("C\0"), "||C ?? 00001"},  // 61 to 63 have no code
      // Lines are cut at 127 characters; a long city pushes the state and ZIP out.
      {200, 0, 0, 0, 0, n200 + "CITY" + '\0', n200.substr(0, 127) + "||CITY ?? 00000"},
      {0, 0, 0, 0, 0, c200 + '\0', "||" + c200.substr(0, 127)},
      // A zero byte ends its own part only; the next one starts at the stored length.
      {6, 4, 0, 9, 1, bytes_of("AB\0\0\0\0MAINTOWN\0"), "AB|MAIN|TOWN CA 00001"},
      // Lengths that promise more than was read take what is there.
      {20, 30, 0, 9, 1, "SMITH, J", "SMITH, J|| CA 00001"},
      {5, 5, 0, 9, 1, "NAME1STRT1CITY", "NAME1|STRT1|CITY CA 00001"},
      {255, 63, 1, 9, 1, "", "|PO BOX | CA 00001"},
      // Canadian: given names, then the surname; a club has none, its line starts with a space.
      {0, 0, 0, 10, kCan,
       bytes_of("McFadden\0Bill\0" "188 MILLWOOD DRIVE\0MIDDLE SACKVILLE\0B4E 2X8\0"),
       "Bill McFadden|188 MILLWOOD DRIVE|MIDDLE SACKVILLE, NS  B4E 2X8"},
      {0, 0, 0, 14, kCan, bytes_of("OTTAWA ARC\0\0" "1 MAIN ST\0OTTAWA\0K2P 1A4\0"),
       " OTTAWA ARC|1 MAIN ST|OTTAWA, ON  K2P 1A4"},
      {0, 0, 0, 15, kCan, bytes_of("S\0G\0ST\0C\0P\0"), "G S|ST|C, ??  P"},  // no code
      {0, 0, 0, 14, kCan, bytes_of("SMITH\0JOHN"), "JOHN SMITH||, ON  "},  // the rest unread
      {0, 0, 0, 14, kCan, "", " ||, ON  "},
      {0, 0, 0, 14, kCan, n200 + bytes_of("\0\0") + s300 + bytes_of("\0X\0Y\0"),
       " " + n200.substr(0, 126) + "|" + s300.substr(0, 127) + "|X, ON  Y"},
  };
  for (const auto& row : rows) {
    // The text sits in a buffer of its exact size: the address sanitizer catches a read past it.
    const auto text = std::make_unique<char[]>(row.text.size());
    std::memcpy(text.get(), row.text.data(), row.text.size());
    LookupResult r;
    if (row.zip == kCan) {
      build_can_lines(text.get(), row.text.size(), row.state, &r);
    } else {
      IndexEntry entry;
      entry.key = encode_call("WA2XYZ");
      entry.text_ref = IndexEntry::make_text_ref(IndexEntry::kMaxTextOffset, row.street_len);
      entry.place = IndexEntry::make_place(row.zip, row.state, row.po_box, row.name_len);
      unpack_entry(entry, &r);
      EXPECT_STREQ(r.callsign, "WA2XYZ");
      EXPECT_EQ(r.text_offset, IndexEntry::kMaxTextOffset);
      build_us_lines(text.get(), row.text.size(), &r);
    }
    EXPECT_EQ(std::string(r.name_line) + "|" + r.street_line + "|" + r.place_line, row.lines);
  }
}

// Lines written piece by piece are what snprintf writes, cut where it cuts them.
TEST(Record, LineOutWritesWhatSnprintfWrites) {
  std::mt19937 rng(5);
  for (int round = 0; round < 20000; ++round) {
    const std::string word = testutil::random_text(rng, 12);
    const std::uint32_t u = rng() >> (rng() % 32);
    const std::int32_t d = static_cast<std::int32_t>(rng()) >> (rng() % 32);
    const int digits = static_cast<int>(rng() % 8);
    const std::size_t size = 1 + rng() % 40;
    char want[48], got[48];
    std::snprintf(want, size, "%-6s<%s %0*u|%d", word.c_str(), word.c_str(), digits, u, d);
    LineOut out(got, size);
    out.padded(word.c_str(), 6).text("<").text(word.data(), word.size()).text(" ");
    out.number(u, digits).text("|").signed_number(d);
    ASSERT_STREQ(got, want) << round;
    ASSERT_EQ(out.size(), std::strlen(want));
  }
}

}  // namespace
}  // namespace dbfiles
