#include "settings/settings.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "platform/platform.h"
#include "updater/worker_link.h"

#ifndef ORBISK_DATA_FOLDER
#define ORBISK_DATA_FOLDER "vantry/calldb"
#endif
#ifndef CALLDB_FCC_SERVER
#define CALLDB_FCC_SERVER "data.fcc.gov"
#endif

namespace settings {

namespace {

constexpr const char* kKeyNames[kKeyCount] = {"us-source", "fcc-server", "canada-server",
                                              "floppy-folder", "data-folder"};
constexpr char kFileComment[] =
    "# calldb settings, read by orbisk, fernwick and calldb; an option on a command line "
    "overrides its value. KEY=VALUE lines: us-source (fcc, or a club's update server "
    "HOST[:PORT]), fcc-server, canada-server (HOST[:PORT]), floppy-folder, data-folder (full "
    "paths, or ~/...). A value left out is the build's.\n";
constexpr char kWhatToDo[] =
    ". The file is ignored and the build's settings are used: correct it, or save new settings "
    "in fernwick's Settings dialog";

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

bool has_controls(std::string_view text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) return true;
  }
  return false;
}

// HOST or HOST:PORT, the host of letters, digits, '.', '-' and '_'.
int parse_host(std::string_view text, int default_port, updater::ServerAddress* server) {
  updater::ServerAddress parsed;
  if (updater::parse_server(std::string(text), default_port, &parsed) != 0) return -1;
  for (char c : parsed.host) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '-' || c == '_';
    if (!ok) return -1;
  }
  *server = parsed;
  return 0;
}

std::string server_text(const updater::ServerAddress& server, int default_port) {
  return server.port == default_port ? server.host
                                     : server.host + ":" + std::to_string(server.port);
}

// A full path, or "~" / "~/..." under `home`.
int parse_folder(std::string_view text, const std::string& home, std::string* folder) {
  if (text.empty() || has_controls(text)) return -1;
  if (text.front() == '/') {
    *folder = std::string(text);
    return 0;
  }
  if (text != "~" && !text.starts_with("~/")) return -1;
  if (home.empty()) return -1;
  *folder = home + std::string(text.substr(1));
  return 0;
}

}  // namespace

const char* key_name(Key key) { return kKeyNames[key]; }

std::string home_folder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return home;
  const passwd* entry = ::getpwuid(::getuid());
  return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
}

std::string settings_path(const std::string& home) {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  std::string folder;
  if (config != nullptr && config[0] == '/') {
    folder = config;
  } else if (!home.empty()) {
    folder = home + "/.config";
  } else {
    return {};
  }
  return folder + "/vantry/calldb.conf";
}

Settings built_in(const std::string& home) {
  Settings s;
  s.update_server = updater::default_update_server();
  updater::parse_server(CALLDB_FCC_SERVER, 443, &s.fcc_server);
  s.canada_server = updater::default_canada_server();
  s.floppy_folder = updater::default_floppy_folder();
  const std::string data = ORBISK_DATA_FOLDER;
  s.data_folder = data.starts_with('/') || home.empty() ? data : home + "/" + data;
  return s;
}

std::string set_value(Settings* s, Key key, std::string_view text, const std::string& home) {
  switch (key) {
    case kUsSource:
      if (text == "fcc") {
        s->use_fcc = true;
      } else if (parse_host(text, 80, &s->update_server) == 0) {
        s->use_fcc = false;
      } else {
        return "must be fcc, or a club's update server as HOST or HOST:PORT "
               "(club.example.org:8080)";
      }
      break;
    case kFccServer:
    case kCanadaServer:
      if (parse_host(text, 443, key == kFccServer ? &s->fcc_server : &s->canada_server) != 0) {
        return std::string("must be HOST or HOST:PORT, as ") +
               (key == kFccServer ? "data.fcc.gov" : "apc-cap.ic.gc.ca") + " or 127.0.0.1:8443";
      }
      break;
    case kFloppyFolder:
    case kDataFolder:
      if (parse_folder(text, home, key == kDataFolder ? &s->data_folder : &s->floppy_folder) !=
          0) {
        return std::string("must be a folder's full path, as ") +
               (key == kDataFolder ? "/home/ann/vantry/calldb or ~/vantry/calldb"
                                   : "/media/floppy");
      }
      break;
    case kKeyCount:
      return "is no key";
  }
  s->from_file[key] = true;
  return {};
}

