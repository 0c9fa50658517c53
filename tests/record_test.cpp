#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "dbfiles/callkey.h"
#include "tests/test_util.h"

namespace dbfiles {
namespace {

using testutil::bytes_of;

// Builds the US lines from exactly the bytes of `text` (held in a buffer of that size, so a
// read past it is caught by the address sanitizer).
LookupResult us_lines(std::uint32_t name_len, std::uint32_t street_len, bool po_box,
                      std::uint32_t state, std::uint32_t zip, const std::string& text,
                      const char* call = "K1ABC") {
  IndexEntry entry;
  entry.key = encode_call(call);
  entry.text_ref = IndexEntry::make_text_ref(12, street_len);
  entry.place = IndexEntry::make_place(zip, state, po_box ? 1 : 0, name_len);
  LookupResult result;
  unpack_entry(entry, &result);
  auto exact = std::make_unique<char[]>(text.size() + 1);
  std::memcpy(exact.get(), text.data(), text.size());
  build_us_lines(exact.get(), text.size(), &result);
  return result;
}

LookupResult can_lines(const std::string& text, std::uint32_t province) {
  LookupResult result;
  auto exact = std::make_unique<char[]>(text.size() + 1);
  std::memcpy(exact.get(), text.data(), text.size());
  build_can_lines(exact.get(), text.size(), province, &result);
  return result;
}

// ---------------------------------------------------------------------------------------------
// Entry fields

TEST(IndexEntry, FieldsUnpackFromTheirBitRanges) {
  unsigned char raw[12];
  IndexEntry in;
  in.key = encode_call("WA2XYZ");
  in.text_ref = IndexEntry::make_text_ref(IndexEntry::kMaxTextOffset, 63);
  in.place = IndexEntry::make_place(131071, 60, 1, 255);
  in.encode(raw);
  EXPECT_EQ(raw[0], 0xE4);  // little-endian
  EXPECT_EQ(raw[3], 0xCB);
  LookupResult r;
  unpack_entry(IndexEntry::decode(raw), &r);
  EXPECT_STREQ(r.callsign, "WA2XYZ");
  EXPECT_EQ(r.text_offset, IndexEntry::kMaxTextOffset);
  EXPECT_EQ(r.street_len, 63u);
  EXPECT_EQ(r.zip, 131071u);
  EXPECT_EQ(r.state, 60u);
  EXPECT_EQ(r.po_box, 1u);
  EXPECT_EQ(r.name_len, 255u);

  IndexEntry other;
  other.place = IndexEntry::make_place(501, 0, 0, 0);
  unpack_entry(other, &r);
  EXPECT_EQ(r.zip, 501u);
  EXPECT_EQ(r.po_box, 0u);
  EXPECT_EQ(r.name_len, 0u);
}

TEST(CanEntry, FieldsUnpackFromTheirBitRanges) {
  CanEntry e;
  e.word0 = CanEntry::make_word0(0x1FFFFF, 14);
  e.word1 = CanEntry::make_word1(0xFFFFFF, 200);
  unsigned char raw[8];
  e.encode(raw);
  const CanEntry d = CanEntry::decode(raw);
  EXPECT_EQ(d.key(), 0x1FFFFFu);
  EXPECT_EQ(d.province(), 14u);
  EXPECT_EQ(d.word0 >> 25, 0u);
  EXPECT_EQ(d.text_offset(), 0xFFFFFFu);
  EXPECT_EQ(d.head_len(), 200u);
}

// ---------------------------------------------------------------------------------------------
// US lines

TEST(UsRecord, LinesSplitTheTextByTheEntryLengths) {
  const LookupResult r =
      us_lines(9, 10, false, 9, 90210, bytes_of("DOE, JOHN12 MAIN STBEVERLY HILLS\0"));
  EXPECT_STREQ(r.callsign, "K1ABC");
  EXPECT_STREQ(r.name_line, "DOE, JOHN");
  EXPECT_STREQ(r.street_line, "12 MAIN ST");
  EXPECT_STREQ(r.place_line, "BEVERLY HILLS CA 90210");
}

TEST(UsRecord, PoBoxStreetGetsItsPrefix) {
  const LookupResult r = us_lines(3, 3, true, 14, 32801, bytes_of("DOE123ORLANDO\0"));
  EXPECT_STREQ(r.street_line, "PO BOX 123");
  EXPECT_STREQ(r.place_line, "ORLANDO FL 32801");
}

TEST(UsRecord, ZipShowsAtLeastFiveDigits) {
  EXPECT_STREQ(us_lines(0, 0, false, 0, 501, bytes_of("X\0")).place_line, "X ?? 00501");
  EXPECT_STREQ(us_lines(0, 0, false, 0, 0, bytes_of("X\0")).place_line, "X ?? 00000");
  EXPECT_STREQ(us_lines(0, 0, false, 0, 131071, bytes_of("X\0")).place_line,
               "X ?? 131071");
}

TEST(UsRecord, EmptyPartsLeaveEmptyLines) {
  const LookupResult r = us_lines(0, 0, false, 60, 82001, bytes_of("\0"));
  EXPECT_STREQ(r.name_line, "");
  EXPECT_STREQ(r.street_line, "");
  EXPECT_STREQ(r.place_line, " WY 82001");
}

TEST(UsRecord, StatesWithoutACodeShowQuestionMarks) {
  EXPECT_STREQ(us_lines(0, 0, false, 1, 1, bytes_of("C\0")).place_line, "C AA 00001");
  for (std::uint32_t state : {61u, 62u, 63u}) {
    EXPECT_STREQ(us_lines(0, 0, false, state, 1, bytes_of("C\0")).place_line,
                 "C ?? 00001");
  }
}

TEST(UsRecord, LongNameIsCutAt127Characters) {
  const std::string name(200, 'N');
  const LookupResult r = us_lines(200, 0, false, 0, 0, name + "CITY" + std::string(1, '\0'));
  EXPECT_EQ(std::strlen(r.name_line), 127u);
  EXPECT_STREQ(r.place_line, "CITY ?? 00000");
  // A city that fills the line pushes state and ZIP out, never past the line.
  const std::string city(200, 'C');
  EXPECT_EQ(std::strlen(us_lines(0, 0, false, 0, 0, city + '\0').place_line), 127u);
}

TEST(UsRecord, ZeroByteInsideAPartEndsThatPartOnly) {
  // The name runs short; the street still starts at name_len.
  const LookupResult r = us_lines(6, 4, false, 9, 1, bytes_of("AB\0\0\0\0MAINTOWN\0"));
  EXPECT_STREQ(r.name_line, "AB");
  EXPECT_STREQ(r.street_line, "MAIN");
  EXPECT_STREQ(r.place_line, "TOWN CA 00001");
}

TEST(UsRecord, ShortTextNeverReadsPastTheBytesRead) {
  // Lengths promise more than was read: each part takes what is there.
  LookupResult r = us_lines(20, 30, false, 9, 1, "SMITH, J");
  EXPECT_STREQ(r.name_line, "SMITH, J");
  EXPECT_STREQ(r.street_line, "");
  EXPECT_STREQ(r.place_line, " CA 00001");

  r = us_lines(5, 30, true, 9, 1, "SMITH12");
  EXPECT_STREQ(r.street_line, "PO BOX 12");

  r = us_lines(5, 5, false, 9, 1, "NAME1STRT1CITY");  // no terminator at all
  EXPECT_STREQ(r.place_line, "CITY CA 00001");

  r = us_lines(255, 63, false, 9, 1, "");
  EXPECT_STREQ(r.name_line, "");
  EXPECT_STREQ(r.street_line, "");
  EXPECT_STREQ(r.place_line, " CA 00001");
}

// ---------------------------------------------------------------------------------------------
// Canadian lines

TEST(CanRecord, IndividualShowsGivenNamesThenSurname) {
  const LookupResult r = can_lines(
      bytes_of("McFadden\0Bill\0" "188 MILLWOOD DRIVE\0MIDDLE SACKVILLE\0B4E 2X8\0"), 10);
  EXPECT_STREQ(r.name_line, "Bill McFadden");
  EXPECT_STREQ(r.street_line, "188 MILLWOOD DRIVE");
  EXPECT_STREQ(r.place_line, "MIDDLE SACKVILLE, NS  B4E 2X8");
}

TEST(CanRecord, ClubNameLineStartsWithASpace) {
  const LookupResult r =
      can_lines(bytes_of("OTTAWA ARC\0\0" "1 MAIN ST\0OTTAWA\0K2P 1A4\0"), 14);
  EXPECT_STREQ(r.name_line, " OTTAWA ARC");
  EXPECT_STREQ(r.place_line, "OTTAWA, ON  K2P 1A4");
}

TEST(CanRecord, ProvincesWithoutACodeShowQuestionMarks) {
  const std::string text("S\0G\0ST\0SUDBURY,XY\0P1A 1A1\0", 26);
  EXPECT_STREQ(can_lines(text, 0).place_line, "SUDBURY,XY, ??  P1A 1A1");
  EXPECT_STREQ(can_lines(text, 15).place_line, "SUDBURY,XY, ??  P1A 1A1");
  EXPECT_STREQ(can_lines(text, 4).place_line, "SUDBURY,XY, ZZ  P1A 1A1");
}

TEST(CanRecord, MissingStringsCountAsEmpty) {
  // Cut after the given names: street, city and postal code were not read.
  const LookupResult r = can_lines(bytes_of("SMITH\0JOHN"), 14);
  EXPECT_STREQ(r.name_line, "JOHN SMITH");
  EXPECT_STREQ(r.street_line, "");
  EXPECT_STREQ(r.place_line, ", ON  ");
  EXPECT_STREQ(can_lines("", 14).name_line, " ");
}

TEST(CanRecord, LongStringsAreCutToTheLine) {
  const std::string club(300, 'C');
  const LookupResult r = can_lines(club + bytes_of("\0\0") + std::string(300, 'S') +
                                       bytes_of("\0X\0Y\0"),
                                   14);
  EXPECT_EQ(std::strlen(r.name_line), 127u);
  EXPECT_EQ(std::strlen(r.street_line), 127u);
  EXPECT_STREQ(r.place_line, "X, ON  Y");
}

TEST(ResultBlock, FourLinesAndAnEmptyOne) {
  LookupResult r;
  std::strcpy(r.callsign, "K1ABC");
  std::strcpy(r.name_line, "DOE, JOHN");
  std::strcpy(r.street_line, "");
  std::strcpy(r.place_line, "TOWN CA 00501");
  EXPECT_EQ(format_result_block(r), "K1ABC\r\nDOE, JOHN\r\n\r\nTOWN CA 00501\r\n\r\n");
}

}  // namespace
}  // namespace dbfiles
