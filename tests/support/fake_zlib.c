/* A stand-in for zlib's shared library that exports only some of its entry points, chosen
   when building: FAKE_ZLIB_VERSION, FAKE_INFLATE_INIT, FAKE_INFLATE, FAKE_INFLATE_END. None of
   them is ever called. */

int fake_zlib_marker(void) { return 0; } /* a library exporting none of them still loads */

#ifdef FAKE_ZLIB_VERSION
const char* zlibVersion(void) { return "0.0-fake"; }
#endif

#ifdef FAKE_INFLATE_INIT
int inflateInit_(void* stream, const char* version, int stream_size) {
  (void)stream;
  (void)version;
  (void)stream_size;
  return -2;
}
#endif

#ifdef FAKE_INFLATE
int inflate(void* stream, int flush) {
  (void)stream;
  (void)flush;
  return -2;
}
#endif

#ifdef FAKE_INFLATE_END
int inflateEnd(void* stream) {
  (void)stream;
  return -2;
}
#endif
