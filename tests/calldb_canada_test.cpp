// calldb update-canada and calldb convert-canada as their users see them: the real program on
// temporary data folders. update-canada fetches amateur.zip from a real nginx speaking TLS on
// 127.0.0.1 (the real published list, deflated by Info-ZIP zip, under a test certificate
// authority); calldb lookup then reads the database it made. Output and exit codes are
// compared exactly.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "dbfiles/callkey.h"
#include "dbfiles/dbwriter.h"
#include "platform/platform.h"
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
constexpr char kOldZip[] = "the archive of the last good run";
constexpr char kOldList[] = "the list of the last good run";
constexpr char kOldDb[] = "the database of the last good run";

Outcome calldb(const std::vector<std::string>& args, const std::string& cwd = "") {
  return testutil::run_process(CALLDB_PATH, args, cwd);
}

std::vector<std::string> names_in(const std::string& folder) {
  std::vector<std::string> names;
  for (const fs::directory_entry& e : fs::directory_iterator(folder)) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}


// A licence line of an individual in the list's fixed columns, padded to 210 characters.
std::string person(const std::string& call, const std::string& given, const std::string& surname,
                   const std::string& street = "", const std::string& city = "",
                   const std::string& province = "", const std::string& postal = "") {
  std::string line(210, ' ');
  line.replace(0, call.size(), call);
  line.replace(7, given.size(), given);
  line.replace(43, surname.size(), surname);
  line.replace(79, street.size(), street);
  line.replace(150, city.size(), city);
  line.replace(186, province.size(), province);
  line.replace(189, postal.size(), postal);
  return line;
}

// A club's licence line: the club's name and address from column 210 on.
std::string club(const std::string& call, const std::string& name, const std::string& street,
                 const std::string& city, const std::string& province,
                 const std::string& postal) {
  std::string line(469, ' ');
  line.replace(0, call.size(), call);
  line.replace(210, name.size(), name);
  line.replace(352, street.size(), street);
  line.replace(423, city.size(), city);
  line.replace(459, province.size(), province);
  line.replace(462, postal.size(), postal);
  return line;
}

class CalldbCanadaTest : public ::testing::Test {
 protected:
  static void TearDownTestSuite() {
    delete published_;
    delete site_;
    delete certificates_;
    published_ = nullptr;
    site_ = nullptr;
    certificates_ = nullptr;
  }

  CalldbCanadaTest() { fs::create_directory(data_); }

  // The server side of update-canada: the certificates (made once for all the tests) and nginx,
  // and with `real_list` the real list published (also once). Skips the test when something is
  // not installed; callers go on only when !IsSkipped() && !HasFatalFailure().
  void need_server(bool real_list) {
    if (testutil::TestCertificates::openssl().empty()) {
      GTEST_SKIP() << "the openssl command is not installed (scripts/setup installs it)";
    }
    if (testutil::NginxServer::find_binary().empty()) GTEST_SKIP() << "nginx is not installed";
    if (certificates_ == nullptr) certificates_ = new testutil::TestCertificates;
    ASSERT_EQ(certificates_->error(), "");
    if (!real_list) return;
    if (published_ == nullptr) {
      site_ = new testutil::TempDir;
      ::chmod(site_->path().c_str(), 0755);
      published_ = new testutil::CanadaPublication(
          testutil::publish_canada_list(site_->file("www")));
    }
    if (!published_->skip.empty()) GTEST_SKIP() << published_->skip;
    ASSERT_EQ(published_->error, "");
  }

  void serve(testutil::NginxServer* nginx, const std::string& root) {
    ASSERT_EQ(nginx->start_tls(root, certificates_->cert("good"), certificates_->key("good")),
              "");
  }

  std::string data(const std::string& name) const { return data_ + "/" + name; }

  // A call.db of one US licence, so that calldb lookup can run in the data folder.
  void put_call_db() {
    dbfiles::UsRecord w1aw;
    w1aw.key = dbfiles::encode_call("W1AW");
    w1aw.name = "ARRL HQ OPERATORS CLUB";
    w1aw.street = "225 MAIN ST";
    w1aw.city = "NEWINGTON";
    w1aw.state = 7;
    w1aw.zip = 6111;
    std::string error;
    ASSERT_EQ(dbfiles::write_call_db(data("call.db"), "20250325", {w1aw}, &error), 0) << error;
  }

  void put_old_data() {
    write_bytes(data("amateur.zip"), kOldZip);
    write_bytes(data("amateur.txt"), kOldList);
    write_bytes(data("cancall.db"), kOldDb);
  }

