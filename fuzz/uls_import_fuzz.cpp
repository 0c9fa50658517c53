// The FCC's licence data as the import reads it: an input that begins "PK" is an archive;
// anything else is given whole as EN.dat, HD.dat and AM.dat of one folder (each reader takes the
// lines of its own record type and reports the rest).

#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "fcc/uls_import.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t n) {
  calldb::ImportOptions options;
  options.folder = fuzzing::scratch() + "/out";
  options.date = "20250930";
  options.zlib_library = "libz.so.1";
  options.note = [](const std::string&) {};
  options.text_slack = 0;  // the kept texts copied anew whenever replaced ones outweigh them
  if (n >= 2 && data[0] == 'P' && data[1] == 'K') {
    options.sources = {fuzzing::put("l_amat.zip", data, n)};
  } else {
    for (const char* name : {"dat/EN.dat", "dat/HD.dat", "dat/AM.dat"}) fuzzing::put(name, data, n);
    options.sources = {fuzzing::scratch() + "/dat"};
  }
  fuzzing::put("out/.keep", data, 0);
  calldb::ImportReport report;
  std::string error;
  calldb::import_uls(options, &report, &error);
  return 0;
}
