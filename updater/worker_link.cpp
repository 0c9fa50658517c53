#include "updater/worker_link.h"

namespace updater {

std::string escape_controls(std::string_view text, bool lone_cr_breaks) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string shown;
  shown.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const bool cr_lf = c == '\r' && i + 1 < text.size() && text[i + 1] == '\n';
    const bool line_end = c == '\n' || cr_lf || (c == '\r' && lone_cr_breaks);
    if ((c >= 0x20 && c != 0x7f) || line_end) {
      shown.push_back(static_cast<char>(c));
    } else {
      shown += "\\x";
      shown.push_back(kHex[c >> 4]);
      shown.push_back(kHex[c & 15]);
    }
  }
  return shown;
}

}  // namespace updater
