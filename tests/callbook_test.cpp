// The callbook's engine without sockets: its answers in every format against what the lookup
// engine finds in random databases, portable forms, the request parser, sessions, and damaged
// databases.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "callbook/directory.h"
#include "callbook/formats.h"
#include "callbook/http_request.h"
#include "callbook/service.h"
#include "dbfiles/dbwriter.h"
#include "dbfiles/lookup.h"
#include "tests/test_util.h"

namespace {

using callbook::Parse;
using Fields = std::map<std::string, std::string>;
constexpr std::int64_t kNow = 1800000000;

bool valid_utf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const unsigned c = static_cast<unsigned char>(s[i]);
    const int n = c < 0x80 ? 0 : c >= 0xC2 && c < 0xE0 ? 1 : c >= 0xE0 && c < 0xF0 ? 2
                : c >= 0xF0 && c < 0xF5 ? 3 : -1;
    if (n < 0 || i + n >= s.size() + (n == 0)) return false;
    unsigned cp = c & (0x7Fu >> n);
    for (int k = 1; k <= n; ++k) {
      const unsigned b = static_cast<unsigned char>(s[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      cp = cp << 6 | (b & 0x3F);
    }
    if ((n == 2 && cp < 0x800) || (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp < 0xE000)) {
      return false;
    }
    i += n + 1;
  }
  return true;
}

void put_utf8(std::string* out, unsigned cp) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    *out += {static_cast<char>(0xC0 | cp >> 6), static_cast<char>(0x80 | (cp & 0x3F))};
  } else if (cp < 0x10000) {
    *out += {static_cast<char>(0xE0 | cp >> 12), static_cast<char>(0x80 | (cp >> 6 & 0x3F)),
             static_cast<char>(0x80 | (cp & 0x3F))};
  } else {
    *out += {static_cast<char>(0xF0 | cp >> 18), static_cast<char>(0x80 | (cp >> 12 & 0x3F)),
             static_cast<char>(0x80 | (cp >> 6 & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
  }
}

// A database text as a reply shows it: UTF-8 as it stands, else Latin-1; controls, U+FFFE and
// U+FFFF as U+FFFD.
std::string shown(std::string_view raw) {
  const bool utf8 = valid_utf8(raw);
  std::string out;
  for (char ch : raw) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F || (!utf8 && c >= 0x80 && c < 0xA0)) {
      put_utf8(&out, 0xFFFD);
    } else if (c < 0x80 || utf8) {
      out.push_back(ch);
    } else {
      put_utf8(&out, c);
    }
  }
  for (const char* nonchar : {"\xEF\xBF\xBE", "\xEF\xBF\xBF"}) {
    for (std::size_t at; (at = out.find(nonchar)) != std::string::npos;) {
      out.replace(at, 3, "\xEF\xBF\xBD");
    }
  }
  return out;
}

// Element paths ("callook/current/callsign") and their texts, the five entities resolved;
// false when the reply is not well formed.
bool read_xml(std::string_view s, Fields* out) {
  if (s.substr(0, 5) == "<?xml") s.remove_prefix(std::min(s.size(), s.find("?>") + 2));
  std::vector<std::string> open;
  std::string text;
  for (std::size_t i = 0; i < s.size();) {
    if (s[i] == '<') {
      const std::size_t end = s.find('>', i);
      if (end == std::string_view::npos || end == i + 1) return false;
      const std::string_view tag = s.substr(i + 1, end - i - 1);
      i = end + 1;
      if (tag[0] != '/') {
        open.emplace_back(tag.substr(0, tag.find(' ')));
      } else {
        if (open.empty() || open.back() != tag.substr(1)) return false;
        std::string path;
        for (const std::string& o : open) path += (path.empty() ? "" : "/") + o;
        (*out)[path] = text;
        open.pop_back();
      }
      text.clear();
    } else if (s[i] == '&') {
      static const char* const kEntities[] = {"&amp;", "&lt;", "&gt;", "&quot;", "&apos;"};
      static const char kChars[] = "&<>\"'";
      int e = 0;
      while (e < 5 && s.substr(i, std::strlen(kEntities[e])) != kEntities[e]) ++e;
      if (e == 5) return false;
      text.push_back(kChars[e]);
      i += std::strlen(kEntities[e]);
    } else if (s[i] == '>' || (open.empty() && s[i] != '\n')) {
      return false;
    } else {
      text.push_back(s[i++]);
    }
  }
  return open.empty();
}

// Dotted paths ("current.callsign") of a JSON object of objects and strings; false when it is
// not well formed or a string holds a raw control character.
struct JsonReader {
  std::string_view s;
  std::size_t i = 0;
  Fields* out;

