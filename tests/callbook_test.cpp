// The callbook's engine without sockets: every format against what was written into random
// databases, portable forms, the request parser, sessions, and damaged databases.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <regex>
#include <sstream>
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

// A database text as a reply shows it: UTF-8 as it stands, else Latin-1; controls and U+FFFF as
// U+FFFD. The texts below are UTF-8 or Latin-1 with accents from U+00C0 up, so that a byte from
// 0x80 to 0xBF marks UTF-8.
std::string shown(std::string_view raw) {
  const bool utf8 = std::any_of(raw.begin(), raw.end(), [](char c) { return (c & 0xC0) == 0x80; });
  std::string out;
  for (char ch : raw) {
    const auto c = static_cast<unsigned char>(ch);
    out += c < 0x20 || c == 0x7F ? "\xEF\xBF\xBD"
           : c < 0x80 || utf8    ? std::string(1, ch)
                                 : std::string{static_cast<char>(0xC0 | c >> 6),
                                               static_cast<char>(0x80 | (c & 0x3F))};
  }
  for (std::size_t at; (at = out.find("\xEF\xBF\xBF")) != std::string::npos;) {
    out.replace(at, 3, "\xEF\xBF\xBD");
  }
  return out;
}

// The paths ("current/callsign", below the root) of an XML reply's leaves and their texts, as the
// server writes it: a declaration, then a tag or an element a line. A failure when it is not well
// formed.
Fields xml(std::string_view s) {
  static const std::regex kLeaf("<(\\w+)>((?:[^<>&]|&(?:amp|lt|gt|quot|apos);)*)</\\1>"),
      kOpen("<(\\w+)(?: [^<>]*)?>"), kClose("</(\\w+)>");
  Fields out;
  std::vector<std::string> open;
  std::istringstream lines{std::string(s.substr(std::min(s.size(), s.find("?>\n") + 3)))};
  std::smatch m;
  bool ok = true;
  for (std::string line; ok && std::getline(lines, line);) {
    std::string path;
    for (std::size_t k = 1; k < open.size(); ++k) path += open[k] + "/";
    if (std::regex_match(line, m, kLeaf)) {
      std::string text = m[2];
      for (const char* e : {"<&lt;", ">&gt;", "\"&quot;", "'&apos;", "&&amp;"}) {
        for (std::size_t at = 0; (at = text.find(e + 1, at)) != std::string::npos; ++at) {
          text.replace(at, std::strlen(e + 1), 1, e[0]);
        }
      }
      out[path + m[1].str()] = text;
    } else if (std::regex_match(line, m, kOpen)) {
      open.push_back(m[1]);
    } else if ((ok = std::regex_match(line, m, kClose) && !open.empty() && open.back() == m[1])) {
      open.pop_back();
    }
  }
  EXPECT_TRUE(ok && open.empty()) << s;
  return out;
}

// The paths ("current/callsign") of a JSON reply's strings, as the server writes it: an object of
// strings and objects of strings, only \" and \\ escaped, and a newline. A failure when it is not.
Fields json(const std::string& s) {
  static const std::string kText = R"("(?:[^"\\]|\\["\\])*")", kPair = kText + ":" + kText,
      kMember = kText + ":(?:" + kText + "|\\{" + kPair + "(?:," + kPair + ")*\\})";
  static const std::regex kReply("\\{" + kMember + "(?:," + kMember + ")*\\}\n"),
      kToken(R"re("((?:[^"\\]|\\["\\])*)":(\{?)|"((?:[^"\\]|\\["\\])*)"|\})re"),
      kEscape(R"(\\(.))");
  EXPECT_TRUE(std::regex_match(s, kReply)) << s;
  Fields out;
  std::string object, key;
  for (std::sregex_iterator it(s.begin(), s.end(), kToken), end; it != end; ++it) {
    if ((*it)[1].matched) key = std::regex_replace((*it)[1].str(), kEscape, "$1");
    if ((*it)[2].length() > 0) object = key + "/";
    if ((*it)[3].matched) out[object + key] = std::regex_replace((*it)[3].str(), kEscape, "$1");
    if (it->str() == "}") object.clear();
  }
  return out;
}

