#include "dbfiles/lookup.h"

#include <cerrno>

#include "platform/platform.h"

namespace dbfiles {

void open_lookup_files(const std::string& folder, Edition edition, LookupFiles* files) {
  files->edition = edition;
  if (edition == Edition::full) {
    load_canadian_table(platform::join_path(folder, kCanCallDbName), &files->canada);
  }
  open_us_files(folder, files);
}

void open_us_files(const std::string& folder, LookupFiles* files) {
  if (files->us_ready) return;
  files->us_why = nullptr;
  files->us_ready = open_call_db(platform::join_path(folder, kCallDbName), &files->us,
                                 &files->us_error, &files->us_why) == 0;
  if (files->us_ready && files->edition == Edition::full) {
    files->prev_ready = open_prev_db(platform::join_path(folder, kCallPrevDbName), &files->prev) == 0;
  }
}

void close_lookup_files(LookupFiles* files) {
  files->us.close();
  files->us_ready = false;
  files->prev.close();
  files->prev_ready = false;
}

LookupStatus lookup_call(const LookupFiles& files, const char* text, LookupResult* result,
                         const char** why) {
  if (files.edition == Edition::full && text[0] == 'V') {
    return lookup_canadian_call(files.canada, text, result, why);
  }
  if (!files.us_ready) return LookupStatus{};
  return lookup_us_call(files.us, text, result, why);
}

std::string call_db_trouble(const LookupFiles& files, const std::string& folder) {
  if (files.us_error == platform::sharing_violation_error()) return kBeingUpdated;
  if (files.us_error == ENOENT) return "Not found in " + folder + ".";
  if (files.us_error == 0 && files.us_why != nullptr) {
    return "Damaged in " + folder + ": " + files.us_why + ".";
  }
  return "Cannot be read in " + folder + " (error " + std::to_string(files.us_error) + ").";
}

namespace {

void note_damage(SearchOutput* out, const char* name, const char* why) {
  if (out->damaged.empty()) {
    out->why = why;
  } else {
    out->damaged.push_back(' ');
  }
  out->damaged.append(name);
}

}  // namespace

SearchOutput search_callsign(const LookupFiles& files, const char* typed, LookupResult* slot) {
  SearchOutput out;
  const char* why = kShortRead;
  const LookupStatus status = lookup_call(files, typed, slot, &why);
  if (status.damaged) {
    const bool canadian = files.edition == Edition::full && typed[0] == 'V';
    note_damage(&out, canadian ? kCanCallDbName : kCallDbName, why);
  }
  if (status.found) {
    out.found = true;
    out.text = format_result_block(*slot);
    return out;
  }
  out.text = typed;
  char replacement[7];
  if (files.prev_ready && find_prev_call(files.prev, typed, replacement) >= 0) {
    out.text.append(" NOW ").append(replacement).append("\r\n\r\n");
  } else {
    out.text.append(" NOT FOUND\r\n\r\n");
  }
  return out;
}

}  // namespace dbfiles
