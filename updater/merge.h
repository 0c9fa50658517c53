// Merging a weekly update file into call.db.
//
// An update file has the layout of call.db (date, index offset, texts, sorted index). Each of
// its entries, compared with call.db's index:
//   key not in call.db                 inserted with its text (a new call)
//   key in call.db, text_ref not zero  replaces the old entry, all three words, and its text
//   key in call.db, text_ref zero      deletes the old entry and its text
// An update file is checked whole before anything of it is merged (check_update_file); one that
// fails a check is deleted, so that the next run fetches it again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "updater/updater_state.h"

namespace updater {

inline constexpr std::size_t kMaxUpdateEntries = 16384;
inline constexpr std::size_t kUpdateIndexBytes = kMaxUpdateEntries * 12;
inline constexpr std::size_t kTextReadSize = 256;  // a record text with its terminator

inline constexpr char kNewDbName[] = "call.db.new";

// An update file that passed the check.
struct UpdateFile {
  char date[8] = {};
  std::uint64_t size = 0;
  std::uint32_t index_offset = 0;
  std::vector<unsigned char> index;  // the whole index, 12 bytes an entry
};

enum class UpdateCheck {
  sound,       // *update is filled
  corrupt,     // *reason says which check failed
  unreadable,  // a read failed; *error is the system's code
};

// Checks the update file `file` whole, reading its header, its index and every text its entries
// point at:
//   - at least the 12-byte header;
//   - its date a valid date, equal to `due_date` (YYYYMMDD, the end of the week it stands for);
//   - its index offset at least 12 and at most the file's size;
//   - the index a whole number of 12-byte entries, at most 16,384 of them;
//   - the keys strictly ascending (unsigned);
//   - every entry whose text_ref is not zero points into the text area [12, index offset) at a
//     text whose terminating zero lies there too, within 256 bytes.
UpdateCheck check_update_file(const platform::File& file, const char* due_date,
                              UpdateFile* update, std::string* reason, int* error);

// Merges the update file named by row `row` into call.db, writing call.db.new (call.db itself is
// never changed) through a temporary file of its own, put in place whole. `due_date` (YYYYMMDD)
// is the date the update file must carry; nullptr stands for seven days after call.db's date.
// Returns 0 when call.db.new is complete and on disk, -1 after telling the user why; on -1 no
// call.db.new of this merge is left behind, and an update file that failed the check is
// deleted. Shows its progress in the value and count cells and in the row. Holds the data
// folder's writer lock while it works (see folder_job.h). `merged_from`, when given, receives
// which file call.db was when the merge read it, so that the run can tell whether it is still
// the same file when it puts call.db.new in its place.
int merge_update(WorkerEnv& env, int row, const char* due_date = nullptr,
                 platform::FileId* merged_from = nullptr);

}  // namespace updater
