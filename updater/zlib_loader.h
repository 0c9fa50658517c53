// Loading zlib when the updater starts: the Canadian update needs it, nothing else does.
#pragma once

#include <string>

#include "platform/platform.h"
#include "updater/worker_link.h"
#include "updater/zlib_api.h"

namespace updater {

// Loads the shared library `library_name` into *library and looks zlib's entry points up in it,
// logging what it finds:
//   "zlib is present", then one "NAME not found" line for each missing entry point, then
//   "all zlib procedures found" when everything the inflate calls is there.
// Returns true when *api is ready to use. Otherwise logs how to get the library, leaves *api
// empty and *library closed, and returns false. The caller keeps *library open for as long as
// it uses *api, and sets zlib_ready from the result.
bool load_zlib(WorkerLink& link, const std::string& library_name, platform::Library* library,
               ZlibApi* api);

}  // namespace updater