  bool eat(char c) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\n')) ++i;
    if (i >= s.size() || s[i] != c) return false;
    ++i;
    return true;
  }
  bool hex4(unsigned* v) {
    if (i + 4 > s.size()) return false;
    *v = static_cast<unsigned>(std::stoul(std::string(s.substr(i, 4)), nullptr, 16));
    i += 4;
    return true;
  }
  bool string(std::string* v) {
    if (!eat('"')) return false;
    static const std::map<char, char> kEscapes = {{'"', '"'}, {'\\', '\\'}, {'/', '/'},
        {'b', '\b'}, {'f', '\f'}, {'n', '\n'}, {'r', '\r'}, {'t', '\t'}};
    while (i < s.size() && s[i] != '"') {
      const auto c = static_cast<unsigned char>(s[i++]);
      if (c < 0x20) return false;
      if (c != '\\') {
        v->push_back(static_cast<char>(c));
      } else if (i < s.size() && s[i] == 'u') {
        ++i;
        unsigned cp = 0, low = 0;
        if (!hex4(&cp)) return false;
        if (cp >= 0xD800 && cp < 0xDC00) {
          if (s.substr(i, 2) != "\\u" || (i += 2, !hex4(&low))) return false;
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        }
        put_utf8(v, cp);
      } else if (i < s.size() && kEscapes.count(s[i])) {
        v->push_back(kEscapes.at(s[i++]));
      } else {
        return false;
      }
    }
    return eat('"');
  }
  bool object(const std::string& path) {
    if (!eat('{')) return false;
    if (eat('}')) return true;
    do {
      std::string key;
      if (!string(&key) || !eat(':')) return false;
      const std::string inner = path.empty() ? key : path + "." + key;
      while (i < s.size() && s[i] == ' ') ++i;
      if (i < s.size() && s[i] == '{' ? !object(inner) : !string(&(*out)[inner])) return false;
    } while (eat(','));
    return eat('}');
  }
};

bool read_json(std::string_view s, Fields* out) {
  JsonReader reader{s, 0, out};
  if (!reader.object("")) return false;
  while (reader.i < s.size() && s[reader.i] == '\n') ++reader.i;
  return reader.i == s.size();
}

callbook::Reply get(const std::string& target, const callbook::Directory* dir,
                    const callbook::Sessions& sessions = callbook::Sessions()) {
  const std::string head = "GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n";
  callbook::Request request;
  std::size_t used = 0;
  int status = 0;
  EXPECT_EQ(callbook::parse_request(head, &request, &used, &status), Parse::request) << target;
  return callbook::answer(request, dir, sessions, kNow);
}

// ---------------------------------------------------------------------------------------------
// Random databases: every format answers what the lookup engine finds.

const char* const kWords[] = {"SMITH", "O'BRIEN", "AT&T", "<ACME>", "\"DOC\"", "R&D", "A>B",
                              "JONES", "M\xC3\x9CLLER", "JOS\xC3\x89", "FRAN\xC3\x87OIS",
                              "\xC3\x85SA", "DE LA CRUZ", "TAB\tX", "Q&A<>'\""};
const char* const kUtf8Words[] = {"\xC5\x81UKASZ", "\xE2\x82\xAC" "URO", "\xF0\x9F\x93\xBB" "FM",
                                  "\xCE\xA9MEGA", "NO\xEF\xBF\xBFNE"};

// Records alternate between Latin-1 and UTF-8 texts, never mixing both in one.
struct TextMaker {
  std::mt19937& rng;
  bool latin1 = false;
  std::string word() {
    std::string w = !latin1 && rng() % 4 == 0 ? kUtf8Words[rng() % 5] : kWords[rng() % 15];
    if (!latin1) return w;
    std::string out;  // the pool's accents are all U+00C0 to U+00FF
    for (std::size_t i = 0; i < w.size(); ++i) {
      out.push_back(w[i] == '\xC3' ? static_cast<char>(0xC0 | (w[++i] & 0x3F)) : w[i]);
    }
    return out;
  }
  std::string words(int most) {
    std::string out = word();
    for (int n = static_cast<int>(rng() % most); n > 0; --n) out += " " + word();
    return out;
  }
};

std::string random_call(std::mt19937& rng, bool canadian) {
  std::string call = canadian ? std::string{'V', "AEOY"[rng() % 4]}
                              : std::string(1, "AKNW"[rng() % 4]);
  if (!canadian && rng() % 2) call.push_back(static_cast<char>('A' + rng() % 26));
  call.push_back(static_cast<char>('0' + rng() % 10));
  for (unsigned n = 1 + rng() % 3; n > 0; --n) call.push_back(static_cast<char>('A' + rng() % 26));
  return call;
}

dbfiles::CanKey can_key(const std::string& call) {
  dbfiles::CanKey key = 0;
  EXPECT_EQ(dbfiles::encode_can_call(call.c_str(), &key), 0);
  return key;
}

