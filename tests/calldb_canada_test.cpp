// What calldb update-canada and convert-canada add to the Canadian update run and conversion:
// arguments, output on the terminal and exit codes. One run fetches the real published list
// (deflated by Info-ZIP zip) from nginx speaking TLS on 127.0.0.1 under a test certificate
// authority; what the run and the conversion do in detail is tested with the engines.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "dbfiles/dbwriter.h"
#include "tests/support/canada_list.h"
#include "tests/support/canada_publication.h"
#include "tests/support/nginx_server.h"
#include "tests/support/run_process.h"
#include "tests/support/test_certificates.h"
#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;
using testutil::Outcome;
using testutil::read_bytes;
using testutil::write_bytes;

constexpr char kZlibFound[] = "zlib is present\nall zlib procedures found\n";
constexpr char kDone[] = "UM_CANADA_DONE 0 0\n";
constexpr char kOldDb[] = "the database of the last good run";

Outcome calldb(const std::vector<std::string>& args, const std::string& cwd = "") {
  return testutil::run_process(CALLDB_PATH, args, cwd);
}

TEST(CalldbCanada, UpdateCanadaRebuildsTheDatabaseThatLookupThenReads) {
  if (testutil::TestCertificates::openssl().empty() ||
      testutil::NginxServer::find_binary().empty()) {
    GTEST_SKIP() << "openssl or nginx is not installed (scripts/setup installs them)";
  }
  testutil::TempDir site;
  ::chmod(site.path().c_str(), 0755);
  const testutil::CanadaPublication published = testutil::publish_canada_list(site.file("www"));
  if (!published.skip.empty()) GTEST_SKIP() << published.skip;
  ASSERT_EQ(published.error, "");
  testutil::TestCertificates certificates;
  ASSERT_EQ(certificates.error(), "");
  testutil::NginxServer nginx;
  ASSERT_EQ(nginx.start_tls(published.root, certificates.cert("good"), certificates.key("good")),
            "");
  const testutil::TempDir data;
  write_bytes(data.file("cancall.db"), kOldDb);
  std::string error;
  ASSERT_EQ(dbfiles::write_call_db(data.file("call.db"), "20250325", {}, &error), 0) << error;

  const Outcome r = calldb({"update-canada", "-C", data.path(), "--server",
                            "127.0.0.1:" + std::to_string(nginx.port()), "--ca-file",
                            certificates.ca()});
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(r.out.starts_with(std::string(kZlibFound) +
                                "Retrieved the server's certificate\nHTTP/1.1 200 OK\n"))
      << r.out;
  EXPECT_TRUE(r.out.ends_with("cancall.db written\n" + std::string(kDone))) << r.out;
  EXPECT_EQ(r.out.find('\r'), std::string::npos);
  const Outcome lookup = calldb({"lookup", "-C", data.path(), "VA1AA"});
  EXPECT_EQ(lookup.out,
            "VA1AA\nBill McFadden\n188 MILLWOOD DRIVE\nMIDDLE SACKVILLE, NS  B4E 2X8\n\n");

  // A run that cannot reach its server keeps the database and exits 1.
  write_bytes(data.file("cancall.db"), kOldDb);
  const Outcome failed = calldb({"update-canada", "-C", data.path(), "--server", "127.0.0.1:9"});
  EXPECT_EQ(failed.code, 1);
  EXPECT_TRUE(failed.out.ends_with(kDone)) << failed.out;
  EXPECT_EQ(read_bytes(data.file("cancall.db")), kOldDb);
}

TEST(CalldbCanada, UsageErrorsExitTwoAndAConversionWithoutAListOne) {
  const testutil::TempDir data;
  for (const char* server : {"h:0", "", ":443", "h:", "h:65536", "h:44x"}) {
    SCOPED_TRACE(server);
    const Outcome r = calldb({"update-canada", "-C", data.path(), "--server", server});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "calldb update-canada: --server must be HOST or HOST:PORT\n");
  }
  write_bytes(data.file("cancall.db"), kOldDb);
  const Outcome r = calldb({"convert-canada", "-C", data.path()});
  EXPECT_EQ(r.out, "amateur.txt <--ERROR OPENING FILE\n");
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(read_bytes(data.file("cancall.db")), kOldDb);
  EXPECT_EQ(std::distance(fs::directory_iterator(data.path()), fs::directory_iterator()), 1);
}

// In the current folder without -C; the log lines on the terminal end in "\n".
TEST(CalldbCanada, ConvertCanadaWritesTheDatabaseAndPrintsItsLog) {
  const testutil::TempDir data;
  testutil::CanadianLicence licence;
  licence.callsign = "VE3ABC";
  licence.first_name = "John";
  licence.surname = "Smith";
  write_bytes(data.file("amateur.txt"), testutil::fixed_column_list({licence}, "2024-11-05"));
  const Outcome r = calldb({"convert-canada"}, data.path());
  EXPECT_TRUE(r.out.starts_with("2024-11-05 -- canadian db date\n")) << r.out;
  EXPECT_TRUE(r.out.ends_with("cancall.db written\n")) << r.out;
  EXPECT_EQ(r.out.find('\r'), std::string::npos);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.code, 0);
  EXPECT_TRUE(fs::exists(data.file("cancall.db")));
}

}  // namespace
