// One writer per data folder. Every job that writes a data folder (the US update run, the
// Canadian run, both floppy copies, the clean-up, and calldb's merge, unzip, convert-canada,
// import-uls and fetch-fcc) holds the folder's writer lock (platform::FolderLock) from its start
// to its end, and only while it holds it clears what killed jobs left there. The jobs of one
// program share the lock (the window's US update and Canadian run go on side by side, as its
// buttons allow); a job of another program fails at once, or waits when asked to.
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.h"
#include "updater/updater_state.h"

namespace updater {

// The names our writers give the data folder's files: call.db, call.db.new, callprev.db,
// cancall.db, amateur.zip, amateur.txt, the update files ("0105to0112.db"), the saved
// databases ("call0105.db"), the two help pages, and the FCC import's callfcc.dat, callfcc.set
// and staged NAME.next files. Sweeps remove temporaries of these only.
bool is_data_file_name(std::string_view name);

// The box and the log line of a job that finds another program's job at work in `folder`.
std::string folder_busy_box(const std::string& folder);
std::string folder_busy_line(const std::string& folder);

// Takes `folder`'s writer lock without waiting, for an engine that reports in words rather than
// through a worker's link (the FCC import and fetch-fcc). Returns 0, or -1 with *error set:
// "another update is running in FOLDER", or the system's error.
int lock_folder(const std::string& folder, platform::FolderLock* lock, std::string* error);

// Takes `folder`'s writer lock for the job of `env`. While another program holds it: with
// env.wait_for_folder, says once in the log that it waits and tries again every tenth of a
// second until it gets it or env.cancelled(); otherwise fails at once with folder_busy_box()
// and folder_busy_line(). Any other failure is told with the system's error. Returns 0, or -1
// after telling.
int lock_folder(WorkerEnv& env, const std::string& folder, platform::FolderLock* lock);

// lock_folder() of the data folder, then what a killed job left: a set of databases it was
// putting in place is finished (finish_replacing), then the sweep takes the temporaries that
// ended jobs left of the data folder's names. Returns 0, or -1 after telling.
int begin_folder_job(WorkerEnv& env, platform::FolderLock* lock);

}  // namespace updater
