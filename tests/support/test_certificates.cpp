#include "tests/support/test_certificates.h"

#include <sys/stat.h>
#include <unistd.h>

#include <iterator>
#include <utility>
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
  const std::string program = openssl();
  if (program.empty()) {
    error_ = "the openssl command is not installed";
    return;
  }
  ::chmod(dir_.path().c_str(), 0755);
  const std::string ec[] = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                            "-nodes", "-days", "2"};
  auto run = [&](std::vector<std::string> args) {
    if (!error_.empty()) return;
    const Outcome r = run_process(program, args);
    if (r.code != 0) error_ = "openssl " + args[0] + " failed: " + r.err;
  };
  auto with_ec = [&](std::vector<std::string> args) {
    args.insert(args.begin() + 1, std::begin(ec), std::end(ec));
    return args;
  };
  run(with_ec({"req", "-x509", "-subj", "/CN=Orbisk Test CA", "-keyout", key("ca"), "-out", ca(),
               "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
               "keyUsage=critical,keyCertSign,cRLSign"}));
  int serial = 1;
  for (const auto& [kind, names] :
       {std::pair<std::string, std::string>{"good", "DNS:localhost,IP:127.0.0.1"},
        std::pair<std::string, std::string>{"other", "DNS:other.example,IP:192.0.2.7"}}) {
    const std::string ext = dir_.file(kind + ".ext");
    write_bytes(ext, "subjectAltName=" + names +
                         "\nbasicConstraints=CA:FALSE\n"
                         "extendedKeyUsage=serverAuth\n");
    run(with_ec({"req", "-subj", "/CN=" + kind, "-keyout", key(kind), "-out",
                 dir_.file(kind + ".csr")}));
    run({"x509", "-req", "-in", dir_.file(kind + ".csr"), "-CA", ca(), "-CAkey", key("ca"),
         "-set_serial", std::to_string(++serial), "-days", "2", "-extfile", ext, "-out",
         cert(kind)});
  }
  run(with_ec({"req", "-x509", "-subj", "/CN=localhost", "-keyout", key("self"), "-out",
               cert("self"), "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"}));
  for (const char* kind : {"ca", "good", "other", "self"}) {
    ::chmod(key(kind).c_str(), 0644);
    ::chmod(cert(kind).c_str(), 0644);
  }
}

}  // namespace testutil
