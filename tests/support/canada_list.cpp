#include "tests/support/canada_list.h"

#include <sstream>

#include "tests/support/zip_tools.h"
#include "tests/test_util.h"

namespace testutil {

std::vector<CanadianLicence> read_canadian_snapshot() {
  const TempDir dir;
  if (python("import sys, zipfile\n"
             "text = zipfile.ZipFile(sys.argv[1]).read('amateur_delim.txt').decode('utf-8', 'replace')\n"
             "open(sys.argv[2], 'wb').write(text.encode('latin-1', 'replace'))\n",
             {ORBISK_SHARED_DATA "/canada/amateur_delim_2025-03-30.zip", dir.file("list")}) != 0) {
    return {};
  }
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

}  // namespace testutil
