#include "updater/https_client.h"

#include "updater/reply_head.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#include <time.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "platform/platform.h"

namespace updater {
namespace {

std::atomic<int> receive_timeout_seconds{kTlsReceiveTimeoutSeconds};

constexpr int kHttpsPort = 443;

struct SslCtxFree {
  void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
};
struct SslFree {
  void operator()(SSL* p) const { SSL_free(p); }
};
struct X509Free {
  void operator()(X509* p) const { X509_free(p); }
};
struct OctetStringFree {
  void operator()(ASN1_OCTET_STRING* p) const { ASN1_OCTET_STRING_free(p); }
};

#ifndef _WIN32
// OpenSSL writes to the socket with plain write(): writing to a peer that has reset the
// connection raises SIGPIPE, which would end the whole program. Holds SIGPIPE back for this
// thread while the download runs and swallows one that came meanwhile, leaving alone one that
// was already waiting.
class SigpipeHold {
 public:
  SigpipeHold() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    was_pending_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    held_ = pthread_sigmask(SIG_BLOCK, &pipe_, &old_mask_) == 0;
  }
  ~SigpipeHold() {
    if (!held_) return;
    sigset_t pending;
    if (!was_pending_ && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
      const timespec no_wait{};
      sigtimedwait(&pipe_, nullptr, &no_wait);
    }
    pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
  }
  SigpipeHold(const SigpipeHold&) = delete;
  SigpipeHold& operator=(const SigpipeHold&) = delete;

 private:
  sigset_t pipe_;
  sigset_t old_mask_;
  bool was_pending_ = false;
  bool held_ = false;
};
#else
struct SigpipeHold {};
#endif

// A dotted address from its network-order form.
std::string dotted(std::uint32_t address) {
  const auto* b = reinterpret_cast<const unsigned char*>(&address);
  return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
         std::to_string(b[3]);
}

bool is_address_literal(const std::string& host) {
  std::unique_ptr<ASN1_OCTET_STRING, OctetStringFree> ip(a2i_IPADDRESS(host.c_str()));
  return ip != nullptr;
}

// How the reads ended.
enum class End {
  close_notify,  // the server closed the TLS stream properly
  bare_close,    // the connection ended without the TLS close
  failure,       // a read error or the receive timeout
};

End classify_read_end(SSL* ssl, int result) {
  switch (SSL_get_error(ssl, result)) {
    case SSL_ERROR_ZERO_RETURN:
      return End::close_notify;
    case SSL_ERROR_SSL:
      return ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING
                 ? End::bare_close
                 : End::failure;
    default:
      return End::failure;
  }
}

// Runs one TLS call on the non-blocking socket, waiting through `watch` whenever the call needs
// the socket to be readable or writable first; data that OpenSSL already holds is taken
// without a wait. Returns the call's last result; *waited is Wait::ready unless a wait ended
// the call (cancelled, idle, slow or failed).
template <typename Call>
int tls_call(SSL* ssl, DownloadWatch& watch, DownloadWatch::Wait* waited, Call call) {
  *waited = DownloadWatch::Wait::ready;
  for (;;) {
    ERR_clear_error();
    const int result = call();
    if (result > 0) return result;
    const int error = SSL_get_error(ssl, result);
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return result;
    *waited = watch.wait(/*for_writing=*/error == SSL_ERROR_WANT_WRITE);
    if (*waited != DownloadWatch::Wait::ready) return result;
  }
}

// Why the handshake failed, as the log shows it: a wait that ended it, else what OpenSSL or the
// connection said.
std::string handshake_failure(SSL* ssl, int result, const DownloadWatch& watch,
                              DownloadWatch::Wait waited) {
  std::string line = "ERROR 'SSL_connect'";
  if (waited == DownloadWatch::Wait::idle || waited == DownloadWatch::Wait::slow) {
    return watch.reason(waited) + line + "\r\n";
  }
  const unsigned long error = ERR_peek_error();
  const char* reason = error != 0 ? ERR_reason_error_string(error) : nullptr;
  if (reason != nullptr) {
    line += std::string(": ") + reason;
  } else if (SSL_get_error(ssl, result) == SSL_ERROR_SYSCALL) {
    line += ": the server ended the connection";
  }
  return line + "\r\n";
}

}  // namespace

void set_tls_receive_timeout_for_tests(int seconds) {
  receive_timeout_seconds = seconds > 0 ? seconds : kTlsReceiveTimeoutSeconds;
}

int https_get(WorkerEnv& env, int row) {
  const std::string name = env.state->update_rows[row].name;
  HttpsDownload download;
  download.server = env.canada_server;
  download.path = std::string(kDataFilesPath) + "/" + name;
  download.target = env.path(name);
  download.row = row;
  return https_download(env, &download);
}

