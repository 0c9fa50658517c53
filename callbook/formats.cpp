#include "callbook/formats.h"

#include <cstdio>

namespace callbook {
namespace {

// Appends code point `cp` in UTF-8.
void put_utf8(std::string* out, unsigned cp) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Length of a well-formed UTF-8 sequence of two to four bytes at text[i], or 0.
std::size_t utf8_length(std::string_view text, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
  const unsigned char c = b(0);
  std::size_t n = 0;
  unsigned low = 0x80, high = 0xBF;  // the allowed range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + n > text.size() || b(1) < low || b(1) > high) return 0;
  for (std::size_t k = 2; k < n; ++k) {
    if (b(k) < 0x80 || b(k) > 0xBF) return 0;
  }
  return n;
}

// Walks `text`, handing ASCII bytes to `ascii` and putting everything else out as UTF-8: whole
// UTF-8 sequences as they stand, other bytes as Latin-1, control characters and U+FFFE and U+FFFF
// (which no XML document may hold) as U+FFFD.
template <typename Ascii>
void transcode(std::string* out, std::string_view text, Ascii ascii) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F) {
      ascii(c);
    } else if (c < 0x80 || (c >= 0x80 && c < 0xA0 && utf8_length(text, i) == 0)) {
      put_utf8(out, 0xFFFD);
    } else if (const std::size_t n = utf8_length(text, i); n > 0) {
      const std::string_view sequence = text.substr(i, n);
      if (sequence == "\xEF\xBF\xBE" || sequence == "\xEF\xBF\xBF") {
        put_utf8(out, 0xFFFD);
      } else {
        out->append(sequence);
      }
      i += n - 1;
    } else {
      put_utf8(out, c);
    }
  }
}

void xml_field(std::string* out, const char* tag, std::string_view text) {
  out->append("<").append(tag).append(">");
  append_xml_text(out, text);
  out->append("</").append(tag).append(">\n");
}

void json_field(std::string* out, const char* name, std::string_view text, bool last = false) {
  out->append("\"").append(name).append("\":");
  append_json_text(out, text);
  if (!last) out->push_back(',');
}

constexpr char kHamqthHead[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<HamQTH version=\"2.7\" xmlns=\"https://www.hamqth.com\">\n";
constexpr char kHamqthTail[] = "</HamQTH>\n";

const char* country_of(const Licence& l) { return l.canadian ? "Canada" : "United States"; }

// "CITY, ST ZIP"
std::string place_of(const Licence& l) {
  std::string place = l.city;
  place.append(", ").append(l.region).append(" ").append(l.postcode);
  return place;
}

// callook names a person first name first: "SURNAME, GIVEN" is shown "GIVEN SURNAME".
std::string display_name(const Licence& l) {
  if (l.canadian || l.surname.empty()) return l.name;
  return l.name.substr(l.surname.size() + 2) + " " + l.surname;
}

}  // namespace

void append_xml_text(std::string* out, std::string_view text) {
  transcode(out, text, [out](unsigned char c) {
    switch (c) {
      case '&': out->append("&amp;"); break;
      case '<': out->append("&lt;"); break;
      case '>': out->append("&gt;"); break;
      case '"': out->append("&quot;"); break;
      case '\'': out->append("&apos;"); break;
      default: out->push_back(static_cast<char>(c));
    }
  });
}

void append_json_text(std::string* out, std::string_view text) {
  out->push_back('"');
  transcode(out, text, [out](unsigned char c) {
    if (c == '"' || c == '\\') out->push_back('\\');
    out->push_back(static_cast<char>(c));
  });
  out->push_back('"');
}

std::string hamqth_session(std::string_view session_id) {
  std::string out = kHamqthHead;
  out.append("<session>\n");
  xml_field(&out, "session_id", session_id);
  out.append("</session>\n").append(kHamqthTail);
  return out;
}

std::string hamqth_error(std::string_view error) {
  std::string out = kHamqthHead;
  out.append("<session>\n");
  xml_field(&out, "error", error);
  out.append("</session>\n").append(kHamqthTail);
  return out;
}

std::string hamqth_search(const Licence& l) {
  std::string out = kHamqthHead;
  out.append("<search>\n");
  xml_field(&out, "callsign", l.asked);
  xml_field(&out, "nick", l.first_name);
  xml_field(&out, "qth", l.city);
  xml_field(&out, "country", country_of(l));
  xml_field(&out, "adr_name", display_name(l));
  xml_field(&out, "adr_street1", l.street);
  xml_field(&out, "adr_city", l.city);
  xml_field(&out, "adr_zip", l.postcode);
  xml_field(&out, "adr_country", country_of(l));
  xml_field(&out, l.canadian ? "district" : "us_state", l.region);
  out.append("</search>\n").append(kHamqthTail);
  return out;
}

std::string callook_json(const Licence* l) {
  if (l == nullptr) return "{\"status\":\"INVALID\"}\n";
  std::string out = "{\"status\":\"VALID\",\"current\":{";
  json_field(&out, "callsign", l->callsign, true);
  out.append("},\"previous\":{");
  json_field(&out, "callsign", l->former, true);
  out.append("},");
  json_field(&out, "name", display_name(*l));
  out.append("\"address\":{");
  json_field(&out, "line1", l->street);
  json_field(&out, "line2", place_of(*l));
  json_field(&out, "attn", "", true);
  out.append("}}\n");
  return out;
}

std::string callook_xml(const Licence* l) {
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<callook>\n";
  if (l == nullptr) return out + "<status>INVALID</status>\n</callook>\n";
  out.append("<status>VALID</status>\n<current>\n");
  xml_field(&out, "callsign", l->callsign);
  out.append("</current>\n<previous>\n");
  xml_field(&out, "callsign", l->former);
  // fldigi looks for the licensee's name after the trustee's block: it is there, if empty.
  out.append("</previous>\n<trustee>\n<callsign></callsign>\n<name></name>\n</trustee>\n");
  xml_field(&out, "name", display_name(*l));
  out.append("<address>\n");
  xml_field(&out, "line1", l->street);
  xml_field(&out, "line2", place_of(*l));
  out.append("<attn></attn>\n</address>\n</callook>\n");
  return out;
}

std::string own_json(const Licence* l, std::string_view asked, std::string_view problem) {
  std::string out = "{";
  if (l == nullptr) {
    out.append(problem.empty() ? "\"status\":\"not found\"," : "\"status\":\"unavailable\",");
    if (!problem.empty()) json_field(&out, "problem", problem);
    json_field(&out, "asked", asked, true);
    return out + "}\n";
  }
  out.append("\"status\":\"found\",");
  json_field(&out, "asked", l->asked);
  json_field(&out, "callsign", l->callsign);
  json_field(&out, "former", l->former);
  json_field(&out, "country", country_of(*l));
  json_field(&out, "name", l->name);
  json_field(&out, "first_name", l->first_name);
  json_field(&out, "surname", l->surname);
  json_field(&out, "street", l->street);
  json_field(&out, "city", l->city);
  json_field(&out, l->canadian ? "province" : "state", l->region);
  json_field(&out, l->canadian ? "postal_code" : "zip", l->postcode, true);
  return out + "}\n";
}

}  // namespace callbook
