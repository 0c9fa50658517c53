// What happens to a reader of call.db through a shared map when another process cuts the file
// short: the check behind the decision to keep read calls in the lookup.
//
//   build/mmap_check [CALLDB]
// copies CALLDB (default: calldb/call.db of $CALLDB_BENCH_DATA, else a small call.db it
// writes), lets a child map the copy, cuts the copy to one page and has the child read its old
// last byte. Prints one JSON object, e.g. {"ran": true, "signalled": true, "signal": 7,
// "signal_name": "SIGBUS", "exit_code": -1}. Exit 0 when the check ran.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "dbfiles/dbwriter.h"

int main(int argc, char** argv) {
  const std::string folder = bench::work_folder("orbisk-mmap-check");
  std::string source;
  if (argc > 1) {
    source = argv[1];
  } else if (!bench::demo_folder().empty()) {
    source = bench::demo_folder() + "/calldb/call.db";
  } else {
    source = folder + "/call.db";
    std::vector<dbfiles::UsRecord> records;
    for (int i = 0; i < 2000; ++i) {
      dbfiles::UsRecord r;
      const char call[] = {'W', static_cast<char>('0' + i % 10), static_cast<char>('A' + i / 260),
                           static_cast<char>('A' + i / 10 % 26), '\0'};
      r.key = dbfiles::encode_call(call);
      r.name = std::string("SAMPLE, LICENSEE ") + call;
      r.city = "SPRINGFIELD";
      records.push_back(r);
    }
    std::sort(records.begin(), records.end(),
              [](const auto& a, const auto& b) { return a.key < b.key; });
    std::string error;
    if (dbfiles::write_call_db(source, "20250930", records, &error) != 0) {
      std::fprintf(stderr, "mmap_check: %s\n", error.c_str());
      return 1;
    }
  }
  const bench::TruncateOutcome out = bench::touch_after_truncate(source, folder);
  if (!out.ran) {
    std::fprintf(stderr, "mmap_check: %s\n", out.detail.c_str());
    return 1;
  }
  const char* name = out.signalled ? sigabbrev_np(out.signal) : nullptr;
  std::printf("{\"ran\": true, \"signalled\": %s, \"signal\": %d, \"signal_name\": \"%s%s\", "
              "\"exit_code\": %d}\n",
              out.signalled ? "true" : "false", out.signal, name != nullptr ? "SIG" : "",
              name != nullptr ? name : "", out.exit_code);
  return 0;
}
