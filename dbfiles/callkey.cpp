#include "dbfiles/callkey.h"

#include <cstdio>
#include <cstring>

#include "dbfiles/coding.h"

namespace dbfiles {

namespace {

constexpr char kUsFirst[] = "AKNW";
constexpr char kCanSecond[] = "AEOY";

int index_in(const char* table, char c) {
  if (c == '\0') return -1;
  const char* hit = std::strchr(table, c);
  return hit == nullptr ? -1 : static_cast<int>(hit - table);
}

void report_unencodable(const char* text) { std::fprintf(stderr, "CAN'T encode '%s'\n", text); }

}  // namespace

CallKey encode_call(const char* text) {
  int first = index_in(kUsFirst, text[0]);
  if (first < 0) {
    report_unencodable(text);
    first = 4;  // shifted out of the word below: the key reads as an "A" callsign
  }
  // The cursor stops on the terminator or on a character it cannot encode, so every slot after
  // it is 0 (and, for a bad character, reported again).
  const char* cursor = text[0] == '\0' ? text : text + 1;
  CallKey key = static_cast<CallKey>(first) << 30;
  for (int slot = 0; slot < 5; ++slot) {
    const char c = *cursor;
    std::uint32_t code = 0;
    if (c >= 'A' && c <= 'Z') {
      code = static_cast<std::uint32_t>(c - 54);
      ++cursor;
    } else if (c >= '0' && c <= '9') {
      code = static_cast<std::uint32_t>(c - 47);
      ++cursor;
    } else if (c != '\0') {
      report_unencodable(text);
    }
    key |= code << (24 - 6 * slot);
  }
  return key;
}

const char* decode_call(CallKey key) {
  thread_local char buffer[7];
  buffer[6] = '\0';
  for (int pos = 5; pos >= 1; --pos) {
    const std::uint32_t code = (key >> (6 * (5 - pos))) & 0x3Fu;
    if (code > 10) {
      buffer[pos] = static_cast<char>(code + 54);
    } else if (code >= 1) {
      buffer[pos] = static_cast<char>(code + 47);
    } else {
      buffer[pos] = '\0';
    }
  }
  buffer[0] = kUsFirst[key >> 30];
  return buffer;
}

bool is_us_callsign(const char* text) { return index_in(kUsFirst, text[0]) >= 0; }

int encode_can_call(const char* text, CanKey* key) {
  if (text[0] == '\0') return -1;
  const int second = index_in(kCanSecond, text[1]);
  if (second < 0) return -1;
  const char digit = text[2];
  if (digit < '0' || digit > '9') return -1;
  CanKey value = (static_cast<CanKey>(second) << 4) | static_cast<CanKey>(digit - '0');
  bool ended = false;
  for (int pos = 3; pos < 6; ++pos) {
    value <<= 5;
    if (!ended && text[pos] == '\0') ended = true;
    if (ended) continue;
    const char c = text[pos];
    // Only letters have a 5-bit code; anything else would spill into the next field.
    if (c < 'A' || c > 'Z') return -1;
    value |= static_cast<CanKey>(c - 64);
  }
  *key = value;
  return 0;
}

const char* decode_can_call(CanKey key) {
  thread_local char buffer[7];
  buffer[0] = 'V';
  buffer[1] = kCanSecond[(key >> 19) & 3u];
  buffer[2] = static_cast<char>('0' + ((key >> 15) & 0xFu));
  int len = 3;
  for (int shift = 10; shift >= 0; shift -= 5) {
    const std::uint32_t code = (key >> shift) & 0x1Fu;
    if (code == 0 || code > 26) break;  // absent: the callsign ends here
    buffer[len++] = static_cast<char>(code + 64);
  }
  buffer[len] = '\0';
  return buffer;
}

// ---------------------------------------------------------------------------------------------

IndexEntry IndexEntry::decode(const unsigned char* p) {
  IndexEntry e;
  e.key = decode_fixed32(p);
  e.text_ref = decode_fixed32(p + 4);
  e.place = decode_fixed32(p + 8);
  return e;
}

void IndexEntry::encode(unsigned char* p) const {
  encode_fixed32(p, key);
  encode_fixed32(p + 4, text_ref);
  encode_fixed32(p + 8, place);
}

PrevEntry PrevEntry::decode(const unsigned char* p) {
  PrevEntry e;
  e.old_key = decode_fixed32(p);
  e.new_key = decode_fixed32(p + 4);
  return e;
}

void PrevEntry::encode(unsigned char* p) const {
  encode_fixed32(p, old_key);
  encode_fixed32(p + 4, new_key);
}

CanEntry CanEntry::decode(const unsigned char* p) {
  CanEntry e;
  e.word0 = decode_fixed32(p);
  e.word1 = decode_fixed32(p + 4);
  return e;
}

void CanEntry::encode(unsigned char* p) const {
  encode_fixed32(p, word0);
  encode_fixed32(p + 4, word1);
}

// ---------------------------------------------------------------------------------------------

const char* const StateCodes[kStateCount] = {
    "??", "AA", "AE", "AK", "AL", "AP", "AR", "AS", "AZ", "CA", "CO", "CT", "DC", "DE", "FL", "GA",
    "GU", "HI", "IA", "ID", "IL", "IN", "KS", "KY", "LA", "MA", "MD", "ME", "MI", "MN", "MO", "MP",
    "MS", "MT", "NC", "ND", "NE", "NH", "NJ", "NM", "NV", "NY", "OH", "OK", "OR", "PA", "PR", "RI",
    "SC", "SD", "TN", "TX", "UM", "UT", "VA", "VI", "VT", "WA", "WI", "WV", "WY"};

const char* state_code(std::uint32_t state) {
  return state < static_cast<std::uint32_t>(kStateCount) ? StateCodes[state] : StateCodes[0];
}

const char* const ProvinceCodes[kProvinceCount] = {"??", "NU", "YT", "NT", "ZZ",
                                                   "PE", "NL", "SK", "MB", "NB",
                                                   "NS", "AB", "BC", "QC", "ON"};

const char* province_code(std::uint32_t province) {
  return province < static_cast<std::uint32_t>(kProvinceCount) ? ProvinceCodes[province]
                                                                : ProvinceCodes[0];
}

}  // namespace dbfiles
