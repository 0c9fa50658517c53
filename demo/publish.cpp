#include "demo/publish.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "dbfiles/callkey.h"
#include "dbfiles/coding.h"
#include "dbfiles/dbwriter.h"
#include "dbfiles/usdb.h"
#include "platform/platform.h"
#include "updater/doupdate.h"
#include "updater/make_update.h"
#include "updater/merge.h"

namespace calldb {

namespace {

constexpr char kFilesFolder[] = "db-files";

bool parse_date(std::string_view text, updater::Date* d) {
  if (text.size() != 8) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  const auto number = [text](std::size_t from, std::size_t len) {
    int n = 0;
    for (std::size_t i = from; i < from + len; ++i) n = n * 10 + (text[i] - '0');
    return n;
  };
  *d = updater::Date{number(0, 4), number(4, 2), number(6, 2)};
  return updater::valid_date(*d);
}

std::string date_text(std::int64_t day) {
  const updater::Date d = updater::date_from_days(day);
  char text[16];
  std::snprintf(text, sizeof text, "%04d%02d%02d", d.year, d.month, d.day);
  return text;
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Writes the digest file NAME.sha256 beside the weekly file `file`, the line sha256sum writes.
PublishResult write_digest(const PublishedFile& file, std::string* error) {
  const std::string path = file.path + updater::kDigestSuffix;
  std::string hex;
  platform::NewFile out;
  int err = updater::file_sha256(file.path, &hex);
  const std::string line = updater::digest_line(hex, file.name);
  if (err == 0) err = out.create(path);
  if (err == 0) err = out.file().write(line.data(), line.size()).error;
  if (err == 0) err = out.commit();
  if (err != 0) {
    *error = path + ": cannot be written (error " + std::to_string(err) + ")";
    return PublishResult::io_error;
  }
  return PublishResult::ok;
}

// Writes one weekly file: the changes from `from` to `to` (both snapshots' paths), or none
// when `from` is empty; dated `date`; then its digest. The writers put each file in place only
// once it is whole.
PublishResult write_weekly(const std::string& folder, std::int64_t week_start,
                           const std::string& from, const std::string& to, PublishedFile* file,
                           std::string* error) {
  file->name = weekly_file_name(week_start);
  file->path = platform::join_path(folder, file->name);
  file->date = date_text(week_start + 7);
  file->changes = 0;
  if (!from.empty()) {
    if (updater::make_update(from, to, file->path, error, &file->changes, file->date) != 0) {
      return PublishResult::io_error;
    }
  } else {
    dbfiles::CallDbWriter writer;
    if (writer.open(file->path, file->date) != 0 || writer.finish() != 0) {
      *error = file->path + ": " + writer.error();
      return PublishResult::io_error;
    }
  }
  return write_digest(*file, error);
}

}  // namespace

int check_call_db(const std::string& path, std::string* date, std::string* error) {
  platform::File file;
  int err = file.open(path, platform::Access::read, platform::Share::read,
                      platform::Disposition::open_existing);
  const platform::IoResult size = err == 0 ? file.size() : platform::IoResult{0, err};
  std::string bytes;
  if (size.error == 0) {
    bytes.resize(static_cast<std::size_t>(size.count));
    const platform::IoResult r = file.read_at(0, bytes.data(), bytes.size());
    err = r.error != 0 ? r.error : (r.count != size.count ? -1 : 0);
  } else {
    err = size.error;
  }
  if (err != 0) {
    *error = path + ": cannot be read (error " + std::to_string(err) + ")";
    return 1;
  }
  const auto bad = [&](const std::string& why) {
    *error = path + ": not a sound call.db: " + why;
    return 2;
  };
  if (bytes.size() < dbfiles::kHeaderSize) return bad("shorter than its header");
  updater::Date d;
  if (!parse_date(std::string_view(bytes.data(), dbfiles::kDateSize), &d)) {
    return bad("no valid date YYYYMMDD in its header");
  }
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::uint32_t index = dbfiles::decode_fixed32(data + dbfiles::kDateSize);
  if (index < dbfiles::kHeaderSize || index > bytes.size() ||
      (bytes.size() - index) % dbfiles::IndexEntry::kSize != 0) {
    return bad("its index offset does not fit the file's size");
  }
  const std::size_t count = (bytes.size() - index) / dbfiles::IndexEntry::kSize;
  for (std::size_t i = 0; i < count; ++i) {
    const dbfiles::IndexEntry e =
        dbfiles::IndexEntry::decode(data + index + i * dbfiles::IndexEntry::kSize);
    if (i > 0) {
      const dbfiles::IndexEntry before =
          dbfiles::IndexEntry::decode(data + index + (i - 1) * dbfiles::IndexEntry::kSize);
      if (e.key <= before.key) return bad("index not in ascending key order at entry " +
                                          std::to_string(i));
    }
    const std::uint32_t offset = e.text_offset();
    if (offset < dbfiles::kHeaderSize || offset >= index) {
      return bad(std::string("the text of ") + dbfiles::decode_call(e.key) +
                 " lies outside the text area");
    }
    const std::size_t limit = std::min<std::size_t>(index - offset, dbfiles::kMaxRecordText);
    if (std::memchr(data + offset, '\0', limit) == nullptr) {
      return bad(std::string("the text of ") + dbfiles::decode_call(e.key) + " is not terminated");
    }
  }
  date->assign(bytes.data(), dbfiles::kDateSize);
  return 0;
}

std::string weekly_file_name(std::int64_t day) {
  const updater::Date from = updater::date_from_days(day);
  const updater::Date to = updater::date_from_days(day + 7);
  char name[32];
  std::snprintf(name, sizeof name, "%02d%02dto%02d%02d.db", from.month, from.day, to.month,
                to.day);
  return name;
}

PublishResult find_snapshots(const std::string& folder, std::vector<Snapshot>* snapshots,
                             std::string* error) {
  snapshots->clear();
  std::vector<std::string> names;
  const int err = platform::list_files(folder, "call*.db", &names);
  if (err != 0) {
    *error = folder + ": cannot list the folder (error " + std::to_string(err) + ")";
    return PublishResult::io_error;
  }
  for (const std::string& name : names) {
    if (lower(name) == "callprev.db") continue;
    Snapshot s;
    s.path = platform::join_path(folder, name);
    const int checked = check_call_db(s.path, &s.date, error);
    if (checked == 1) return PublishResult::io_error;
    if (checked != 0) return PublishResult::bad_snapshots;
    updater::Date d;
    parse_date(s.date, &d);
    s.day = updater::days_since_epoch(d);
    snapshots->push_back(std::move(s));
  }
  if (snapshots->empty()) {
    *error = folder + ": no snapshot (call*.db) to publish from";
    return PublishResult::bad_snapshots;
  }
  std::stable_sort(snapshots->begin(), snapshots->end(),
                   [](const Snapshot& a, const Snapshot& b) { return a.day < b.day; });
  const Snapshot& first = snapshots->front();
  for (std::size_t i = 1; i < snapshots->size(); ++i) {
    const Snapshot& s = (*snapshots)[i];
    if (s.day == (*snapshots)[i - 1].day) {
      *error = s.path + ": dated " + s.date + " like " + (*snapshots)[i - 1].path +
               "; one snapshot per date";
      return PublishResult::bad_snapshots;
    }
    if ((s.day - first.day) % 7 != 0) {
      *error = s.path + ": dated " + s.date + ", not a whole number of weeks after " +
               first.path + " (" + first.date + ")";
      return PublishResult::bad_snapshots;
    }
  }
  return PublishResult::ok;
}

PublishResult publish_updates(const std::vector<Snapshot>& snapshots,
                              const std::string& server_dir,
                              const std::function<void(const PublishedFile&)>& on_file,
                              std::string* error) {
  const std::string folder = platform::join_path(server_dir, kFilesFolder);
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec || !std::filesystem::is_directory(folder)) {
    *error = folder + ": cannot make the folder" + (ec ? ": " + ec.message() : std::string());
    return PublishResult::io_error;
  }
  for (std::size_t i = 1; i < snapshots.size(); ++i) {
    const Snapshot& a = snapshots[i - 1];
    const Snapshot& b = snapshots[i];
    for (std::int64_t week = a.day; week < b.day; week += 7) {
      PublishedFile file;
      const bool first = week == a.day;
      const PublishResult r = write_weekly(folder, week, first ? a.path : std::string(),
                                           b.path, &file, error);
      if (r != PublishResult::ok) return r;
      if (on_file) on_file(file);
    }
  }
  return PublishResult::ok;
}

}  // namespace calldb