// What the lookup engine found, split into the fields the replies carry.
struct Shown {
  bool found = false;
  std::string callsign, former, name, display, first, surname, street, city, region, postcode;
};

Shown engine_answer(const dbfiles::LookupFiles& files, const std::string& upper) {
  Shown s;
  dbfiles::LookupResult slot;
  dbfiles::SearchOutput out = dbfiles::search_callsign(files, upper.c_str(), &slot);
  EXPECT_TRUE(out.damaged.empty());
  const std::size_t now = out.text.find(" NOW ");
  if (!out.found && now != std::string::npos) {
    s.former = upper;
    const std::string current = out.text.substr(now + 5, out.text.find('\r') - now - 5);
    out.found = dbfiles::lookup_call(files, current.c_str(), &slot).found;
  }
  if (!out.found) return Shown{};
  s.found = true;
  s.callsign = slot.callsign;
  const std::string name = slot.name_line, place = slot.place_line;
  s.street = shown(slot.street_line);
  if (upper[0] == 'V') {  // "GIVEN SURNAME" or " CLUB"; "CITY, PR  POSTAL"
    s.name = s.display = shown(name[0] == ' ' ? name.substr(1) : name);
    if (name[0] != ' ') s.first = shown(name.substr(0, name.find(' ')));
    const std::size_t comma = place.find(", ");
    s.city = shown(place.substr(0, comma));
    s.region = place.substr(comma + 2, 2);
    s.postcode = shown(place.substr(comma + 6));
  } else {  // "SURNAME, GIVEN M" or an entity's name; "CITY ST 01234"
    s.name = s.display = shown(name);
    const std::size_t comma = name.find(", ");
    if (comma != std::string::npos) {
      const std::string given = name.substr(comma + 2);
      s.surname = shown(name.substr(0, comma));
      s.first = shown(given.substr(0, given.find(' ')));
      s.display = shown(given + " " + name.substr(0, comma));
    }
    s.city = shown(place.substr(0, place.size() - 9));
    s.region = place.substr(place.size() - 8, 2);
    s.postcode = place.substr(place.size() - 5);
  }
  return s;
}

