// POSIX libraries loaded at run time, through dlopen().
#include "platform/platform.h"

#include <dlfcn.h>

#include <cerrno>
#include <utility>

namespace platform {

Library::~Library() { close(); }

Library::Library(Library&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}

Library& Library::operator=(Library&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

int Library::open(const std::string& name) {
  close();
  ::dlerror();  // forget an older failure
  errno = 0;
  handle_ = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ != nullptr) return 0;
  // dlopen() only gives a text; errno mostly holds why the last file tried could not be
  // opened, and a file that opened but is no usable library leaves no code at all.
  const int error = errno;
  ::dlerror();
  return error != 0 ? error : ELIBBAD;
}

void* Library::symbol(const char* name) const {
  if (handle_ == nullptr || name == nullptr) return nullptr;
  return ::dlsym(handle_, name);
}

void Library::close() {
  if (handle_ != nullptr) ::dlclose(std::exchange(handle_, nullptr));
}

const char* zlib_library_name() { return "libz.so.1"; }

}  // namespace platform
