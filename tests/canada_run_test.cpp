// The Canadian update run from end to end: canupdate downloads amateur.zip from a real nginx
// speaking TLS on 127.0.0.1 with a test certificate authority, extracts amateur.txt with the
// system's zlib and converts it into cancall.db, all through a recording link. The archive
// holds the real published list (90,155 licences) deflated by Info-ZIP zip. A run that fails
// at any step must leave the data of the last good run as it was.

#include "updater/canupdate.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "dbfiles/lookup.h"
#include "platform/platform.h"
#include "tests/support/canada_publication.h"
#include "tests/support/nginx_server.h"
#include "tests/support/recording_link.h"
#include "tests/support/test_certificates.h"
#include "tests/support/zip_tools.h"
#include "tests/test_util.h"
#include "updater/https_client.h"
#include "updater/updater_state.h"
#include "updater/zlib_api.h"
#include "updater/zlib_loader.h"

namespace {

namespace fs = std::filesystem;
using testutil::RecordingLink;
using updater::RowCell;

constexpr char kOldZip[] = "the archive of the last good run";
constexpr char kOldList[] = "the list of the last good run";
constexpr char kOldDb[] = "the database of the last good run";
constexpr char kRetrieved[] = "Retrieved the server's certificate\r\n";
// A row the run does not own, named beforehand as the window would have it.
constexpr int kOtherRow = 3;
constexpr char kOtherName[] = "call.db";
// The file a US run left in the first row, which "Copy to A:" copies first.
constexpr char kFirstWeek[] = "0105to0112.db";

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::vector<std::string> names_in(const std::string& folder) {
  std::vector<std::string> names;
  for (const fs::directory_entry& e : fs::directory_iterator(folder)) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}


// One canupdate and what it left.
struct RunOutcome {
  int result = 0;
  RecordingLink link;
  updater::UpdaterState state;
  std::string out;  // standard output
  std::size_t first_event = 0;  // the run's first event; those before set the window up

  std::string log() const { return link.log(); }

