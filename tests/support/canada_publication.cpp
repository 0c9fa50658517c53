#include "tests/support/canada_publication.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/canada_list.h"
#include "tests/support/zip_tools.h"
#include "tests/test_util.h"

namespace testutil {

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
    write_bytes(p.list_path, fixed_column_list(licences, kCanadaListDate));
    const std::string zip = root + "/datafiles/amateur.zip";
    if (shell("zip -q -j " + testutil::quoted(zip) + " " + testutil::quoted(p.list_path)) != 0) {
      p.error = "zip could not make " + zip;
    }
  }
  return p;
}

}  // namespace testutil
