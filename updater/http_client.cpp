#include "updater/http_client.h"

#include "updater/reply_head.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
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
  if (socket->connect(address, env.server.port) != 0) {
    socket->close();
    env.link->message_box(host, "connect() failed", Buttons::ok, Icon::none);
    return -1;
  }
  // Without the bound a stalled server would hold the download forever.
  if (socket->set_receive_timeout(receive_timeout_seconds) != 0) {
    socket->close();
    env.link->message_box(host, "setsockopt() failed", Buttons::ok, Icon::none);
    return -1;
  }
  return 0;
}

int http_get(WorkerEnv& env, const char* name, int row) {
  WorkerLink& link = *env.link;
  // The body goes to NAME.part and takes the file's own name only once it is whole: a run
  // takes any update file at hand as complete, so a download cut short by a crash or a power
  // cut must never leave one behind.
  const std::string path = env.path(name);
  const std::string part = path + kPartSuffix;
  env.state->set_partial_download(part);

  platform::File file;
  if (file.open(part, platform::Access::write, platform::Share::read,
                platform::Disposition::create_always) != 0) {
    link.log_text(std::string(name) + "  <<----- ERROR creating file\r\n");
    return -1;
  }

  platform::Socket socket;
  auto fail = [&](const char* why) {
    if (why != nullptr) link.log_text(why);
    socket.close();
    file.close();
    platform::delete_file(part);
    return -1;
  };

  if (connect_server(env, &socket) != 0) return fail("ERROR opening socket\r\n");

  link.log_text("\r\n");
  std::string host = env.server.host;
  if (env.server.port != 80) host += ":" + std::to_string(env.server.port);
  char request[kRequestBufferSize];
  const int length = std::snprintf(request, sizeof request,
                                   "GET %s/%s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n",
                                   kDbFilesPath, name, host.c_str());
  // Room is needed for the blank line that ends the request.
  if (length < 0 || static_cast<std::size_t>(length) + 2 >= sizeof request) {
    return fail("REQUEST TOO LONG\r\n");
  }
  link.log_text(request);
  std::memcpy(request + length, "\r\n", 3);
  if (!socket.send(request, static_cast<std::size_t>(length) + 2).ok()) {
    return fail("ERROR sending request\r\n");
  }

  char block[kReceiveBufferSize];
  ReplyHead head(kReceiveBufferSize);
  bool head_done = false;
  int status = 0;
  std::int32_t content_length = 0;
  std::uint64_t body_count = 0;

  // A receive error, the timeout included, ends the body like a close.
  for (;;) {
    if (env.cancelled()) return fail(nullptr);
    const platform::IoResult got = socket.receive(block, sizeof block);
    if (!got.ok() || got.count == 0) break;
    const std::size_t n = static_cast<std::size_t>(got.count);
    std::size_t body_start = 0;

    if (!head_done) {
      const ReplyHead::Feed fed = head.feed(block, n, &body_start);
      if (fed == ReplyHead::kTooLong) return fail("HEAD TOO LONG\r\n");
      if (fed == ReplyHead::kMore) continue;
      head_done = true;
      link.log_text(head.text());
      status = head.status();
      if (status == 200) {
        const int found = head.content_length(&content_length);
        if (found < 0) return fail("BAD CONTENT LENGTH\r\n");
        if (found > 0) show_number(link, row, RowCell::total, content_length);
      }
    }

    if (n > body_start && !file.write(block + body_start, n - body_start).ok()) {
      return fail("ERROR writing file\r\n");
    }
    body_count += n - body_start;
    show_number(link, row, RowCell::bytes, clamp_to_cell(body_count));
  }

  socket.close();
  if (file.close() != 0) return fail("ERROR writing file\r\n");
  if (!head_done || status != 200) return fail(nullptr);
  if (body_count != static_cast<std::uint64_t>(content_length)) {
    return fail("FILE IS WRONG SIZE\r\n");
  }
  const int moved = platform::move_file(part, path);
  if (moved != 0) {
    char line[96];
    std::snprintf(line, sizeof line, "ERROR %d moving %s%s to %s\r\n", moved, name, kPartSuffix,
                  name);
    return fail(line);
  }
  env.state->set_partial_download("");
  return 0;
}

}  // namespace updater