  // The texts one cell of a row was given, in order.
  std::vector<std::string> cell_history(int row, RowCell cell) const {
    const std::string prefix =
        "row:" + std::to_string(row) + "." + std::to_string(static_cast<int>(cell)) + "=";
    std::vector<std::string> texts;
    for (const std::string& e : link.events()) {
      if (e.starts_with(prefix)) texts.push_back(e.substr(prefix.size()));
    }
    return texts;
  }
};

using Statuses = std::vector<std::string>;

class CanadaRunTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(platform::start_sockets(), 0);
    certificates_ = new testutil::TestCertificates;
  }
  static void TearDownTestSuite() {
    delete published_;
    delete site_;
    delete certificates_;
    published_ = nullptr;
    site_ = nullptr;
    certificates_ = nullptr;
    platform::stop_sockets();
  }

  void SetUp() override {
    if (testutil::TestCertificates::openssl().empty()) {
      GTEST_SKIP() << "the openssl command is not installed (scripts/setup installs it)";
    }
    if (testutil::NginxServer::find_binary().empty()) GTEST_SKIP() << "nginx is not installed";
    ASSERT_EQ(certificates_->error(), "");
    testutil::RecordingLink load_log;
    ASSERT_TRUE(updater::load_zlib(load_log, platform::zlib_library_name(), &zlib_, &api_))
        << load_log.log();
    ::chmod(www_.path().c_str(), 0755);
    // nginx answers at once; a stall would be a fault, and must not hold the test long.
    updater::set_tls_receive_timeout_for_tests(20);
  }
  void TearDown() override { updater::set_tls_receive_timeout_for_tests(0); }

  std::string data(const std::string& name) const { return data_.file(name); }

  // Publishes the real list (once for all the tests), or skips the test when it cannot.
  // Callers go on only when !IsSkipped() && !HasFatalFailure().
  static void need_real_list() {
    if (published_ == nullptr) {
      site_ = new testutil::TempDir;
      ::chmod(site_->path().c_str(), 0755);
      published_ = new testutil::CanadaPublication(
          testutil::publish_canada_list(site_->file("www")));
    }
    if (!published_->skip.empty()) GTEST_SKIP() << published_->skip;
    ASSERT_EQ(published_->error, "");
  }

  // The data of a last good run, which a failed run must leave alone.
  void put_old_data() {
    testutil::write_bytes(data("amateur.zip"), kOldZip);
    testutil::write_bytes(data("amateur.txt"), kOldList);
    testutil::write_bytes(data("cancall.db"), kOldDb);
  }

  void expect_old_data_kept(bool zip_too = true) {
    if (zip_too) {
      EXPECT_EQ(testutil::read_bytes(data("amateur.zip")), kOldZip);
    }
    EXPECT_EQ(testutil::read_bytes(data("amateur.txt")), kOldList);
    EXPECT_EQ(testutil::read_bytes(data("cancall.db")), kOldDb);
    EXPECT_EQ(names_in(data_.path()),
              (std::vector<std::string>{"amateur.txt", "amateur.zip", "cancall.db"}));
  }

  // Starts nginx with TLS on `root` (the test CA's certificate for 127.0.0.1).
  void serve(testutil::NginxServer* nginx, const std::string& root) {
    ASSERT_EQ(nginx->start_tls(root, certificates_->cert("good"), certificates_->key("good")),
              "");
  }

  // A document root of this test's own whose amateur.zip holds `archive`.
  std::string own_site(const std::string& archive) {
    const std::string root = www_.file("www");
    testutil::make_site(root, &archive);
    return root;
  }

  // Runs canupdate against 127.0.0.1:port, the test CA trusted when `trust`.
  std::unique_ptr<RunOutcome> run(int port, bool trust = true, bool with_zlib = true) {
    auto r = std::make_unique<RunOutcome>();
    std::snprintf(r->state.update_rows[kOtherRow].name,
                  sizeof r->state.update_rows[kOtherRow].name, "%s", kOtherName);
    std::snprintf(r->state.update_rows[0].name, sizeof r->state.update_rows[0].name, "%s",
                  kFirstWeek);
    r->link.set_row_cell(kOtherRow, RowCell::name, kOtherName);
    r->first_event = r->link.events().size();
    updater::WorkerEnv env;
    env.link = &r->link;
    env.state = &r->state;
    env.folder = data_.path();
    env.canada_server = {"127.0.0.1", port};
    if (trust) env.ca_file = certificates_->ca();
    if (with_zlib) env.zlib = &api_;
    env.cancel = &cancel_;
    testing::internal::CaptureStdout();
    r->result = updater::canupdate(env);
    r->out = testing::internal::GetCapturedStdout();
    return r;
  }

  // What every run does whatever happens: only row 0's cells are its own, the other rows'
  // status, bytes and total cells are cleared before anything else and their names stay; the
  // run's file is in its own row, so the US rows keep their files; and exactly one finished
  // message ends it.
  static void expect_frame(const RunOutcome& r) {
    const std::vector<std::string> events = r.link.events();
    std::set<std::string> cleared;
    std::size_t first_own = r.first_event;
    while (first_own < events.size() && !events[first_own].starts_with("row:0.")) {
      cleared.insert(events[first_own]);
      ++first_own;
    }
    std::set<std::string> expected;
    for (int row = 1; row < updater::kRowCount; ++row) {
      for (const RowCell cell : {RowCell::status, RowCell::bytes, RowCell::total}) {
        expected.insert("row:" + std::to_string(row) + "." +
                        std::to_string(static_cast<int>(cell)) + "=");
      }
    }
    EXPECT_EQ(first_own - r.first_event, expected.size());
    EXPECT_EQ(cleared, expected);
    for (std::size_t i = first_own; i < events.size(); ++i) {
      EXPECT_FALSE(events[i].starts_with("row:") && !events[i].starts_with("row:0."))
          << events[i];
    }
    for (int row = 1; row < updater::kRowCount; ++row) {
      EXPECT_EQ(r.cell_history(row, RowCell::name),
                row == kOtherRow ? Statuses{kOtherName} : Statuses{})
          << row;
    }
    EXPECT_EQ(r.link.row(kOtherRow, RowCell::name), kOtherName);
    EXPECT_STREQ(r.state.update_rows[kOtherRow].name, kOtherName);
    EXPECT_TRUE(r.link.boxes().empty());

    const auto finished = r.link.finished_messages();
    ASSERT_EQ(finished.size(), 1u);
    EXPECT_EQ(finished[0].message, updater::UM_CANADA_DONE);
    EXPECT_EQ(finished[0].message, 1027);
    EXPECT_EQ(finished[0].wparam, 0);
    EXPECT_EQ(finished[0].lparam, 0);
    EXPECT_EQ(events.back(), "finished:1027 0 0");
    EXPECT_STREQ(r.state.update_rows[updater::kCanadaRow].name, "amateur.zip");
    EXPECT_STREQ(r.state.update_rows[0].name, kFirstWeek);
    EXPECT_EQ(r.state.update_rows[0].row_state, updater::kNeeded);
    EXPECT_EQ(r.out, "");
  }

  static testutil::TestCertificates* certificates_;
  static testutil::TempDir* site_;
  static testutil::CanadaPublication* published_;

  testutil::TempDir data_;  // the data folder
  testutil::TempDir www_;   // a document root of the test's own, under www/
  platform::Library zlib_;
  updater::ZlibApi api_;
  std::atomic<bool> cancel_{false};
};

