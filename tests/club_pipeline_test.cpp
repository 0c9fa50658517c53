// A club's week on real data, the one end-to-end calldb run: daily FCC archives imported into two
// snapshots, the week between them published, served by nginx, and a member brought up to date.

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/nginx_server.h"
#include "tests/support/run_process.h"
#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;
using testutil::read_bytes;
const std::string kZips = std::string(ORBISK_SHARED_DATA) + "/fcc/daily_zips/";

testutil::Outcome calldb(const std::vector<std::string>& args) {
  return testutil::run_process(CALLDB_PATH, args);
}

TEST(ClubPipeline, PublishedWeekServedByNginxBringsAMemberUpToDate) {
  testutil::TempDir dir;
  const std::string snapshots = dir.path(), member = dir.file("member");  // snapshots: call*.db
  fs::create_directories(member);
  // Monday to Wednesday as the week of 26 September, the whole week as that of 3 October.
  const auto import = [&](const std::string& date, int days) {
    std::vector<std::string> args = {"import-uls", "-C", member, "--date", date};
    for (const char* day : {"mon", "tue", "wed", "thu", "fri", "sat"}) {
      if (days-- > 0) args.push_back(kZips + "l_am_" + day + ".zip");
    }
    const testutil::Outcome o = calldb(args);
    fs::copy_file(member + "/call.db", snapshots + "/call" + date + ".db");
    return o.out + o.err;
  };
  import("20250926", 3);
  EXPECT_EQ(import("20251003", 6).substr(0, 75),
            "call.db: 1774 licences, dated 20251003\ncallprev.db: 471 previous callsigns\n");
  EXPECT_EQ(calldb({"publish", "--from", snapshots, "--to", dir.file("server")}).out,
            "db-files/0926to1003.db: 765 changes\npublished 1 weekly files up to 20251003\n");
  // The member has the older database, with KN7J, licensed on Wednesday.
  fs::copy_file(snapshots + "/call20250926.db", member + "/call.db",
                fs::copy_options::overwrite_existing);
  testutil::NginxServer nginx;
  ASSERT_EQ(nginx.start(dir.file("server")), "");
  const testutil::Outcome run =
      calldb({"update", "-C", member, "--server", "127.0.0.1:" + std::to_string(nginx.port()),
              "--now", "2025-10-03T12:00"});
  EXPECT_NE(run.out.find("UM_UPDATE_DONE 1 0\n"), std::string::npos) << run.out << run.err;
  EXPECT_TRUE(nginx.wait_for_access("GET /db-files/0926to1003.db HTTP/1.1\" 200"));
  EXPECT_TRUE(nginx.wait_for_access("GET /db-files/0926to1003.db.sha256 HTTP/1.1\" 200"));
  // The member's database is the newer snapshot, byte for byte: KN7J was cancelled on Thursday.
  EXPECT_EQ(read_bytes(member + "/call.db"), read_bytes(snapshots + "/call20251003.db"));
  EXPECT_EQ(calldb({"lookup", "-C", member, "KN7J"}).out, "KN7J NOT FOUND\n\n");
}

}  // namespace
