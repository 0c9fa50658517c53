// The Canadian licence list as the authority's data server offers it, for the end-to-end runs:
// amateur.txt made from the real snapshot in the shared data folder, deflated into amateur.zip
// by Info-ZIP zip.
#pragma once

#include <string>

namespace testutil {

inline constexpr char kCanadaListDate[] = "2025-03-30";  // on the list's first line

struct CanadaPublication {
  std::string skip;   // why it cannot be made: a missing snapshot or tool ("" when ready)
  std::string error;  // anything else gone wrong
  std::string root;   // the server's document root, with datafiles/amateur.zip
  std::string list_path;  // the amateur.txt that went into it, beside `root`
};

// Publishes under `root`, whose parent must be readable by others (nginx may drop root's rights).
CanadaPublication publish_canada_list(const std::string& root);

// A document root: root/datafiles, readable by others, holding `archive` as amateur.zip.
void make_site(const std::string& root, const std::string* archive = nullptr);

}  // namespace testutil
