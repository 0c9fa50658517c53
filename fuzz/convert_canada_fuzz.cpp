// The Canadian list (amateur.txt, fixed columns) as the conversion turns it into cancall.db.

#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "updater/convert_canada.h"
#include "updater/updater_state.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t n) {
  fuzzing::put("amateur.txt", data, n);
  fuzzing::QuietLink link;
  updater::UpdaterState state;
  updater::WorkerEnv env;
  env.link = &link;
  env.state = &state;
  env.folder = fuzzing::scratch();
  updater::convert_canadian_list(env);
  fuzzing::drop("cancall.db");
  return 0;
}
