#include "updater/file_set.h"

#include <algorithm>

#include "platform/platform.h"

namespace updater {

bool is_fcc_set_name(std::string_view name) {
  return name == "call.db" || name == "callprev.db" || name == kFccStateFile;
}

namespace {

// The set's order: the state first, call.db last.
constexpr const char* kSetOrder[] = {kFccStateFile, "callprev.db", "call.db"};

std::string staged(const std::string& folder, const std::string& name) {
  return platform::join_path(folder, name + kStagedSuffix);
}

int rename_staged(const std::string& folder, const std::vector<std::string>& names,
                  const std::function<void()>& before_each, std::string* error) {
  for (const char* name : kSetOrder) {
    if (std::find(names.begin(), names.end(), name) == names.end()) continue;
    const std::string from = staged(folder, name);
    if (!platform::file_exists(from)) continue;  // put in place before a kill
    if (before_each) before_each();
    const int rc = platform::replace_file(from, platform::join_path(folder, name));
    if (rc != 0) {
      *error = platform::join_path(folder, name) + ": cannot be replaced (error " +
               std::to_string(rc) + ")";
      return -1;
    }
  }
  const int synced = platform::sync_folder(folder.empty() ? "." : folder);
  if (synced != 0) {
    *error = folder + ": cannot be synced (error " + std::to_string(synced) + ")";
    return -1;
  }
  return 0;
}

}  // namespace

int replace_together(const std::string& folder, const std::vector<std::string>& names,
                     const std::function<void()>& before_each, std::string* error) {
  const std::string record_path = platform::join_path(folder, kFileSetName);
  platform::NewFile record;
  std::string text;
  for (const std::string& name : names) text += name + "\n";
  text += "end\n";
  int rc = record.create(record_path);
  if (rc == 0) rc = record.file().write(text.data(), text.size()).error;
  if (rc == 0) rc = record.commit();
  if (rc != 0) {
    *error = record_path + ": cannot be written (error " + std::to_string(rc) + ")";
    return -1;
  }
  if (rename_staged(folder, names, before_each, error) != 0) return -1;
  platform::delete_file(record_path);
  platform::sync_folder(folder.empty() ? "." : folder);
  return 0;
}

int finish_replacing(const std::string& folder, std::string* error) {
  const std::string record_path = platform::join_path(folder, kFileSetName);
  platform::File record;
  if (record.open(record_path, platform::Access::read, platform::Share::read,
                  platform::Disposition::open_existing) == 0) {
    char text[256];
    const platform::IoResult got = record.read(text, sizeof text);
    record.close();
    // Whole: known names, one a line, then "end".
    std::vector<std::string> names;
    bool whole = false;
    std::string_view rest(text, got.ok() ? got.count : 0);
    while (!whole && !rest.empty()) {
      const std::size_t end = rest.find('\n');
      if (end == std::string_view::npos) break;
      const std::string_view line = rest.substr(0, end);
      rest.remove_prefix(end + 1);
      if (line == "end") {
        whole = rest.empty();
      } else if (is_fcc_set_name(line)) {
        names.emplace_back(line);
      } else {
        break;
      }
    }
    // A set that cannot be finished stays as it is, record and all, for a later run.
    if (whole && rename_staged(folder, names, nullptr, error) != 0) return -1;
    platform::delete_file(record_path);
  }
  for (const char* name : kSetOrder) platform::delete_file(staged(folder, name));
  platform::sync_folder(folder.empty() ? "." : folder);
  return 0;
}

}  // namespace updater
