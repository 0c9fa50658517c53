// The publisher's side of the weekly updates: the update file that turns one call.db into
// another.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace updater {

// Writes to `out_path` the update file that turns the database at `old_path` into the one at
// `new_path`: an entry with its text for every new or changed call (all three words from NEW),
// an entry with text_ref zero for every deleted call; dated with NEW's date. Merging it into OLD
// gives NEW's entries and texts. Fails when more than 16,384 calls changed (an update file
// carries no more) or when either database is unreadable. Returns 0, or -1 with *error set.
// A `date` of eight characters (YYYYMMDD) dates the file instead of NEW's date.
int make_update(const std::string& old_path, const std::string& new_path,
                const std::string& out_path, std::string* error, std::size_t* entries = nullptr,
                std::string_view date = {});

}  // namespace updater
