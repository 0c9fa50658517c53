// calldb publish and calldb demo: the publisher's weekly files, and a full-size demo of seeded
// random licences with its own update server folder.

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "tools/commands.h"
#include "demo/demo_data.h"
#include "tools/progress.h"
#include "demo/publish.h"

namespace calldb {

namespace {

struct PublishOptions {
  std::string from;
  std::string to;
};

int run_publish(const PublishOptions& o) {
  std::string error;
  std::vector<Snapshot> snapshots;
  PublishResult r = find_snapshots(o.from, &snapshots, &error);
  std::size_t files = 0;
  if (r == PublishResult::ok) {
    Progress progress("weekly files");
    r = publish_updates(snapshots, o.to,
                        [&](const PublishedFile& f) {
                          progress.update(++files);
                          std::printf("db-files/%s: %zu changes\n", f.name.c_str(), f.changes);
                        },
                        &error);
  }
  if (r != PublishResult::ok) {
    std::fflush(stdout);
    std::fprintf(stderr, "calldb publish: %s\n", error.c_str());
    return r == PublishResult::io_error ? kExitMiss : kExitUnusable;
  }
  std::printf("published %zu weekly files up to %s\n", files, snapshots.back().date.c_str());
  return kExitOk;
}

struct DemoCommandOptions {
  demo::DemoOptions demo;
  std::string seed = "1";
};

int run_demo(DemoCommandOptions& o) {
  char* end = nullptr;
  o.demo.seed = std::strtoull(o.seed.c_str(), &end, 10);
  if (o.seed.empty() || *end != '\0' || o.seed[0] == '-') {
    std::fprintf(stderr, "calldb demo: --seed must be a whole number\n");
    return kExitUnusable;
  }
  if (o.demo.today.empty()) {
    const platform::LocalTime now = platform::local_time();
    char today[16];
    std::snprintf(today, sizeof today, "%04d%02d%02d", now.year, now.month, now.day);
    o.demo.today = today;
  }
  std::unique_ptr<Progress> progress;
  std::string stage;
  o.demo.progress = [&](const std::string& what, std::uint64_t done, std::uint64_t total) {
    if (what != stage) {
      stage = what;
      progress.reset();
      if (!what.empty()) progress = std::make_unique<Progress>(what, total);
    }
    if (progress) progress->update(done);
  };
  demo::DemoReport report;
  std::string error;
  const int rc = demo::make_demo(o.demo, &report, &error);
  progress.reset();
  if (rc != 0) {
    std::fprintf(stderr, "calldb demo: %s\n", error.c_str());
    return rc == 2 ? kExitUnusable : kExitMiss;
  }
  // The help pages are a help, not a part of the data: one that cannot be copied is said, and
  // the demo stands.
  const int pages = demo::copy_help_pages(demo::help_page_folders(), report.data_folder);
  if (pages != 0) {
    std::fprintf(stderr, "calldb demo: help pages not copied: %s\n", std::strerror(pages));
  }
  std::printf("data folder: %s\n", report.data_folder.c_str());
  std::printf("call.db: %zu licences dated %s\n", report.us, report.db_date.c_str());
  std::printf("callprev.db: %zu previous callsigns\n", report.previous);
  std::printf("cancall.db: %zu licences\n", report.canadian);
  std::printf("update server: %s\n", report.server_folder.c_str());
  std::printf("db-files: %zu weekly files up to %s\n", report.weekly_files,
              report.newest_date.c_str());
  std::printf("datafiles/amateur.zip: %zu licences\n", report.listed);
  return kExitOk;
}

}  // namespace

void add_demo_commands(CLI::App& app, int* exit_code) {
  auto p = std::make_shared<PublishOptions>();
  CLI::App* publish = app.add_subcommand(
      "publish",
      "Write the weekly update files an update server serves, from dated snapshots of "
      "call.db: every regular file named call*.db in FROM except callprev.db, dated by its "
      "header. The dates must lie on one weekly grid (whole weeks apart), one snapshot a date. "
      "Between two snapshots k weeks apart, the first week's file carries every change and "
      "the k-1 after it none; each file is dated with its week's end, so a client at any "
      "snapshot's date reaches the newest through ordinary update runs. Files go to "
      "TO/db-files/ (created), each with its digest NAME.sha256 beside it (the line sha256sum "
      "writes, which the update run checks a fetched file against), each written under a "
      "temporary name and renamed when whole; a file of the same name from an earlier year is "
      "replaced. Prints \"db-files/MMDDtoMMDD.db: N "
      "changes\" for each file in date order and last \"published F weekly files up to "
      "YYYYMMDD\" (the newest snapshot's date). Exit 0 when all were written, 1 when a file "
      "could not be read or written, 2 for bad usage or bad snapshots (none, two of one date, "
      "off the weekly grid, or not a sound call.db).");
  publish->add_option("--from", p->from, "Folder of the call.db snapshots")
      ->required()
      ->type_name("DIR");
  publish->add_option("--to", p->to, "The update server's folder; files go to its db-files/")
      ->required()
      ->type_name("SERVERDIR");
  publish->callback([p, exit_code] { *exit_code = run_publish(*p); });

  auto d = std::make_shared<DemoCommandOptions>();
  CLI::App* demo = app.add_subcommand(
      "demo",
      "Make a full-size demo of seeded random licences in DIR, which must be missing (its "
      "parent must exist) or empty; nothing there is ever overwritten. The same seed and "
      "date give the same bytes. DIR/calldb is a data folder: call.db (about 780,000 US "
      "licences, dated D0 = the latest Friday on or before TODAY less 4 weeks), callprev.db "
      "(about 50,000 previous callsigns), cancall.db (converted from the demo's Canadian "
      "list) and the help pages orbisk-help.html and fernwick-help.html (from beside calldb, "
      "else the installed documents, when found there). DIR/server is its update server's "
      "folder: db-files/ holds the 4 weekly update files from D0 to that Friday, datafiles/amateur.zip the Canadian list amateur.txt "
      "(about 92,000 licences). Prints, in this order:\n"
      "  data folder: DIR/calldb\n"
      "  call.db: N licences dated YYYYMMDD\n"
      "  callprev.db: M previous callsigns\n"
      "  cancall.db: K licences\n"
      "  update server: DIR/server\n"
      "  db-files: F weekly files up to YYYYMMDD\n"
      "  datafiles/amateur.zip: L licences\n"
      "Exit 0 when made, 1 when DIR is not empty or a file could not be written (what was "
      "written is removed), 2 for bad usage.");
  demo->add_option("DIR", d->demo.folder, "Folder to make the demo in")
      ->required()
      ->type_name("DIR");
  demo->add_option("--seed", d->seed, "Seed of the random data (default 1)")->type_name("N");
  demo->add_option("--today", d->demo.today, "The date to work back from (default: today)")
      ->type_name("YYYYMMDD");
  // Smaller demos for tests.
  demo->add_option("--us", d->demo.us)->group("");
  demo->add_option("--canadian", d->demo.canadian)->group("");
  demo->add_option("--previous", d->demo.previous)->group("");
  demo->add_option("--weeks", d->demo.weeks)->group("");
  demo->callback([d, exit_code] { *exit_code = run_demo(*d); });
}

}  // namespace calldb
