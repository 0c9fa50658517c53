#include "updater/http_client.h"

#include "updater/reply_head.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

namespace updater {
namespace {

std::atomic<int> receive_timeout_seconds{kReceiveTimeoutSeconds};

}  // namespace

void set_receive_timeout_for_tests(int seconds) {
  receive_timeout_seconds = seconds > 0 ? seconds : kReceiveTimeoutSeconds;
}

int connect_server(WorkerEnv& env, platform::Socket* socket) {
  const std::string& host = env.server.host;
  if (socket->open_stream() != 0) {
    env.link->message_box(host, "ERROR opening socket", Buttons::ok, Icon::none);
    return -1;
  }
  std::uint32_t address = 0;
  if (platform::resolve_ipv4(host, &address) != 0) {
    socket->close();
    const std::string caption = "Unable to look up host \"" + host + "\"";
    env.link->message_box("Make sure you are connected to the internet", caption, Buttons::ok,
                          Icon::none);
    return -1;
  }
  if (connect_watched(env, socket, address, env.server.port, receive_timeout_seconds) != 0) {
    socket->close();
    if (!env.cancelled()) {
      const std::string where = host + " port " + std::to_string(env.server.port) +
                                env.server.origin_note();
      env.link->message_box(escape_controls(where), "connect() failed", Buttons::ok, Icon::none);
    }
    return -1;
  }
  // A backstop: every wait for the server goes through a DownloadWatch.
  if (socket->set_receive_timeout(receive_timeout_seconds) != 0) {
    socket->close();
    env.link->message_box(host, "setsockopt() failed", Buttons::ok, Icon::none);
    return -1;
  }
  return 0;
}

namespace {

// The request for `name` from the update server's "/db-files", without the blank line that
// ends it.
std::string request_lines(const WorkerEnv& env, const char* name) {
  std::string host = env.server.host;
  if (env.server.port != 80) host += ":" + std::to_string(env.server.port);
  return std::string("GET ") + kDbFilesPath + "/" + name + " HTTP/1.1\r\nHost: " + host +
         "\r\nConnection: close\r\n";
}

}  // namespace

int http_get(WorkerEnv& env, const char* name, int row) {
  WorkerLink& link = *env.link;
  // The body goes to a temporary file that no other writer shares and takes the file's own
  // name only once it is whole: a run takes any update file at hand as complete, so a
  // download cut short by a crash or a power cut must never leave one behind.
  const std::string path = env.path(name);
  platform::NewFile file;
  if (file.create(path) != 0) {
    link.log_text(std::string(name) + "  <<----- ERROR creating file\r\n");
    return -1;
  }
  env.state->set_partial_download(file.temp_path());

  platform::Socket socket;
  auto fail = [&](const std::string& why) {
    if (!why.empty()) link.log_text(why);
    socket.close();
    file.discard();
    env.state->set_partial_download("");
    return -1;
  };

  if (connect_server(env, &socket) != 0) {
    return fail(env.cancelled() ? "" : "ERROR opening socket\r\n");
  }

  link.log_text("\r\n");
  std::string request = request_lines(env, name);
  // Room is needed for the blank line that ends the request.
  if (request.size() + 2 >= kRequestBufferSize) return fail("REQUEST TOO LONG\r\n");
  link.log_text(request);
  request += "\r\n";
  if (!socket.send(request.data(), request.size()).ok()) {
    return fail("ERROR sending request\r\n");
  }

  char block[kReceiveBufferSize];
  ReplyHead head(kReceiveBufferSize);
  bool head_done = false;
  bool has_length = false;
  std::int32_t content_length = 0;
  std::uint64_t body_count = 0;
  DownloadWatch watch(env, &socket, receive_timeout_seconds);

  // Reading stops once the announced body is whole: nothing past it is read or written, and
  // a server that keeps the connection open does not hold the run. Without a length the body
  // must be empty, so its first byte already fails the size check. A receive error, the
  // timeout included, ends the body like a close.
  while (!(head_done && has_length && body_count == static_cast<std::uint64_t>(content_length))) {
    const DownloadWatch::Wait waited = watch.wait(/*for_writing=*/false);
    if (waited == DownloadWatch::Wait::cancelled) return fail("");
    if (waited == DownloadWatch::Wait::slow) return fail(watch.reason(waited));
    if (waited == DownloadWatch::Wait::idle) link.log_text(watch.reason(waited));
    if (waited != DownloadWatch::Wait::ready) break;
    std::size_t want = sizeof block;
    if (head_done && has_length) {
      want = static_cast<std::size_t>(
          std::min<std::uint64_t>(want, static_cast<std::uint64_t>(content_length) - body_count));
    }
    const platform::IoResult got = socket.receive(block, want);
    if (got.error == EAGAIN || got.error == EWOULDBLOCK) continue;
    if (!got.ok() || got.count == 0) break;
    watch.count(got.count);
    std::size_t n = static_cast<std::size_t>(got.count);
    std::size_t body_start = 0;

    if (!head_done) {
      const ReplyHead::Feed fed = head.feed(block, n, &body_start);
      if (fed == ReplyHead::kTooLong) return fail("HEAD TOO LONG\r\n");
      if (fed == ReplyHead::kBareLf) return fail(kBareLfHead);
      if (fed == ReplyHead::kMore) continue;
      head_done = true;
      link.log_text(head.text());
      // Any other answer leaves no file; the head in the log tells what the server said.
      if (head.status() != 200) return fail("");
      if (head.has_field("Transfer-Encoding")) return fail(kTransferEncodingRefused);
      const int found = head.content_length(&content_length);
      if (found < 0) return fail("BAD CONTENT LENGTH\r\n");
      if (content_length > kMaxUpdateFileSize) return fail("CONTENT LENGTH TOO LARGE\r\n");
      has_length = found > 0;
      if (has_length) show_number(link, row, RowCell::total, content_length);
      // The block may run past the announced body.
      const std::uint64_t left = static_cast<std::uint64_t>(content_length);
      if (has_length && n - body_start > left) n = body_start + static_cast<std::size_t>(left);
    }

    if (n == body_start) continue;
    if (!has_length) return fail("FILE IS WRONG SIZE\r\n");
    if (!file.file().write(block + body_start, n - body_start).ok()) {
      return fail("ERROR writing file\r\n");
    }
    body_count += n - body_start;
    show_number(link, row, RowCell::bytes, clamp_to_cell(body_count));
  }

  socket.close();
  if (!head_done) return fail(head.unfinished(env.server.host));
  if (body_count != static_cast<std::uint64_t>(content_length)) {
    return fail("FILE IS WRONG SIZE\r\n");
  }
  // A file of that name that came meanwhile (the same week's file copied from the floppy
  // folder) is kept: the merge checks every update file whole before it takes it.
  const int committed = file.commit(platform::NewFile::Replace::no);
  if (committed == EEXIST) {
    link.log_text(std::string(name) + " is already at hand; the download is dropped\r\n");
  } else if (committed != 0) {
    char line[96];
    std::snprintf(line, sizeof line, "ERROR %d writing file %s\r\n", committed, name);
    return fail(line);
  }
  env.state->set_partial_download("");
  return 0;
}

int http_get_text(WorkerEnv& env, const char* name, std::size_t max, std::string* text) {
  text->clear();
  platform::Socket socket;
  if (connect_server(env, &socket) != 0) return -1;
  const std::string request = request_lines(env, name) + "\r\n";
  if (!socket.send(request.data(), request.size()).ok()) return -1;

  char block[kReceiveBufferSize];
  ReplyHead head(kReceiveBufferSize);
  DownloadWatch watch(env, &socket, receive_timeout_seconds);
  std::size_t want = 0;  // of the body, once the head is in
  bool head_done = false;
  while (!head_done || text->size() < want) {
    if (watch.wait(/*for_writing=*/false) != DownloadWatch::Wait::ready) return -1;
    const platform::IoResult got = socket.receive(block, sizeof block);
    if (got.error == EAGAIN || got.error == EWOULDBLOCK) continue;
    if (!got.ok() || got.count == 0) return -1;
    watch.count(got.count);
    std::size_t start = 0;
    if (!head_done) {
      const ReplyHead::Feed fed = head.feed(block, static_cast<std::size_t>(got.count), &start);
      if (fed == ReplyHead::kTooLong || fed == ReplyHead::kBareLf) return -1;
      if (fed == ReplyHead::kMore) continue;
      head_done = true;
      if (head.status() != 200) return 0;
      std::int32_t length = 0;
      if (head.has_field("Transfer-Encoding") || head.content_length(&length) <= 0) return -1;
      want = std::min(max, static_cast<std::size_t>(length));
    }
    const std::size_t n = static_cast<std::size_t>(got.count) - start;
    text->append(block + start, std::min(n, want - text->size()));
  }
  return 1;
}

}  // namespace updater
