// The Canadian update run against a real nginx speaking TLS on 127.0.0.1 with a test CA: the real
// published list (90,155 licences, deflated by Info-ZIP zip) from end to end, and what each failed
// step leaves. Download, extraction and conversion have tests of their own.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "dbfiles/lookup.h"
#include "platform/platform.h"
#include "tests/support/canada_publication.h"
#include "tests/support/nginx_server.h"
#include "tests/support/recording_link.h"
#include "tests/support/test_certificates.h"
#include "tests/support/zip_tools.h"
#include "tests/test_util.h"
#include "updater/canupdate.h"
#include "updater/https_client.h"
#include "updater/zlib_loader.h"

namespace {

using updater::RowCell;
using Texts = std::vector<std::string>;
constexpr char kFirstWeek[] = "0105to0112.db";  // a US run's file in the first row

class CanadaRunTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(platform::start_sockets(), 0); }
  static void TearDownTestSuite() { platform::stop_sockets(); }
  void SetUp() override {
    if (testutil::TestCertificates::openssl().empty() ||
        testutil::NginxServer::find_binary().empty()) {
      GTEST_SKIP() << "openssl or nginx is not installed (scripts/setup installs them)";
    }
    ASSERT_EQ(certificates_.error(), "");
    testutil::RecordingLink load_log;
    ASSERT_TRUE(updater::load_zlib(load_log, platform::zlib_library_name(), &zlib_, &api_));
    ::chmod(www_.path().c_str(), 0755);
    updater::set_tls_receive_timeout_for_tests(20);  // nginx answers at once
  }
  void TearDown() override { updater::set_tls_receive_timeout_for_tests(0); }

  std::string data(const std::string& name) const { return data_.file(name); }

  // Runs canupdate over the files of a last good run, against nginx serving `root`, and returns
  // the statuses of its row. Every run first clears the other rows' status, bytes and total,
  // then writes only the first row and ends with one finished message.
  Texts run(const std::string& root, int result) {
    for (const char* name : {"amateur.txt", "amateur.zip", "cancall.db"}) {
      testutil::write_bytes(data(name), std::string("old ") + name);
    }
    link_.clear();
    state_ = std::make_unique<updater::UpdaterState>();
    std::snprintf(state_->update_rows[0].name, sizeof state_->update_rows[0].name, kFirstWeek);
    state_->update_rows[updater::kCanadaRow].row_state = updater::kNotAvail;  // a former run's
    testutil::NginxServer nginx;
    EXPECT_EQ(nginx.start(root, certificates_.cert("good"), certificates_.key("good")), "");
    updater::WorkerEnv env;
    env.link = &link_;
    env.state = state_.get();
    env.folder = data_.path();
    env.canada_server = {"127.0.0.1", nginx.port()};
    env.ca_file = certificates_.ca();
    env.zlib = &api_;
    env.cancel = &cancel_;
    EXPECT_EQ(updater::canupdate(env), result) << link_.log();

    const Texts events = link_.events();
    Texts cleared, statuses;
    for (int row = 1; row < updater::kRowCount; ++row) {
      for (const RowCell cell : {RowCell::status, RowCell::bytes, RowCell::total}) {
        cleared.push_back("row:" + std::to_string(row) + "." +
                          std::to_string(static_cast<int>(cell)) + "=");
      }
    }
    EXPECT_EQ(Texts(events.begin(), events.begin() + cleared.size()), cleared);
    const std::string status = "row:0." + std::to_string(static_cast<int>(RowCell::status)) + "=";
    for (auto e = events.begin() + cleared.size(); e + 1 < events.end(); ++e) {
      EXPECT_TRUE(!e->starts_with("row:") || e->starts_with("row:0.")) << *e;
      if (e->starts_with(status)) statuses.push_back(e->substr(status.size()));
    }
    EXPECT_EQ(events.back(), "finished:" + std::to_string(updater::UM_CANADA_DONE) + " 0 0");
    EXPECT_TRUE(link_.boxes().empty());
    EXPECT_STREQ(state_->update_rows[0].name, kFirstWeek);
    EXPECT_STREQ(state_->update_rows[updater::kCanadaRow].name, "amateur.zip");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(data_.path()),
                            std::filesystem::directory_iterator()),
              3);
    return statuses;
  }

  testutil::TestCertificates certificates_;
  testutil::TempDir data_;
  testutil::TempDir www_;
  platform::Library zlib_;
  updater::ZlibApi api_;
  std::atomic<bool> cancel_{false};
  testutil::RecordingLink link_;
  std::unique_ptr<updater::UpdaterState> state_;
};

