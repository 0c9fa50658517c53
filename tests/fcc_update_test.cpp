// calldb update with the FCC as its source, against a server posing as the FCC: what the run
// prints and leaves, and a server that cannot be reached named with the option that chose it.

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/fcc_site.h"
#include "tests/support/run_process.h"

namespace {

namespace fs = std::filesystem;
using testutil::read_bytes;
using Args = std::vector<std::string>;

testutil::Outcome calldb(const Args& args) { return testutil::run_process(CALLDB_PATH, args); }

TEST(FccUpdate, MakesTheFirstDatabaseAsAnImportOfTheWeeklyAndItsDailies) {
  testutil::FccSite site;
  ASSERT_EQ(site.start(), "");
  const testutil::TempDir data, ref;
  const Args update = {"update", "-C", data.path(), "--fcc-server", site.address(), "--ca-file",
                       site.ca()};

  // Nobody there: the box names the server and the option that chose it; nothing is left.
  Args refused = update;
  refused[4] = "127.0.0.1:1";
  const testutil::Outcome failed = calldb(refused);
  EXPECT_EQ(failed.code, 1);
  EXPECT_NE(failed.out.find("l_amat.zip <<--downloading\nERROR: l_amat.zip: "), std::string::npos)
      << failed.out;
  EXPECT_NE(failed.err.find("on port 1 (the FCC's server, --fcc-server)\n\nCheck the network "
                            "connection and the server, 127.0.0.1:1 (the FCC's server, "
                            "--fcc-server), then try again."),
            std::string::npos) << failed.err;
  EXPECT_TRUE(fs::is_empty(data.path()));

  const testutil::Outcome run = calldb(update);
  ASSERT_EQ(run.code, 0) << run.out << run.err;
  Args import = {"import-uls", "-C", ref.path(), "--date", "20261213", site.weekly()};
  import.insert(import.end(), site.dailies().begin(), site.dailies().end());
  ASSERT_EQ(calldb(import).code, 0);
  for (const char* file : {"call.db", "callprev.db"}) {
    EXPECT_TRUE(read_bytes(data.file(file)) == read_bytes(ref.file(file))) << file;
  }
  EXPECT_EQ(run.out.substr(0, run.out.find('\n')), "No call.db in " + data.path() +
                                                       ": the first database comes from the "
                                                       "FCC's weekly archive");
  EXPECT_NE(run.out.find("l_am_sat.zip: dated 20261213, applied\n"), std::string::npos);
  EXPECT_NE(run.out.find("12/13/2026 <<---new database date, "), std::string::npos);
  EXPECT_TRUE(run.out.ends_with("UM_UPDATE_DONE 8 0\n")) << run.out;  // the weekly, 7 dailies
}

}  // namespace
