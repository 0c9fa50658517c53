#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "dbfiles/callkey.h"
#include "tests/test_util.h"

namespace dbfiles {
namespace {

using testutil::bytes_of;

// Builds the lines from a copy of `text` in a buffer of exactly its size (the address sanitizer
// catches a read past it) and returns them joined by "|".
template <typename Build>
std::string lines_of(const std::string& text, LookupResult* r, Build build) {
  const auto copy = std::make_unique<char[]>(text.size());
  std::memcpy(copy.get(), text.data(), text.size());
  build(copy.get(), text.size(), r);
  return std::string(r->name_line) + "|" + r->street_line + "|" + r->place_line;
}

TEST(UsRecord, DisplayLines) {
  struct Row {
    std::uint32_t name_len, street_len, po_box, state, zip;
    std::string text, lines;
  };
  const std::string n200(200, 'N'), c200(200, 'C');
  const Row rows[] = {
      {9, 10, 0, 9, 90210, bytes_of("DOE, JOHN12 MAIN STBEVERLY HILLS\0"),
       "DOE, JOHN|12 MAIN ST|BEVERLY HILLS CA 90210"},
      {3, 3, 1, 14, 32801, bytes_of("DOE123ORLANDO\0"), "DOE|PO BOX 123|ORLANDO FL 32801"},
      {0, 0, 0, 0, 501, bytes_of("X\0"), "||X ?? 00501"},
      {0, 0, 0, 1, 131071, bytes_of("X\0"), "||X AA 131071"},
      {0, 0, 0, 60, 82001, bytes_of("\0"), "|| WY 82001"},
      {0, 0, 0, 61, 1, bytes_of("C\0"), "||C ?? 00001"},  // states 61 to 63 have no code
      // Lines are cut at 127 characters; a long city pushes the state and ZIP out.
      {200, 0, 0, 0, 0, n200 + "CITY" + '\0', n200.substr(0, 127) + "||CITY ?? 00000"},
      {0, 0, 0, 0, 0, c200 + '\0', "||" + c200.substr(0, 127)},
      // A zero byte ends its own part only; the next one starts at the stored length.
      {6, 4, 0, 9, 1, bytes_of("AB\0\0\0\0MAINTOWN\0"), "AB|MAIN|TOWN CA 00001"},
      // Lengths that promise more than was read take what is there.
      {20, 30, 0, 9, 1, "SMITH, J", "SMITH, J|| CA 00001"},
      {5, 30, 1, 9, 1, "SMITH12", "SMITH|PO BOX 12| CA 00001"},
      {5, 5, 0, 9, 1, "NAME1STRT1CITY", "NAME1|STRT1|CITY CA 00001"},
      {255, 63, 1, 9, 1, "", "|PO BOX | CA 00001"},
  };
  for (const Row& row : rows) {
    IndexEntry entry;
    entry.key = encode_call("WA2XYZ");
    entry.text_ref = IndexEntry::make_text_ref(IndexEntry::kMaxTextOffset, row.street_len);
    entry.place = IndexEntry::make_place(row.zip, row.state, row.po_box, row.name_len);
    LookupResult r;
    unpack_entry(entry, &r);
    EXPECT_STREQ(r.callsign, "WA2XYZ");
    EXPECT_EQ(r.text_offset, IndexEntry::kMaxTextOffset);
    EXPECT_EQ(lines_of(row.text, &r, build_us_lines), row.lines) << row.text;
  }
}

TEST(CanRecord, DisplayLines) {
  struct Row {
    std::uint32_t province;
    std::string text, lines;
  };
  const std::string c300(300, 'C'), s300(300, 'S');
  const Row rows[] = {
      {10, bytes_of("McFadden\0Bill\0" "188 MILLWOOD DRIVE\0MIDDLE SACKVILLE\0B4E 2X8\0"),
       "Bill McFadden|188 MILLWOOD DRIVE|MIDDLE SACKVILLE, NS  B4E 2X8"},
      // A club has no given names: its line starts with a space.
      {14, bytes_of("OTTAWA ARC\0\0" "1 MAIN ST\0OTTAWA\0K2P 1A4\0"),
       " OTTAWA ARC|1 MAIN ST|OTTAWA, ON  K2P 1A4"},
      {4, bytes_of("S\0G\0ST\0C\0P\0"), "G S|ST|C, ZZ  P"},
      {15, bytes_of("S\0G\0ST\0C\0P\0"), "G S|ST|C, ??  P"},  // 15 has no code
      // Strings that were not read count as empty.
      {14, bytes_of("SMITH\0JOHN"), "JOHN SMITH||, ON  "},
      {14, "", " ||, ON  "},
      {14, c300 + bytes_of("\0\0") + s300 + bytes_of("\0X\0Y\0"),
       " " + c300.substr(0, 126) + "|" + s300.substr(0, 127) + "|X, ON  Y"},
  };
  for (const Row& row : rows) {
    LookupResult r;
    const auto build = [&](const char* t, std::size_t n, LookupResult* out) {
      build_can_lines(t, n, row.province, out);
    };
    EXPECT_EQ(lines_of(row.text, &r, build), row.lines) << row.text;
  }
}

}  // namespace
}  // namespace dbfiles
