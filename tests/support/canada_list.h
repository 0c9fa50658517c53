// The Canadian list in the fixed-column form the updater converts, made from the authority's
// semicolon-separated snapshot (read from the shared data folder at test time).
#pragma once

#include <string>
#include <vector>

#include "tools/demo_data.h"

namespace testutil {

// One licence of the semicolon-separated list, text in Latin-1: the demo's licence, whose
// fixed-column form is the one the updater converts.
using CanadianLicence = calldb::demo::CanadianLicence;

// The member amateur_delim.txt of the snapshot archive, or "" when it cannot be read.
std::string read_delimited_snapshot(const std::string& zip_path);

// Parses the semicolon-separated list (header line first, CR LF lines, UTF-8); characters
// outside Latin-1 become '?'.
std::vector<CanadianLicence> parse_delimited(const std::string& text);

// A licence as one fixed-column line, and the whole list as published (tools/demo_data.h).
using calldb::demo::fixed_column_line;
using calldb::demo::fixed_column_list;

// Where the shared real data lives.
std::string shared_data_folder();

}  // namespace testutil