TEST(CallbookFormats, EveryFormatAnswersWhatTheLookupEngineFinds) {
  std::mt19937 rng(24);
  testutil::TempDir dir;
  TextMaker text{rng};
  std::map<dbfiles::CallKey, dbfiles::UsRecord> us;
  std::vector<std::string> asked;
  while (us.size() < 300) {
    const std::string call = random_call(rng, false);
    dbfiles::UsRecord r;
    text.latin1 = rng() % 2;
    r.key = dbfiles::encode_call(call.c_str());
    r.name = rng() % 4 == 0 ? text.words(2) + " CLUB"
                            : text.words(1) + ", " + text.word() + (rng() % 2 ? " Q" : "");
    r.po_box = rng() % 5 == 0;
    r.street = std::to_string(rng() % 9999) + (r.po_box ? "" : " " + text.words(2));
    r.city = text.words(1);
    r.state = rng() % 64;
    r.zip = rng() % 100000;
    if (us.emplace(r.key, r).second) asked.push_back(call);
  }
  std::vector<dbfiles::UsRecord> records;
  for (const auto& [key, r] : us) records.push_back(r);
  ASSERT_EQ(dbfiles::write_call_db(dir.file("call.db"), "20261207", records), 0);

  std::map<dbfiles::CallKey, dbfiles::PrevEntry> prev;
  while (prev.size() < 60) {
    const std::string call = random_call(rng, false);
    const auto key = dbfiles::encode_call(call.c_str());
    // Most point at a licence in call.db, some at a call no longer there.
    const auto now = rng() % 6 ? records[rng() % records.size()].key
                               : dbfiles::encode_call(random_call(rng, false).c_str());
    if (!us.count(key) && prev.emplace(key, dbfiles::PrevEntry{key, now}).second) {
      asked.push_back(call);
    }
  }
  std::vector<dbfiles::PrevEntry> moved;
  for (const auto& [key, e] : prev) moved.push_back(e);
  ASSERT_EQ(dbfiles::write_prev_db(dir.file("callprev.db"), "20261207", moved), 0);

  dbfiles::CanDbWriter can;
  ASSERT_EQ(can.open(dir.file("cancall.db"), "20261207"), 0);
  for (int i = 0; i < 150; ++i) {
    const std::string call = i % 10 == 9 ? asked.back() : random_call(rng, true);  // a key again
    text.latin1 = rng() % 2;
    const std::string postal = std::string(1, "ABCEGHJKLMNPRSTVXY"[rng() % 18]) + "1A 2B3";
    ASSERT_EQ(can.add(dbfiles::CanEntry::make_word0(can_key(call), rng() % 16), text.words(1),
                      rng() % 4 ? text.words(1) : "", text.words(2), text.words(1), postal), 0);
    asked.push_back(call);
  }
  ASSERT_EQ(can.finish(), 0);
  for (int i = 0; i < 80; ++i) asked.push_back(random_call(rng, i % 3 == 0));  // mostly absent

  dbfiles::LookupFiles files;
  dbfiles::open_lookup_files(dir.path(), dbfiles::Edition::full, &files);
  const auto directory = callbook::Directory::load(dir.path());
  ASSERT_TRUE(directory->us().usable && directory->prev().usable && directory->canada().usable)
      << directory->summary();
  const callbook::Sessions sessions;
  const std::string session = sessions.login("me", "secret", kNow);
  int found = 0, former = 0;
  for (std::string call : asked) {
    Shown want = engine_answer(files, call);
    found += want.found;
    former += !want.former.empty();
    if (rng() % 2) std::transform(call.begin(), call.end(), call.begin(), ::tolower);
    SCOPED_TRACE(call);
    const std::string region = call[0] == 'v' || call[0] == 'V' ? "province" : "state";
    const std::string postcode = region == "state" ? "zip" : "postal_code";
    std::string upper = call;
    std::transform(call.begin(), call.end(), upper.begin(), ::toupper);

    Fields own, cj, cx, hq;
    const callbook::Reply replies[] = {get("/v1/lookup/" + call, directory.get()),
                                       get("/" + call + "/json", directory.get()),
                                       get("/" + call + "/xml", directory.get()),
                                       get("/xml.php?id=" + session + "&callsign=" + call,
                                           directory.get(), sessions)};
    for (const callbook::Reply& r : replies) EXPECT_TRUE(valid_utf8(r.body)) << r.body;
    ASSERT_TRUE(read_json(replies[0].body, &own)) << replies[0].body;
    ASSERT_TRUE(read_json(replies[1].body, &cj)) << replies[1].body;
    ASSERT_TRUE(read_xml(replies[2].body, &cx)) << replies[2].body;
    ASSERT_TRUE(read_xml(replies[3].body, &hq)) << replies[3].body;
    EXPECT_EQ(replies[0].status, want.found ? 200 : 404);
    EXPECT_EQ(own["status"], want.found ? "found" : "not found");
    EXPECT_EQ(own["asked"], upper);
    EXPECT_EQ(cj["status"], want.found ? "VALID" : "INVALID");
    EXPECT_EQ(cx["callook/status"], cj["status"]);
    if (!want.found) {
      EXPECT_EQ(hq["HamQTH/session/error"], "Callsign not found");
      continue;
    }
    if (region == "province") {  // the lookup engine shows the surname only after the given names
      const std::string& surname = own["surname"];
      const std::size_t at = want.name.size() - surname.size();
      EXPECT_TRUE(want.first.empty() ? surname.empty()
                                     : !surname.empty() && at > 0 && want.name[at - 1] == ' ' &&
                                           want.name.substr(at) == surname);
      want.surname = surname;
    }
    const std::string line2 = want.city + ", " + want.region + " " + want.postcode;
    const Fields expected_own = {
        {"status", "found"}, {"asked", upper}, {"callsign", want.callsign},
        {"former", want.former}, {"country", region == "state" ? "United States" : "Canada"},
        {"name", want.name}, {"first_name", want.first}, {"surname", want.surname},
        {"street", want.street}, {"city", want.city}, {region, want.region},
        {postcode, want.postcode}};
    EXPECT_EQ(own, expected_own);
    const Fields expected_callook = {
        {"status", "VALID"}, {"current.callsign", want.callsign},
        {"previous.callsign", want.former}, {"name", want.display},
        {"address.line1", want.street}, {"address.line2", line2}, {"address.attn", ""}};
    EXPECT_EQ(cj, expected_callook);
    for (const auto& [path, value] : expected_callook) {
      std::string xml_path = "callook/" + path;
      std::replace(xml_path.begin(), xml_path.end(), '.', '/');
      EXPECT_EQ(cx[xml_path], value) << xml_path;
    }
    const std::string& x = replies[2].body;  // fldigi takes the name only after a trustee block
    EXPECT_NE(x.find("<name>", x.find("</trustee>")), std::string::npos) << x;
    const std::string s = "HamQTH/search/";
    EXPECT_EQ(hq[s + "callsign"], upper);
    EXPECT_EQ(hq[s + "nick"], want.first);
    EXPECT_EQ(hq[s + "qth"], want.city);
    EXPECT_EQ(hq[s + "adr_name"], want.display);
    EXPECT_EQ(hq[s + "adr_street1"], want.street);
    EXPECT_EQ(hq[s + "adr_city"], want.city);
    EXPECT_EQ(hq[s + "adr_zip"], want.postcode);
    EXPECT_EQ(hq[s + "adr_country"], own["country"]);
    EXPECT_EQ(hq[s + (region == "state" ? "us_state" : "district")], want.region);
  }
  EXPECT_GT(found, 300);
  EXPECT_GT(former, 20);
}

