// The Canadian licence list as the authority's data server offers it, for the end-to-end tests
// of the Canadian update: amateur.txt made from the real published snapshot in the shared data
// folder, deflated into amateur.zip by Info-ZIP zip, and what a run over it must log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/zip_tools.h"

namespace testutil {

// The snapshot's date, which the list carries on its first line.
inline constexpr char kCanadaListDate[] = "2025-03-30";

struct CanadaPublication {
  // Why the publication could not be made: a missing snapshot or tool (`skip`, the test is
  // skipped) or anything else (`error`, the test fails). Both "" when it is ready.
  std::string skip;
  std::string error;

  std::string root;      // the server's document root; the archive is root/datafiles/amateur.zip
  std::string zip_path;  // root/datafiles/amateur.zip
  std::string list_path;  // the amateur.txt that went into it
  std::uint64_t zip_size = 0;
  ZipEntry member;  // amateur.txt as zipfile reads it from the archive's central directory

  std::size_t licences = 0;
  std::size_t lines = 0;       // lines of amateur.txt
  std::size_t no_address = 0;  // individuals whose address columns (79-198) are all blank
  std::string title_line;      // the first line, without its line end
  std::string count_line;      // "There are N call signs ...", without its line end
};

// Makes the list and its archive under `root` (created as needed; its parent must be readable
// by others, as nginx may drop root's rights), and amateur.txt beside it in root/../list.
CanadaPublication publish_canada_list(const std::string& root);

// A document root for a server: root/datafiles, readable by others (the folders above `root`
// are the caller's to open). When `archive` is given, it becomes root/datafiles/amateur.zip.
void make_site(const std::string& root, const std::string* archive = nullptr);

// What a run that rebuilds cancall.db from `p` logs from the end of the download on ("saved
// amateur.zip ..." to "cancall.db written"), with its "\r\n" line ends: one text for each
// alignment the conversion may add after the texts (none, +1, +2, +3). `db_size` is the size of
// the cancall.db it wrote. zip's deflate data lacks the check value that would make the
// inflate report the stream's end, so no "wrote" line comes between listing and conversion.
std::vector<std::string> expected_run_tails(const CanadaPublication& p, std::uint64_t db_size);

// A log text as the calldb commands print it: "\r\n" becomes "\n".
std::string as_printed(const std::string& log);

}  // namespace testutil
