#include "tests/support/test_certificates.h"

#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "tests/support/run_process.h"

namespace testutil {

std::string TestCertificates::openssl() {
  return ::access("/usr/bin/openssl", X_OK) == 0 ? "/usr/bin/openssl" : "";
}

TestCertificates::TestCertificates() {
  ::chmod(dir_.path().c_str(), 0755);
  for (const std::string kind : {"ca", "good", "other"}) {
    std::vector<std::string> args = {
        "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
        "-days", "2", "-subj", "/CN=" + kind, "-keyout", key(kind), "-out", cert(kind)};
    if (kind != "ca") {
      args.insert(args.end(), {"-CA", ca(), "-CAkey", key("ca"), "-addext",
                               "basicConstraints=CA:FALSE", "-addext",
                               kind == "good" ? "subjectAltName=DNS:localhost,IP:127.0.0.1"
                                              : "subjectAltName=DNS:other.example,IP:192.0.2.7"});
    }
    const Outcome made = error_.empty() ? run_process(openssl(), args) : Outcome{0, "", ""};
    if (made.code != 0) error_ = "openssl req failed: " + made.err;
    ::chmod(key(kind).c_str(), 0644);
  }
}

}  // namespace testutil