// ---------------------------------------------------------------------------------------------
// Portable forms.

int write_small_call_db(const std::string& path) {
  return dbfiles::write_call_db(
      path, "20261207",
      {{dbfiles::encode_call("K1ABC"), "DOE, JO", "1 A ST", "X", 1, 1, false},
       {dbfiles::encode_call("W1AW"), "ARRL", "225 MAIN", "NEWINGTON", 7, 6111, false}});
}

TEST(CallbookPortable, HomeCallOfEachForm) {
  const struct {
    const char* typed;
    const char* home;
  } kCases[] = {
      {"W1AW/P", "W1AW"}, {"w1aw/m", "W1AW"}, {"W1AW/QRP", "W1AW"}, {"W1AW/4", "W1AW"},
      {"VE3/W1AW", "W1AW"}, {"KH6/K1ABC", "K1ABC"}, {"K1ABC/KH6", "K1ABC"},
      {"KH6/K1ABC/M", "K1ABC"}, {"VE3ABC/W1AW?", "VE3ABC"}, {"W1AW/VE3ABC", "VE3ABC"},
      {"DL/W1AW/P", "W1AW"}, {"2E0ABC", "2E0ABC"}, {"W1AW/", "W1AW"}, {"/W1AW", "W1AW"},
      {"/", ""}, {"//", ""}, {"", ""}, {"W1AWXYZ", ""}, {"12345", ""}, {"QRP", ""},
      {"W1AW P", ""}, {"K1ABCD", "K1ABCD"}, {"ABCD1XY", ""}, {"W1\xC3\x89", ""},
  };
  for (const auto& c : kCases) EXPECT_EQ(callbook::home_call(c.typed), c.home) << c.typed;

  testutil::TempDir dir;
  ASSERT_EQ(write_small_call_db(dir.file("call.db")), 0);
  const auto directory = callbook::Directory::load(dir.path());
  for (const char* typed : {"w1aw/p", "VE3/W1AW", "KH6/K1ABC", "K1ABC/KH6", "DL/W1AW/P"}) {
    Fields own;
    ASSERT_TRUE(read_json(get(std::string("/v1/lookup/") + typed, directory.get()).body, &own));
    std::string upper = typed;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    EXPECT_EQ(own["asked"], upper);
    EXPECT_EQ(own["callsign"], callbook::home_call(typed));
  }
  EXPECT_EQ(get("/W1AW%2FP/json", directory.get()).status, 200);
}

// ---------------------------------------------------------------------------------------------
// Requests.

