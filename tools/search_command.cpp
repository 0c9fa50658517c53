// calldb search: the Extended Search from the command line.

#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>
#include <string>

#include "dbfiles/lookup.h"
#include "lookup/extended_search.h"
#include "tools/commands.h"

namespace calldb {

namespace {

// Status lines are progress for a window; here only the last one is printed, on stderr.
class ConsoleSearchView : public lookup::SearchView {
 public:
  void set_status(std::string_view text) override { status_ = std::string(text); }
  void message_box(std::string_view text, std::string_view caption, lookup::SearchIcon) override {
    std::fflush(stdout);
    std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(caption.size()), caption.data(),
                 static_cast<int>(text.size()), text.data());
  }
  std::string status_;
};

std::string upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

struct Options {
  std::string folder;
  std::string name;
  std::string city;
  std::string state;
  std::string zip;
  std::size_t limit = 0;
};

int run_search(const Options& o) {
  // The window's boxes take no more than this; a longer criterion is refused, never cut.
  const struct {
    const char* option;
    const std::string& text;
    std::size_t limit;
  } boxes[] = {{"--name", o.name, lookup::kNameLimit},
               {"--city", o.city, lookup::kCityLimit},
               {"--zip", o.zip, lookup::kZipLimit}};
  for (const auto& box : boxes) {
    if (box.text.size() > box.limit) {
      std::fprintf(stderr, "calldb search: %s must be at most %zu characters\n", box.option,
                   box.limit);
      return kExitUnusable;
    }
  }
  lookup::SearchCriteria criteria;
  criteria.name = upper(o.name);
  criteria.city = upper(o.city);
  criteria.zip = o.zip;
  if (!o.state.empty()) {
    const std::string code = upper(o.state);
    for (int i = 1; i < dbfiles::kStateCount; ++i) {
      if (code == dbfiles::StateCodes[i]) criteria.state = i;
    }
    if (criteria.state == 0) {
      std::fprintf(stderr, "calldb search: --state must be one of the 60 state codes\n");
      return kExitUnusable;
    }
  }
  dbfiles::UsDatabase db;
  int error = 0;
  const char* why = nullptr;
  if (dbfiles::open_call_db(platform::join_path(o.folder, dbfiles::kCallDbName), &db, &error,
                            &why) != 0) {
    report_unusable_call_db(error, why);
    return kExitUnusable;
  }
  ConsoleSearchView view;
  lookup::IndexCopy index;
  if (lookup::make_index_copy(db, &index, view) != 0) return kExitUnusable;
  const lookup::SearchOutcome out = lookup::extended_search(db, index, criteria, o.limit, view);
  if (!out.ran) return kExitUnusable;
  print_text(out.text);
  std::fflush(stdout);
  std::fprintf(stderr, "%s\n", view.status_.c_str());
  return out.found > 0 ? kExitOk : kExitMiss;
}

}  // namespace

void add_search_commands(CLI::App& app, int* exit_code) {
  auto o = std::make_shared<Options>();
  CLI::App* search = app.add_subcommand(
      "search",
      "The Extended Search over call.db: licensees whose name begins with --name, whose "
      "address ends with --city, in --state and with --zip (any combination). Prints one line "
      "per licensee (\"CALL   - NAME - STREET - PLACE\") in callsign order, then \"Done - found "
      "N\" on standard error. Exit 0 when something was found, 1 when nothing, 2 for no "
      "criteria, a criterion longer than the window's box takes, or an unusable call.db.");
  search->add_option("-C", o->folder, "Data folder (see calldb --help)")->type_name("DIR");
  const auto at_most = [](std::size_t limit) {
    return " (at most " + std::to_string(limit) + " characters, as in the window)";
  };
  search->add_option("--name", o->name,
                     "Name prefix, as \"LAST, FIRST\"" + at_most(lookup::kNameLimit))
      ->type_name("TEXT");
  search->add_option("--city", o->city,
                     "City, matched at the end of the address" + at_most(lookup::kCityLimit))
      ->type_name("TEXT");
  search->add_option("--state", o->state, "Two-letter state code")->type_name("XX");
  search->add_option("--zip", o->zip, "ZIP code" + at_most(lookup::kZipLimit))->type_name("TEXT");
  search->add_option("--limit", o->limit,
                     "Stop after the line that passes N bytes of result text, each line end "
                     "counted as two bytes as in the Extended Search window (default: no limit)")
      ->type_name("N")
      ->check(CLI::Validator(
          [](const std::string& text) {
            // An unsigned option would take "-1" as the largest number: no limit at all.
            return text.find('-') == std::string::npos ? std::string()
                                                       : std::string("must be 0 or more bytes");
          },
          ""));
  search->callback([o, exit_code] { *exit_code = run_search(*o); });
}

}  // namespace calldb
