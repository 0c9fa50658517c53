// The settings that last: one small text file in the user's configuration folder,
// $XDG_CONFIG_HOME/vantry/calldb.conf (~/.config/vantry/calldb.conf when XDG_CONFIG_HOME is unset
// or not a full path), read by orbisk, fernwick and calldb as they start and written by
// fernwick's Settings dialog. An option on a program's command line overrides the file.
//
// The file is text: a comment line on top, then one line KEY=VALUE for each value that is not
// the build's (a value left out is the build's):
//   # calldb settings, read by orbisk, fernwick and calldb; ...
//   us-source=fcc                    the FCC's own files, or a club's update server HOST[:PORT]
//   fcc-server=data.fcc.gov          the FCC's server, HOST[:PORT] (HTTPS, port 443)
//   canada-server=apc-cap.ic.gc.ca   the Canadian data server, HOST[:PORT] (HTTPS, port 443)
//   floppy-folder=/media/floppy      the folder that stands for drive A:
//   data-folder=~/vantry/calldb      a full path, or one under the home folder ("~/...")
// Blanks around a key or value are dropped; blank lines and lines that begin with '#' are
// comments. A file that is anything else (an unknown key, a key given twice, a bad value, a line
// without '=', more than 64 KiB, unreadable) is damaged: it is ignored whole, the build's values
// stand, and Settings::problem says what was wrong and what to do.
//
// Free of any window: the windows and calldb report the problem each in their own way.
#pragma once

#include <string>
#include <string_view>

#include "updater/updater_state.h"

namespace settings {

enum Key { kUsSource, kFccServer, kCanadaServer, kFloppyFolder, kDataFolder, kKeyCount };

// The key's name in the file: "us-source", "fcc-server", ...
const char* key_name(Key key);

inline constexpr std::size_t kMaxFileSize = 64 * 1024;

struct Settings {
  bool use_fcc = true;                   // us-source=fcc; else the club's update_server
  updater::ServerAddress update_server;  // the club's server (the build's while use_fcc)
  updater::ServerAddress fcc_server;
  updater::ServerAddress canada_server;
  std::string floppy_folder;
  std::string data_folder;  // a full path
  bool from_file[kKeyCount] = {};  // the value came from the file, else it is the build's
  std::string file;     // the file read (or that would be): "" when no home folder was found
  std::string problem;  // why the file was ignored, "" when it was read or is not there
};

// The user's home folder: $HOME, else the password database's; "" when neither says.
std::string home_folder();
// $XDG_CONFIG_HOME/vantry/calldb.conf, or under `home`/.config; "" when there is neither.
std::string settings_path(const std::string& home);

// The build's values. The data folder is the build's (ORBISK_DATA_FOLDER, "vantry/calldb"),
// taken under `home` unless it is a full path.
Settings built_in(const std::string& home);

// Sets one value from its text as the file writes it (blanks already dropped), marking it as
// from the file. Returns "" or, leaving *s as it was, what to write instead, to follow the
// value's name: "must be HOST or HOST:PORT, as apc-cap.ic.gc.ca or 127.0.0.1:8443".
std::string set_value(Settings* s, Key key, std::string_view text, const std::string& home);
// The value's text as the file writes it.
std::string value_text(const Settings& s, Key key);
// "built in", or "from FILE".
std::string origin(const Settings& s, Key key);

// Reads a file's text over *s. Returns 0, or -1 with *problem set ("line 3: unknown key \"x\"")
// and *s as it was.
int parse_settings(std::string_view text, const std::string& home, Settings* s,
                   std::string* problem);

// The built-in values, then the file at settings_path() over them, for a program at its start.
// A file that is not there is no problem; a damaged one sets problem and is ignored whole.
Settings load();
// As load(), from the file at `path`.
Settings load(const std::string& path, const std::string& home);

// Writes the values of `s` that differ from built_in(home) to `path` (its folders made as
// needed), through a temporary file that is flushed and renamed into place. Returns 0, or -1
// with *error set.
int save(const std::string& path, const Settings& s, const std::string& home, std::string* error);

// "(default: VALUE, ORIGIN)", for an option's help.
std::string default_note(const Settings& s, Key key);

// The values in force with where each came from, one "  NAME: VALUE (ORIGIN)" line each, for a
// program's --help; `only` lists the keys the program uses (all when empty). A problem with the
// file is told last.
std::string help_text(const Settings& s, std::initializer_list<Key> only = {});

}  // namespace settings
