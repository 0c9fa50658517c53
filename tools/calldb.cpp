// calldb: the callsign databases from the command line.

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

#include "tools/commands.h"
#include "tools/console_link.h"
#include "updater/worker_link.h"

namespace calldb {

// Control characters other than line ends are shown escaped: the text may carry outside bytes.
void print_text(std::string_view text) {
  const std::string shown = updater::escape_controls(text);
  std::string out;
  out.reserve(shown.size());
  for (std::size_t i = 0; i < shown.size(); ++i) {
    if (shown[i] == '\r' && i + 1 < shown.size() && shown[i + 1] == '\n') continue;
    out.push_back(shown[i]);
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
}

}  // namespace calldb

int main(int argc, char** argv) {
  // A damaged settings file is told and ignored, whatever the command.
  const settings::Settings& settings = calldb::program_settings();
  if (!settings.problem.empty()) std::fprintf(stderr, "calldb: %s\n", settings.problem.c_str());
  CLI::App app{"calldb: look callsigns up in the US and Canadian licence databases"};
  app.require_subcommand(1);
  int exit_code = calldb::kExitOk;
  calldb::add_lookup_commands(app, &exit_code);
  calldb::add_sample_commands(app, &exit_code);
  calldb::add_floppy_commands(app, &exit_code);
  calldb::add_update_commands(app, &exit_code);
  calldb::add_search_commands(app, &exit_code);
  calldb::add_canada_commands(app, &exit_code);
  calldb::add_demo_commands(app, &exit_code);
  calldb::add_demo_fcc_command(app, &exit_code);
  calldb::add_import_commands(app, &exit_code);
  calldb::add_fetch_commands(app, &exit_code);
  calldb::add_serve_command(app, &exit_code);
  // Each command's help ends with the list of all of them.
  std::string names;
  for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; })) {
    names += names.empty() ? "" : ", ";
    names += command->get_name();
  }
  // The data folder of every command that takes -C is the settings' (see calldb --help).
  for (CLI::App* command : app.get_subcommands([](CLI::App*) { return true; })) {
    command->footer("calldb commands: " + names + ". See calldb --help.");
    if (CLI::Option* folder = command->get_option_no_throw("-C")) {
      folder->default_val(settings.data_folder);
      folder->description("Data folder " + calldb::default_note(settings::kDataFolder));
    }
  }
  app.footer(settings::help_text(settings));
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return calldb::kExitUnusable;
  }
  std::fflush(stdout);
  return exit_code;
}
