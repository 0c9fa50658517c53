// A club's week on real data, the one end-to-end calldb run: the FCC's daily archives imported
// into two snapshots a week apart, the weekly file between them published and served by a real
// nginx, and a member's data folder brought from the older snapshot to the newer one.

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/nginx_server.h"
#include "tests/support/run_process.h"
#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;
using testutil::read_bytes;

testutil::Outcome calldb(const std::vector<std::string>& args) {
  return testutil::run_process(CALLDB_PATH, args);
}

TEST(ClubPipeline, PublishedWeekServedByNginxBringsAMemberUpToDate) {
  testutil::TempDir dir;
  const std::string snapshots = dir.file("snapshots"), member = dir.file("member");
  fs::create_directories(snapshots);
  fs::create_directories(member);
  // Monday to Wednesday as the week of 26 September, the whole week as that of 3 October.
  std::vector<std::string> args = {"import-uls", "-C", member, "--date", "20250926"};
  for (const char* day : {"mon", "tue", "wed", "", "thu", "fri", "sat"}) {
    if (*day == '\0') {
      ASSERT_EQ(calldb(args).code, 0);
      fs::copy_file(member + "/call.db", snapshots + "/call20250926.db");
      args[4] = "20251003";
    } else {
      args.push_back(std::string(ORBISK_SHARED_DATA) + "/fcc/daily_zips/l_am_" + day + ".zip");
    }
  }
  const testutil::Outcome week = calldb(args);
  EXPECT_EQ(week.out + week.err, "call.db: 1774 licences, dated 20251003\ncallprev.db: 471 previous "
                                 "callsigns\ncut: 0 records too long for their fields\nskipped: 0 lines\n");
  fs::copy_file(member + "/call.db", snapshots + "/call20251003.db");
  const testutil::Outcome published = calldb({"publish", "--from", snapshots, "--to", dir.file("server")});
  EXPECT_EQ(published.out.substr(published.out.find('\n') + 1), "published 1 weekly files up to 20251003\n");

  // The member has the older database; KN7J, licensed on Wednesday, is still there.
  fs::copy_file(snapshots + "/call20250926.db", member + "/call.db", fs::copy_options::overwrite_existing);
  EXPECT_EQ(calldb({"lookup", "-C", member, "KN7J"}).code, 0);
  testutil::NginxServer nginx;
  ASSERT_EQ(nginx.start(dir.file("server")), "");
  const std::vector<std::string> update = {"update", "-C", member, "--server",
                                           "127.0.0.1:" + std::to_string(nginx.port()), "--now",
                                           "2025-10-03T12:00"};
  const testutil::Outcome run = calldb(update);
  EXPECT_NE(run.out.find("UM_UPDATE_DONE 1 0\n"), std::string::npos) << run.out << run.err;
  EXPECT_TRUE(nginx.wait_for_access("GET /db-files/0926to1003.db HTTP/1.1\" 200"));

  // The member's database is the newer snapshot, byte for byte, the older one kept under its
  // saved name; KN7J was cancelled on Thursday. Then nothing is due any more.
  EXPECT_EQ(read_bytes(member + "/call.db"), read_bytes(snapshots + "/call20251003.db"));
  EXPECT_EQ(read_bytes(member + "/call0926.db"), read_bytes(snapshots + "/call20250926.db"));
  const testutil::Outcome after = calldb({"lookup", "-C", member, "KN7J"});
  EXPECT_EQ(std::pair(after.code, after.out), std::pair(1, std::string("KN7J NOT FOUND\n\n")));
  EXPECT_NE(calldb(update).out.find("UM_UPDATE_DONE 0 -1\n"), std::string::npos);
}

}  // namespace
