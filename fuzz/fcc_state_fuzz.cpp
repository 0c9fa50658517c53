// callfcc.dat as the daily apply reads it, with its last four bytes made the CRC of the rest so
// that inputs get past the checksum to the checks of sizes, order and lengths; and the input as
// the record of a set of files put in place together, which names only the set's files.

#include <cstdint>
#include <string>

#include "fcc/fcc_state.h"
#include "fcc/zip_archive.h"
#include "fuzz/fuzz_support.h"

// Every text byte is read, where AddressSanitizer sees it.
volatile std::uint64_t fcc_state_texts_read = 0;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t n) {
  std::string bytes(reinterpret_cast<const char*>(data), n);
  if (bytes.size() >= 4) {
    const std::uint32_t crc = calldb::crc32(std::string_view(bytes).substr(0, bytes.size() - 4));
    for (int i = 0; i < 4; ++i) bytes[bytes.size() - 4 + i] = static_cast<char>(crc >> (8 * i));
  }
  const std::string path = fuzzing::put(
      "callfcc.dat", reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  calldb::FccStateHeader header;
  std::string why;
  std::uint64_t sum = 0;
  calldb::read_state(path, &header, [&sum](const calldb::StateLicence& licence) {
    for (const std::string_view text : {licence.call, licence.en, licence.am}) {
      for (const char c : text) sum += static_cast<unsigned char>(c);
    }
  }, &why);
  fuzzing::put("set/callfcc.set", data, n);
  updater::finish_replacing(fuzzing::scratch() + "/set", &why);
  fcc_state_texts_read = sum;
  return 0;
}
