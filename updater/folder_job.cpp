#include "updater/folder_job.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "dbfiles/usdb.h"
#include "updater/file_set.h"
#include "updater/floppy.h"

namespace updater {

bool is_data_file_name(std::string_view name) {
  for (const char* fixed : {"call.db", "call.db.new", "callprev.db", "cancall.db", "amateur.zip",
                            "amateur.txt", "orbisk-help.html", "fernwick-help.html",
                            // the FCC import's state, its set record and staged files
                            "callfcc.dat", "callfcc.set", "call.db.next", "callprev.db.next",
                            "callfcc.dat.next"}) {
    if (name == fixed) return true;
  }
  return is_update_file_name(name) || is_saved_database_name(name);
}

std::string folder_busy_box(const std::string& folder) {
  return "Another update is running in " + dbfiles::shown_folder(folder) +
         ".\rWait until it has ended, then try again.";
}

std::string folder_busy_line(const std::string& folder) {
  return "ERROR: another update is running in " + dbfiles::shown_folder(folder) + "\r\n";
}

int lock_folder(const std::string& folder, platform::FolderLock* lock, std::string* error) {
  const int locked = lock->lock(folder);
  if (locked == 0) return 0;
  *error = locked == platform::sharing_violation_error()
               ? "another update is running in " + dbfiles::shown_folder(folder)
               : "cannot lock " + dbfiles::shown_folder(folder) + ", error " +
                     std::to_string(locked);
  return -1;
}

int lock_folder(WorkerEnv& env, const std::string& folder, platform::FolderLock* lock) {
  const int busy = platform::sharing_violation_error();
  int error = lock->lock(folder);
  if (error == busy && env.wait_for_folder) {
    env.link->log_text("Waiting for the other update in " + dbfiles::shown_folder(folder) +
                       " to end\r\n");
    while (error == busy && !env.cancelled()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      error = lock->lock(folder);
    }
  }
  if (error == 0) return 0;
  if (env.cancelled()) return -1;  // the window is closing, or Ctrl+C: nothing to tell
  if (error == busy) {
    env.link->log_text(folder_busy_line(folder));
    env.link->message_box(folder_busy_box(folder), kWindowTitle, Buttons::ok, Icon::error);
  } else {
    char code[16];
    std::snprintf(code, sizeof code, "%d", error);
    const std::string shown = dbfiles::shown_folder(folder);
    env.link->log_text("ERROR " + std::string(code) + " locking " + shown + "\r\n");
    env.link->message_box("Cannot write in " + shown + " (error " + code +
                              ").\rCheck that the folder exists and that you may write in it.",
                          kWindowTitle, Buttons::ok, Icon::error);
  }
  return -1;
}

int begin_folder_job(WorkerEnv& env, platform::FolderLock* lock) {
  if (lock_folder(env, env.folder, lock) != 0) return -1;
  // A set of databases a killed run was putting in place is finished before anything reads
  // call.db, and before the sweep could take what it names.
  std::string error;
  if (finish_replacing(env.folder, &error) != 0) {
    env.link->log_text("ERROR " + escape_controls(error) + "\r\n");
    env.link->message_box(escape_controls(error, true) +
                              ".\rCheck that the folder may be written, then try again.",
                          kWindowTitle, Buttons::ok, Icon::error);
    return -1;
  }
  platform::remove_stale_temporaries(env.folder, is_data_file_name);
  return 0;
}

}  // namespace updater
