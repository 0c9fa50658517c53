// Callsign keys and the record layouts shared by every database file.
//
// Every index is keyed by a fixed-width integer made from the callsign, never by its text:
//   CallKey (32 bits), US callsigns of up to six characters beginning with A, K, N or W:
//     bits 31-30  index of the first character in "AKNW"
//     bits 29-0   five 6-bit codes for characters 2 to 6:
//                 0 = ended, 1-10 = "0"-"9", 11-36 = "A"-"Z"
//   Keys compare as unsigned 32-bit numbers; that order is the callsigns' character order, with
//   a callsign before every longer one that begins with it. N and W keys have the top bit set.
//
//   CanKey (21 bits), Canadian callsigns "V", a letter of "AEOY", a digit, up to three letters:
//     bits 20-19  index of the second character in "AEOY"
//     bits 18-15  the digit
//     bits 14-0   three 5-bit letters, 0 = absent, 1-26 = "A"-"Z"
//   The leading "V" is not stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace dbfiles {

using CallKey = std::uint32_t;
using CanKey = std::uint32_t;

// Returns the key of a US callsign. Never fails: a first character outside "AKNW" counts as
// "A", and any character other than a digit or an upper-case letter in positions 2 to 6 ends the
// callsign there. Each such character is reported on stderr as "CAN'T encode '%s'\n" (once per
// remaining slot). Characters after the sixth are ignored.
CallKey encode_call(const char* text);

// Returns the callsign text of `key` in a buffer owned by the codec (one per thread) that the
// next call overwrites; copy it at once.
const char* decode_call(CallKey key);

// True when the first character can start a callsign stored under a CallKey (A, K, N or W).
// The encoder maps any other first character onto "A", so such text must not be looked up.
bool is_us_callsign(const char* text);

// Stores the CanKey of a callsign beginning with "V" in *key and returns 0, or returns -1 when
// the text is not encodable (second character outside "AEOY", third not a digit, or a suffix
// character that is not an upper-case letter). Reports nothing.
int encode_can_call(const char* text, CanKey* key);

// Returns the callsign of a CanKey ("V" and the stored characters) in a buffer owned by the codec
// (one per thread) that the next call overwrites; copy it at once.
const char* decode_can_call(CanKey key);

// ---------------------------------------------------------------------------------------------
// Index entries

// IndexEntry, 12 bytes, the index entry of call.db and of the update files:
//   word 0  key        CallKey
//   word 1  text_ref   bits 25-0 text_offset, bits 31-26 street_len
//   word 2  place      bits 16-0 zip, bits 22-17 state, bit 23 po_box, bits 31-24 name_len
struct IndexEntry {
  static constexpr std::size_t kSize = 12;
  static constexpr std::uint32_t kMaxTextOffset = (1u << 26) - 1;

  std::uint32_t key = 0;
  std::uint32_t text_ref = 0;
  std::uint32_t place = 0;

  std::uint32_t text_offset() const { return text_ref & 0x03FFFFFFu; }
  std::uint32_t street_len() const { return text_ref >> 26; }
  std::uint32_t zip() const { return place & 0x1FFFFu; }
  std::uint32_t state() const { return (place >> 17) & 0x3Fu; }
  std::uint32_t po_box() const { return (place >> 23) & 1u; }
  std::uint32_t name_len() const { return place >> 24; }

  // Replaces the offset and keeps street_len.
  void set_text_offset(std::uint32_t offset) {
    text_ref = (text_ref & 0xFC000000u) | (offset & 0x03FFFFFFu);
  }
  static std::uint32_t make_text_ref(std::uint32_t offset, std::uint32_t street_len) {
    return (offset & 0x03FFFFFFu) | ((street_len & 0x3Fu) << 26);
  }
  static std::uint32_t make_place(std::uint32_t zip, std::uint32_t state, std::uint32_t po_box,
                                  std::uint32_t name_len) {
    return (zip & 0x1FFFFu) | ((state & 0x3Fu) << 17) | ((po_box & 1u) << 23) |
           ((name_len & 0xFFu) << 24);
  }

  // REQUIRES: p points at kSize bytes.
  static IndexEntry decode(const unsigned char* p);
  void encode(unsigned char* p) const;
};
static_assert(sizeof(IndexEntry) == IndexEntry::kSize);

// PrevEntry, 8 bytes, an entry of callprev.db:
//   word 0  old_key  CallKey of a callsign no longer in use
//   word 1  new_key  CallKey of the callsign that replaced it
struct PrevEntry {
  static constexpr std::size_t kSize = 8;

