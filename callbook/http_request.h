// Reading HTTP/1.x requests from the bytes a connection has received, and decoding the parts of
// a request target. Nothing here touches a socket, so all of it can be fed any bytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace callbook {

// The head of a request (request line and header fields, with its ending empty line) may take at
// most this many bytes; a longer one is refused without reading further.
inline constexpr std::size_t kMaxHead = 8192;

struct Request {
  bool head_only = false;      // HEAD: the reply's head without its body
  bool keep_alive = true;      // the connection stays open after the reply
  std::string_view path;       // the target up to '?', still percent-encoded
  std::string_view query;      // after '?', still encoded; "" without one
};

enum class Parse {
  incomplete,  // no whole head yet (and not too long so far)
  request,     // *request is filled and *used is the length of its head
  refused,     // *status is the reply's status; the connection is closed after it
};

// Reads one request head from the start of `data`. Views in *request point into `data`.
// Only GET and HEAD without a body are served: any other method, a body, a request line or
// header that is not well formed, a head over kMaxHead, or a version other than HTTP/1.0 and 1.1
// is refused with its status (400, 405, 413, 414, 431, 505). Lines may end in CR LF or LF.
Parse parse_request(std::string_view data, Request* request, std::size_t* used, int* status);

// Percent-decoding of one part of a target; with `plus_is_space` (query values) '+' is a space.
// Returns false for a '%' not followed by two hex digits, and for a decoded zero byte.
bool percent_decode(std::string_view text, bool plus_is_space, std::string* out);

// The decoded value of the first `name=` field of a query ("a=1&b=2"); false when there is
// none or it does not decode. Names are compared as they stand.
bool query_value(std::string_view query, std::string_view name, std::string* value);

}  // namespace callbook
