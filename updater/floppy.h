// The floppy-disk workers and the clean-up worker. Drive A: is the folder env.floppy_folder;
// messages still name it "A:\", as the user knows it. Each worker runs to the end, asking
// through env.link, and its last act is its finished message; it returns 0.
#pragma once

#include <string_view>

#include "updater/updater_state.h"

namespace updater {

// Copies the files of the first rows_in_use rows, in row order, from the data folder to the
// floppy, replacing files of the same names there. A copy that fails asks Retry/Cancel;
// Cancel gives that file up. Ends with "Copying complete\r\n" and UM_FLOPPY_DONE.
int copy_to_floppy(WorkerEnv& env);

// Copies each "*.db" file of exactly 13 characters on the floppy into the data folder, in
// name order, unless the data folder already has a file or folder of that name (never
// replaced). Failures ask as copy_to_floppy does. Ends with "Copying complete\r\n" and
// UM_FLOPPY_DONE.
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
