// Certificates for the TLS tests, made afresh by the openssl command for each test program and
// readable by others (nginx may drop root's rights): ca.pem, the test CA, trusted only by
// clients given this file; good.pem/.key, signed by it for DNS:localhost and IP:127.0.0.1; and
// other.pem/.key, signed by it for DNS:other.example and IP:192.0.2.7.
#pragma once

#include <string>

#include "tests/test_util.h"

namespace testutil {

class TestCertificates {
 public:
  TestCertificates();
  TestCertificates(const TestCertificates&) = delete;
  TestCertificates& operator=(const TestCertificates&) = delete;

  static std::string openssl();  // "" when it is not installed
  const std::string& error() const { return error_; }  // "" when every file was made
  std::string ca() const { return cert("ca"); }
  std::string cert(const std::string& kind) const { return dir_.file(kind + ".pem"); }
  std::string key(const std::string& kind) const { return dir_.file(kind + ".key"); }

 private:
  TempDir dir_;
  std::string error_;
};

}  // namespace testutil
