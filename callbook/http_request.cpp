#include "callbook/http_request.h"

#include <cstring>

namespace callbook {
namespace {

bool is_token_char(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// True when the comma-separated list `value` holds `word` (any case).
bool list_has(std::string_view value, std::string_view word) {
  while (!value.empty()) {
    const std::size_t comma = value.find(',');
    if (iequals(trim(value.substr(0, comma)), word)) return true;
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return false;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The request line "METHOD SP TARGET SP HTTP/1.x": 0 when well formed, else the status.
int read_request_line(std::string_view line, std::string_view* method, std::string_view* target,
                      int* minor) {
  const std::size_t sp1 = line.find(' ');
  if (sp1 == std::string_view::npos || sp1 == 0) return 400;
  const std::size_t sp2 = line.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos || sp2 == sp1 + 1) return 400;
  *method = line.substr(0, sp1);
  *target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  const std::string_view version = line.substr(sp2 + 1);
  for (char c : *method) {
    if (!is_token_char(static_cast<unsigned char>(c))) return 400;
  }
  for (char c : *target) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= ' ' || u >= 0x7F) return 400;
  }
  if ((*target)[0] != '/') return 400;  // origin form only
  if (version.size() != 8 || version.substr(0, 5) != "HTTP/" || version[6] != '.' ||
      version[5] < '0' || version[5] > '9' || version[7] < '0' || version[7] > '9') {
    return 400;
  }
  if (version[5] != '1') return 505;
  *minor = version[7] - '0';
  return 0;
}

// One request head at the very start of `data`.
Parse parse_head(std::string_view data, Request* request, std::size_t* used, int* status) {
  // The head ends at the first empty line.
  std::size_t end = std::string_view::npos;
  std::size_t body = 0;
  for (std::size_t i = data.find('\n'); i != std::string_view::npos; i = data.find('\n', i + 1)) {
    if (i + 1 < data.size() && data[i + 1] == '\n') {
      end = i + 1;
      body = i + 2;
      break;
    }
    if (i + 2 < data.size() && data[i + 1] == '\r' && data[i + 2] == '\n') {
      end = i + 1;
      body = i + 3;
      break;
    }
    if (i + 1 >= kMaxHead) break;
  }
  if (end == std::string_view::npos || body > kMaxHead) {
    const bool whole_line = data.find('\n') != std::string_view::npos;
    if (data.size() < kMaxHead) {
      // Bytes that can never start a request need not wait for the rest.
      for (std::size_t i = 0; i < data.size() && data[i] != '\n'; ++i) {
        const auto c = static_cast<unsigned char>(data[i]);
        if (c < ' ' && c != '\r' && c != '\t') {
          *status = 400;
          return Parse::refused;
        }
      }
      return Parse::incomplete;
    }
    *status = whole_line ? 431 : 414;
    return Parse::refused;
  }

  std::string_view head = data.substr(0, end);
  std::size_t eol = head.find('\n');
  std::string_view line = head.substr(0, eol);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  std::string_view method;
  std::string_view target;
  int minor = 0;
  if (const int bad = read_request_line(line, &method, &target, &minor); bad != 0) {
    *status = bad;
    return Parse::refused;
  }

  bool close = false;  // "close" named, which wins over "keep-alive" wherever it stands
  bool keep_alive = false;
  bool has_body = false;
  bool has_host = false;
  head.remove_prefix(eol + 1);
  while (!head.empty()) {
    eol = head.find('\n');
    std::string_view field = head.substr(0, eol);
    head.remove_prefix(eol == std::string_view::npos ? head.size() : eol + 1);
    if (!field.empty() && field.back() == '\r') field.remove_suffix(1);
    const std::size_t colon = field.find(':');
    if (colon == std::string_view::npos || colon == 0) {
      *status = 400;
      return Parse::refused;
    }
    const std::string_view name = field.substr(0, colon);
    for (char c : name) {
      if (!is_token_char(static_cast<unsigned char>(c))) {
        *status = 400;  // also a folded line, which starts with white space
        return Parse::refused;
      }
    }
    const std::string_view value = trim(field.substr(colon + 1));
    for (char c : value) {
      const auto u = static_cast<unsigned char>(c);
      if ((u < ' ' && u != '\t') || u == 0x7F) {
        *status = 400;
        return Parse::refused;
      }
    }
    if (iequals(name, "connection")) {
      close = close || list_has(value, "close");
      keep_alive = keep_alive || list_has(value, "keep-alive");
    } else if (iequals(name, "content-length")) {
      if (value.empty() || value.find_first_not_of('0') != std::string_view::npos) has_body = true;
    } else if (iequals(name, "transfer-encoding")) {
      has_body = true;
    } else if (iequals(name, "host")) {
      if (has_host) {
        *status = 400;
        return Parse::refused;
      }
      has_host = true;
    }
  }
  if (minor >= 1 && !has_host) {
    *status = 400;
    return Parse::refused;
  }
  if (method != "GET" && method != "HEAD") {
    *status = 405;
    return Parse::refused;
  }
  if (has_body) {
    *status = 413;
    return Parse::refused;
  }

  request->head_only = method == "HEAD";
  request->keep_alive = !close && (minor >= 1 || keep_alive);
  const std::size_t mark = target.find('?');
  request->path = target.substr(0, mark);
  request->query = mark == std::string_view::npos ? std::string_view() : target.substr(mark + 1);
  *used = body;
  return Parse::request;
}

}  // namespace

Parse parse_request(std::string_view data, Request* request, std::size_t* used, int* status) {
  // One empty line before a request line is passed over, as clients may send one after a body.
  const std::size_t skipped = data.substr(0, 2) == "\r\n" ? 2 : data.substr(0, 1) == "\n" ? 1 : 0;
  const Parse parse = parse_head(data.substr(skipped), request, used, status);
  if (parse == Parse::request) *used += skipped;
  return parse;
}

bool percent_decode(std::string_view text, bool plus_is_space, std::string* out) {
  out->clear();
  out->reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%') {
      const int hi = i + 1 < text.size() ? hex_digit(text[i + 1]) : -1;
      const int lo = i + 2 < text.size() ? hex_digit(text[i + 2]) : -1;
      if (hi < 0 || lo < 0) return false;
      c = static_cast<char>(hi * 16 + lo);
      if (c == '\0') return false;
      i += 2;
    } else if (c == '+' && plus_is_space) {
      c = ' ';
    }
    out->push_back(c);
  }
  return true;
}

bool query_value(std::string_view query, std::string_view name, std::string* value) {
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view field = query.substr(0, amp);
    const std::size_t eq = field.find('=');
    if (field.substr(0, eq) == name) {
      return percent_decode(eq == std::string_view::npos ? std::string_view() : field.substr(eq + 1),
                            true, value);
    }
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return false;
}

}  // namespace callbook
