#include "updater/floppy.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "platform/platform.h"
#include "updater/folder_job.h"

namespace updater {

namespace {

constexpr char kCopyErrorCaption[] = "ERROR copying file";
constexpr char kCopyingComplete[] = "Copying complete\r\n";
constexpr char kNothingCopied[] = "Nothing copied\r\n";
constexpr std::size_t kFloppyNameLength = 13;

std::string floppy_path(const WorkerEnv& env, const std::string& name) {
  return platform::join_path(env.floppy_folder, name);
}

// "A: (/media/floppy)": the drive as the user knows it, and the folder that stands for it.
std::string drive_a(const WorkerEnv& env) { return "A: (" + env.floppy_folder + ")"; }

// The floppy's folder must be there before anything is copied: one box says so, instead of
// one failed copy per file. Returns false (after the box and the log line) when it is not.
bool floppy_ready(WorkerEnv& env) {
  std::error_code error;
  if (std::filesystem::is_directory(env.floppy_folder, error)) return true;
  env.link->message_box(drive_a(env) + " not found\rIs the floppy disk in the drive?",
                        kCopyErrorCaption, Buttons::ok, Icon::error);
  env.link->log_text("Nothing copied: " + drive_a(env) + " not found\r\n");
  return false;
}

// Copies until it succeeds or the user gives the file up. A failure is shown, never logged.
// Returns 0 once the copy is whole, EEXIST when another writer put the file in place first
// (with Replace::no), and -1 when the user gave it up.
int copy_with_retry(WorkerEnv& env, const std::string& from, const std::string& to,
                    const std::string& name_on_floppy, platform::NewFile::Replace replace) {
  for (;;) {
    const int error = platform::copy_file(from, to, replace);
    if (error == 0) return 0;
    if (error == EEXIST && replace == platform::NewFile::Replace::no) return EEXIST;
    const std::string text =
        "A:\\" + name_on_floppy + " (" + floppy_path(env, name_on_floppy) + ")";
    const Answer answer =
        env.link->message_box(text, kCopyErrorCaption, Buttons::retry_cancel, Icon::none);
    if (answer != Answer::retry || env.cancelled()) return -1;
  }
}

// The data folder's lock, then the floppy's, each followed by its sweep of what crashed or
// killed copies left. A floppy that cannot hold a lock file (write-protected) is read without
// its lock or sweep; one that another program is writing is not touched. Returns 0, or -1 after
// telling.
int lock_folders(WorkerEnv& env, platform::FolderLock* data, platform::FolderLock* floppy) {
  if (begin_folder_job(env, data) != 0) return -1;
  int error = floppy->lock(env.floppy_folder);
  if (error == platform::sharing_violation_error()) {
    // Told, or waited for as the data folder would be.
    error = lock_folder(env, env.floppy_folder, floppy);
    if (error != 0) {
      data->unlock();
      return -1;
    }
  }
  if (error == 0) platform::remove_stale_temporaries(env.floppy_folder, is_update_file_name);
  return 0;
}

// The floppy is a medium from elsewhere: only its regular files are taken, never what a
// symlink there points to.
bool is_regular_file(const std::string& path) {
  std::error_code error;
  return std::filesystem::symlink_status(path, error).type() ==
         std::filesystem::file_type::regular;
}

bool is_digits(std::string_view text) {
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

bool is_update_file_name(std::string_view name) {
  return name.size() == 13 && is_digits(name.substr(0, 4)) && name.substr(4, 2) == "to" &&
         is_digits(name.substr(6, 4)) && name.substr(10) == ".db";
}

bool is_saved_database_name(std::string_view name) {
  return name.size() == 11 && name.substr(0, 4) == "call" && is_digits(name.substr(4, 4)) &&
         name.substr(8) == ".db";
}

int copy_to_floppy(WorkerEnv& env) {
  if (!floppy_ready(env)) {
    env.link->finished(UM_FLOPPY_DONE, 0, 0);
    return 0;
  }
  platform::FolderLock data_lock, floppy_lock;
  if (lock_folders(env, &data_lock, &floppy_lock) != 0) {
    env.link->finished(UM_FLOPPY_DONE, 0, 0);
    return 0;
  }
  bool cancelled = false;
  int copied = 0;
  for (int row = 0; row < env.state->rows_in_use && row < kRowCount; ++row) {
    if (env.cancelled()) {
      cancelled = true;
      break;
    }
    const UpdateRow& entry = env.state->update_rows[row];
    const std::string name(entry.name, ::strnlen(entry.name, sizeof entry.name));
    env.link->log_text("Copying " + name + " to " + drive_a(env) + "\r\n");
    // Replaces the floppy's file (or a symlink planted there) only once the copy is whole.
    if (copy_with_retry(env, env.path(name), floppy_path(env, name), name,
                        platform::NewFile::Replace::yes) == 0) {
      ++copied;
    }
  }
  if (!cancelled) env.link->log_text(copied > 0 ? kCopyingComplete : kNothingCopied);
  floppy_lock.unlock();  // before the window hears that the copy is over
  data_lock.unlock();
  env.link->finished(UM_FLOPPY_DONE, 0, 0);
  return 0;
}

int copy_from_floppy(WorkerEnv& env) {
  env.link->log_text("Reading floppy disk " + drive_a(env) + "...\r\n");
  if (!floppy_ready(env)) {
    env.link->finished(UM_FLOPPY_DONE, 0, 0);
    return 0;
  }
  platform::FolderLock data_lock, floppy_lock;
  if (lock_folders(env, &data_lock, &floppy_lock) != 0) {
    env.link->finished(UM_FLOPPY_DONE, 0, 0);
    return 0;
  }
  std::vector<std::string> names;
  const int list_error = platform::list_files(env.floppy_folder, "*.db", &names);
  if (list_error != 0) {
    names.clear();
    env.link->message_box(drive_a(env) + " cannot be read, error " + std::to_string(list_error),
                          kCopyErrorCaption, Buttons::ok, Icon::error);
  }
  bool cancelled = false;
  int copied = 0;
  for (const std::string& name : names) {
    if (env.cancelled()) {
      cancelled = true;
      break;
    }
    if (name.size() != kFloppyNameLength || !is_regular_file(floppy_path(env, name))) continue;
    const std::string target = env.path(name);
    const std::string already = name + " is already on hard disk\r\n";
    if (platform::file_exists(target)) {
      env.link->log_text(already);
      continue;
    }
    env.link->log_text("Copying " + name + " from floppy\r\n");
    // The update file's name appears only once the copy is whole, and never over a file that
    // another writer (a download of the same week) put there meanwhile.
    const int result =
        copy_with_retry(env, floppy_path(env, name), target, name, platform::NewFile::Replace::no);
    if (result == 0) ++copied;
    if (result == EEXIST) env.link->log_text(already);
  }
  if (!cancelled) env.link->log_text(copied > 0 ? kCopyingComplete : kNothingCopied);
  floppy_lock.unlock();  // before the window hears that the copy is over
  data_lock.unlock();
  env.link->finished(UM_FLOPPY_DONE, 0, 0);
  return 0;
}

int cleanup_old_files(WorkerEnv& env) {
  std::vector<std::string> names;
  platform::FolderLock lock;
  if (begin_folder_job(env, &lock) != 0 || platform::list_files(env.folder, "*", &names) != 0) {
    names.clear();
  }
  for (const std::string& name : names) {
    if (env.cancelled()) break;
    const int mode = env.state->cleanup_mode;
    const bool old = ((mode & kCleanUpdateFiles) != 0 && is_update_file_name(name)) ||
                     ((mode & kCleanSavedDatabases) != 0 && is_saved_database_name(name));
    if (!old) continue;
    const int error = platform::delete_file(env.path(name));
    if (error == 0) {
      env.link->log_text(name + " deleted\r\n");
    } else {
      char line[96];
      std::snprintf(line, sizeof line, "%s NOT deleted, error %d\r\n", name.c_str(), error);
      env.link->log_text(line);
    }
  }
  lock.unlock();  // before the window hears that the clean-up is over
  env.link->finished(UM_CLEANUP_DONE, 0, 0);
  return 0;
}

}  // namespace updater