TEST(CallbookRequest, ParsesOrRefusesEachHead) {
  const std::string host = "Host: x\r\n";
  const std::string big(9000, 'a');
  const std::string fill(8192 - 32, 'a');  // a head of exactly 8192 bytes
  const struct {
    std::string head;
    Parse parse;
    int status;  // refused: the status; accepted: 1 HEAD, 2 keep-alive
    const char* path = "";
    const char* query = "";
  } kCases[] = {
      {"GET / HTTP/1.1\r\n" + host + "\r\n", Parse::request, 2, "/", ""},
      {"HEAD /a%20b?c=1&d HTTP/1.1\n" + host + "\n", Parse::request, 3, "/a%20b", "c=1&d"},
      {"GET /x HTTP/1.0\r\n\r\n", Parse::request, 0, "/x", ""},
      {"\r\nGET /x HTTP/1.0\r\n\r\n", Parse::request, 0, "/x", ""},
      {"\r\n\r\nGET /x HTTP/1.0\r\n\r\n", Parse::refused, 400},
      {"GET /x HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", Parse::request, 2, "/x", ""},
      {"GET /x HTTP/1.0\r\nConnection: keep-alive, close\r\n\r\n", Parse::request, 0, "/x", ""},
      {"GET /x HTTP/1.0\r\nConnection: close\r\nConnection: keep-alive\r\n\r\n", Parse::request, 0,
       "/x"},
      {"GET / HTTP/1.1\r\n" + host + "Connection: Upgrade, close\r\n\r\n", Parse::request, 0, "/"},
      {"GET / HTTP/1.1\r\n" + host + "Content-Length: 00\r\nX:\t y \r\n\r\n", Parse::request, 2,
       "/"},
      {"GET / HTTP/1.1\r\n" + host + "X: " + fill + "\r\n\r\n", Parse::request, 2, "/", ""},
      {"POST / HTTP/1.1\r\n" + host + "Content-Length: 1\r\n\r\na", Parse::refused, 405},
      {"DELETE / HTTP/1.1\r\n" + host + "\r\n", Parse::refused, 405},
      {"GET / HTTP/1.1\r\n" + host + "Content-Length: 1\r\n\r\na", Parse::refused, 413},
      {"GET / HTTP/1.1\r\n" + host + "Transfer-Encoding: chunked\r\n\r\n", Parse::refused, 413},
      {"GET / HTTP/1.1\r\n\r\n", Parse::refused, 400},
      {"GET / HTTP/1.1\r\n" + host + host + "\r\n", Parse::refused, 400},
      {"GET / HTTP/1.1\r\n" + host + "Bad Name: y\r\n\r\n", Parse::refused, 400},
      {"GET / HTTP/1.1\r\n" + host + " folded\r\n\r\n", Parse::refused, 400},
      {"GET / HTTP/1.1\r\n" + host + "NoColon\r\n\r\n", Parse::refused, 400},
      {"GET / HTTP/1.1\r\n" + host + "X: a\x01" "b\r\n\r\n", Parse::refused, 400},
      {"GET /a\x7F HTTP/1.1\r\n" + host + "\r\n", Parse::refused, 400},
      {"GET  / HTTP/1.1\r\n" + host + "\r\n", Parse::refused, 400},
      {"GET http://x/ HTTP/1.1\r\n" + host + "\r\n", Parse::refused, 400},
      {"GET / HTTP/1.1 \r\n" + host + "\r\n", Parse::refused, 400},
      {"G\x01T / HTTP/1.1\r\n", Parse::refused, 400},
      {"GET / HTTP/2.0\r\n\r\n", Parse::refused, 505},
      {"GET /" + big, Parse::refused, 414},
      {"GET / HTTP/1.1\r\n" + host + "X: " + big + "\r\n\r\n", Parse::refused, 431},
      {"GET / HTTP/1.1\r\n" + host + "X: " + fill + "a\r\n\r\n", Parse::refused, 431},
      {"", Parse::incomplete, 0},
      {"GET / HTTP/1.1", Parse::incomplete, 0},
      {"GET / HTTP/1.1\r\n" + host, Parse::incomplete, 0},
      {"GET / HTTP/1.1\r\n" + host + "\r", Parse::incomplete, 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::PrintToString(c.head.substr(0, 80)));
    callbook::Request r;
    std::size_t used = 0;
    int status = 0;
    ASSERT_EQ(callbook::parse_request(c.head, &r, &used, &status), c.parse);
    if (c.parse == Parse::refused) { EXPECT_EQ(status, c.status); }
    if (c.parse != Parse::request) continue;
    EXPECT_EQ(used, c.head.size());
    EXPECT_EQ(r.head_only, (c.status & 1) != 0);
    EXPECT_EQ(r.keep_alive, (c.status & 2) != 0);
    EXPECT_EQ(r.path, c.path);
    EXPECT_EQ(r.query, c.query);
  }

  // Requests back to back: each is read in turn from what the one before left.
  const std::string pipelined = "GET /1 HTTP/1.1\r\nHost: x\r\n\r\nHEAD /2 HTTP/1.1\nHost: x\n\n"
                                "GET /3 HTTP/1.0\r\n\r\nGET /4 HTTP/1.1\r\n";
  std::string_view rest = pipelined;
  std::string paths;
  callbook::Request r;
  std::size_t used = 0;
  int status = 0;
  while (callbook::parse_request(rest, &r, &used, &status) == Parse::request) {
    paths += std::string(r.path);
    rest.remove_prefix(used);
  }
  EXPECT_EQ(paths, "/1/2/3");
  EXPECT_EQ(rest, "GET /4 HTTP/1.1\r\n");
}

TEST(CallbookRequest, DecodesTargetParts) {
  const struct {
    const char* text;
    bool plus;
    bool ok;
    const char* out;
  } kDecode[] = {
      {"a%20b", false, true, "a b"}, {"a+b", true, true, "a b"}, {"a+b", false, true, "a+b"},
      {"%2B%2f%e9", true, true, "+/\xE9"}, {"", true, true, ""}, {"%", true, false, ""},
      {"a%4", true, false, ""}, {"%4g", true, false, ""}, {"%00", true, false, ""},
      {"%%41", true, false, ""},
  };
  for (const auto& c : kDecode) {
    std::string out;
    EXPECT_EQ(callbook::percent_decode(c.text, c.plus, &out), c.ok) << c.text;
    if (c.ok) { EXPECT_EQ(out, c.out) << c.text; }
  }
  const struct {
    const char* query = "";
    const char* name;
    bool ok;
    const char* value;
  } kQuery[] = {
      {"u=a&p=b+c", "p", true, "b c"}, {"callsign=W1AW&call=x", "call", true, "x"},
      {"x=1&x=2", "x", true, "1"}, {"a=1&&b=%41", "b", true, "A"}, {"id", "id", true, ""},
      {"id=", "id", true, ""}, {"a=%zz", "a", false, ""}, {"", "a", false, ""},
      {"A=1", "a", false, ""}, {"a=%00", "a", false, ""},
  };
  for (const auto& c : kQuery) {
    std::string value = "old";
    EXPECT_EQ(callbook::query_value(c.query, c.name, &value), c.ok) << c.query;
    if (c.ok) { EXPECT_EQ(value, c.value) << c.query; }
  }
}

