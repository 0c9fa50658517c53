// A club's week on real data: the FCC's daily archives imported into two dated snapshots a week
// apart, the weekly file between them published, served by a real nginx, and a member's data
// folder brought from the older snapshot to the newer one by an ordinary update run.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/nginx_server.h"
#include "tests/support/run_process.h"
#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;
using testutil::Outcome;
using testutil::read_bytes;

const std::string kZips = std::string(ORBISK_SHARED_DATA) + "/fcc/daily_zips/";

Outcome calldb(const std::vector<std::string>& args) {
  return testutil::run_process(CALLDB_PATH, args);
}

// Imports the daily archives of `days` into `folder`, dated `date`.
void import_days(const std::string& folder, const std::string& date,
                 const std::vector<std::string>& days) {
  fs::create_directories(folder);
  std::vector<std::string> args = {"import-uls", "-C", folder, "--date", date};
  for (const std::string& day : days) args.push_back(kZips + "l_am_" + day + ".zip");
  const Outcome o = calldb(args);
  ASSERT_EQ(o.code, 0) << o.err;
}

TEST(ClubPipeline, PublishedWeekServedByNginxBringsAMemberUpToDate) {
  testutil::TempDir dir;
  const std::string older = dir.file("older"), newer = dir.file("newer");
  const std::string snapshots = dir.file("snapshots"), server = dir.file("server");
  const std::string member = dir.file("member");
  // Monday to Wednesday as the week of 26 September, the whole week as that of 3 October.
  import_days(older, "20250926", {"mon", "tue", "wed"});
  import_days(newer, "20251003", {"mon", "tue", "wed", "thu", "fri", "sat"});
  fs::create_directories(snapshots);
  fs::copy_file(older + "/call.db", snapshots + "/call20250926.db");
  fs::copy_file(newer + "/call.db", snapshots + "/call20251003.db");

  const Outcome published = calldb({"publish", "--from", snapshots, "--to", server});
  ASSERT_EQ(published.code, 0) << published.err;
  EXPECT_NE(published.out.find("db-files/0926to1003.db: "), std::string::npos) << published.out;
  EXPECT_NE(published.out.find("published 1 weekly files up to 20251003\n"), std::string::npos)
      << published.out;

  // The member has the older database; KN7J, licensed on Wednesday, is still there.
  fs::create_directories(member);
  fs::copy_file(older + "/call.db", member + "/call.db");
  fs::copy_file(older + "/callprev.db", member + "/callprev.db");
  EXPECT_EQ(calldb({"lookup", "-C", member, "KN7J"}).code, 0);

  testutil::NginxServer nginx;
  ASSERT_EQ(nginx.start(server), "");
  const Outcome run = calldb({"update", "-C", member, "--server",
                              "127.0.0.1:" + std::to_string(nginx.port()), "--now",
                              "2025-10-03T12:00"});
  EXPECT_EQ(run.code, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("UM_UPDATE_DONE 1 0\n"), std::string::npos) << run.out;
  EXPECT_TRUE(nginx.wait_for_access("GET /db-files/0926to1003.db HTTP/1.1\" 200"));

  // The member's database is now the newer snapshot, byte for byte; KN7J was cancelled on
  // Thursday, and the older database is kept under its saved name.
  EXPECT_EQ(read_bytes(member + "/call.db"), read_bytes(newer + "/call.db"));
  EXPECT_EQ(read_bytes(member + "/call0926.db"), read_bytes(older + "/call.db"));
  const Outcome after = calldb({"lookup", "-C", member, "KN7J"});
  EXPECT_EQ(after.code, 1);
  EXPECT_EQ(after.out, "KN7J NOT FOUND\n\n");

  // Nothing is due any more.
  const Outcome again = calldb({"update", "-C", member, "--server",
                                "127.0.0.1:" + std::to_string(nginx.port()), "--now",
                                "2025-10-03T12:00"});
  EXPECT_NE(again.out.find("UM_UPDATE_DONE 0 -1\n"), std::string::npos) << again.out;
}

}  // namespace