TEST_F(CanadaRunTest, RealListIsDownloadedExtractedAndConverted) {
  const testutil::CanadaPublication p = testutil::publish_canada_list(www_.file("real"));
  if (!p.skip.empty()) GTEST_SKIP() << p.skip;
  ASSERT_EQ(p.error, "");
  EXPECT_EQ(run(p.root, 0), (Texts{"downloading", "unzip'ing", "processing", "done"}));
  EXPECT_EQ(link_.row(0, RowCell::name), testutil::kCanadaListDate);
  EXPECT_EQ(link_.row(0, RowCell::bytes), std::to_string(p.zip_size));
  EXPECT_EQ(state_->update_rows[updater::kCanadaRow].row_state, updater::kNeeded);
  EXPECT_TRUE(testutil::read_bytes(data("amateur.txt")) == testutil::read_bytes(p.list_path));
  EXPECT_TRUE(link_.log().ends_with("cancall.db written\r\n")) << link_.log();
  dbfiles::LookupFiles files;
  dbfiles::open_lookup_files(data_.path(), dbfiles::Edition::full, &files);
  EXPECT_EQ(dbfiles::canadian_line(files.canada), "Canadian data 03/30/2025,   90155 entries\r\n");
  dbfiles::close_lookup_files(&files);
}

// A failed step leaves the data of the last good run, but for the files of the steps before it.
TEST_F(CanadaRunTest, FailedStepEndsTheRunAndKeepsTheLaterFiles) {
  const std::string page = "<!DOCTYPE html>\r\n<html><body>Maintenance</body></html>\r\n";
  testutil::write_bytes(www_.file("amateur.txt"), "2025-03");  // shorter than its date
  ASSERT_EQ(testutil::python_zip(www_.file("short.zip"),
                                 {{"amateur.txt", testutil::kStored, www_.file("amateur.txt")}}),
            0);
  const std::string short_zip = testutil::read_bytes(www_.file("short.zip"));
  const struct {
    const std::string* archive;  // what the server has as amateur.zip
    Texts statuses;
    std::string log_end;
    std::string list;  // amateur.txt afterwards
  } cases[] = {
      {nullptr, {"downloading", "Not avail"},
       "\r\nERROR the server answered 404 for amateur.zip\r\n", "old amateur.txt"},
      {&page, {"downloading", "unzip'ing", "ERROR"},
       "amateur.txt not found in amateur.zip\r\nunzip(amateur.zip)=-2\r\n", "old amateur.txt"},
      {&short_zip, {"downloading", "unzip'ing", "processing", "ERROR"},
       "  amateur.txt\r\namateur.txt <--ERROR OPENING FILE\r\n", "2025-03"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.log_end);
    const std::string root = www_.file("www" + std::to_string(&c - cases));
    testutil::make_site(root, c.archive);
    EXPECT_EQ(run(root, -1), c.statuses);
    EXPECT_EQ(state_->update_rows[updater::kCanadaRow].row_state,
              c.archive == nullptr ? updater::kNotAvail : updater::kNeeded);
    EXPECT_TRUE(link_.log().ends_with(c.log_end)) << link_.log();
    EXPECT_EQ(link_.row(0, RowCell::name), "amateur.zip");
    EXPECT_EQ(testutil::read_bytes(data("amateur.zip")), c.archive ? *c.archive : "old amateur.zip");
    EXPECT_EQ(testutil::read_bytes(data("amateur.txt")), c.list);
    EXPECT_EQ(testutil::read_bytes(data("cancall.db")), "old cancall.db");
  }
}

}  // namespace
