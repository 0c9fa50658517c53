// Merging a weekly update file into call.db.
//
// An update file has the layout of call.db (date, index offset, texts, sorted index). Each of
// its entries, compared with call.db's index:
//   key not in call.db                 inserted with its text (a new call)
//   key in call.db, text_ref not zero  replaces the old entry, all three words, and its text
//   key in call.db, text_ref zero      deletes the old entry and its text
// Only the first 16,384 entries of an update index are read.
#pragma once

#include <cstddef>

#include "updater/updater_state.h"

namespace updater {

inline constexpr std::size_t kUpdateIndexBytes = 0x30000;  // 16,384 entries
inline constexpr std::size_t kMaxUpdateEntries = kUpdateIndexBytes / 12;
inline constexpr std::size_t kTextReadSize = 256;          // a record text with its terminator

inline constexpr char kNewDbName[] = "call.db.new";

// Merges the update file named by row `row` into call.db, writing call.db.new (call.db itself is
// never changed). Returns 0 when call.db.new is complete and flushed to disk, -1 after telling
// the user why; on -1 no call.db.new is left behind. Shows its progress in the value and count
// cells and in the row.
int merge_update(WorkerEnv& env, int row);

}  // namespace updater