testutil::TestCertificates* CanadaRunTest::certificates_ = nullptr;
testutil::TempDir* CanadaRunTest::site_ = nullptr;
testutil::CanadaPublication* CanadaRunTest::published_ = nullptr;

dbfiles::LookupResult found(const dbfiles::LookupFiles& files, const char* call) {
  dbfiles::LookupResult result;
  const dbfiles::LookupStatus status = dbfiles::lookup_call(files, call, &result);
  EXPECT_TRUE(status.found) << call;
  EXPECT_FALSE(status.damaged) << call;
  return result;
}

// ---------------------------------------------------------------------------------------------
// A whole run

TEST_F(CanadaRunTest, RealListIsDownloadedExtractedAndConvertedOverTheOldData) {
  need_real_list();
  if (IsSkipped() || HasFatalFailure()) return;
  put_old_data();
  testutil::NginxServer nginx;
  serve(&nginx, published_->root);
  const auto r = run(nginx.port());
  const testutil::CanadaPublication& p = *published_;

  EXPECT_EQ(r->result, 0) << r->log();
  expect_frame(*r);
  EXPECT_EQ(r->cell_history(0, RowCell::status),
            (Statuses{"downloading", "unzip'ing", "processing", "done"}));
  // The list's date replaces the archive's name once the conversion has read it.
  EXPECT_EQ(r->cell_history(0, RowCell::name),
            (Statuses{"amateur.zip", testutil::kCanadaListDate}));
  EXPECT_EQ(r->link.row(0, RowCell::total), std::to_string(p.zip_size));
  EXPECT_EQ(r->link.row(0, RowCell::bytes), std::to_string(p.zip_size));
  EXPECT_EQ(r->state.partial_download(), "");
  EXPECT_TRUE(nginx.wait_for_access("\"GET /datafiles/amateur.zip HTTP/1.1\" 200"));

  // The files: the archive as served, the list as put in it, and a new database.
  EXPECT_EQ(names_in(data_.path()),
            (std::vector<std::string>{"amateur.txt", "amateur.zip", "cancall.db"}));
  EXPECT_TRUE(testutil::read_bytes(data("amateur.zip")) == testutil::read_bytes(p.zip_path));
  EXPECT_TRUE(testutil::read_bytes(data("amateur.txt")) == testutil::read_bytes(p.list_path));
  const std::uint64_t db_size = fs::file_size(data("cancall.db"));

  // The log: the certificate, the server's head, then everything after the download exactly.
  const std::string log = r->log();
  EXPECT_TRUE(log.starts_with(std::string(kRetrieved) + "HTTP/1.1 200 OK\r\n")) << log;
  EXPECT_TRUE(contains(log, "\r\nContent-Length: " + std::to_string(p.zip_size) + "\r\n"));
  const std::size_t saved = log.find("saved amateur.zip ");
  ASSERT_NE(saved, std::string::npos) << log;
  const std::vector<std::string> tails = testutil::expected_run_tails(p, db_size);
  EXPECT_NE(std::find(tails.begin(), tails.end(), log.substr(saved)), tails.end())
      << log.substr(saved) << "\nexpected:\n"
      << tails[0];

  // The new database answers for real licences: a person, a club and licences without an
  // address, one of them with only a province.
  dbfiles::LookupFiles files;
  dbfiles::open_lookup_files(data_.path(), dbfiles::Edition::full, &files);
  EXPECT_EQ(dbfiles::canadian_line(files.canada), "Canadian data 03/30/2025,   90155 entries\r\n");
  EXPECT_EQ(files.canada.entries.size(), p.licences);
  dbfiles::LookupResult person = found(files, "VA1AA");
  EXPECT_STREQ(person.name_line, "Bill McFadden");
  EXPECT_STREQ(person.street_line, "188 MILLWOOD DRIVE");
  EXPECT_STREQ(person.place_line, "MIDDLE SACKVILLE, NS  B4E 2X8");
  dbfiles::LookupResult club = found(files, "VA1ADV");
  EXPECT_STREQ(club.name_line, " Advocate Fire Department");
  EXPECT_STREQ(club.street_line, "PO BOX 126");
  EXPECT_STREQ(club.place_line, "ADVOCATE HARBOUR, NS  B0M 1A0");
  dbfiles::LookupResult nowhere = found(files, "VA1NPG");
  EXPECT_STREQ(nowhere.name_line, "Lee Kenyon");
  EXPECT_STREQ(nowhere.street_line, "no addr given");
  EXPECT_STREQ(nowhere.place_line, "not really, ZZ  xxx xxx");
  dbfiles::LookupResult province_only = found(files, "VA1AAB");
  EXPECT_STREQ(province_only.name_line, "DAVID LEWIS");
  EXPECT_STREQ(province_only.street_line, "");
  EXPECT_STREQ(province_only.place_line, ", NS  ");
  dbfiles::LookupResult absent;
  EXPECT_FALSE(dbfiles::lookup_call(files, "VA1AAE", &absent).found);
  dbfiles::close_lookup_files(&files);
}

