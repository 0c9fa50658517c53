#include "tests/support/canada_list.h"

#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>

namespace testutil {

namespace {

std::uint32_t u16(const std::string& s, std::size_t at) {
  return static_cast<unsigned char>(s[at]) | (static_cast<unsigned char>(s[at + 1]) << 8);
}
std::uint32_t u32(const std::string& s, std::size_t at) {
  return u16(s, at) | (u16(s, at + 2) << 16);
}

// Inflates raw deflate data.
std::string inflate_raw(const std::string& in, std::size_t out_size) {
  std::string out(out_size, '\0');
  z_stream z = {};
  if (inflateInit2(&z, -15) != Z_OK) return {};
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = inflate(&z, Z_FINISH);
  inflateEnd(&z);
  return rc == Z_STREAM_END ? out : std::string();
}

std::string to_latin1(const std::string& utf8) {
  std::string out;
  for (std::size_t i = 0; i < utf8.size();) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    std::uint32_t cp = c;
    std::size_t n = 1;
    if (c >= 0xF0) { cp = c & 0x07; n = 4; }
    else if (c >= 0xE0) { cp = c & 0x0F; n = 3; }
    else if (c >= 0xC0) { cp = c & 0x1F; n = 2; }
    for (std::size_t k = 1; k < n && i + k < utf8.size(); ++k) {
      cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    }
    out.push_back(cp <= 0xFF ? static_cast<char>(cp) : '?');
    i += n;
  }
  return out;
}

}  // namespace

std::string shared_data_folder() {
#ifdef ORBISK_SHARED_DATA
  return ORBISK_SHARED_DATA;
#else
  return "../shared/data";
#endif
}

std::string read_delimited_snapshot(const std::string& zip_path) {
  std::ifstream in(zip_path, std::ios::binary);
  const std::string zip((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::size_t at = 0;
  while (at + 30 <= zip.size() && u32(zip, at) == 0x04034B50) {
    const std::uint32_t method = u16(zip, at + 8);
    const std::uint32_t compressed = u32(zip, at + 18);
    const std::uint32_t size = u32(zip, at + 22);
    const std::uint32_t name_len = u16(zip, at + 26);
    const std::uint32_t extra_len = u16(zip, at + 28);
    const std::string name = zip.substr(at + 30, name_len);
    const std::size_t data = at + 30 + name_len + extra_len;
    if (name == "amateur_delim.txt" && data + compressed <= zip.size()) {
      const std::string raw = zip.substr(data, compressed);
      return method == 0 ? raw : method == 8 ? inflate_raw(raw, size) : std::string();
    }
    at = data + compressed;
  }
  return {};
}

std::vector<CanadianLicence> parse_delimited(const std::string& text) {
  std::vector<CanadianLicence> out;
  std::size_t pos = text.find('\n');  // past the header line
  while (pos != std::string::npos && pos + 1 < text.size()) {
    const std::size_t start = pos + 1;
    pos = text.find('\n', start);
    std::string line = text.substr(start, pos == std::string::npos ? std::string::npos : pos - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    std::vector<std::string> f;
    std::size_t from = 0;
    for (;;) {
      const std::size_t semi = line.find(';', from);
      f.push_back(to_latin1(line.substr(from, semi == std::string::npos ? std::string::npos : semi - from)));
      if (semi == std::string::npos) break;
      from = semi + 1;
    }
    f.resize(18);
    CanadianLicence l;
    l.callsign = f[0];
    l.first_name = f[1];
    l.surname = f[2];
    l.address = f[3];
    l.city = f[4];
    l.province = f[5];
    l.postal = f[6];
    for (int q = 0; q < 5; ++q) l.quals[q] = f[7 + q];
    l.club_name = f[12];
    l.club_name_2 = f[13];
    l.club_address = f[14];
    l.club_city = f[15];
    l.club_province = f[16];
    l.club_postal = f[17];
    out.push_back(l);
  }
  return out;
}

}  // namespace testutil
