#include "tests/support/canada_publication.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "tests/support/canada_list.h"
#include "tests/test_util.h"

namespace testutil {

namespace {

// True when the first `width` characters of `value` are all spaces (or there are none).
bool blank_column(const std::string& value, std::size_t width) {
  const std::string cut = value.substr(0, width);
  return cut.find_first_not_of(' ') == std::string::npos;
}

std::string line_of(const std::string& text, std::size_t number) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < number; ++i) start = text.find("\r\n", start) + 2;
  return text.substr(start, text.find("\r\n", start) - start);
}

bool has_zip_program() {
  for (const char* path : {"/usr/bin/zip", "/usr/local/bin/zip"}) {
    if (::access(path, X_OK) == 0) return true;
  }
  return false;
}

}  // namespace

void make_site(const std::string& root, const std::string* archive) {
  std::filesystem::create_directories(root + "/datafiles");
  ::chmod(root.c_str(), 0755);
  ::chmod((root + "/datafiles").c_str(), 0755);
  if (archive != nullptr) {
    const std::string path = root + "/datafiles/amateur.zip";
    write_bytes(path, *archive);
    ::chmod(path.c_str(), 0644);
  }
}

CanadaPublication publish_canada_list(const std::string& root) {
  CanadaPublication p;
  p.root = root;
  if (!has_zip_program()) {
    p.skip = "Info-ZIP zip is not installed (scripts/setup installs it)";
    return p;
  }
  const std::string delimited =
      read_delimited_snapshot(shared_data_folder() + "/canada/amateur_delim_2025-03-30.zip");
  if (delimited.empty()) {
    p.skip = "the shared Canadian snapshot is not there";
    return p;
  }
  const std::vector<CanadianLicence> licences = parse_delimited(delimited);
  const std::string list = fixed_column_list(licences, kCanadaListDate);

  p.licences = licences.size();
  p.lines = static_cast<std::size_t>(std::count(list.begin(), list.end(), '\n'));
  for (const CanadianLicence& l : licences) {
    if (l.club_name.empty() && blank_column(l.address, 70) && blank_column(l.city, 35) &&
        blank_column(l.province, 2) && blank_column(l.postal, 10)) {
      ++p.no_address;
    }
  }
  p.title_line = line_of(list, 0);
  p.count_line = line_of(list, 2);

  make_site(root);
  const std::string work = root + "/../list";
  std::filesystem::create_directories(work);
  p.list_path = work + "/amateur.txt";
  p.zip_path = root + "/datafiles/amateur.zip";
  write_bytes(p.list_path, list);
  std::filesystem::remove(p.zip_path);
  if (shell("zip -q -j " + testutil::quoted(p.zip_path) + " " + testutil::quoted(p.list_path)) != 0) {
    p.error = "zip could not make " + p.zip_path;
    return p;
  }
  ::chmod(p.zip_path.c_str(), 0644);
  p.zip_size = std::filesystem::file_size(p.zip_path);
  const std::vector<ZipEntry> entries = zip_entries(p.zip_path);
  if (entries.size() != 1 || entries[0].name != "amateur.txt" || entries[0].method != kDeflated ||
      static_cast<std::size_t>(entries[0].regular) != list.size()) {
    p.error = "zip did not deflate amateur.txt alone into " + p.zip_path;
    return p;
  }
  p.member = entries[0];
  return p;
}

std::vector<std::string> expected_run_tails(const CanadaPublication& p, std::uint64_t db_size) {
  char listing[128];
  std::snprintf(listing, sizeof listing, "%02x %8ld %9ld  %s\r\n", p.member.method,
                p.member.compressed, p.member.regular, p.member.name.c_str());
  const std::string head =
      "saved amateur.zip " + std::to_string(p.zip_size) + " bytes\n" +
      "\r\nFiles in Canadian amateur.zip\r\n Compressed   Regular  Filename\r\n" + listing +
      kCanadaListDate + " -- canadian db date\r\n" + p.title_line + "\r\n" + p.count_line +
      "\r\n" + std::to_string(p.lines) + " lines, " + std::to_string(p.licences) +
      " calls in database, " + std::to_string(p.no_address) + " calls have no address\r\n";
  const std::string end =
      "cancall.db size " + std::to_string(db_size) + "\r\ncancall.db written\r\n";
  std::vector<std::string> tails = {head + end};
  for (int pad = 1; pad <= 3; ++pad) {
    tails.push_back(head + "aligning +" + std::to_string(pad) + "\r\n" + end);
  }
  return tails;
}

std::string as_printed(const std::string& log) {
  std::string out;
  for (std::size_t i = 0; i < log.size(); ++i) {
    if (log[i] == '\r' && i + 1 < log.size() && log[i + 1] == '\n') continue;
    out.push_back(log[i]);
  }
  return out;
}

}  // namespace testutil