// ---------------------------------------------------------------------------------------------
// Failures keep the data of the last good run

TEST_F(CanadaRunTest, ListMissingOnTheServerIsNotAvailable) {
  put_old_data();
  testutil::NginxServer nginx;
  const std::string root = www_.file("www");
  testutil::make_site(root);
  serve(&nginx, root);
  const auto r = run(nginx.port());

  EXPECT_EQ(r->result, -1);
  expect_frame(*r);
  EXPECT_EQ(r->cell_history(0, RowCell::status), (Statuses{"downloading", "Not avail"}));
  EXPECT_EQ(r->state.update_rows[updater::kCanadaRow].row_state, updater::kNotAvail);
  EXPECT_EQ(r->state.update_rows[updater::kCanadaRow].row_state, 6);
  EXPECT_TRUE(r->log().starts_with(std::string(kRetrieved) + "HTTP/1.1 404 Not Found\r\n"))
      << r->log();
  EXPECT_TRUE(r->log().ends_with("\r\nERROR the server answered 404 for amateur.zip\r\n"))
      << r->log();
  EXPECT_TRUE(nginx.wait_for_access("\"GET /datafiles/amateur.zip HTTP/1.1\" 404"));
  expect_old_data_kept();
}

TEST_F(CanadaRunTest, UntrustedServerIsNotAvailableAndNothingIsAsked) {
  put_old_data();
  testutil::NginxServer nginx;
  serve(&nginx, own_site("an archive nobody asks for"));
  const auto r = run(nginx.port(), /*trust=*/false);

  EXPECT_EQ(r->result, -1);
  expect_frame(*r);
  EXPECT_EQ(r->cell_history(0, RowCell::status), (Statuses{"downloading", "Not avail"}));
  EXPECT_EQ(r->state.update_rows[updater::kCanadaRow].row_state, updater::kNotAvail);
  EXPECT_EQ(r->log(),
            "Certificate of 127.0.0.1 not trusted: unable to get local issuer certificate\r\n");
  nginx.stop();  // its log is whole once it has gone
  EXPECT_FALSE(contains(nginx.access_log(), "GET ")) << nginx.access_log();
  expect_old_data_kept();
}