callbook::Reply get(std::string_view target, const callbook::Directory* dir,
                    const callbook::Sessions& sessions = callbook::Sessions()) {
  callbook::Request request{false, true, target.substr(0, target.find('?')), ""};
  request.query = target.substr(std::min(target.size(), request.path.size() + 1));
  return callbook::answer(request, dir, sessions, kNow);
}

// Records are in Latin-1 or UTF-8, never both in one.
const char* const kWords[] = {"SMITH", "O'BRIEN", "AT&T", "<ACME>", "\"DOC\"", "R&D", "A>B",
                              "JONES", "DE LA CRUZ", "TAB\tX", "Q&A<>'\""};
const char* const kLatin1Words[] = {"M\xDCLLER", "JOS\xC9", "FRAN\xC7OIS", "\xC5SA"};
const char* const kUtf8Words[] = {"M\xC3\x9CLLER", "JOS\xC3\x89", "\xC5\x81UKASZ",
                                  "\xE2\x82\xAC" "URO", "\xF0\x9F\x93\xBB" "FM", "\xCE\xA9MEGA",
                                  "NO\xEF\xBF\xBFNE"};

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

TEST(CallbookFormats, EveryFormatAnswersWhatWasWritten) {
  std::mt19937 rng(24);
  testutil::TempDir dir;
  bool latin1 = false;
  const auto word = [&]() -> std::string {
    if (rng() % 3) return kWords[rng() % 11];
    return latin1 ? kLatin1Words[rng() % 4] : kUtf8Words[rng() % 7];
  };
  const auto words = [&](int most) {
    std::string out = word();
    for (int n = static_cast<int>(rng() % most); n > 0; --n) out += " " + word();
    return out;
  };
  // Each call asked, and the own JSON's fields for it but "asked", with the name callook shows
  // as "display"; none when it is not found.
  std::map<std::string, Fields> licences;
  std::map<dbfiles::CallKey, dbfiles::UsRecord> us;
  while (us.size() < 300) {
    const std::string call = random_call(rng, false);
    latin1 = rng() % 2;
    const std::string surname = words(1), given = word() + (rng() % 2 ? " Q" : ""),
                      zip = std::to_string(100000 + rng() % 100000).substr(1);
    const bool person = rng() % 4, po_box = rng() % 5 == 0;
    const dbfiles::UsRecord r{dbfiles::encode_call(call.c_str()),
                              person ? surname + ", " + given : words(2) + " CLUB",
                              std::to_string(rng() % 9999) + (po_box ? "" : " " + words(2)),
                              words(1), static_cast<std::uint32_t>(rng() % 64),
                              static_cast<std::uint32_t>(std::stoul(zip)), po_box};
    if (!us.emplace(r.key, r).second) continue;
    licences[call] = {{"status", "found"}, {"callsign", call}, {"former", ""},
                      {"country", "United States"}, {"name", shown(r.name)},
                      {"display", shown(person ? given + " " + surname : r.name)},
                      {"first_name", person ? shown(given.substr(0, given.find(' '))) : ""},
                      {"surname", person ? shown(surname) : ""},
                      {"street", shown((po_box ? dbfiles::kPoBoxPrefix : "") + r.street)},
                      {"city", shown(r.city)}, {"state", dbfiles::state_code(r.state)},
                      {"zip", zip}};
  }
  std::vector<dbfiles::UsRecord> records;
  for (const auto& [key, r] : us) records.push_back(r);
  ASSERT_EQ(dbfiles::write_call_db(dir.file("call.db"), "20261207", records), 0);
  std::vector<dbfiles::PrevEntry> moved;
  while (moved.size() < 60) {
    const std::string call = random_call(rng, false);
    // Most point at a licence in call.db, some at a call no longer there.
    const std::string now = rng() % 6 ? dbfiles::decode_call(records[rng() % 300].key)
                                      : random_call(rng, false);
    if (licences.count(call)) continue;
    Fields& fields = licences[call];
    if (us.count(dbfiles::encode_call(now.c_str()))) fields = licences[now];
    if (!fields.empty()) fields["former"] = call;
    moved.push_back({dbfiles::encode_call(call.c_str()), dbfiles::encode_call(now.c_str())});
  }
  std::sort(moved.begin(), moved.end(), [](auto& a, auto& b) { return a.old_key < b.old_key; });
  ASSERT_EQ(dbfiles::write_prev_db(dir.file("callprev.db"), "20261207", moved), 0);
  dbfiles::CanDbWriter can;
  ASSERT_EQ(can.open(dir.file("cancall.db"), "20261207"), 0);
  std::string call;
  for (int i = 0; i < 150; ++i) {
    if (i % 10 != 9) call = random_call(rng, true);  // else the same call again: the first wins
    latin1 = rng() % 2;
    const std::string surname = words(1), given = rng() % 4 ? words(1) : "",
                      street = words(2), city = words(1),
                      postal = std::string(1, "ABCEGHJKLMNPRSTVXY"[rng() % 18]) + "1A 2B3";
    const auto province = static_cast<std::uint32_t>(rng() % 16);
    ASSERT_EQ(can.add(dbfiles::CanEntry::make_word0(can_key(call), province), surname, given,
                      street, city, postal), 0);
    const std::string name = shown(given.empty() ? surname : given + " " + surname);
    licences.emplace(call, Fields{{"status", "found"}, {"callsign", call}, {"former", ""},
                                  {"country", "Canada"}, {"name", name}, {"display", name},
                                  {"first_name", shown(given.substr(0, given.find(' ')))},
                                  {"surname", given.empty() ? "" : shown(surname)},
                                  {"street", shown(street)}, {"city", shown(city)},
                                  {"province", dbfiles::province_code(province)},
                                  {"postal_code", postal}});
  }
  ASSERT_EQ(can.finish(), 0);
  for (int i = 0; i < 80; ++i) licences.emplace(random_call(rng, i % 3 == 0), Fields());

  const auto directory = callbook::Directory::load(dir.path());
  dbfiles::LookupFiles files;  // the lookup window's engine, on the same files
  dbfiles::open_lookup_files(dir.path(), dbfiles::Edition::full, &files);
  const std::string session = callbook::Sessions().login("me", "secret", kNow);
  for (const auto& [asked, expected] : licences) {
    std::string call = asked, display = expected.count("display") ? expected.at("display") : "";
    Fields want = expected;
    want.erase("display");
    // Portable forms are answered for the home call.
    if (rng() % 4 == 0) call = rng() % 2 ? call + "/P" : "KH6/" + call + (rng() % 2 ? "/M" : "");
    const std::string upper = call;
    if (rng() % 2) std::transform(call.begin(), call.end(), call.begin(), ::tolower);
    SCOPED_TRACE(call);
    // The window's engine finds the same licence, directly or through the "NOW" line.
    dbfiles::LookupResult slot;
    const dbfiles::SearchOutput seen = dbfiles::search_callsign(files, asked.c_str(), &slot);
    bool found = seen.found;
    if (const std::size_t now = seen.text.find(" NOW "); now != std::string::npos) {
      const std::string next = seen.text.substr(now + 5, seen.text.find('\r') - now - 5);
      found = dbfiles::lookup_call(files, next.c_str(), &slot).found;
    }
    EXPECT_EQ(found ? slot.callsign + ("|" + shown(slot.street_line)) : "",
              want.empty() ? "" : want.at("callsign") + "|" + want.at("street"));

    const callbook::Reply reply = get("/v1/lookup/" + call, directory.get());
    const std::string x = get("/" + call + "/xml", directory.get()).body;
    const Fields own = json(reply.body), cj = json(get("/" + call + "/json", directory.get()).body),
                 cx = xml(x), hq = xml(get("/xml.php?id=" + session + "&callsign=" + call,
                                           directory.get()).body);
    EXPECT_EQ(reply.status, want.empty() ? 404 : 200);
    if (want.empty()) {
      EXPECT_EQ(own, (Fields{{"status", "not found"}, {"asked", upper}}));
      EXPECT_EQ(cj, (Fields{{"status", "INVALID"}}));
      EXPECT_EQ(cx, cj);
      EXPECT_EQ(hq, (Fields{{"session/error", "Callsign not found"}}));
      continue;
    }
    want["asked"] = upper;
    const bool canadian = want["callsign"][0] == 'V';
    EXPECT_EQ(own, want);
    const std::string& region = want[canadian ? "province" : "state"];
    const std::string& postcode = want[canadian ? "postal_code" : "zip"];
    const Fields callook = {
        {"status", "VALID"}, {"current/callsign", want["callsign"]},
        {"previous/callsign", want["former"]}, {"name", display},
        {"address/line1", want["street"]},
        {"address/line2", want["city"] + ", " + region + " " + postcode}, {"address/attn", ""}};
    EXPECT_EQ(cj, callook);
    Fields callook_xml = callook;  // fldigi takes the name only after a trustee block
    callook_xml["trustee/callsign"] = callook_xml["trustee/name"] = "";
    EXPECT_EQ(cx, callook_xml);
    EXPECT_NE(x.find("<name>", x.find("</trustee>")), std::string::npos) << x;
    const std::string s = "search/";
    EXPECT_EQ(hq, (Fields{{s + "callsign", upper}, {s + "nick", want["first_name"]},
                          {s + "qth", want["city"]}, {s + "country", want["country"]},
                          {s + "adr_name", display}, {s + "adr_street1", want["street"]},
                          {s + "adr_city", want["city"]}, {s + "adr_zip", postcode},
                          {s + "adr_country", want["country"]},
                          {s + (canadian ? "district" : "us_state"), region}}));
  }
}