int https_download(WorkerEnv& env, HttpsDownload* download) {
  WorkerLink& link = *env.link;
  const int row = download->row;
  const std::string name = download->path.substr(download->path.rfind('/') + 1);
  const std::string& host = download->server.host;
  const int port = download->server.port;
  const std::int64_t max_size = download->max_size;
  download->status = 0;
  const SigpipeHold sigpipe_hold;
  ERR_clear_error();

  // Every failure leaves a line in the log: a program started from the desktop's menu has no
  // terminal to show anything else.
  std::unique_ptr<SSL_CTX, SslCtxFree> ctx(SSL_CTX_new(TLS_client_method()));
  if (!ctx) {
    ERR_clear_error();
    link.log_text("ERROR 'SSL_CTX_new'\r\n");
    return -1;
  }
  SSL_CTX_set_options(ctx.get(), 0);

  std::uint32_t address = 0;
  if (platform::resolve_ipv4(host, &address) != 0) {
    link.log_text(escape_controls("ERROR looking up host '" + host + "'" +
                                  download->server.origin_note() + "\r\n"));
    return -1;
  }

  platform::Socket socket;
  std::unique_ptr<SSL, SslFree> ssl;
  platform::NewFile file;
  const std::string& path = download->target;
  const std::string cancelled = "Download of " + name + " cancelled\r\n";
  auto fail = [&](const std::string& why) {
    if (!why.empty()) link.log_text(why);
    ssl.reset();
    socket.close();
    if (file.is_open()) {
      file.discard();
      env.state->set_partial_download("");
    }
    ERR_clear_error();
    return -1;
  };

  // Trust the system's authorities, plus those of env.ca_file, and nothing without a chain to
  // one of them.
  if (SSL_CTX_set_default_verify_paths(ctx.get()) != 1) {
    return fail("ERROR loading the system's trusted certificates\r\n");
  }
  if (!env.ca_file.empty() &&
      SSL_CTX_load_verify_locations(ctx.get(), env.ca_file.c_str(), nullptr) != 1) {
    return fail("ERROR loading trusted certificates from " + env.ca_file + "\r\n");
  }
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);

  if (socket.open_stream() != 0 ||
      connect_watched(env, &socket, address, port, receive_timeout_seconds) != 0) {
    if (env.cancelled()) return fail(cancelled);
    return fail(escape_controls("Cannot connect to host " + host + " [" + dotted(address) +
                                "] on port " + std::to_string(port) +
                                download->server.origin_note() + "\r\n"));
  }
  // Every wait for the server, the handshake's too, goes through the watch, which bounds it
  // and ends it when the window closes.
  if (socket.set_nonblocking(true) != 0) return fail("ERROR 'fcntl'\r\n");
  DownloadWatch watch(env, &socket, receive_timeout_seconds);
  DownloadWatch::Wait waited = DownloadWatch::Wait::ready;

  ssl.reset(SSL_new(ctx.get()));
  if (!ssl) return fail("ERROR 'SSL_new'\r\n");
  if (SSL_set_fd(ssl.get(), static_cast<int>(socket.native_handle())) != 1) {
    return fail("ERROR 'SSL_set_fd'\r\n");
  }
  // The certificate must name the host we asked for: by address for an address, else by name,
  // which also goes out in the handshake so that a shared server picks the right certificate.
  if (is_address_literal(host)) {
    if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl.get()), host.c_str()) != 1) {
      return fail("ERROR setting the address to check: " + host + "\r\n");
    }
  } else if (SSL_set_tlsext_host_name(ssl.get(), host.c_str()) != 1 ||
             SSL_set1_host(ssl.get(), host.c_str()) != 1) {
    return fail("ERROR setting the host name to check: " + host + "\r\n");
  }

  const int connected = tls_call(ssl.get(), watch, &waited, [&] { return SSL_connect(ssl.get()); });
  if (waited == DownloadWatch::Wait::cancelled) return fail(cancelled);
  const long verified = SSL_get_verify_result(ssl.get());
  if (verified != X509_V_OK) {
    return fail(escape_controls("Certificate of " + host + " not trusted: " +
                                X509_verify_cert_error_string(verified) + "\r\n"));
  }
  if (connected != 1) return fail(handshake_failure(ssl.get(), connected, watch, waited));
  {
    const std::unique_ptr<X509, X509Free> certificate(SSL_get1_peer_certificate(ssl.get()));
    if (!certificate) {
      return fail("Error: Could not get a certificate from https://" + host + ".\n");
    }
  }
  link.log_text("Retrieved the server's certificate\r\n");

  const std::string host_field =
      port == kHttpsPort ? host : host + ":" + std::to_string(port);
  const std::string request = "GET " + download->path + " HTTP/1.1\r\nHost: " + host_field +
                              "\r\nConnection: Close\r\n\r\n";
  const int sent = tls_call(ssl.get(), watch, &waited, [&] {
    return SSL_write(ssl.get(), request.data(), static_cast<int>(request.size()));
  });
  if (waited == DownloadWatch::Wait::cancelled) return fail(cancelled);
  if (sent <= 0) return fail("ERROR sending request...\r\n" + request + "\r\n");

  // The body goes to a temporary file of this download's own and replaces NAME only once it
  // is whole, so that a download that fails in any way leaves the last good list in place.
  if (file.create(path) != 0) return fail("ERROR opening " + name + "\r\n");
  env.state->set_partial_download(file.temp_path());

  char block[kTlsBufferSize];
  ReplyHead head(kTlsBufferSize);
  bool head_done = false;
  bool has_length = false;
  std::int32_t content_length = 0;
  std::uint64_t body_count = 0;
  End end = End::failure;
  const std::string too_long =
      "ERROR " + name + " is longer than " + std::to_string(max_size) + " bytes\r\n";

  // Reading stops once the announced body is whole: nothing past it is read or written, and
  // a server that keeps the connection open does not hold the run.
  while (!(head_done && has_length && body_count == static_cast<std::uint64_t>(content_length))) {
    if (env.cancelled()) return fail(cancelled);
    int want = static_cast<int>(sizeof block);
    if (head_done && has_length) {
      const std::uint64_t left = static_cast<std::uint64_t>(content_length) - body_count;
      want = static_cast<int>(std::min<std::uint64_t>(sizeof block, left));
    }
    const int got = tls_call(ssl.get(), watch, &waited,
                             [&] { return SSL_read(ssl.get(), block, want); });
    if (waited == DownloadWatch::Wait::cancelled) return fail(cancelled);
    if (waited == DownloadWatch::Wait::slow) return fail(watch.reason(waited));
    if (waited == DownloadWatch::Wait::idle) link.log_text(watch.reason(waited));
    if (waited != DownloadWatch::Wait::ready) break;
    if (got <= 0) {
      end = classify_read_end(ssl.get(), got);
      break;
    }
    watch.count(static_cast<std::uint64_t>(got));
    std::size_t n = static_cast<std::size_t>(got);
    std::size_t body_start = 0;

    if (!head_done) {
      const ReplyHead::Feed fed = head.feed(block, n, &body_start);
      if (fed == ReplyHead::kTooLong) {
        return fail("ERROR the reply head is longer than " + std::to_string(kTlsBufferSize) +
                    " bytes\r\n");
      }
      if (fed == ReplyHead::kBareLf) return fail(kBareLfHead);
      if (fed == ReplyHead::kMore) continue;
      head_done = true;
      link.log_text(head.text());
      const int status = head.status();
      download->status = status;
      if (status != 200) {
        return fail("ERROR the server answered " + std::to_string(status) + " for " + name +
                    "\r\n");
      }
      if (head.has_field("Transfer-Encoding")) return fail(kTransferEncodingRefused);
      const int found = head.content_length(&content_length);
      if (found < 0) return fail("BAD CONTENT LENGTH\r\n");
      if (content_length > max_size) return fail(too_long);
      if (found > 0) {
        has_length = true;
        show_number(link, row, RowCell::total, content_length);
        // The block may run past the announced body.
        const std::uint64_t left = static_cast<std::uint64_t>(content_length);
        if (n - body_start > left) n = body_start + static_cast<std::size_t>(left);
      }
      if (n > body_start) {
        link.log_text(std::to_string(n - body_start) + " data bytes in head\r\n");
      }
    }

    if (n == body_start) continue;
    if (body_count + (n - body_start) > static_cast<std::uint64_t>(max_size)) {
      return fail(too_long);
    }
    if (!file.file().write(block + body_start, n - body_start).ok()) {
      return fail("ERROR writing " + name + "\r\n");
    }
    body_count += n - body_start;
    show_number(link, row, RowCell::bytes, clamp_to_cell(body_count));
  }

  // Without a length only the TLS close ends the body: the end of the stream alone proves
  // nothing, as a cut connection looks the same.
  const bool whole =
      head_done && (has_length ? body_count == static_cast<std::uint64_t>(content_length)
                               : end == End::close_notify);
  if (!whole) {
    if (!head_done) return fail(head.unfinished(host));
    if (end != End::close_notify) return fail("ERROR downloading " + name + "\r\n");
    return fail("FILE IS WRONG SIZE\r\n");
  }
  ssl.reset();
  socket.close();

  const int replaced = file.commit(platform::NewFile::Replace::yes);
  env.state->set_partial_download("");
  if (replaced != 0) {
    return fail("ERROR " + std::to_string(replaced) + " writing " + name + "\r\n");
  }
  link.log_text("saved " + name + " " + std::to_string(body_count) + " bytes\n");
  ERR_clear_error();
  return 0;
}

}  // namespace updater
