// zlib, loaded at run time: never linked, so the updater runs without it and only the Canadian
// update needs it. zlib.h is used for the stream type alone.
#pragma once

#include <zlib.h>

#include <string>

#include "platform/platform.h"
#include "updater/worker_link.h"

namespace updater {

// The entry points the inflate needs, looked up by name.
struct ZlibApi {
  const char* (*zlibVersion)() = nullptr;  // looked up and reported, never called
  int (*inflateInit_)(z_streamp stream, const char* version, int stream_size) = nullptr;
  int (*inflate)(z_streamp stream, int flush) = nullptr;
  int (*inflateEnd)(z_streamp stream) = nullptr;

  // True when everything the inflate calls is there.
  bool ready() const { return inflateInit_ != nullptr && inflate != nullptr && inflateEnd != nullptr; }
};

}  // namespace updater
