// amateur.zip as the Canadian run extracts it: the members listed, amateur.txt inflated (zlib
// loaded at run time, as the updater does) or copied.

#include <cstdint>
#include <cstdlib>

#include "fuzz/fuzz_support.h"
#include "platform/platform.h"
#include "updater/unzip.h"
#include "updater/zlib_loader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t n) {
  static fuzzing::QuietLink link;
  static platform::Library library;
  static updater::ZlibApi api;
  static const bool loaded = updater::load_zlib(link, "libz.so.1", &library, &api);
  if (!loaded) std::abort();
  fuzzing::put("amateur.zip", data, n);
  updater::UpdaterState state;
  updater::WorkerEnv env;
  env.link = &link;
  env.state = &state;
  env.folder = fuzzing::scratch();
  env.zlib = &api;
  updater::unzip(env, "amateur.zip");
  fuzzing::drop("amateur.txt");
  return 0;
}
