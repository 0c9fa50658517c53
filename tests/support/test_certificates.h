// Certificates for the TLS tests, made afresh by the openssl command for each test program and
// readable by others (nginx may drop root's rights): ca.pem, the test CA, trusted only by
// clients given this file; good.pem/.key, signed by it for DNS:localhost and IP:127.0.0.1; and
// other.pem/.key, signed by it for DNS:other.example and IP:192.0.2.7.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/run_process.h"
#include "tests/test_util.h"

namespace testutil {

class TestCertificates {
 public:
  TestCertificates() {
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

  static std::string openssl() {  // "" when it is not installed
    return ::access("/usr/bin/openssl", X_OK) == 0 ? "/usr/bin/openssl" : "";
  }
  const std::string& error() const { return error_; }  // "" when every file was made
  std::string ca() const { return cert("ca"); }
  std::string cert(const std::string& kind) const { return dir_.file(kind + ".pem"); }
  std::string key(const std::string& kind) const { return dir_.file(kind + ".key"); }

 private:
  TempDir dir_;
  std::string error_;
};

}  // namespace testutil