TEST(CallbookPortable, HomeCallOfEachForm) {
  const std::pair<const char*, const char*> kCases[] = {
      {"W1AW/P", "W1AW"}, {"w1aw/m", "W1AW"}, {"W1AW/QRP", "W1AW"}, {"W1AW/4", "W1AW"},
      {"VE3/W1AW", "W1AW"}, {"KH6/K1ABC", "K1ABC"}, {"K1ABC/KH6", "K1ABC"},
      {"KH6/K1ABC/M", "K1ABC"}, {"VE3ABC/W1AW?", "VE3ABC"}, {"W1AW/VE3ABC", "VE3ABC"},
      {"DL/W1AW/P", "W1AW"}, {"2E0ABC", "2E0ABC"}, {"W1AW/", "W1AW"}, {"/W1AW", "W1AW"},
      {"/", ""}, {"//", ""}, {"", ""}, {"W1AWXYZ", ""}, {"12345", ""}, {"QRP", ""},
      {"W1AW P", ""}, {"K1ABCD", "K1ABCD"}, {"ABCD1XY", ""}, {"W1\xC3\x89", ""},
  };
  for (const auto& [typed, home] : kCases) EXPECT_EQ(callbook::home_call(typed), home) << typed;
}

TEST(CallbookRequest, ParsesOrRefusesEachHead) {
  const std::string host = "Host: x\r\n";
  const std::string fill(8192 - 32, 'a');  // a head of exactly 8192 bytes
  const struct {
    std::string head;
    Parse parse;
    int status;  // refused: the status; accepted: 1 HEAD + 2 keep-alive
    const char* target = "/?";
  } kCases[] = {
      {"HEAD /a%20b?c=1&d HTTP/1.1\n" + host + "\n", Parse::request, 3, "/a%20b?c=1&d"},
      {"\r\nGET /x HTTP/1.0\r\n\r\n", Parse::request, 0, "/x?"},
      {"\r\n\r\nGET /x HTTP/1.0\r\n\r\n", Parse::refused, 400},
      {"GET /x HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", Parse::request, 2, "/x?"},
      {"GET /x HTTP/1.0\r\nConnection: keep-alive, close\r\n\r\n", Parse::request, 0, "/x?"},
      {"GET / HTTP/1.0\r\nConnection: close\r\nConnection: keep-alive\r\n\r\n", Parse::request, 0},
      {"GET / HTTP/1.1\r\n" + host + "Content-Length: 00\r\nX:\t y \r\n\r\n", Parse::request, 2},
      {"GET / HTTP/1.1\r\n" + host + "X: " + fill + "\r\n\r\n", Parse::request, 2},
      {"GET / HTTP/1.1\r\n" + host + "Transfer-Encoding: chunked\r\n\r\n", Parse::refused, 413},
      {"GET / HTTP/1.1\r\n\r\n", Parse::refused, 400},
      {"GET / HTTP/1.1\r\n" + host + host + "\r\n", Parse::refused, 400},
      {"GET / HTTP/1.1\r\n" + host + "Bad Name: y\r\n\r\n", Parse::refused, 400},
      {"GET / HTTP/1.1\r\n" + host + " folded\r\n\r\n", Parse::refused, 400},
      {"GET / HTTP/1.1\r\n" + host + "X: a\x01" "b\r\n\r\n", Parse::refused, 400},
      {"GET /a\x7F HTTP/1.1\r\n" + host + "\r\n", Parse::refused, 400},
      {"GET  / HTTP/1.1\r\n" + host + "\r\n", Parse::refused, 400},
      {"GET http://x/ HTTP/1.1\r\n" + host + "\r\n", Parse::refused, 400},
      {"GET / HTTP/1.1 \r\n" + host + "\r\n", Parse::refused, 400},
      {"GET / HTTP/2.0\r\n\r\n", Parse::refused, 505},
      {"GET / HTTP/1.1\r\n" + host + "X: " + fill + "a\r\n\r\n", Parse::refused, 431},
      {"GET / HTTP/1.1", Parse::incomplete, 0},
      {"GET / HTTP/1.1\r\n" + host + "\r", Parse::incomplete, 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::PrintToString(c.head.substr(0, 80)));
    callbook::Request r;
    std::size_t used = 0;
    int status = 0;
    // An accepted head is read alone from before the next request.
    const std::string data = c.head + (c.parse == Parse::request ? "GET / HTTP/1.1\r\n\r\n" : "");
    ASSERT_EQ(callbook::parse_request(data, &r, &used, &status), c.parse);
    EXPECT_EQ(c.parse == Parse::request ? r.head_only + 2 * r.keep_alive : status, c.status);
    if (c.parse != Parse::request) continue;
    EXPECT_EQ(std::string(r.path) + "?" + std::string(r.query), c.target);
    EXPECT_EQ(used, c.head.size());
  }
}