// ---------------------------------------------------------------------------------------------
// Sessions.

TEST(CallbookSessions, IdsHoldForTheirLifetimeOnEveryServerOfTheSameUsers) {
  const std::map<std::string, std::string> users = {{"w1aw", "secret"}, {"K1ABC", "pw"}};
  const callbook::Sessions one(users), two(users);
  const callbook::Sessions other(std::map<std::string, std::string>{{"w1aw", "other"}}), open;
  EXPECT_EQ(one.login("W1AW", "wrong", kNow), "");
  EXPECT_EQ(one.login("nobody", "secret", kNow), "");
  EXPECT_EQ(one.login("w1aw", "secre", kNow), "");
  const std::string id = one.login("W1aw", "secret", kNow);
  ASSERT_EQ(id.size(), 40u);
  EXPECT_TRUE(one.valid(id, kNow));
  EXPECT_TRUE(two.valid(id, kNow + callbook::Sessions::kLifetime - 1));
  EXPECT_FALSE(two.valid(id, kNow + callbook::Sessions::kLifetime));
  EXPECT_FALSE(other.valid(id, kNow));
  EXPECT_FALSE(open.valid(id, kNow));
  EXPECT_FALSE(one.valid(id.substr(0, 39), kNow));
  EXPECT_FALSE(one.valid(id + "0", kNow));
  for (std::size_t i = 0; i < id.size(); ++i) {
    std::string tampered = id;
    tampered[i] = tampered[i] == '0' ? '1' : '0';
    EXPECT_FALSE(one.valid(tampered, kNow)) << tampered;
  }
  EXPECT_TRUE(open.valid(open.login("anyone", "anything", kNow), kNow));

  // Through the service: a login, a search with its id, an expired id, a wrong password.
  Fields login, search, expired, wrong;
  ASSERT_TRUE(read_xml(get("/xml.php?u=k1abc&p=pw", nullptr, one).body, &login));
  const std::string session = login["HamQTH/session/session_id"];
  EXPECT_TRUE(two.valid(session, kNow));
  ASSERT_TRUE(read_xml(get("/xml.php?id=" + session + "&callsign=W1AW", nullptr, two).body,
                       &search));
  EXPECT_NE(search["HamQTH/session/error"].find("not loaded yet"), std::string::npos);
  const std::string forged = id.substr(0, 16) + std::string(24, '0');
  ASSERT_TRUE(read_xml(get("/xml.php?id=" + forged + "&callsign=W1AW", nullptr, one).body,
                       &expired));
  EXPECT_EQ(expired["HamQTH/session/error"], "Session does not exist or expired");
  ASSERT_TRUE(read_xml(get("/xml.php?u=k1abc&p=PW", nullptr, one).body, &wrong));
  EXPECT_EQ(wrong["HamQTH/session/error"], "Wrong user name or password");

  testutil::TempDir dir;
  testutil::write_bytes(dir.file("users"), "# callbook users\n\nW1AW:se:cret\r\nk1abc:\n");
  std::map<std::string, std::string> read;
  std::string error;
  ASSERT_TRUE(callbook::Sessions::read_password_file(dir.file("users"), &read, &error)) << error;
  EXPECT_EQ(read, (std::map<std::string, std::string>{{"W1AW", "se:cret"}, {"k1abc", ""}}));
  testutil::write_bytes(dir.file("bad"), "W1AW:x\nno colon\n");
  EXPECT_FALSE(callbook::Sessions::read_password_file(dir.file("bad"), &read, &error));
  EXPECT_NE(error.find("line 2"), std::string::npos) << error;
}

// ---------------------------------------------------------------------------------------------
// Missing and damaged databases.

