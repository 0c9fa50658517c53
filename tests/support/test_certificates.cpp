#include "tests/support/test_certificates.h"

#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "tests/support/run_process.h"

namespace testutil {

std::string TestCertificates::openssl() {
  for (const char* path : {"/usr/bin/openssl", "/usr/local/bin/openssl"}) {
    if (::access(path, X_OK) == 0) return path;
  }
  return "";
}

TestCertificates::TestCertificates() {
  if (openssl().empty()) error_ = "the openssl command is not installed";
  ::chmod(dir_.path().c_str(), 0755);
  const std::vector<std::string> by_ca = {"-CA", ca(), "-CAkey", key("ca"), "-addext",
                                          "basicConstraints=CA:FALSE", "-addext"};
  const struct {
    const char* kind;
    std::vector<std::string> args;
  } made[] = {{"ca", {}},
              {"good", {"subjectAltName=DNS:localhost,IP:127.0.0.1"}},
              {"other", {"subjectAltName=DNS:other.example,IP:192.0.2.7"}},
              {"self", {"-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"}}};
  for (const auto& [kind, extra] : made) {
    std::vector<std::string> args = {"req", "-x509", "-newkey", "ec", "-pkeyopt",
                                     "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2",
                                     "-subj", "/CN=" + std::string(kind), "-keyout", key(kind),
                                     "-out", cert(kind)};
    if (kind == std::string("good") || kind == std::string("other")) {
      args.insert(args.end(), by_ca.begin(), by_ca.end());
    }
    args.insert(args.end(), extra.begin(), extra.end());
    const Outcome r = error_.empty() ? run_process(openssl(), args) : Outcome{};
    if (error_.empty() && r.code != 0) error_ = "openssl req failed: " + r.err;
    ::chmod(key(kind).c_str(), 0644);
  }
}

}  // namespace testutil