std::string value_text(const Settings& s, Key key) {
  switch (key) {
    case kUsSource: return s.use_fcc ? "fcc" : server_text(s.update_server, 80);
    case kFccServer: return server_text(s.fcc_server, 443);
    case kCanadaServer: return server_text(s.canada_server, 443);
    case kFloppyFolder: return s.floppy_folder;
    case kDataFolder: return s.data_folder;
    case kKeyCount: break;
  }
  return {};
}

std::string origin(const Settings& s, Key key) {
  return s.from_file[key] ? "from " + s.file : "built in";
}

int parse_settings(std::string_view text, const std::string& home, Settings* s,
                   std::string* problem) {
  if (text.size() > kMaxFileSize) {
    *problem = "larger than 64 KiB";
    return -1;
  }
  Settings read = *s;
  bool seen[kKeyCount] = {};
  int number = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = trim(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    const std::string at = "line " + std::to_string(++number) + ": ";
    if (line.empty() || line.front() == '#') continue;
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      *problem = at + "no KEY=VALUE";
      return -1;
    }
    const std::string_view name = trim(line.substr(0, equals));
    int key = 0;
    while (key < kKeyCount && name != kKeyNames[key]) ++key;
    if (key == kKeyCount) {
      *problem = at + "unknown key \"" + updater::escape_controls(name) + "\"";
      return -1;
    }
    if (seen[key]) {
      *problem = at + std::string(name) + " is given twice";
      return -1;
    }
    seen[key] = true;
    const std::string bad =
        set_value(&read, static_cast<Key>(key), trim(line.substr(equals + 1)), home);
    if (!bad.empty()) {
      *problem = at + std::string(name) + " " + bad;
      return -1;
    }
  }
  *s = std::move(read);
  return 0;
}

Settings load() {
  const std::string home = home_folder();
  return load(settings_path(home), home);
}

Settings load(const std::string& path, const std::string& home) {
  Settings s = built_in(home);
  s.file = path;
  if (path.empty()) return s;
  platform::File file;
  std::string text;
  int error = file.open(path, platform::Access::read, platform::Share::read_write,
                        platform::Disposition::open_existing);
  if (error == ENOENT) return s;
  if (error == 0) {
    text.resize(kMaxFileSize + 1);
    const platform::IoResult got = file.read(text.data(), text.size());
    error = got.error;
    text.resize(got.count);
  }
  std::string problem;
  if (error != 0) {
    problem = "cannot be read (error " + std::to_string(error) + ")";
  } else if (parse_settings(text, home, &s, &problem) == 0) {
    return s;
  }
  s.problem = updater::escape_controls(path) + ": " + problem + kWhatToDo;
  return s;
}

int save(const std::string& path, const Settings& s, const std::string& home,
         std::string* error) {
  const Settings build = built_in(home);
  std::string text = kFileComment;
  for (int key = 0; key < kKeyCount; ++key) {
    const std::string value = value_text(s, static_cast<Key>(key));
    if (value != value_text(build, static_cast<Key>(key))) {
      text += std::string(kKeyNames[key]) + "=" + value + "\n";
    }
  }
  std::error_code ec;
  std::filesystem::create_directories(platform::folder_of(path), ec);
  platform::NewFile file;
  int code = file.create(path);
  if (code == 0) code = file.file().write(text.data(), text.size()).error;
  if (code == 0) code = file.commit();
  if (code != 0) {
    *error = "Cannot write " + updater::escape_controls(path) + " (error " +
             std::to_string(code) + ")";
    return -1;
  }
  return 0;
}

std::string default_note(const Settings& s, Key key) {
  return "(default: " + updater::escape_controls(value_text(s, key)) + ", " +
         updater::escape_controls(origin(s, key)) + ")";
}

std::string help_text(const Settings& s, std::initializer_list<Key> only) {
  std::string text = "Settings in force (KEY=VALUE lines in " +
                     updater::escape_controls(s.file.empty() ? "no file: no home folder"
                                                             : s.file) +
                     "; the command line overrides them):\n";
  for (int key = 0; key < kKeyCount; ++key) {
    bool used = only.size() == 0;
    for (Key k : only) used = used || k == key;
    if (!used) continue;
    text += "  " + std::string(kKeyNames[key]) + "=" +
            updater::escape_controls(value_text(s, static_cast<Key>(key))) + "  (" +
            updater::escape_controls(origin(s, static_cast<Key>(key))) + ")\n";
  }
  if (!s.problem.empty()) text += "  " + s.problem + "\n";
  return text;
}

}  // namespace settings
