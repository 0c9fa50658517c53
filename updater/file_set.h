// Putting call.db, callprev.db and the FCC import's callfcc.dat in place together, so that after
// a kill at any instant the next writer of the folder finds the old files or the new ones.
//
// Each new file is written whole under NAME.next (through platform::NewFile: fsynced, renamed,
// folder synced); then the record callfcc.set, written the same way, names the files of the
// set; then each NAME.next is renamed over NAME, callfcc.dat first and call.db last; then the
// record goes. A run killed before the record leaves the old set (and .next files the next
// writer removes); once the record is there, every writer of the folder finishes the renames
// before anything else (finish_replacing, called by begin_folder_job and the FCC import).
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace updater {

inline constexpr char kFccStateFile[] = "callfcc.dat";
inline constexpr char kFileSetName[] = "callfcc.set";
inline constexpr char kStagedSuffix[] = ".next";

// The files the FCC import replaces together, as the record names them.
bool is_fcc_set_name(std::string_view name);

// Renames folder/NAME.next over folder/NAME for each name in `names` (a subset of call.db,
// callprev.db, callfcc.dat) after writing the record that names them, then removes the record.
// `before_each` (tests) is called before each rename. Returns 0, or -1 with *error set.
int replace_together(const std::string& folder, const std::vector<std::string>& names,
                     const std::function<void()>& before_each, std::string* error);

// What a killed replace_together left in `folder`: a whole record's renames are finished, and
// .next files without one are removed. Call it holding the folder's lock, before anything else
// reads or writes call.db, callprev.db or callfcc.dat, and before the sweep of temporaries.
// Returns 0, or -1 with *error set when the renames cannot be finished (nothing is removed then).
int finish_replacing(const std::string& folder, std::string* error);

}  // namespace updater
