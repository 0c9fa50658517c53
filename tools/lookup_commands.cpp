// calldb lookup and calldb info: the lookup program's start-up and Search command.

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>
#include <vector>

#include "dbfiles/lookup.h"
#include "platform/platform.h"
#include "tools/commands.h"

namespace calldb {

namespace {

// The callsign box holds at most this many characters and turns letters to upper case.
constexpr std::size_t kMaxTyped = 255;

std::string as_typed(const std::string& arg) {
  std::string text = arg.substr(0, kMaxTyped);
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

std::string without_line_end(std::string line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return line;
}

int run_lookup(const std::string& folder, const std::vector<std::string>& callsigns) {
  dbfiles::LookupFiles files;
  dbfiles::open_lookup_files(folder, dbfiles::Edition::full, &files);
  if (!files.us_ready) {
    report_unusable_call_db(files.us_error, files.us_why);
    return kExitUnusable;
  }
  int rc = kExitOk;
  for (const std::string& arg : callsigns) {
    const std::string typed = as_typed(arg);
    dbfiles::LookupResult result;
    const dbfiles::SearchOutput out = dbfiles::search_callsign(files, typed.c_str(), &result);
    print_text(out.text);
    std::fflush(stdout);
    if (!out.damaged.empty()) {
      std::fprintf(stderr, "calldb: %s: damaged file, %s\n", out.damaged.c_str(),
                   out.why.c_str());
    }
    if (!out.found) rc = kExitMiss;
  }
  dbfiles::close_lookup_files(&files);
  return rc;
}

int run_info(const std::string& folder) {
  dbfiles::LookupFiles files;
  dbfiles::open_lookup_files(folder, dbfiles::Edition::full, &files);
  const std::string canada = dbfiles::canadian_line(files.canada);
  if (!canada.empty()) print_text(without_line_end(canada) + "\n");
  if (!files.us_ready) {
    std::fflush(stdout);
    report_unusable_call_db(files.us_error, files.us_why);
    return kExitUnusable;
  }
  print_text(dbfiles::database_line(files.us) + "\n");
  if (files.prev_ready) {
    print_text(dbfiles::prev_line(files.prev, dbfiles::kCallPrevDbName) + "\n");
  }
  dbfiles::close_lookup_files(&files);
  return kExitOk;
}

}  // namespace

void add_lookup_commands(CLI::App& app, int* exit_code) {
  struct Options {
    std::string folder;
    std::vector<std::string> callsigns;
  };
  auto lookup_options = std::make_shared<Options>();
  CLI::App* lookup = app.add_subcommand(
      "lookup",
      "Look callsigns up as the lookup window's Search does and print each result: a found "
      "record as four lines and an empty line, a miss as \"CALL NOW NEWCALL\" or "
      "\"CALL NOT FOUND\" and an empty line. Exit 0 when every callsign was found, 1 when any "
      "was not, 2 when call.db cannot be used.");
  lookup->add_option("-C", lookup_options->folder, "Data folder (see calldb --help)")
      ->type_name("DIR");
  lookup->add_option("callsign", lookup_options->callsigns, "Callsigns to look up")
      ->required()
      ->type_name("CALLSIGN");
  lookup->callback([lookup_options, exit_code] {
    *exit_code = run_lookup(lookup_options->folder, lookup_options->callsigns);
  });

  auto info_options = std::make_shared<Options>();
  CLI::App* info = app.add_subcommand(
      "info",
      "Print the lookup program's start-up lines: the Canadian data line, the database line "
      "and the previous-calls line, each when present. Exit 2 when call.db cannot be used.");
  info->add_option("-C", info_options->folder, "Data folder (see calldb --help)")
      ->type_name("DIR");
  info->callback([info_options, exit_code] { *exit_code = run_info(info_options->folder); });
}

void report_unusable_call_db(int error, const char* why) {
  if (error == platform::sharing_violation_error()) {
    std::fprintf(stderr, "ERROR Reading Database: %s: %s\n", dbfiles::kCallDbName,
                 dbfiles::kBeingUpdated);
  } else if (error != 0) {
    std::fprintf(stderr, "ERROR Reading Database: %s (error %d)\n", dbfiles::kCallDbName, error);
  } else if (why != nullptr) {
    std::fprintf(stderr, "ERROR Reading Database: %s: damaged file, %s\n", dbfiles::kCallDbName,
                 why);
  } else {
    std::fprintf(stderr, "ERROR Reading Database: %s\n", dbfiles::kCallDbName);
  }
}

}  // namespace calldb