  void expect_old_data_kept() {
    EXPECT_EQ(read_bytes(data("amateur.zip")), kOldZip);
    EXPECT_EQ(read_bytes(data("amateur.txt")), kOldList);
    EXPECT_EQ(read_bytes(data("cancall.db")), kOldDb);
    EXPECT_EQ(names_in(data_),
              (std::vector<std::string>{"amateur.txt", "amateur.zip", "cancall.db"}));
  }

  static testutil::TestCertificates* certificates_;
  static testutil::TempDir* site_;
  static testutil::CanadaPublication* published_;

  testutil::TempDir dir_;
  const std::string data_ = dir_.file("data");
};

testutil::TestCertificates* CalldbCanadaTest::certificates_ = nullptr;
testutil::TempDir* CalldbCanadaTest::site_ = nullptr;
testutil::CanadaPublication* CalldbCanadaTest::published_ = nullptr;

// --- calldb update-canada ----------------------------------------------------------------------

TEST_F(CalldbCanadaTest, UpdateCanadaRebuildsTheDatabaseThatLookupThenReads) {
  need_server(/*real_list=*/true);
  if (IsSkipped() || HasFatalFailure()) return;
  put_call_db();
  put_old_data();
  testutil::NginxServer nginx;
  serve(&nginx, published_->root);

  const Outcome r = calldb({"update-canada", "-C", data_, "--server",
                            "127.0.0.1:" + std::to_string(nginx.port()), "--ca-file",
                            certificates_->ca()});
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(r.out.starts_with(std::string(kZlibFound) +
                                "Retrieved the server's certificate\nHTTP/1.1 200 OK\n"))
      << r.out;
  EXPECT_NE(r.out.find("\nContent-Length: " + std::to_string(published_->zip_size) + "\n"),
            std::string::npos);
  EXPECT_TRUE(r.out.ends_with(kDone)) << r.out;
  const std::size_t saved = r.out.find("saved amateur.zip ");
  ASSERT_NE(saved, std::string::npos) << r.out;
  const std::string tail = r.out.substr(saved);
  bool matched = false;
  for (const std::string& t :
       testutil::expected_run_tails(*published_, fs::file_size(data("cancall.db")))) {
    matched = matched || tail == testutil::as_printed(t) + kDone;
  }
  EXPECT_TRUE(matched) << tail;
  EXPECT_TRUE(nginx.wait_for_access("\"GET /datafiles/amateur.zip HTTP/1.1\" 200"));
  EXPECT_EQ(names_in(data_), (std::vector<std::string>{"amateur.txt", "amateur.zip",
                                                       "call.db", "cancall.db"}));
  EXPECT_TRUE(read_bytes(data("amateur.txt")) == read_bytes(published_->list_path));

  const Outcome info = calldb({"info", "-C", data_});
  EXPECT_EQ(info.out, "Canadian data 03/30/2025,   90155 entries\n"
                      "Database date 03/25/2025, 1 entries\n");
  EXPECT_EQ(info.code, 0);

  const Outcome lookup = calldb({"lookup", "-C", data_, "VA1AA", "va1adv", "VA1NPG"});
  EXPECT_EQ(lookup.out,
            "VA1AA\nBill McFadden\n188 MILLWOOD DRIVE\nMIDDLE SACKVILLE, NS  B4E 2X8\n\n"
            "VA1ADV\n Advocate Fire Department\nPO BOX 126\nADVOCATE HARBOUR, NS  B0M 1A0\n\n"
            "VA1NPG\nLee Kenyon\nno addr given\nnot really, ZZ  xxx xxx\n\n");
  EXPECT_EQ(lookup.err, "");
  EXPECT_EQ(lookup.code, 0);
}

TEST_F(CalldbCanadaTest, UpdateCanadaThatFailsKeepsTheOldDataAndExitsOne) {
  need_server(/*real_list=*/false);
  if (IsSkipped() || HasFatalFailure()) return;
  put_old_data();
  ::chmod(dir_.path().c_str(), 0755);
  const std::string root = dir_.file("www");
  testutil::make_site(root);
  {
    SCOPED_TRACE("the list is missing on the server");
    testutil::NginxServer nginx;
    serve(&nginx, root);
    const Outcome r = calldb({"update-canada", "-C", data_, "--server",
                              "127.0.0.1:" + std::to_string(nginx.port()), "--ca-file",
                              certificates_->ca()});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.out.starts_with(std::string(kZlibFound) +
                                  "Retrieved the server's certificate\n"
                                  "HTTP/1.1 404 Not Found\n"))
        << r.out;
    EXPECT_TRUE(r.out.ends_with("\nERROR the server answered 404 for amateur.zip\n" +
                                std::string(kDone)))
        << r.out;
    expect_old_data_kept();
  }
  {
    SCOPED_TRACE("the server's certificate is not trusted");
    const std::string archive = "an archive nobody asks for";
    testutil::make_site(root, &archive);
    testutil::NginxServer nginx;
    serve(&nginx, root);
    const Outcome r = calldb({"update-canada", "-C", data_, "--server",
                              "127.0.0.1:" + std::to_string(nginx.port())});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, std::string(kZlibFound) +
                         "Certificate of 127.0.0.1 not trusted: unable to get local issuer "
                         "certificate\n" +
                         kDone);
    expect_old_data_kept();
  }
}

