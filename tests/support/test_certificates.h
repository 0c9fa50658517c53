// Certificates for the TLS tests, made afresh by the openssl command for each test program, all
// readable by others (nginx may drop root's rights):
//   ca.pem          the test CA, trusted only by clients that are given this file
//   good.pem/.key   signed by the CA for this machine: DNS:localhost and IP:127.0.0.1
//   other.pem/.key  signed by the CA for elsewhere: DNS:other.example and IP:192.0.2.7
//   self.pem/.key   this machine's names, signed by nobody but itself
#pragma once

#include <string>

#include "tests/test_util.h"

namespace testutil {

class TestCertificates {
 public:
  TestCertificates();
  TestCertificates(const TestCertificates&) = delete;
  TestCertificates& operator=(const TestCertificates&) = delete;

  // The openssl command, or "" when it is not installed.
  static std::string openssl();
  // "" when every file was made, else what failed.
  const std::string& error() const { return error_; }
  std::string ca() const { return cert("ca"); }
  std::string cert(const std::string& kind) const { return dir_.file(kind + ".pem"); }
  std::string key(const std::string& kind) const { return dir_.file(kind + ".key"); }

 private:
  TempDir dir_;
  std::string error_;
};

}  // namespace testutil
