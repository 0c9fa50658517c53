// calldb serve's handling of what a connection receives: request heads read back to back from
// arbitrary bytes, each target decoded and each request answered from a small data folder made
// once, with and without databases. A "SESSION" in a query stands for a session id the server
// gave out. Every reply must be UTF-8 with no control character but line ends and no character
// an XML document may not hold.

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>

#include "callbook/directory.h"
#include "callbook/formats.h"
#include "callbook/http_request.h"
#include "callbook/service.h"
#include "dbfiles/dbwriter.h"
#include "dbfiles/lookup.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr std::int64_t kNow = 1800000000;

std::shared_ptr<const callbook::Directory> sample() {
  const std::string folder = fuzzing::scratch() + "/callbook";
  std::filesystem::create_directories(folder);
  using dbfiles::encode_call;
  dbfiles::write_call_db(
      folder + "/call.db", "20261207",
      {{encode_call("K1ABC"), "O'NEIL, J\xC9R\xD4ME", "1 <A> & B", "X\x01Y", 7, 6111, false},
       {encode_call("W1AW"), "ARRL \xE2\x82\xAC\xEF\xBF\xBE", "225", "NEWINGTON", 7, 6111, true}});
  dbfiles::write_prev_db(folder + "/callprev.db", "20261207",
                         {{encode_call("N1OLD"), encode_call("W1AW")}});
  dbfiles::CanDbWriter can;
  dbfiles::CanKey key = 0;
  dbfiles::encode_can_call("VE3ABC", &key);
  can.open(folder + "/cancall.db", "20261207");
  can.add(dbfiles::CanEntry::make_word0(key, 9), "\"CLUB\"", "", "2 \x7F" "B", "Y\x9A", "K1A 0B1");
  can.finish();
  return callbook::Directory::load(folder);
}

void check(const std::string& body) {
  for (std::size_t i = 0; i < body.size(); ++i) {
    const auto c = static_cast<unsigned char>(body[i]);
    if (c < 0x20 && c != '\n') std::abort();
    if (c < 0x80) continue;
    const int n = c >= 0xC2 && c < 0xE0 ? 1 : c >= 0xE0 && c < 0xF0 ? 2
                : c >= 0xF0 && c < 0xF5 ? 3 : -1;
    if (n < 0 || i + n >= body.size()) std::abort();
    unsigned cp = c & (0x7Fu >> n);
    for (int k = 1; k <= n; ++k) {
      const auto b = static_cast<unsigned char>(body[i + k]);
      if ((b & 0xC0) != 0x80) std::abort();
      cp = cp << 6 | (b & 0x3F);
    }
    if ((n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp < 0xE000) || cp == 0xFFFE || cp == 0xFFFF) {
      std::abort();
    }
    i += n;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t n) {
  static const auto directory = sample();
  static const callbook::Sessions sessions(std::map<std::string, std::string>{{"U", "P"}});
  static const std::string session = sessions.login("u", "P", kNow);
  if (!directory->us().usable || !directory->canada().usable || session.empty()) std::abort();

  std::string_view rest(reinterpret_cast<const char*>(data), n);
  for (;;) {
    callbook::Request request;
    std::size_t used = 0;
    int status = 0;
    const callbook::Parse parse = callbook::parse_request(rest, &request, &used, &status);
    if (parse == callbook::Parse::incomplete) return 0;
    if (parse == callbook::Parse::refused) {
      check(callbook::refusal(status).body);
      return 0;
    }
    if (used == 0 || used > rest.size()) std::abort();
    std::string text;
    callbook::percent_decode(request.path, false, &text);
    callbook::percent_decode(request.query, true, &text);
    for (const char* name : {"id", "callsign", "u", "p", "prg", ""}) {
      callbook::query_value(request.query, name, &text);
    }
    std::string query(request.query);
    for (std::size_t at; (at = query.find("SESSION")) != std::string::npos;) {
      query.replace(at, 7, session);
    }
    request.query = query;
    check(callbook::answer(request, directory.get(), sessions, kNow).body);
    check(callbook::answer(request, nullptr, sessions, kNow).body);
    rest.remove_prefix(used);
  }
}