TEST_F(CalldbCanadaTest, UpdateCanadaRefusesABadServerBeforeDoingAnything) {
  for (const char* server : {"h:0", "", ":443", "h:", "h:65536", "h:44x"}) {
    SCOPED_TRACE(server);
    const Outcome r = calldb({"update-canada", "-C", data_, "--server", server});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "calldb update-canada: --server must be HOST or HOST:PORT\n");
    EXPECT_TRUE(names_in(data_).empty());
  }
}

// --- calldb convert-canada ---------------------------------------------------------------------

TEST_F(CalldbCanadaTest, ConvertCanadaTurnsTheListIntoADatabaseThatLookupReads) {
  put_call_db();
  write_bytes(data("cancall.db"), kOldDb);
  const std::string list =
      "2024-11-05  Canadian Amateur Call Sign List\r\n \r\nThere are 3 call signs.\r\n \r\n" +
      person("VE3ABC", "John", "Smith", "12 MAIN ST", "OTTAWA", "ON", "K1A 0B1") + "\r\n" +
      club("VE3OVA", "Ottawa Valley ARC", "PO BOX 5", "KANATA", "ON", "K2K 1X1") + "\r\n" +
      person("VE3NOA", "Jane", "Doe") + "\r\nEOF\r\n" +
      person("VE3XYZ", "After", "End", "1 LAST ST", "OTTAWA", "ON", "K1A 0B2") + "\r\n";
  write_bytes(data("amateur.txt"), list);

  // The texts take 12 + (6+5+11+7+8) + (18+1+9+7+8) + (4+5+14+11+8) = 134 bytes, aligned to 136;
  // then three 8-byte entries. Eight lines: the rest of the date line, four of headings and
  // blanks, three licences and EOF.
  const Outcome r = calldb({"convert-canada", "-C", data_});
  EXPECT_EQ(r.out,
            "2024-11-05 -- canadian db date\n"
            "2024-11-05  Canadian Amateur Call Sign List\n"
            "There are 3 call signs.\n"
            "8 lines, 3 calls in database, 1 calls have no address\n"
            "aligning +2\n"
            "cancall.db size 160\n"
            "cancall.db written\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(fs::file_size(data("cancall.db")), 160u);
  EXPECT_EQ(names_in(data_),
            (std::vector<std::string>{"amateur.txt", "call.db", "cancall.db"}));

  const Outcome lookup = calldb({"lookup", "-C", data_, "VE3ABC", "VE3OVA", "VE3NOA", "VE3XYZ"});
  EXPECT_EQ(lookup.out,
            "VE3ABC\nJohn Smith\n12 MAIN ST\nOTTAWA, ON  K1A 0B1\n\n"
            "VE3OVA\n Ottawa Valley ARC\nPO BOX 5\nKANATA, ON  K2K 1X1\n\n"
            "VE3NOA\nJane Doe\nno addr given\nnot really, ZZ  xxx xxx\n\n"
            "VE3XYZ NOT FOUND\n\n");
  EXPECT_EQ(lookup.code, 1);

  // Without -C the current folder is the data folder.
  fs::remove(data("cancall.db"));
  const Outcome here = calldb({"convert-canada"}, data_);
  EXPECT_EQ(here.out, r.out);
  EXPECT_EQ(here.code, 0);
  EXPECT_EQ(fs::file_size(data("cancall.db")), 160u);
}

TEST_F(CalldbCanadaTest, ConvertCanadaWithoutAListExitsOneAndKeepsTheDatabase) {
  write_bytes(data("cancall.db"), kOldDb);
  const Outcome r = calldb({"convert-canada", "-C", data_});
  EXPECT_EQ(r.out, "amateur.txt <--ERROR OPENING FILE\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(read_bytes(data("cancall.db")), kOldDb);
  EXPECT_EQ(names_in(data_), (std::vector<std::string>{"cancall.db"}));
}

}  // namespace
