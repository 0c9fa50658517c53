// The Canadian list in the fixed-column form the updater converts, made from the authority's
// semicolon-separated snapshot (read from the shared data folder at test time).
#pragma once

#include <string>
#include <vector>

namespace testutil {

// One licence of the semicolon-separated list, text in Latin-1.
struct CanadianLicence {
  std::string callsign, first_name, surname, address, city, province, postal;
  std::string quals[5];
  std::string club_name, club_name_2, club_address, club_city, club_province, club_postal;
};

// The member amateur_delim.txt of the snapshot archive, or "" when it cannot be read.
std::string read_delimited_snapshot(const std::string& zip_path);

// Parses the semicolon-separated list (header line first, CR LF lines, UTF-8); characters
// outside Latin-1 become '?'.
std::vector<CanadianLicence> parse_delimited(const std::string& text);

// A licence as one fixed-column line: padded to 210 characters, longer for clubs; fields cut to
// their columns; a six-character postal code gets its space ("B4E2X8" -> "B4E 2X8").
std::string fixed_column_line(const CanadianLicence& licence);

// The whole list as published: the date line with its title, a line of one space, the count
// line, another line of one space, then the licences; CR LF line ends.
std::string fixed_column_list(const std::vector<CanadianLicence>& licences, const std::string& date);

// Where the shared real data lives.
std::string shared_data_folder();

}  // namespace testutil
