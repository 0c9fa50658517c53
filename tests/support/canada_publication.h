// The Canadian licence list as the authority's data server offers it, for the end-to-end runs of
// the Canadian update: amateur.txt made from the real snapshot in the shared data folder and
// deflated into amateur.zip by Info-ZIP zip.
#pragma once

#include <cstdint>
#include <string>

namespace testutil {

// The snapshot's date, which the list carries on its first line.
inline constexpr char kCanadaListDate[] = "2025-03-30";

struct CanadaPublication {
  // Why it could not be made: a missing snapshot or tool (`skip`: the test is skipped) or
  // anything else (`error`: the test fails). Both "" when it is ready.
  std::string skip;
  std::string error;
  std::string root;       // the server's document root, with datafiles/amateur.zip
  std::string list_path;  // the amateur.txt that went into it
  std::uint64_t zip_size = 0;
};

// Makes the list and its archive under `root` (its parent must be readable by others, as nginx
// may drop root's rights), and amateur.txt beside `root`.
CanadaPublication publish_canada_list(const std::string& root);

// A document root for a server: root/datafiles readable by others, holding `archive` as
// amateur.zip when given.
void make_site(const std::string& root, const std::string* archive = nullptr);

}  // namespace testutil
