#include "updater/zlib_loader.h"

namespace updater {

namespace {

// Looks `name` up and logs "LABEL not found" when the library lacks it.
template <typename Function>
void look_up(WorkerLink& link, const platform::Library& library, const char* name,
             const char* label, Function** entry) {
  *entry = reinterpret_cast<Function*>(library.symbol(name));
  if (*entry == nullptr) link.log_text(std::string(label) + " not found\r\n");
}

}  // namespace

bool load_zlib(WorkerLink& link, const std::string& library_name, platform::Library* library,
               ZlibApi* api) {
  *api = ZlibApi{};
  if (library->open(library_name) == 0) {
    link.log_text("zlib is present\r\n");
    look_up(link, *library, "zlibVersion", "zlibVersion", &api->zlibVersion);
    look_up(link, *library, "inflateInit_", "inflateInit", &api->inflateInit_);
    look_up(link, *library, "inflate", "inflate", &api->inflate);
    look_up(link, *library, "inflateEnd", "inflateEnd", &api->inflateEnd);
    // zlibVersion is only reported: the inflate never calls it.
    if (api->ready()) {
      link.log_text("all zlib procedures found\r\n");
      return true;
    }
  }
  *api = ZlibApi{};
  library->close();
  link.log_text("NOTE: to update the Canadian database, download the " + library_name +
                " file into your calldb folder\r\n\r\n");
  return false;
}

}  // namespace updater
