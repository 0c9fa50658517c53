// Display lines of a found licence.

#include <cstdio>
#include <cstring>

#include "dbfiles/callkey.h"
#include "dbfiles/line_out.h"

namespace dbfiles {

namespace {

// Length of the text at `p` that stops at a zero byte or after `limit` bytes.
std::size_t bounded_len(const char* p, std::size_t limit) {
  const void* zero = std::memchr(p, '\0', limit);
  return zero == nullptr ? limit : static_cast<std::size_t>(static_cast<const char*>(zero) - p);
}

// Copies at most `len` bytes into a display line, cut at the line's 127 characters.
void set_line(char (&line)[LookupResult::kLineSize], const char* p, std::size_t len) {
  if (len > LookupResult::kLineSize - 1) len = LookupResult::kLineSize - 1;
  std::memcpy(line, p, len);
  line[len] = '\0';
}

struct Piece {
  const char* p;
  int len;  // for "%.*s"
};

// The i-th of the zero-terminated strings in text[0, n), or "" past the last one.
Piece nth_string(const char* text, std::size_t n, int i) {
  std::size_t pos = 0;
  for (int k = 0; k < i; ++k) {
    pos += bounded_len(text + pos, n - pos);
    if (pos >= n) return {"", 0};
    ++pos;  // the terminator
  }
  if (pos >= n) return {"", 0};
  return {text + pos, static_cast<int>(bounded_len(text + pos, n - pos))};
}

}  // namespace

void unpack_entry(const IndexEntry& entry, LookupResult* result) {
  result->po_box = entry.po_box();
  result->zip = entry.zip();
  result->state = entry.state();
  result->name_len = entry.name_len();
  result->text_offset = entry.text_offset();
  result->street_len = entry.street_len();
  LineOut(result->callsign, sizeof result->callsign).text(decode_call(entry.key));
}

void build_us_lines(const char* text, std::size_t n, LookupResult* result) {
  std::size_t pos = 0;

  const std::size_t name_room = result->name_len < n ? result->name_len : n;
  set_line(result->name_line, text, bounded_len(text, name_room));
  pos = name_room;

  const std::size_t street_room = result->street_len < n - pos ? result->street_len : n - pos;
  const std::size_t street_len = bounded_len(text + pos, street_room);
  if (result->po_box != 0) {
    LineOut(result->street_line, sizeof result->street_line)
        .text(kPoBoxPrefix)
        .text(text + pos, street_len);
  } else {
    set_line(result->street_line, text + pos, street_len);
  }
  pos += street_room;

  LineOut(result->place_line, sizeof result->place_line)
      .text(text + pos, bounded_len(text + pos, n - pos))
      .text(" ", 1)
      .text(state_code(result->state))
      .text(" ", 1)
      .number(result->zip, 5);
}

void build_can_lines(const char* text, std::size_t n, std::uint32_t province,
                     LookupResult* result) {
  const Piece surname = nth_string(text, n, 0);
  const Piece given = nth_string(text, n, 1);
  const Piece street = nth_string(text, n, 2);
  const Piece city = nth_string(text, n, 3);
  const Piece postal = nth_string(text, n, 4);
  std::snprintf(result->name_line, sizeof result->name_line, "%.*s %.*s", given.len, given.p,
                surname.len, surname.p);
  set_line(result->street_line, street.p, static_cast<std::size_t>(street.len));
  std::snprintf(result->place_line, sizeof result->place_line, "%.*s, %s  %.*s", city.len,
                city.p, province_code(province), postal.len, postal.p);
}

std::string format_result_block(const LookupResult& result) {
  std::string block;
  block.reserve(4 * LookupResult::kLineSize);
  block.append(result.callsign).append("\r\n");
  block.append(result.name_line).append("\r\n");
  block.append(result.street_line).append("\r\n");
  block.append(result.place_line).append("\r\n\r\n");
  return block;
}

}  // namespace dbfiles
