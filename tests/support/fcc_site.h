// A server posing as the FCC for end-to-end tests: nginx with TLS on 127.0.0.1 serving, under
// the FCC's paths, a small demo weekly archive (3,000 licences, made on Sunday 6 December 2026)
// and the dailies of the week after it (calldb demo-fcc --dailies).
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "demo/demo_fcc.h"
#include "fcc/fetch_fcc.h"
#include "platform/platform.h"
#include "tests/support/nginx_server.h"
#include "tests/support/test_certificates.h"
#include "tests/test_util.h"

namespace testutil {

class FccSite {
 public:
  static constexpr char kWeeklyDate[] = "20261206";

  // Makes the archives and serves them. Returns "" or what went wrong.
  std::string start() {
    if (!certificates_.error().empty()) return certificates_.error();
    const std::string complete = www_.file("download/pub/uls/complete");
    const std::string daily = www_.file("download/pub/uls/daily");
    std::filesystem::create_directories(complete);
    std::filesystem::create_directories(daily);
    for (std::string d = daily; d.size() > www_.path().size(); d = platform::folder_of(d)) {
      ::chmod(d.c_str(), 0755);  // nginx may drop root's rights
    }
    ::chmod(complete.c_str(), 0755);
    ::chmod(www_.path().c_str(), 0755);
    calldb::demo::FccArchiveOptions weekly;
    weekly.path = complete + "/l_amat.zip";
    weekly.licences = 3000;
    weekly.active = 1700;
    weekly.date = kWeeklyDate;
    weekly.zlib_library = platform::zlib_library_name();
    calldb::demo::FccDailiesOptions dailies;
    dailies.folder = daily;
    dailies.changes_per_day = 40;
    std::uint64_t bytes = 0;
    std::string error;
    if (calldb::demo::make_fcc_archive(weekly, &bytes, &error) != 0 ||
        calldb::demo::make_fcc_dailies(weekly, dailies, &dailies_, &error) != 0) {
      return error;
    }
    return nginx_.start(www_.path(), certificates_.cert("good"), certificates_.key("good"));
  }

  std::string address() const { return "127.0.0.1:" + std::to_string(nginx_.port()); }
  int port() const { return nginx_.port(); }
  std::string ca() const { return certificates_.ca(); }
  std::string weekly() const { return www_.file(calldb::kFccWeeklyPath + 1); }
  // The dailies, oldest first: the last is dated 20261213.
  const std::vector<std::string>& dailies() const { return dailies_; }

 private:
  TempDir www_;
  TestCertificates certificates_;
  NginxServer nginx_;
  std::vector<std::string> dailies_;
};

}  // namespace testutil