  std::uint32_t old_key = 0;
  std::uint32_t new_key = 0;

  static PrevEntry decode(const unsigned char* p);
  void encode(unsigned char* p) const;
};
static_assert(sizeof(PrevEntry) == PrevEntry::kSize);

// CanEntry, 8 bytes, the index entry of cancall.db:
//   word 0  bits 20-0 key (CanKey), bits 24-21 province, bits 31-25 zero
//   word 1  bits 23-0 text_offset, bits 31-24 head_len (bytes of record strings 1-3 with their
//           terminators, modulo 256)
struct CanEntry {
  static constexpr std::size_t kSize = 8;
  static constexpr std::uint32_t kKeyMask = 0x1FFFFFu;
  static constexpr std::uint32_t kMaxTextOffset = (1u << 24) - 1;

  std::uint32_t word0 = 0;
  std::uint32_t word1 = 0;

  CanKey key() const { return word0 & kKeyMask; }
  std::uint32_t province() const { return (word0 >> 21) & 0xFu; }
  std::uint32_t text_offset() const { return word1 & 0xFFFFFFu; }
  std::uint32_t head_len() const { return word1 >> 24; }

  static std::uint32_t make_word0(CanKey key, std::uint32_t province) {
    return (key & kKeyMask) | ((province & 0xFu) << 21);
  }
  static std::uint32_t make_word1(std::uint32_t text_offset, std::uint32_t head_len) {
    return (text_offset & 0xFFFFFFu) | ((head_len & 0xFFu) << 24);
  }

  static CanEntry decode(const unsigned char* p);
  void encode(unsigned char* p) const;
};
static_assert(sizeof(CanEntry) == CanEntry::kSize);

// ---------------------------------------------------------------------------------------------
// Code tables

// US state codes by IndexEntry::state(); index 0 is "??" (unknown). 61 to 63 have no code.
inline constexpr int kStateCount = 61;
extern const char* const StateCodes[kStateCount];
// The code to show for a state value: "??" for 0 and for values without a code.
const char* state_code(std::uint32_t state);

// Canadian province codes by CanEntry::province(); 0 is "??", 4 "ZZ" marks a licence without an
// address. 15 has no code.
inline constexpr int kProvinceCount = 15;
inline constexpr std::uint32_t kNoAddressProvince = 4;
extern const char* const ProvinceCodes[kProvinceCount];
const char* province_code(std::uint32_t province);

// ---------------------------------------------------------------------------------------------
// A found licence, ready to show: the callsign and three display lines of at most 127
// characters each, plus the unpacked entry fields.
struct LookupResult {
  static constexpr std::size_t kCallsignSize = 8;  // 7 characters and the terminator
  static constexpr std::size_t kLineSize = 128;    // 127 characters and the terminator

  char callsign[kCallsignSize] = {};
  char name_line[kLineSize] = {};
  char street_line[kLineSize] = {};
  char place_line[kLineSize] = {};
  std::uint32_t text_offset = 0;
  std::uint32_t zip = 0;
  std::uint32_t state = 0;
  std::uint32_t po_box = 0;
  std::uint32_t name_len = 0;
  std::uint32_t street_len = 0;
};

// The post-office box prefix of a street line.
inline constexpr char kPoBoxPrefix[] = "PO BOX ";

// Fills the entry fields of *result and its callsign (the decoded key).
void unpack_entry(const IndexEntry& entry, LookupResult* result);

// Builds the three display lines of a US record from the bytes read at its text_offset (`n`
// bytes, not necessarily terminated; nothing past them is looked at):
//   name_line   the first name_len bytes
//   street_line the next street_len bytes, after "PO BOX " when po_box is set
//   place_line  "%s %s %05d": the city (up to the terminator), the state code, the ZIP code
// Each part stops early at a zero byte or at the end of the bytes read.
// REQUIRES: unpack_entry() filled *result.
void build_us_lines(const char* text, std::size_t n, LookupResult* result);

// Builds the display lines of a Canadian record from its five zero-terminated strings (surname
// or club name, given names, street, city, postal code) in `n` bytes; strings missing from the
// bytes read count as empty:
//   name_line   "%s %s" given names, surname (a club's line starts with a space)
//   street_line the street
//   place_line  "%s, %s  %s" city, province code, postal code
void build_can_lines(const char* text, std::size_t n, std::uint32_t province,
                     LookupResult* result);

// A found record as the lookup window shows it: "%s\r\n%s\r\n%s\r\n%s\r\n\r\n".
std::string format_result_block(const LookupResult& result);

}  // namespace dbfiles
