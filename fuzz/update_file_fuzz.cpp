// A weekly update file as the merge takes it: checked whole, then merged into a small sound
// call.db when the check passes; and its first bytes read as a digest of the file.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "dbfiles/dbwriter.h"
#include "fuzz/fuzz_support.h"
#include "updater/merge.h"
#include "updater/updater_state.h"

namespace {

constexpr char kUpdate[] = "0105to0112.db";

// call.db of 20180105 with a few hundred licences, written once.
void put_call_db() {
  static bool written = false;
  if (written) return;
  std::vector<dbfiles::UsRecord> records;
  for (char district = '0'; district <= '9'; ++district) {
    for (char a = 'A'; a <= 'Z'; a += 3) {
      const std::string call = std::string("K") + district + "A" + a;
      records.push_back({dbfiles::encode_call(call.c_str()), "NAME " + call, "1 MAIN ST",
                         "SPRINGFIELD", 5, 1234, false});
    }
  }
  std::sort(records.begin(), records.end(), [](auto& x, auto& y) { return x.key < y.key; });
  std::string error;
  if (dbfiles::write_call_db(fuzzing::scratch() + "/call.db", "20180105", records, &error) != 0) {
    std::abort();
  }
  written = true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t n) {
  put_call_db();
  fuzzing::put(kUpdate, data, n);
  fuzzing::QuietLink link;
  updater::UpdaterState state;
  std::strcpy(state.update_rows[0].name, kUpdate);
  state.rows_in_use = 1;
  updater::WorkerEnv env;
  env.link = &link;
  env.state = &state;
  env.folder = fuzzing::scratch();
  updater::merge_update(env, 0, "20180112");
  fuzzing::drop("call.db.new");
  // Its first bytes as the digest file a server keeps beside it.
  int error = 0;
  updater::check_update_digest(fuzzing::scratch() + "/" + kUpdate,
                               std::string_view(reinterpret_cast<const char*>(data),
                                                std::min<std::size_t>(n, 96)),
                               &error);
  return 0;
}
