// The floppy-disk workers and the clean-up worker. Drive A: is the folder env.floppy_folder;
// messages name it "A:" as the user knows it, followed by the real folder in brackets
// ("A: (/media/floppy)", "A:\NAME (/media/floppy/NAME)"). Each worker runs to the end, asking
// through env.link, and its last act is its finished message; it returns 0.
#pragma once

#include <string_view>

#include "updater/updater_state.h"

namespace updater {

// Both floppy workers first remove the temporary files that ended processes left on the
// floppy and in the data folder. Every copy is written under a temporary name of its own and
// takes its final name only once it is whole, so a failed or cancelled copy (a full floppy)
// leaves the final name as it was. A floppy folder that is not there is one box ("A: (DIR) not
// found", caption "ERROR copying file") and the log line "Nothing copied: A: (DIR) not found";
// nothing is copied then. Both end with "Copying complete\r\n" when at least one file was
// copied, else with "Nothing copied\r\n".

// Copies the files of the first rows_in_use rows, in row order, from the data folder to the
// floppy, replacing files of the same names there (a symlink planted there is replaced, never
// written through), logging "Copying NAME to A: (DIR)\r\n" for each. A copy that fails asks
// Retry/Cancel; Cancel gives that file up. Ends with UM_FLOPPY_DONE.
int copy_to_floppy(WorkerEnv& env);

// Copies each regular "*.db" file of exactly 13 characters on the floppy into the data folder,
// in name order (symlinks there are passed over), unless the data folder already has anything
// of that name, or gets it from another writer while the copy runs ("NAME is already on hard
// disk"): nothing there is ever replaced. Starts with "Reading floppy disk A: (DIR)...\r\n".
// Failures ask as copy_to_floppy does. Ends with UM_FLOPPY_DONE.
int copy_from_floppy(WorkerEnv& env);

// Deletes the data folder's update files when cleanup_mode has kCleanUpdateFiles, and its
// saved databases when it has kCleanSavedDatabases, reading the mode afresh for each name.
// Logs "NAME deleted\r\n", or "NAME NOT deleted, error N\r\n" when the deletion fails. Ends
// with UM_CLEANUP_DONE.
int cleanup_old_files(WorkerEnv& env);

// Every worker above checks env.cancelled() before each file; once set, it copies or deletes
// nothing more and sends its finished message at once, without "Copying complete".

// "0105to0112.db": four digits, "to", four digits, ".db"; case matters.
bool is_update_file_name(std::string_view name);
// "call0105.db": "call", four digits, ".db"; case matters.
bool is_saved_database_name(std::string_view name);

}  // namespace updater
