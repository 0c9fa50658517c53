// calldb merge, update and make-update: the US side of the updater without its window.

#include <CLI/CLI.hpp>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "tools/commands.h"
#include "tools/console_link.h"
#include "tools/progress.h"
#include "fcc/fcc_update.h"
#include "updater/doupdate.h"
#include "updater/make_update.h"
#include "updater/merge.h"

namespace calldb {

namespace {

// The console link that also remembers the finished message and, on a terminal, shows the
// download in progress from the row's byte cells.
class UpdateConsole : public ConsoleLink {
 public:
  void log_text(std::string_view text) override {
    if (progress_) progress_.reset();  // ends the progress line before the log goes on
    ConsoleLink::log_text(text);
  }
  void set_row_cell(int row, updater::RowCell cell, std::string_view text) override {
    if (cell != updater::RowCell::bytes && cell != updater::RowCell::total) return;
    if (text.empty()) {  // the run clears the cells
      if (cell == updater::RowCell::total) total_ = 0;
      return;
    }
    const std::uint64_t value = std::strtoull(std::string(text).c_str(), nullptr, 10);
    if (cell == updater::RowCell::total) {
      total_ = value;
      return;
    }
    if (!progress_) {
      const bool named = state_ != nullptr && row >= 0 && row < updater::kRowCount;
      progress_ = std::make_unique<Progress>(named ? state_->update_rows[row].name : "", total_);
    }
    if (!progress_->shown()) return;
    progress_->update(value);
  }
  void finished(int message, std::int32_t wparam, std::int32_t lparam) override {
    message_ = message;
    wparam_ = wparam;
    lparam_ = lparam;
  }
  const updater::UpdaterState* state_ = nullptr;  // the run's rows, for the download's name
  std::unique_ptr<Progress> progress_;
  std::uint64_t total_ = 0;
  int message_ = 0;
  std::int32_t wparam_ = 0;
  std::int32_t lparam_ = 0;
};

// Ctrl+C or a TERM signal stops a run cleanly: the download in progress is deleted and no
// half-written call.db.new is left.
std::atomic<bool> stop_requested{false};

void stop_on_signals() { platform::set_flag_on_interrupt(&stop_requested); }

// Parses "YYYY-MM-DDTHH:MM".
bool parse_now(const std::string& text, platform::LocalTime* t) {
  char tail = 0;
  if (text.size() != 16 || std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d%c", &t->year, &t->month,
                                       &t->day, &t->hour, &t->minute, &tail) != 5) {
    return false;
  }
  return updater::valid_date({t->year, t->month, t->day}) && t->hour >= 0 && t->hour < 24 &&
         t->minute >= 0 && t->minute < 60;
}

int run_merge(const std::string& folder, const std::string& update_file, bool wait) {
  UpdateConsole link;
  updater::UpdaterState state;
  std::snprintf(state.update_rows[0].name, sizeof state.update_rows[0].name, "%s",
                update_file.c_str());
  updater::WorkerEnv env;
  env.link = &link;
  env.state = &state;
  env.folder = folder;
  env.cancel = &stop_requested;
  env.wait_for_folder = wait;
  stop_on_signals();
  return updater::merge_update(env, 0) == 0 ? kExitOk : kExitMiss;
}

// What `calldb update` was given; null for an option not given.
struct UpdateArgs {
  const std::string* server = nullptr;
  const std::string* fcc_server = nullptr;
  const std::string* now = nullptr;
  std::string ca_file;
};

int run_update(const std::string& folder, const UpdateArgs& args, bool wait) {
  updater::WorkerEnv env;
  const settings::Settings& s = program_settings();
  env.server = s.update_server;
  env.server.origin = "the update server, " +
                      (args.server != nullptr ? std::string("--server")
                                              : settings::origin(s, settings::kUsSource));
  env.fcc_server = s.fcc_server;
  env.fcc_server.origin = "the FCC's server, " + settings::origin(s, settings::kFccServer);
  // The settings' source unless one is named.
  env.use_fcc = args.fcc_server != nullptr || (args.server == nullptr && s.use_fcc);
  if (args.server != nullptr && args.fcc_server != nullptr) {
    std::fprintf(stderr, "calldb update: --server and --fcc-server name two sources; give one\n");
    return kExitUnusable;
  }
  if (args.server != nullptr && updater::parse_server(*args.server, 80, &env.server) != 0) {
    std::fprintf(stderr, "calldb update: --server must be HOST or HOST:PORT\n");
    return kExitUnusable;
  }
  if (args.fcc_server != nullptr) {
    if (updater::parse_server(*args.fcc_server, 443, &env.fcc_server) != 0) {
      std::fprintf(stderr, "calldb update: --fcc-server must be HOST or HOST:PORT\n");
      return kExitUnusable;
    }
    env.fcc_server.origin = "the FCC's server, --fcc-server";
  }
  env.ca_file = args.ca_file;
  const std::string* now = args.now;
  if (now != nullptr) {
    platform::LocalTime t;
    if (!parse_now(*now, &t)) {
      std::fprintf(stderr, "calldb update: --now must be YYYY-MM-DDTHH:MM\n");
      return kExitUnusable;
    }
    env.now = [t] { return t; };
  }
  if (platform::start_sockets() != 0) {
    std::fprintf(stderr, "Fernwick 012 for Orbisk: WSAStartup() error\n");
    return kExitMiss;
  }
  UpdateConsole link;
  updater::UpdaterState state;
  link.state_ = &state;
  env.link = &link;
  env.state = &state;
  env.folder = folder;
  env.cancel = &stop_requested;
  env.wait_for_folder = wait;
  stop_on_signals();
  env.use_fcc ? fcc_update(env) : updater::doupdate(env);
  platform::stop_sockets();
  std::printf("UM_UPDATE_DONE %d %d\n", link.wparam_, link.lparam_);
  return link.lparam_ == 0 ? kExitOk : kExitMiss;
}

}  // namespace

