#include "callbook/service.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdio>
#include <fstream>

#include "callbook/formats.h"

namespace callbook {
namespace {

constexpr char kXml[] = "text/xml; charset=utf-8";
constexpr char kJson[] = "application/json";

std::string to_hex(const unsigned char* p, std::size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    out.push_back(digits[p[i] >> 4]);
    out.push_back(digits[p[i] & 15]);
  }
  return out;
}

constexpr char kIndex[] =
    "calldb serve: an offline callbook answering from the local US and Canadian licence "
    "databases.\n"
    "  /xml.php?u=USER&p=PASSWORD                   HamQTH-style log in: a session id\n"
    "  /xml.php?id=SESSION&callsign=CALL&prg=NAME   HamQTH-style search\n"
    "  /CALL/json   /CALL/xml                        callook-style\n"
    "  /v1/lookup/CALL                              every field, as JSON\n";

Reply lookup_reply(const Directory* directory, const std::string& call, Licence* licence,
                   const Licence** found, std::string* problem) {
  Reply reply;
  *found = nullptr;
  if (directory == nullptr) {
    *problem = "The databases are not loaded yet. Try again in a moment.";
    reply.status = 503;
    return reply;
  }
  switch (directory->find(call, licence, problem)) {
    case Found::yes: *found = licence; break;
    case Found::no: break;
    case Found::unavailable: reply.status = 503; break;
  }
  return reply;
}

Reply hamqth(const Request& request, const Directory* directory, const Sessions& sessions,
             std::int64_t now) {
  Reply reply;
  reply.content_type = kXml;
  std::string id, user, password, call;
  if (query_value(request.query, "id", &id)) {
    if (!sessions.valid(id, now)) {
      reply.body = hamqth_error(kSessionExpired);
      return reply;
    }
    Licence licence;
    const Licence* found = nullptr;
    std::string problem;
    query_value(request.query, "callsign", &call);
    reply = lookup_reply(directory, call, &licence, &found, &problem);
    reply.content_type = kXml;
    reply.body = found ? hamqth_search(*found)
                       : hamqth_error(problem.empty() ? kCallNotFound : problem);
    return reply;
  }
  if (query_value(request.query, "u", &user) && query_value(request.query, "p", &password)) {
    const std::string session = sessions.login(user, password, now);
    reply.body = session.empty() ? hamqth_error(kWrongLogin) : hamqth_session(session);
    return reply;
  }
  reply.body = hamqth_error(kWrongLogin);
  return reply;
}

}  // namespace

Sessions::Sessions(std::map<std::string, std::string> users) {
  for (auto& [name, password] : users) users_[upper_case(name)] = password;
  // The key comes from the users, so that servers given the same file agree.
  std::string material = "calldb serve sessions\n";
  for (const auto& [name, password] : users_) material += name + ":" + password + "\n";
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(material.data(), material.size(), digest, &n, EVP_sha256(), nullptr);
  key_.assign(reinterpret_cast<const char*>(digest), n);
}

bool Sessions::read_password_file(const std::string& path,
                                  std::map<std::string, std::string>* users, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read the password file " + path;
    return false;
  }
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const std::size_t colon = line.find(':');
    if (colon == 0 || colon == std::string::npos) {
      *error = path + " line " + std::to_string(number) + " is not USER:PASSWORD";
      return false;
    }
    (*users)[line.substr(0, colon)] = line.substr(colon + 1);
  }
  if (users->empty()) {
    *error = path + " names no user";
    return false;
  }
  return true;
}

std::string Sessions::sign(std::string_view expiry_hex) const {
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  HMAC(EVP_sha256(), key_.data(), static_cast<int>(key_.size()),
       reinterpret_cast<const unsigned char*>(expiry_hex.data()), expiry_hex.size(), mac, &n);
  return to_hex(mac, 12);
}

std::string Sessions::login(std::string_view user, std::string_view password,
                            std::int64_t now) const {
  if (!users_.empty()) {
    const auto it = users_.find(upper_case(user));
    if (it == users_.end() || it->second.size() != password.size() ||
        CRYPTO_memcmp(it->second.data(), password.data(), password.size()) != 0) {
      return std::string();
    }
  }
  char expiry[17];
  std::snprintf(expiry, sizeof expiry, "%016llx",
                static_cast<unsigned long long>(now + kLifetime));
  return expiry + sign(expiry);
}

bool Sessions::valid(std::string_view id, std::int64_t now) const {
  if (id.size() != 40) return false;
  const std::string_view expiry = id.substr(0, 16);
  const std::string mac = sign(expiry);
  if (CRYPTO_memcmp(mac.data(), id.data() + 16, mac.size()) != 0) return false;
  unsigned long long end = 0;
  for (char c : expiry) {
    const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (d < 0) return false;
    end = end * 16 + static_cast<unsigned>(d);
  }
  return static_cast<long long>(end) > now;
}

Reply answer(const Request& request, const Directory* directory, const Sessions& sessions,
             std::int64_t now) {
  std::string path;
  if (!percent_decode(request.path, false, &path)) return refusal(400);
  if (path == "/xml.php") return hamqth(request, directory, sessions, now);
  if (path == "/") return Reply{200, "text/plain; charset=utf-8", kIndex};

  Licence licence;
  const Licence* found = nullptr;
  std::string problem;
  constexpr std::string_view kOwn = "/v1/lookup/";
  if (path.compare(0, kOwn.size(), kOwn) == 0 && path.size() > kOwn.size()) {
    const std::string call = path.substr(kOwn.size());
    Reply reply = lookup_reply(directory, call, &licence, &found, &problem);
    reply.content_type = kJson;
    if (reply.status == 200 && found == nullptr) reply.status = 404;
    reply.body = own_json(found, upper_case(call), problem);
    return reply;
  }
  // "/CALL/json", "/CALL/xml"; a portable CALL may hold slashes itself.
  const std::size_t slash = path.rfind('/');
  const std::string format = path.substr(slash + 1);
  if (slash > 1 && (format == "json" || format == "xml")) {
    Reply reply = lookup_reply(directory, path.substr(1, slash - 1), &licence, &found, &problem);
    if (reply.status != 200) {
      Reply error = refusal(reply.status);
      error.body = problem + "\n";
      return error;
    }
    reply.content_type = format == "json" ? kJson : kXml;
    reply.body = format == "json" ? callook_json(found) : callook_xml(found);
    return reply;
  }
  return refusal(404);
}

Reply refusal(int status) {
  Reply reply;
  reply.status = status;
  switch (status) {
    case 404: reply.body = std::string("Nothing here.\n") + kIndex; break;
    case 503: reply.body = "The server has no room for more connections. Try again shortly.\n"; break;
    default: reply.body = std::string(reason_phrase(status)) + "\n"; break;
  }
  return reply;
}

const char* reason_phrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 413: return "Content Too Large";
    case 414: return "URI Too Long";
    case 431: return "Request Header Fields Too Large";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Error";
  }
}

}  // namespace callbook
