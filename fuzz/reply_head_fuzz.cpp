// The reply head reader both download clients share: the head fed in pieces of the sizes the
// first bytes give, then read as the clients read it.

#include <algorithm>
#include <cstdint>

#include "updater/reply_head.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t n) {
  if (n < 2) return 0;
  updater::ReplyHead head(16 + data[0] * 16u);
  const std::size_t piece = 1 + data[1] % 64;
  std::size_t at = 2;
  updater::ReplyHead::Feed fed = updater::ReplyHead::kMore;
  while (at < n && fed == updater::ReplyHead::kMore) {
    const std::size_t take = std::min(piece, n - at);
    std::size_t used = 0;
    fed = head.feed(reinterpret_cast<const char*>(data + at), take, &used);
    at += fed == updater::ReplyHead::kDone ? used : take;
  }
  if (fed == updater::ReplyHead::kDone) {
    std::int32_t length = 0;
    head.status();
    head.content_length(&length);
    head.has_field("Transfer-Encoding");
  } else {
    head.unfinished("host");
  }
  return 0;
}