void add_update_commands(CLI::App& app, int* exit_code) {
  struct Options {
    std::string folder;
    std::string update_file;
    std::string server;
    std::string fcc_server;
    std::string ca_file;
    std::string now;
    std::string old_db;
    std::string new_db;
    std::string out;
    bool wait = false;
  };
  auto o = std::make_shared<Options>();

  CLI::App* merge = app.add_subcommand(
      "merge",
      "Merge one update file of the data folder into call.db, writing call.db.new (call.db "
      "itself is not changed). The update file must be the week after call.db (dated seven days "
      "later) and pass every check of its layout; one that fails is deleted. Exit 0 when "
      "call.db.new was written, 1 otherwise.");
  merge->add_option("-C", o->folder, "Data folder (see calldb --help)")->type_name("DIR");
  merge->add_option("updatefile", o->update_file, "Name of the update file in the data folder")
      ->required()
      ->type_name("UPDATEFILE")
      ->check([](const std::string& name) {
        return name.empty() || name.size() > 31 || name.find('/') != std::string::npos
                   ? std::string("must be a file name of at most 31 characters in the data folder")
                   : std::string();
      });
  add_wait_flag(merge, &o->wait);
  merge->callback([o, exit_code] { *exit_code = run_merge(o->folder, o->update_file, o->wait); });

  CLI::App* update = app.add_subcommand(
      "update",
      "One US update run. From the FCC (the settings' us-source, by default): the daily "
      "archives made after call.db's date are applied to call.db and callprev.db, or, with no "
      "call.db or one the dailies cannot bring up to date, the weekly archive and the dailies "
      "after it make them afresh (as fetch-fcc does); the call.db replaced is kept as "
      "callMMDD.db. From a club's update server (--server, or the settings' us-source): the "
      "weekly update files due since call.db's date are fetched, merged in date order and each "
      "merged database put in place, keeping the old one as callMMDD.db. Prints the run's log "
      "and last \"UM_UPDATE_DONE W L\" (rows shown, then 0 when the databases were replaced, -1 "
      "when nothing was due or call.db unreadable, else the errors). No clean-up question is "
      "asked. Exit 0 when L is 0, 1 otherwise.");
  update->add_option("-C", o->folder, "Data folder (see calldb --help)")
      ->type_name("DIR");
  update
      ->add_option("--fcc-server", o->fcc_server,
                   "The FCC's server, HTTPS " + default_note(settings::kFccServer))
      ->type_name("HOST[:PORT]");
  update->add_option("--ca-file", o->ca_file,
                     "Also trust the certificates in this PEM file (for the FCC's server)")
      ->type_name("PEM");
  update->add_option("--server", o->server,
                     "Take the update files of this club's update server instead of the FCC's "
                     "archives " +
                         default_note(settings::kUsSource))
      ->type_name("HOST[:PORT]");
  update->add_option("--now", o->now, "Take this as the local date and time (update server)")
      ->type_name("YYYY-MM-DDTHH:MM");
  add_wait_flag(update, &o->wait);
  update->callback([o, exit_code, update] {
    // An option given empty is an error, not the default.
    const auto given = [update](const char* name, const std::string& value) {
      return update->get_option(name)->count() > 0 ? &value : nullptr;
    };
    UpdateArgs args;
    args.server = given("--server", o->server);
    args.fcc_server = given("--fcc-server", o->fcc_server);
    args.now = given("--now", o->now);
    args.ca_file = o->ca_file;
    *exit_code = run_update(o->folder, args, o->wait);
  });

  CLI::App* make = app.add_subcommand(
      "make-update",
      "Write the update file OUT that turns database OLD into database NEW: new and changed "
      "calls with their texts, deleted calls with an empty text reference, dated with NEW's "
      "date. Exit 0 when written, 1 otherwise.");
  make->add_option("old", o->old_db, "The database the update starts from")
      ->required()
      ->type_name("OLD");
  make->add_option("new", o->new_db, "The database the update leads to")
      ->required()
      ->type_name("NEW");
  make->add_option("out", o->out, "The update file to write")->required()->type_name("OUT");
  make->callback([o, exit_code] {
    std::string error;
    std::size_t entries = 0;
    if (updater::make_update(o->old_db, o->new_db, o->out, &error, &entries) != 0) {
      std::fprintf(stderr, "calldb make-update: %s\n", error.c_str());
      *exit_code = kExitMiss;
      return;
    }
    std::printf("wrote %s (%zu entries)\n", o->out.c_str(), entries);
    *exit_code = kExitOk;
  });
}

}  // namespace calldb
