// The Canadian update run against nginx with TLS on 127.0.0.1: the authority's real list (90,155
// licences, in UTF-8) from end to end, and what a failed step leaves. The steps have tests of
// their own. Without nginx, openssl or the shared list (scripts/setup, ../shared/data) it fails.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <sstream>

#include "dbfiles/lookup.h"
#include "tests/support/nginx_server.h"
#include "tests/support/recording_link.h"
#include "tests/support/test_certificates.h"
#include "tests/support/zip_tools.h"
#include "tests/test_util.h"
#include "demo/demo_data.h"
#include "updater/canupdate.h"
#include "updater/https_client.h"
#include "updater/zlib_loader.h"

namespace {

using Texts = std::vector<std::string>;

// The licences of the authority's real semicolon-separated list in the shared data folder, their
// texts in the Windows code page (one byte a character, so that the fixed columns can be laid
// out by bytes); none when the list cannot be read.
std::vector<calldb::demo::CanadianLicence> real_licences() {
  const testutil::TempDir dir;
  std::vector<calldb::demo::CanadianLicence> licences;
  if (testutil::python("import sys, zipfile\n"
                       "text = zipfile.ZipFile(sys.argv[1]).read('amateur_delim.txt')\n"
                       "text = text.decode('utf-8', 'replace').encode('cp1252', 'replace')\n"
                       "open(sys.argv[2], 'wb').write(text)\n",
                       {ORBISK_SHARED_DATA "/canada/amateur_delim_2025-03-30.zip",
                        dir.file("list")}) != 0) {
    return licences;
  }
  std::istringstream in(testutil::read_bytes(dir.file("list")));
  std::string line;
  std::getline(in, line);  // the header
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    calldb::demo::CanadianLicence l;
    std::istringstream values(line + ";");
    for (std::string* field : {&l.callsign, &l.first_name, &l.surname, &l.address, &l.city,
                               &l.province, &l.postal, &l.quals[0], &l.quals[1], &l.quals[2],
                               &l.quals[3], &l.quals[4], &l.club_name, &l.club_name_2,
                               &l.club_address, &l.club_city, &l.club_province, &l.club_postal}) {
      std::getline(values, *field, ';');
    }
    if (!line.empty()) licences.push_back(l);
  }
  return licences;
}

