// calldb demo-fcc: a full-size synthetic weekly FCC archive, for benchmarks and tests of the
// import.

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tools/commands.h"
#include "demo/demo_data.h"
#include "demo/demo_fcc.h"
#include "tools/progress.h"
#include "updater/doupdate.h"

namespace calldb {

namespace {

constexpr char kCommand[] = "calldb demo-fcc";

struct DemoFccArgs {
  demo::FccArchiveOptions archive;
  demo::FccDailiesOptions dailies;
  bool weekly = true;  // false with --dailies-only
  std::string seed = "1";
  std::string active;
};

bool whole_number(const std::string& text, std::uint64_t* n) {
  char* end = nullptr;
  *n = std::strtoull(text.c_str(), &end, 10);
  return !text.empty() && *end == '\0' && text[0] != '-' && text[0] != '+';
}

int run_demo_fcc(DemoFccArgs& a) {
  demo::FccArchiveOptions& o = a.archive;
  std::uint64_t active = o.licences * 52 / 100;
  if (!whole_number(a.seed, &o.seed) || (!a.active.empty() && !whole_number(a.active, &active))) {
    std::fprintf(stderr, "%s: --seed and --active must be whole numbers\n", kCommand);
    return kExitUnusable;
  }
  o.active = active;
  if (o.date.empty()) {
    // The latest Sunday on or before today: the FCC makes its weekly archive on Sundays.
    const platform::LocalTime now = platform::local_time();
    const std::int64_t today = updater::days_since_epoch({now.year, now.month, now.day});
    const updater::Date d = updater::date_from_days(today - ((today % 7) + 4) % 7);
    char date[16];
    std::snprintf(date, sizeof date, "%04d%02d%02d", d.year, d.month, d.day);
    o.date = date;
  }
  o.zlib_library = platform::zlib_library_name();
  // One line, each stage in turn.
  Progress progress("licences", o.licences);
  std::string stage = "licences";
  o.progress = [&](const std::string& what, std::uint64_t done, std::uint64_t total) {
    if (what.empty()) return progress.finish();
    if (what != stage) progress.stage(stage = what, total);
    progress.update(done);
  };
  std::uint64_t bytes = 0;
  std::string error;
  const int rc = a.weekly ? demo::make_fcc_archive(o, &bytes, &error) : 0;
  progress.finish();
  if (rc != 0) {
    std::fprintf(stderr, "%s: %s\n", kCommand, error.c_str());
    return rc == 2 ? kExitUnusable : kExitMiss;
  }
  if (a.weekly) {
    std::printf("%s: %zu licences, %zu active, %llu bytes\n", o.path.c_str(), o.licences,
                o.active, static_cast<unsigned long long>(bytes));
  }
  if (a.dailies.folder.empty()) return kExitOk;
  std::vector<std::string> made;
  const int daily = demo::make_fcc_dailies(o, a.dailies, &made, &error);
  if (daily != 0) {
    std::fprintf(stderr, "%s: %s\n", kCommand, error.c_str());
    return daily == 2 ? kExitUnusable : kExitMiss;
  }
  for (const std::string& path : made) std::printf("%s\n", path.c_str());
  return kExitOk;
}

}  // namespace

void add_demo_fcc_command(CLI::App& app, int* exit_code) {
  auto a = std::make_shared<DemoFccArgs>();
  CLI::App* command = app.add_subcommand(
      "demo-fcc",
      "Make a full-size synthetic weekly archive of the FCC's amateur licences, of the shape "
      "of l_amat.zip, in OUT.zip: members counts, AM.dat, CO.dat, EN.dat, HD.dat and HS.dat, "
      "'|'-separated with CR LF line ends, each deflated with a data descriptor after its data. "
      "Seeded random licences (1,500,000 by default, 780,000 of them active, that is with "
      "status A; with --licences alone, 52% active), each with a call sign of its own; the same "
      "options give the same bytes. With --zip64 the members carry zip64 extra fields and "
      "zip64 data descriptors, as streaming zip tools write them. An existing OUT.zip is never "
      "replaced. Needs zlib's shared library. Prints \"OUT.zip: N licences, M active, B "
      "bytes\". Exit 0 when made, 1 when OUT.zip exists or could not be written, 2 for bad "
      "usage.");
  command->add_option("OUT.zip", a->archive.path, "The archive to make")->required();
  command->add_option("--seed", a->seed, "Seed of the random licences (default 1)")
      ->type_name("N");
  command->add_option("--licences", a->archive.licences, "Licences in the archive")
      ->type_name("N");
  command->add_option("--active", a->active, "How many of them are active")->type_name("N");
  command->add_flag("--zip64", a->archive.zip64, "Write the zip64 form");
  command->add_option("--date", a->archive.date,
                      "The archive's day (default: the latest Sunday)")
      ->type_name("YYYYMMDD");
  command
      ->add_option("--dailies", a->dailies.folder,
                   "Also write the daily archives of the days after OUT.zip's into DIR, as the "
                   "FCC names them (l_am_sun.zip holds the changes of Sunday, made on Monday), "
                   "each with whole records of the licences changed that day: granted, "
                   "cancelled, moved, renewed or given a vanity call sign. Prints their paths")
      ->type_name("DIR");
  command->add_option("--days", a->dailies.days, "How many dailies, 0 to 7 (default 7)")
      ->type_name("N");
  command->add_option("--changes", a->dailies.changes_per_day,
                      "Licences changed a day (default 1500)")
      ->type_name("N");
  command->add_flag("--dailies-only", [a](std::int64_t) { a->weekly = false; },
                    "Write the dailies alone; OUT.zip names the weekly they follow");
  command->callback([a, exit_code] { *exit_code = run_demo_fcc(*a); });
}

}  // namespace calldb
