// What the server answers to one request, from one Directory: the routes of the three formats
// and the HamQTH-style sessions.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "callbook/directory.h"
#include "callbook/http_request.h"

namespace callbook {

// HamQTH-style session ids. They carry their own end time and a keyed hash of it, so any
// server given the same password file accepts the ids any other gave out: several servers can
// stand behind one load balancer with nothing shared between them.
class Sessions {
 public:
  // A day: some loggers lose the lookup that meets an expired session before they log in again.
  static constexpr std::int64_t kLifetime = 24 * 3600;  // seconds

  // With no users, anyone may log in with any name and password.
  Sessions() : Sessions(std::map<std::string, std::string>()) {}
  explicit Sessions(std::map<std::string, std::string> users);

  // Reads a password file: "USER:PASSWORD" lines; empty lines and lines starting with '#' are
  // skipped. Returns false with *error set when it cannot be read or a line is not of that form.
  static bool read_password_file(const std::string& path,
                                 std::map<std::string, std::string>* users, std::string* error);

  // A new session id for a user whose password is right, or "".
  std::string login(std::string_view user, std::string_view password, std::int64_t now) const;
  bool valid(std::string_view id, std::int64_t now) const;

 private:
  std::string sign(std::string_view expiry_hex) const;

  std::map<std::string, std::string> users_;  // user names upper-cased
  std::string key_;
};

struct Reply {
  int status = 200;
  const char* content_type = "text/plain; charset=utf-8";
  std::string body;
};

// The reply to a request that parse_request() accepted. `directory` may be null (nothing loaded
// yet).
Reply answer(const Request& request, const Directory* directory, const Sessions& sessions,
             std::int64_t now);

// The reply to a request refused with `status` by parse_request(), or to a connection the
// server has no room for (503).
Reply refusal(int status);

// "OK", "Not Found" ... for the status line.
const char* reason_phrase(int status);

}  // namespace callbook