TEST(CallbookRequest, DecodesQueryValues) {
  // The value of q, percent-decoded with '+' a space; "!" when there is none or it is not sound.
  const std::pair<const char*, const char*> kCases[] = {
      {"q=a%20b+c", "a b c"}, {"u=a&q=%2B%2f%e9", "+/\xE9"}, {"qq=1&q=x", "x"}, {"q=1&q=2", "1"},
      {"a=1&&q=%41", "A"}, {"q", ""}, {"q=", ""}, {"q=%", "!"}, {"q=a%4", "!"}, {"q=%4g", "!"},
      {"q=%00", "!"}, {"q=%%41", "!"}, {"", "!"}, {"Q=1", "!"},
  };
  for (const auto& [query, want] : kCases) {
    std::string value = "old";
    EXPECT_EQ(callbook::query_value(query, "q", &value) ? value : "!", want) << query;
  }
  std::string path;  // a path keeps its '+'
  EXPECT_TRUE(callbook::percent_decode("/a+b%2F", false, &path) && path == "/a+b/") << path;
}

TEST(CallbookSessions, IdsHoldForTheirLifetimeOnEveryServerOfTheSameUsers) {
  const std::map<std::string, std::string> users = {{"w1aw", "secret"}, {"K1ABC", "pw"}};
  const callbook::Sessions one(users), two(users), open;
  const callbook::Sessions other(std::map<std::string, std::string>{{"w1aw", "other"}});
  EXPECT_EQ(one.login("W1AW", "wrong", kNow) + one.login("nobody", "secret", kNow) +
                one.login("w1aw", "secre", kNow), "");
  const std::string id = one.login("W1aw", "secret", kNow);
  ASSERT_EQ(id.size(), 40u);
  EXPECT_TRUE(two.valid(id, kNow + callbook::Sessions::kLifetime - 1));
  EXPECT_FALSE(two.valid(id, kNow + callbook::Sessions::kLifetime));
  EXPECT_FALSE(other.valid(id, kNow) || open.valid(id, kNow));
  EXPECT_FALSE(one.valid(id.substr(0, 39), kNow) || one.valid(id + "0", kNow));
  for (std::size_t i = 0; i < id.size(); ++i) {
    std::string tampered = id;
    tampered[i] = tampered[i] == '0' ? '1' : '0';
    EXPECT_FALSE(one.valid(tampered, kNow)) << tampered;
  }
  EXPECT_TRUE(open.valid(open.login("anyone", "anything", kNow), kNow));

  // Through the service: a login, a search before anything is loaded, a forged id, no password.
  const auto hamqth = [](const std::string& query, const callbook::Sessions& sessions) {
    return xml(get("/xml.php?" + query, nullptr, sessions).body);
  };
  const std::string session = hamqth("u=k1abc&p=pw", one)["session/session_id"];
  EXPECT_TRUE(two.valid(session, kNow));
  EXPECT_NE(hamqth("id=" + session + "&callsign=W1AW", two)["session/error"].find("not loaded yet"),
            std::string::npos);
  EXPECT_EQ(get("/v1/lookup/W1AW", nullptr).status, 503);
  const std::string forged = "id=" + id.substr(0, 16) + std::string(24, '0') + "&callsign=W1AW";
  EXPECT_EQ(hamqth(forged, one)["session/error"], "Session does not exist or expired");
  EXPECT_EQ(hamqth("u=k1abc", one)["session/error"], "Wrong user name or password");

  testutil::TempDir dir;
  testutil::write_bytes(dir.file("users"), "# callbook users\n\nW1AW:se:cret\r\nk1abc:\n");
  testutil::write_bytes(dir.file("bad"), "W1AW:x\nno colon\n");
  testutil::write_bytes(dir.file("none"), "# nobody yet\n");
  std::map<std::string, std::string> read;
  std::string error;
  EXPECT_FALSE(callbook::Sessions::read_password_file(dir.file("none"), &read, &error));
  ASSERT_TRUE(callbook::Sessions::read_password_file(dir.file("users"), &read, &error)) << error;
  EXPECT_EQ(read, (std::map<std::string, std::string>{{"W1AW", "se:cret"}, {"k1abc", ""}}));
  EXPECT_FALSE(callbook::Sessions::read_password_file(dir.file("bad"), &read, &error));
  EXPECT_NE(error.find("line 2"), std::string::npos) << error;
}