TEST(CanadaRunTest, RealListIsDownloadedExtractedAndConvertedAndAFailedStepKeepsTheLaterFiles) {
  ASSERT_NE(testutil::TestCertificates::openssl(), "") << "scripts/setup installs openssl";
  ASSERT_NE(testutil::NginxServer::find_binary(), "") << "scripts/setup installs nginx";
  const testutil::TempDir www, data;  // readable by others: nginx may drop root's rights
  std::filesystem::create_directories(www.file("datafiles"));
  ::chmod(www.path().c_str(), 0755);
  ::chmod(www.file("datafiles").c_str(), 0755);
  const auto licences = real_licences();
  ASSERT_FALSE(licences.empty()) << "the shared Canadian list (" ORBISK_SHARED_DATA
                                    "/canada) cannot be read";
  // The list in UTF-8, as the authority publishes it.
  const std::string list = www.file("amateur.txt"), served = www.file("datafiles/amateur.zip");
  testutil::write_bytes(list, calldb::demo::fixed_column_list(licences, "2025-03-30"));
  ASSERT_EQ(testutil::python("import sys, zipfile\n"
                             "text = open(sys.argv[2], 'rb').read().decode('cp1252')\n"
                             "open(sys.argv[2], 'wb').write(text.encode('utf-8'))\n"
                             "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:\n"
                             "    z.write(sys.argv[2], 'amateur.txt')\n",
                             {www.file("list.zip"), list}),
            0);
  const testutil::TestCertificates certificates;
  ASSERT_EQ(certificates.error(), "");
  platform::Library zlib;
  updater::ZlibApi api;
  testutil::RecordingLink link;
  ASSERT_TRUE(updater::load_zlib(link, platform::zlib_library_name(), &zlib, &api));
  ASSERT_EQ(platform::start_sockets(), 0);
  testutil::NginxServer nginx;
  ASSERT_EQ(nginx.start(www.path(), certificates.cert("good"), certificates.key("good")), "");
  // The other rows' status, bytes and total (cells 1 to 3) are cleared first.
  Texts cleared;
  for (int cell = 3; cell < 3 * updater::kRowCount; ++cell) {
    cleared.push_back("row:" + std::to_string(cell / 3) + "." + std::to_string(1 + cell % 3) + "=");
  }
  const struct {
    std::string zip;  // the one served, none when ""
    Texts statuses;
    std::string log_end;
  } cases[] = {
      {"<!DOCTYPE html>\r\n<html><body>Maintenance</body></html>\r\n",
       {"downloading", "unzip'ing", "ERROR"},
       "amateur.txt not found in amateur.zip\r\nunzip(amateur.zip)=-2\r\n"},
      {"", {"downloading", "Not avail"}, "\r\nERROR the server answered 404 for amateur.zip\r\n"},
      {testutil::read_bytes(www.file("list.zip")),
       {"downloading", "unzip'ing", "processing", "done"}, "cancall.db written\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.log_end);
    std::filesystem::remove(served);
    if (!c.zip.empty()) testutil::write_bytes(served, c.zip);
    for (const char* name : {"amateur.txt", "amateur.zip", "cancall.db"}) {
      testutil::write_bytes(data.file(name), std::string("old ") + name);
    }
    link.clear();
    updater::UpdaterState state;
    std::snprintf(state.update_rows[0].name, sizeof state.update_rows[0].name, "0105to0112.db");
    updater::UpdateRow& own = state.update_rows[updater::kCanadaRow];
    own.row_state = updater::kNotAvail;  // a former run's
    updater::WorkerEnv env;
    env.link = &link;
    env.state = &state;
    env.folder = data.path();
    env.canada_server = {"127.0.0.1", nginx.port()};
    env.ca_file = certificates.ca();
    env.zlib = &api;
    updater::set_tls_receive_timeout_for_tests(20);  // nginx answers at once
    const bool ok = c.statuses.back() == "done";
    EXPECT_EQ(updater::canupdate(env), ok ? 0 : -1) << link.log();
    updater::set_tls_receive_timeout_for_tests(0);
    // Then only the first row changes, and one finished message ends the run.
    const Texts events = link.events();
    EXPECT_EQ(Texts(events.begin(), events.begin() + cleared.size()), cleared);
    Texts statuses;
    for (auto e = events.begin() + cleared.size(); e + 1 < events.end(); ++e) {
      EXPECT_TRUE(!e->starts_with("row:") || e->starts_with("row:0.")) << *e;
      if (e->starts_with("row:0.1=")) statuses.push_back(e->substr(8));
    }
    EXPECT_EQ(statuses, c.statuses);
    EXPECT_EQ(events.back(), "finished:" + std::to_string(updater::UM_CANADA_DONE) + " 0 0");
    EXPECT_STREQ(state.update_rows[0].name, "0105to0112.db");
    EXPECT_STREQ(own.name, "amateur.zip");
    EXPECT_EQ(own.row_state, c.zip.empty() ? updater::kNotAvail : updater::kNeeded);
    EXPECT_TRUE(link.log().ends_with(c.log_end)) << link.log();
    EXPECT_EQ(link.row(0, updater::RowCell::name), ok ? "2025-03-30" : "amateur.zip");
    EXPECT_TRUE(testutil::read_bytes(data.file("amateur.zip")) ==
                (c.zip.empty() ? "old amateur.zip" : c.zip));
    EXPECT_TRUE(testutil::read_bytes(data.file("amateur.txt")) ==
                (ok ? testutil::read_bytes(list) : "old amateur.txt"));
    EXPECT_TRUE(ok || testutil::read_bytes(data.file("cancall.db")) == "old cancall.db");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(data.path()), {}), 3);
  }
  dbfiles::LookupFiles files;  // the last run's
  dbfiles::open_lookup_files(data.path(), dbfiles::Edition::full, &files);
  EXPECT_EQ(dbfiles::canadian_line(files.canada), "Canadian data 03/30/2025,   90155 entries\r\n");
  // Licences with accents and characters outside Latin-1, in Latin-1 as the windows show them.
  const std::pair<const char*, const char*> shown[] = {
      {"VA2UT", "Fran\xE7ois Chillas\r\n883 rue de l'Anse\r\nSHERBROOKE, QC  J1E 3S5"},
      {"VA7CNS", " CVRD - EMERGENCY COMMUNICATIONS TEAM\r\n175 Ingram Street\r\n"
                 "Duncan, BC  V9L 1N8"},
  };
  for (const auto& [call, lines] : shown) {
    dbfiles::LookupResult result;
    EXPECT_EQ(dbfiles::search_callsign(files, call, &result).text,
              std::string(call) + "\r\n" + lines + "\r\n\r\n");
  }
  dbfiles::close_lookup_files(&files);
  platform::stop_sockets();
}

}  // namespace
