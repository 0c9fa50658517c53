#include "tests/support/canada_publication.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "tests/support/zip_tools.h"
#include "tests/test_util.h"
#include "tools/demo_data.h"

namespace testutil {
namespace {

using calldb::demo::CanadianLicence;

// The licences of the authority's semicolon-separated snapshot, with their texts in Latin-1
// (other characters as '?'); none when the snapshot cannot be read.
std::vector<CanadianLicence> read_canadian_snapshot() {
  const TempDir dir;
  const std::string script =
      "import sys, zipfile\n"
      "text = zipfile.ZipFile(sys.argv[1]).read('amateur_delim.txt')\n"
      "text = text.decode('utf-8', 'replace')\n"
      "open(sys.argv[2], 'wb').write(text.encode('latin-1', 'replace'))\n";
  const std::string zip = ORBISK_SHARED_DATA "/canada/amateur_delim_2025-03-30.zip";
  if (python(script, {zip, dir.file("list")}) != 0) return {};
  std::istringstream in(read_bytes(dir.file("list")));
  std::vector<CanadianLicence> licences;
  std::string line;
  std::getline(in, line);  // the header
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    CanadianLicence l;
    std::istringstream values(line + ";");
    for (std::string* field : {&l.callsign, &l.first_name, &l.surname, &l.address, &l.city,
                               &l.province, &l.postal, &l.quals[0], &l.quals[1], &l.quals[2],
                               &l.quals[3], &l.quals[4], &l.club_name, &l.club_name_2,
                               &l.club_address, &l.club_city, &l.club_province, &l.club_postal}) {
      std::getline(values, *field, ';');
    }
    if (!line.empty()) licences.push_back(l);
  }
  return licences;
}

}  // namespace

void make_site(const std::string& root, const std::string* archive) {
  std::filesystem::create_directories(root + "/datafiles");
  ::chmod(root.c_str(), 0755);
  ::chmod((root + "/datafiles").c_str(), 0755);
  if (archive != nullptr) write_bytes(root + "/datafiles/amateur.zip", *archive);
}

CanadaPublication publish_canada_list(const std::string& root) {
  CanadaPublication p{"", "", root, root + "/../amateur.txt"};
  const std::vector<CanadianLicence> licences = read_canadian_snapshot();
  if (::access("/usr/bin/zip", X_OK) != 0) {
    p.skip = "Info-ZIP zip is not installed (scripts/setup installs it)";
  } else if (licences.empty()) {
    p.skip = "the shared Canadian snapshot is not there";
  } else {
    make_site(root);
    write_bytes(p.list_path, calldb::demo::fixed_column_list(licences, kCanadaListDate));
    const std::string zip = root + "/datafiles/amateur.zip";
    if (shell("zip -q -j " + testutil::quoted(zip) + " " + testutil::quoted(p.list_path)) != 0) {
      p.error = "zip could not make " + zip;
    }
  }
  return p;
}

}  // namespace testutil