TEST(CallbookDirectory, ADamagedDatabaseIsUnavailableWhileTheOthersAnswer) {
  using Bytes = std::string;
  const auto index = [](const Bytes& b) { return testutil::word_at(b, 8); };
  const char* const kFiles[] = {"call.db", "callprev.db", "cancall.db"};
  const std::string kCalls[] = {"K1ABC", "N2OLD", "VE3ABC/P"};  // N2OLD needs call.db too
  const struct {
    int file;  // in kFiles
    const char* why;  // null: callprev.db is optional, its former calls are simply not found
    std::function<void(Bytes*)> damage;  // null: the file is removed
  } kDamage[] = {
      {0, "is not in", nullptr},
      {0, "damaged", [](Bytes* b) { b->resize(10); }},
      {0, "damaged", [](Bytes* b) { testutil::put_word(b, 8, b->size() + 12); }},
      {0, "damaged", [](Bytes* b) { testutil::put_word(b, 8, 4); }},
      {0, "not in callsign order",
       [&](Bytes* b) { std::swap_ranges(b->begin() + index(*b), b->begin() + index(*b) + 12,
                                        b->begin() + index(*b) + 12); }},
      {0, "damaged", [&](Bytes* b) { testutil::put_word(b, index(*b) + 16, index(*b)); }},
      {0, "damaged", [&](Bytes* b) { testutil::put_word(b, index(*b) + 4, 3); }},
      {0, "has no end", [&](Bytes* b) { std::fill(b->begin() + 12, b->begin() + index(*b), 'X'); }},
      {1, "not in order",
       [](Bytes* b) { std::swap_ranges(b->begin() + 8, b->begin() + 16, b->begin() + 16); }},
      {1, "shorter than its date", [](Bytes* b) { b->resize(5); }},
      {1, nullptr, nullptr},
      {2, "is not in", nullptr},
      {2, "damaged", [](Bytes* b) { b->resize(7); }},
      {2, "damaged", [](Bytes* b) { (*b)[0] = 'X'; }},
      {2, "damaged", [](Bytes* b) { b->replace(8, 4, "----"); }},
      {2, "damaged", [&](Bytes* b) { testutil::put_word(b, index(*b) + 4, index(*b)); }},
  };
  using dbfiles::encode_call;
  for (const auto& c : kDamage) {
    testutil::TempDir dir;
    ASSERT_EQ(dbfiles::write_call_db(
                  dir.file("call.db"), "20261207",
                  {{encode_call("K1ABC"), "DOE, JO", "1 A ST", "X", 1, 1, false},
                   {encode_call("W1AW"), "ARRL", "225 MAIN", "NEWINGTON", 7, 6111, false}}), 0);
    ASSERT_EQ(dbfiles::write_prev_db(dir.file("callprev.db"), "20261207",
                                     {{encode_call("N1OLD"), encode_call("W1AW")},
                                      {encode_call("N2OLD"), encode_call("K1ABC")}}), 0);
    dbfiles::CanDbWriter can;
    ASSERT_EQ(can.open(dir.file("cancall.db"), "20261207"), 0);
    ASSERT_EQ(can.add(dbfiles::CanEntry::make_word0(can_key("VE3ABC"), 9), "ROE", "AL", "2 B",
                      "Y", "K1A"), 0);
    ASSERT_EQ(can.finish(), 0);
    const std::string file = kFiles[c.file];
    if (c.damage) {
      Bytes bytes = testutil::read_bytes(dir.file(file));
      c.damage(&bytes);
      testutil::write_bytes(dir.file(file), bytes);
    } else {
      std::filesystem::remove(dir.file(file));
    }
    SCOPED_TRACE(file + " " + (c.why ? c.why : "removed"));
    const auto directory = callbook::Directory::load(dir.path());
    const callbook::DatabaseState* states[] = {&directory->us(), &directory->prev(),
                                               &directory->canada()};
    const std::string& problem = states[c.file]->problem;
    for (const char* part : {kFiles[c.file], dir.path().c_str(), c.why ? c.why : "", ". Run "}) {
      EXPECT_TRUE(!c.why || problem.find(part) != std::string::npos) << problem;
    }
    EXPECT_NE(directory->summary().find(c.why ? problem : "no callprev.db"), std::string::npos);
    for (int k = 0; k < 3; ++k) {
      EXPECT_EQ(states[k]->usable, k != c.file);
      const callbook::Reply reply = get("/v1/lookup/" + kCalls[k], directory.get());
      const bool out = k == c.file || (k == 1 && c.file == 0);  // this call's database is out
      EXPECT_EQ(reply.status, !out ? 200 : c.why ? 503 : 404) << kCalls[k];
      if (!out || !c.why) continue;
      EXPECT_EQ(json(reply.body),
                (Fields{{"status", "unavailable"}, {"problem", problem}, {"asked", kCalls[k]}}));
      EXPECT_EQ(get("/" + kCalls[k] + "/xml", directory.get()).body, problem + "\n");
    }
  }
}

}  // namespace
