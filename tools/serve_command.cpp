// calldb serve: the offline callbook for logging programs.

#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "callbook/server.h"
#include "dbfiles/usdb.h"
#include "platform/platform.h"
#include "tools/commands.h"

namespace calldb {
namespace {

std::atomic<bool> serve_stop{false};

struct ServeOptions {
  std::string folder;
  std::string listen;
  std::string passwords;
  int threads = 2;
  int max_connections = 512;
  bool verbose = false;
};

// "ADDR:PORT" with a dotted IPv4 address and a port 0-65535 (0: any free port).
bool parse_listen(const std::string& text, std::string* host, int* port) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size() ||
      text.size() - colon - 1 > 5) {
    return false;
  }
  std::uint32_t address = 0;
  *host = text.substr(0, colon);
  if (host->find_first_not_of("0123456789.") != std::string::npos ||
      platform::resolve_ipv4(*host, &address) != 0) {
    return false;
  }
  *port = 0;
  for (char c : text.substr(colon + 1)) {
    if (c < '0' || c > '9') return false;
    *port = *port * 10 + (c - '0');
  }
  return *port <= 65535;
}

int run_serve(const ServeOptions& o) {
  callbook::ServerOptions options;
  options.threads = o.threads;
  options.max_connections = o.max_connections;
  options.verbose = o.verbose;
  if (!o.listen.empty() && !parse_listen(o.listen, &options.host, &options.port)) {
    std::fprintf(stderr, "calldb serve: --listen takes ADDRESS:PORT, such as 127.0.0.1:%d\n",
                 callbook::kDefaultPort);
    return kExitUnusable;
  }
  if (!o.passwords.empty()) {
    std::map<std::string, std::string> users;
    std::string error;
    if (!callbook::Sessions::read_password_file(o.passwords, &users, &error)) {
      std::fprintf(stderr, "calldb serve: %s\n", error.c_str());
      return kExitUnusable;
    }
    options.sessions = callbook::Sessions(std::move(users));
  }
  options.log = [](const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
  };
  platform::set_flag_on_interrupt(&serve_stop);
  const std::string folder = dbfiles::shown_folder(o.folder);
  options.folder = folder;
  const std::string host = options.host;
  callbook::Server server(std::move(options));
  std::string error;
  if (server.start(&error) != 0) {
    std::fprintf(stderr, "calldb serve: %s\n", error.c_str());
    return kExitMiss;
  }
  std::fprintf(stderr, "calldb serve: listening on http://%s:%d/ (data folder %s)\n",
               host.c_str(), server.port(), folder.c_str());
  std::fflush(stderr);
  while (!serve_stop.load()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  server.stop();
  std::fprintf(stderr, "calldb serve: stopped\n");
  return kExitOk;
}

}  // namespace

void add_serve_command(CLI::App& app, int* exit_code) {
  auto o = std::make_shared<ServeOptions>();
  CLI::App* serve = app.add_subcommand(
      "serve",
      "Answer callsign lookups over HTTP from the data folder, for logging programs, until "
      "stopped (Ctrl+C or a TERM signal). Listens on 127.0.0.1:" +
          std::to_string(callbook::kDefaultPort) +
          " unless --listen names another address (only an explicit --listen reaches beyond "
          "this machine). Answers: /xml.php?u=USER&p=PASSWORD and "
          "/xml.php?id=SESSION&callsign=CALL&prg=NAME (HamQTH-style XML), /CALL/json and "
          "/CALL/xml (callook-style), /v1/lookup/CALL (every field, JSON). A portable form such "
          "as W1AW/P or VE3/W1AW is looked up by its home call, and a former US callsign "
          "answers with the current licence. The databases are read whole into memory and read "
          "again within a second when an update run replaces them; no file stays open, so "
          "updates are never held up. A missing or damaged database is answered with an error "
          "that says what to do, and the server keeps running. Writes a line to standard error "
          "when it starts (\"calldb serve: listening on http://ADDRESS:PORT/ (data folder "
          "DIR)\"), when the databases change, and on errors. Exit 0 when stopped, 1 when it "
          "cannot listen, 2 for bad usage.");
  serve->add_option("-C", o->folder, "Data folder (see calldb --help)")->type_name("DIR");
  serve->add_option("--listen", o->listen,
                    "Address and port to listen on, such as 0.0.0.0:" +
                        std::to_string(callbook::kDefaultPort) +
                        " for every network (port 0: any free port)")
      ->type_name("ADDR:PORT");
  serve->add_option("--passwords", o->passwords,
                    "File of USER:PASSWORD lines: only these may log in to the HamQTH-style "
                    "interface (without it anyone may)")
      ->type_name("FILE");
  serve->add_option("--threads", o->threads, "Threads answering requests")
      ->check(CLI::Range(1, 64))
      ->capture_default_str();
  serve->add_option("--max-connections", o->max_connections,
                    "Connections open at once; more are answered 503 and closed")
      ->check(CLI::Range(1, 100000))
      ->capture_default_str();
  serve->add_flag("--verbose", o->verbose, "Also a line for each request");
  serve->callback([o, exit_code] { *exit_code = run_serve(*o); });
}

}  // namespace calldb