TEST(CallbookDirectory, ADamagedDatabaseIsUnavailableWhileTheOthersAnswer) {
  using Bytes = std::string;
  const auto index = [](const Bytes& b) { return testutil::word_at(b, 8); };
  const struct {
    const char* file;
    const char* why;
    std::function<void(Bytes*)> damage;  // null: the file is removed
  } kDamage[] = {
      {"call.db", "is not in", nullptr},
      {"call.db", "damaged", [](Bytes* b) { b->resize(10); }},
      {"call.db", "damaged", [](Bytes* b) { testutil::put_word(b, 8, b->size() + 12); }},
      {"call.db", "damaged", [](Bytes* b) { testutil::put_word(b, 8, 4); }},
      {"call.db", "not in callsign order",
       [&](Bytes* b) { std::swap_ranges(b->begin() + index(*b), b->begin() + index(*b) + 12,
                                        b->begin() + index(*b) + 12); }},
      {"call.db", "damaged",
       [&](Bytes* b) { testutil::put_word(b, index(*b) + 16, index(*b)); }},
      {"call.db", "damaged", [&](Bytes* b) { testutil::put_word(b, index(*b) + 4, 3); }},
      {"call.db", "has no end",
       [&](Bytes* b) { std::fill(b->begin() + 12, b->begin() + index(*b), 'X'); }},
      {"callprev.db", "not in order",
       [](Bytes* b) { std::swap_ranges(b->begin() + 8, b->begin() + 16, b->begin() + 16); }},
      {"callprev.db", "shorter than its date", [](Bytes* b) { b->resize(5); }},
      {"cancall.db", "is not in", nullptr},
      {"cancall.db", "damaged", [](Bytes* b) { b->resize(7); }},
      {"cancall.db", "damaged", [](Bytes* b) { (*b)[0] = 'X'; }},
      {"cancall.db", "damaged", [](Bytes* b) { b->replace(8, 4, "----"); }},
      {"cancall.db", "damaged",
       [&](Bytes* b) { testutil::put_word(b, index(*b) + 4, index(*b)); }},
      {"callprev.db", nullptr, nullptr},  // optional: its former calls are simply not found
  };
  // The call each file answers, and others that still answer without it.
  const std::map<std::string, std::vector<std::string>> kCalls = {
      {"call.db", {"K1ABC", "ve3abc", "VE3ABC/P"}},
      {"callprev.db", {"n2old", "W1AW", "VE3ABC", "K1ABC"}},
      {"cancall.db", {"VE3ABC", "W1AW", "N1OLD"}}};
  for (const auto& c : kDamage) {
    testutil::TempDir dir;
    using dbfiles::encode_call;
    ASSERT_EQ(write_small_call_db(dir.file("call.db")), 0);
    ASSERT_EQ(dbfiles::write_prev_db(dir.file("callprev.db"), "20261207",
                                     {{encode_call("N1OLD"), encode_call("W1AW")},
                                      {encode_call("N2OLD"), encode_call("K1ABC")}}), 0);
    dbfiles::CanDbWriter can;
    ASSERT_EQ(can.open(dir.file("cancall.db"), "20261207"), 0);
    ASSERT_EQ(can.add(dbfiles::CanEntry::make_word0(can_key("VE3ABC"), 9), "ROE", "AL", "2 B",
                      "Y", "K1A"), 0);
    ASSERT_EQ(can.finish(), 0);
    if (c.damage) {
      Bytes bytes = testutil::read_bytes(dir.file(c.file));
      c.damage(&bytes);
      testutil::write_bytes(dir.file(c.file), bytes);
    } else {
      std::filesystem::remove(dir.file(c.file));
    }
    SCOPED_TRACE(std::string(c.file) + " " + (c.why ? c.why : "removed"));
    const auto directory = callbook::Directory::load(dir.path());
    const std::string file = c.file;
    EXPECT_EQ(directory->us().usable, file != "call.db");
    EXPECT_EQ(directory->prev().usable, file != "callprev.db");
    EXPECT_EQ(directory->canada().usable, file != "cancall.db");
    const std::vector<std::string>& calls = kCalls.at(file);
    for (std::size_t i = 1; i < calls.size(); ++i) {
      EXPECT_EQ(get("/" + calls[i] + "/json", directory.get()).status, 200) << calls[i];
    }
    const callbook::Reply reply = get("/v1/lookup/" + calls[0], directory.get());
    Fields broken;
    ASSERT_TRUE(read_json(reply.body, &broken)) << reply.body;
    if (c.why == nullptr) {
      EXPECT_EQ(broken["status"], "not found");
      EXPECT_NE(directory->summary().find("no callprev.db"), std::string::npos);
      continue;
    }
    const std::string problem = file == "call.db"       ? directory->us().problem
                                : file == "cancall.db" ? directory->canada().problem
                                                       : directory->prev().problem;
    for (const std::string& part : {file, dir.path(), std::string(c.why), std::string(". Run ")}) {
      EXPECT_NE(problem.find(part), std::string::npos) << problem;
    }
    EXPECT_NE(directory->summary().find(problem), std::string::npos);
    EXPECT_EQ(reply.status, 503);
    EXPECT_EQ(broken["status"], "unavailable");
    EXPECT_EQ(broken["problem"], problem);
    EXPECT_EQ(get("/" + calls[0] + "/xml", directory.get()).body, problem + "\n");
  }
}

}  // namespace
