// The Canadian list in the fixed-column form the updater converts (tools/demo_data.h), and the
// licences of the authority's real semicolon-separated snapshot in the shared data folder.
#pragma once

#include <vector>

#include "tools/demo_data.h"

namespace testutil {

using CanadianLicence = calldb::demo::CanadianLicence;
using calldb::demo::fixed_column_line;
using calldb::demo::fixed_column_list;

// The snapshot's licences with their texts in Latin-1 (other characters as '?'); none when the
// snapshot cannot be read.
std::vector<CanadianLicence> read_canadian_snapshot();

}  // namespace testutil