TEST_F(CanadaRunTest, PageServedInPlaceOfTheArchiveYieldsNoList) {
  put_old_data();
  const std::string page =
      "<!DOCTYPE html>\r\n<html><head><title>Maintenance</title></head>\r\n"
      "<body><p>The amateur radio data files are being updated.</p></body></html>\r\n";
  testutil::NginxServer nginx;
  serve(&nginx, own_site(page));
  const auto r = run(nginx.port());

  EXPECT_EQ(r->result, -1);
  expect_frame(*r);
  EXPECT_EQ(r->cell_history(0, RowCell::status), (Statuses{"downloading", "unzip'ing", "ERROR"}));
  EXPECT_TRUE(r->log().ends_with("saved amateur.zip " + std::to_string(page.size()) +
                                 " bytes\n"
                                 "\r\nFiles in Canadian amateur.zip\r\n"
                                 " Compressed   Regular  Filename\r\n"
                                 "amateur.txt not found in amateur.zip\r\n"
                                 "unzip(amateur.zip)=-2\r\n"))
      << r->log();
  // The download itself was whole, so the page replaced the archive; the rest stays.
  EXPECT_EQ(testutil::read_bytes(data("amateur.zip")), page);
  expect_old_data_kept(/*zip_too=*/false);
}

TEST_F(CanadaRunTest, ListThatCannotBeConvertedEndsInErrorAndKeepsTheDatabase) {
  put_old_data();
  // Shorter than the date a list begins with.
  const std::string short_list = "2025-03";
  const std::string source = www_.file("amateur.txt");
  testutil::write_bytes(source, short_list);
  const std::string archive = www_.file("short.zip");
  ASSERT_EQ(testutil::shell("zip -q -j " + testutil::quoted(archive) + " " +
                            testutil::quoted(source)),
            0);
  testutil::NginxServer nginx;
  serve(&nginx, own_site(testutil::read_bytes(archive)));
  const auto r = run(nginx.port());

  EXPECT_EQ(r->result, -1);
  expect_frame(*r);
  EXPECT_EQ(r->cell_history(0, RowCell::status),
            (Statuses{"downloading", "unzip'ing", "processing", "ERROR"}));
  EXPECT_TRUE(r->log().ends_with("  amateur.txt\r\namateur.txt <--ERROR OPENING FILE\r\n"))
      << r->log();
  EXPECT_EQ(testutil::read_bytes(data("amateur.zip")), testutil::read_bytes(archive));
  EXPECT_EQ(testutil::read_bytes(data("amateur.txt")), short_list);
  EXPECT_EQ(testutil::read_bytes(data("cancall.db")), kOldDb);
  EXPECT_EQ(names_in(data_.path()),
            (std::vector<std::string>{"amateur.txt", "amateur.zip", "cancall.db"}));
}

TEST_F(CanadaRunTest, WithoutZlibTheDeflatedListIsNotExtracted) {
  need_real_list();
  if (IsSkipped() || HasFatalFailure()) return;
  put_old_data();
  testutil::NginxServer nginx;
  serve(&nginx, published_->root);
  const auto r = run(nginx.port(), /*trust=*/true, /*with_zlib=*/false);

  EXPECT_EQ(r->result, -1);
  expect_frame(*r);
  EXPECT_EQ(r->cell_history(0, RowCell::status), (Statuses{"downloading", "unzip'ing", "ERROR"}));
  EXPECT_TRUE(r->log().ends_with("  amateur.txt\r\n"
                                 "zlib is not loaded: amateur.txt cannot be inflated\r\n"
                                 "doinflate() returned -9\r\n"
                                 "unzip(amateur.zip)=-9\r\n"))
      << r->log();
  EXPECT_TRUE(testutil::read_bytes(data("amateur.zip")) ==
              testutil::read_bytes(published_->zip_path));
  expect_old_data_kept(/*zip_too=*/false);
}

}  // namespace
