// The answers in the formats logging programs read: HamQTH-style XML, callook-style JSON and
// XML, and this program's own JSON. Every database text is escaped for the format it goes
// into; bytes that are not UTF-8 are taken as Latin-1, and control characters, U+FFFE and U+FFFF
// become U+FFFD.
#pragma once

#include <string>
#include <string_view>

#include "callbook/directory.h"

namespace callbook {

void append_xml_text(std::string* out, std::string_view text);
void append_json_text(std::string* out, std::string_view text);  // with its quotes

// HamQTH-style XML.
inline constexpr char kSessionExpired[] = "Session does not exist or expired";
inline constexpr char kCallNotFound[] = "Callsign not found";
inline constexpr char kWrongLogin[] = "Wrong user name or password";
std::string hamqth_session(std::string_view session_id);
std::string hamqth_error(std::string_view error);
std::string hamqth_search(const Licence& licence);

// callook-style: status VALID with the licence, or INVALID (found == false).
std::string callook_json(const Licence* licence);
std::string callook_xml(const Licence* licence);

// This program's own JSON: status "found" with every field, "not found", or "unavailable" with
// the reason.
std::string own_json(const Licence* licence, std::string_view asked, std::string_view problem);

}  // namespace callbook
