// Test support: the loopback HTTP / ICY radio server (see icy_server.h).
#include "icy_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace testsupport {

namespace {

constexpr int kStepMs = 50;  // how often blocked loops look at the stop flag

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// The metadata block for `title`: a length byte (16-byte units) and the padded text.
std::string MetadataBlock(const std::string& title) {
  std::string text = "StreamTitle='" + title + "';";
  text.resize(std::min<std::size_t>((text.size() + 15) / 16 * 16, 255 * 16), '\0');
  return std::string(1, static_cast<char>(text.size() / 16)) + text;
}

}  // namespace

IcyServer::IcyServer(std::chrono::seconds lifetime)
    : deadline_(std::chrono::steady_clock::now() + lifetime) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(fd);
    return;
  }
  listen_fd_ = fd;
  port_ = ntohs(addr.sin_port);
  accept_thread_ = std::thread([this] { AcceptLoop(); });
}

IcyServer::~IcyServer() { Stop(); }

std::string IcyServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void IcyServer::SetRoute(const std::string& path, IcyRoute route) {
  std::lock_guard lk(mutex_);
  routes_[path] = std::move(route);
}

std::vector<IcyRequest> IcyServer::Requests() const {
  std::lock_guard lk(mutex_);
  return requests_;
}

void IcyServer::Stop() {
  {
    std::lock_guard lk(mutex_);
    stopping_ = true;
    stop_cv_.notify_all();
  }
  if (accept_thread_.joinable()) accept_thread_.join();
  std::vector<std::thread> workers;
  {
    std::lock_guard lk(mutex_);
    workers.swap(workers_);
  }
  for (auto& t : workers) t.join();
  if (listen_fd_ >= 0) close(listen_fd_);
  listen_fd_ = -1;
}

bool IcyServer::Wait(std::chrono::milliseconds ms) {
  std::unique_lock lk(mutex_);
  auto until = std::min(std::chrono::steady_clock::now() + ms, deadline_);
  stop_cv_.wait_until(lk, until, [this] { return stopping_.load(); });
  return !stopping_ && std::chrono::steady_clock::now() < deadline_;
}

void IcyServer::AcceptLoop() {
  while (!stopping_ && std::chrono::steady_clock::now() < deadline_) {
    pollfd p{listen_fd_, POLLIN, 0};
    if (poll(&p, 1, kStepMs) <= 0) continue;
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard lk(mutex_);
    if (stopping_) {
      close(fd);
      break;
    }
    ++open_connections_;
    workers_.emplace_back([this, fd] {
      Serve(fd);
      close(fd);
      --open_connections_;
    });
  }
}

namespace {

// Sends all of `data`; false when the client went away or `alive` turned false.
template <typename Alive>
bool SendAll(int fd, const char* data, std::size_t size, Alive alive) {
  while (size > 0) {
    if (!alive()) return false;
    pollfd p{fd, POLLOUT, 0};
    int r = poll(&p, 1, kStepMs);
    if (r < 0) return false;
    if (r == 0) continue;
    ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Reads the request head (up to the blank line); empty on failure.
template <typename Alive>
std::string ReadRequestHead(int fd, Alive alive) {
  std::string head;
  char buf[2048];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < 64 * 1024) {
    if (!head.empty() && head[0] == '\x16') break;  // TLS ClientHello: no request head follows
    if (!alive()) return {};
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, kStepMs);
    if (r < 0) return {};
    if (r == 0) continue;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return {};
    head.append(buf, static_cast<std::size_t>(n));
  }
  return head;
}

// Keeps the connection open, sending nothing, until the client closes it or the server stops.
template <typename Alive>
void HoldUntilClientLeaves(int fd, Alive alive) {
  while (alive()) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kStepMs) > 0) {
      char buf[256];
      if (recv(fd, buf, sizeof buf, 0) <= 0) return;
    }
  }
}

IcyRequest ParseRequest(const std::string& head) {
  IcyRequest req;
  std::size_t eol = head.find("\r\n");
  req.request_line = head.substr(0, eol);
  std::size_t a = req.request_line.find(' ');
  std::size_t b = req.request_line.find(' ', a + 1);
  if (a != std::string::npos) req.path = req.request_line.substr(a + 1, b - a - 1);
  std::size_t pos = eol + 2;
  while (pos < head.size()) {
    std::size_t end = head.find("\r\n", pos);
    if (end == std::string::npos || end == pos) break;
    std::string line = head.substr(pos, end - pos);
    std::size_t colon = line.find(':');
    if (colon != std::string::npos) {
      std::string value = line.substr(colon + 1);
      value.erase(0, value.find_first_not_of(' '));
      req.headers[Lower(line.substr(0, colon))] = value;
    }
    pos = end + 2;
  }
  auto range = req.headers.find("range");
  if (range != req.headers.end() && range->second.rfind("bytes=", 0) == 0)
    req.range_start = std::atoll(range->second.c_str() + 6);
  return req;
}

}  // namespace

void IcyServer::Serve(int fd) {
  auto alive = [this] { return !stopping_ && std::chrono::steady_clock::now() < deadline_; };
  std::string head = ReadRequestHead(fd, alive);
  if (head.empty()) return;
  if (head[0] == '\x16') {
    // A TLS handshake on this plain-text port: answer in plain text, as web servers do.
    std::string reply = "HTTP/1.0 400 Bad Request\r\nContent-Length: 0\r\n\r\n";
    SendAll(fd, reply.data(), reply.size(), alive);
    return;
  }
  IcyRequest req = ParseRequest(head);
  IcyRoute route;
  bool found;
  {
    std::lock_guard lk(mutex_);
    requests_.push_back(req);
    auto it = routes_.find(req.path.substr(0, req.path.find('?')));
    found = it != routes_.end();
    if (found) route = it->second;
  }
  if (!found) route.kind = IcyRoute::Kind::NotFound;
  if (route.header_delay_ms > 0 && !Wait(std::chrono::milliseconds(route.header_delay_ms))) return;

  auto send_text = [&](const std::string& s) { return SendAll(fd, s.data(), s.size(), alive); };
  switch (route.kind) {
    case IcyRoute::Kind::Silent:
      HoldUntilClientLeaves(fd, alive);
      return;
    case IcyRoute::Kind::NotFound: {
      std::string body = "<html><body>Not Found</body></html>";
      send_text("HTTP/1.0 404 Not Found\r\nContent-Type: text/html\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\n\r\n" + body);
      return;
    }
    case IcyRoute::Kind::Redirect: {
      std::string target = route.location.rfind("/", 0) == 0 ? Url(route.location) : route.location;
      send_text("HTTP/1.0 302 Found\r\nLocation: " + target + "\r\nContent-Length: 0\r\n\r\n");
      return;
    }
    case IcyRoute::Kind::Icy:
    case IcyRoute::Kind::Http:
      break;
  }

  const std::string& payload = route.payload;
  const std::int64_t size = static_cast<std::int64_t>(payload.size());
  std::int64_t start = 0, end = -1;  // end: one past the last byte to send, -1 = endless
  std::string status = route.kind == IcyRoute::Kind::Icy ? "ICY 200 OK" : "HTTP/1.0 200 OK";
  std::string headers;
  if (!route.live) {
    if (req.range_start > 0 && !route.ignore_range) {
      if (req.range_start >= size) {
        send_text("HTTP/1.0 416 Range Not Satisfiable\r\nContent-Range: bytes */" +
                  std::to_string(size) + "\r\nContent-Length: 0\r\n\r\n");
        return;
      }
      start = req.range_start;
      status = "HTTP/1.0 206 Partial Content";
      headers += "Content-Range: bytes " + std::to_string(start) + "-" + std::to_string(size - 1) +
                 "/" + std::to_string(size) + "\r\n";
    }
    end = size;
    headers += "Content-Length: " + std::to_string(end - start) + "\r\nAccept-Ranges: bytes\r\n";
  } else if (size == 0) {
    end = 0;
  }
  const bool icy_meta = route.metaint > 0 && req.headers.count("icy-metadata") &&
                        req.headers["icy-metadata"] == "1";
  if (!route.content_type.empty()) headers += "Content-Type: " + route.content_type + "\r\n";
  if (!route.icy_name.empty()) headers += "icy-name: " + route.icy_name + "\r\n";
  if (!route.icy_genre.empty()) headers += "icy-genre: " + route.icy_genre + "\r\n";
  if (route.icy_br > 0) headers += "icy-br: " + std::to_string(route.icy_br) + "\r\n";
  if (icy_meta) headers += "icy-metaint: " + std::to_string(route.metaint) + "\r\n";
  for (const auto& line : route.extra_headers) headers += line + "\r\n";
  if (!route.status_line.empty()) status = route.status_line;
  if (!send_text(status + "\r\n" + headers + "\r\n")) return;

  // The body: audio bytes, a metadata block after every `metaint` of them.
  const auto begun = std::chrono::steady_clock::now();
  std::int64_t sent = 0;        // body audio bytes sent
  std::int64_t since_meta = 0;  // audio bytes since the last block
  std::string last_title;
  bool first_block = true;
  std::string chunk;
  while (alive() && (end < 0 || start + sent < end)) {
    if (route.die_after >= 0 && sent >= route.die_after) {
      shutdown(fd, SHUT_RDWR);
      return;
    }
    if (route.stall_after >= 0 && sent >= route.stall_after) {
      HoldUntilClientLeaves(fd, alive);
      return;
    }
    std::int64_t n = 4096;
    if (end >= 0) n = std::min(n, end - (start + sent));
    if (route.stall_after >= 0) n = std::min(n, route.stall_after - sent);
    if (icy_meta) n = std::min<std::int64_t>(n, route.metaint - since_meta);
    if (route.die_after >= 0) n = std::min(n, route.die_after - sent);
    if (route.bytes_per_second > 0) {
      // Wait until this chunk is due.
      n = std::min<std::int64_t>(n, std::max(1, route.bytes_per_second / 20));
      auto due = begun + std::chrono::microseconds((sent + n) * 1000000 / route.bytes_per_second);
      auto now = std::chrono::steady_clock::now();
      if (due > now &&
          !Wait(std::chrono::duration_cast<std::chrono::milliseconds>(due - now) +
                std::chrono::milliseconds(1)))
        return;
    }
    chunk.clear();
    for (std::int64_t i = 0; i < n; ++i) chunk += payload[static_cast<std::size_t>((start + sent + i) % size)];
    sent += n;
    since_meta += n;
    if (icy_meta && since_meta == route.metaint) {
      since_meta = 0;
      std::string title;
      if (!route.titles.empty()) {
        std::int64_t index = route.title_every > 0 ? (start + sent) / route.title_every : 0;
        title = route.titles[static_cast<std::size_t>(index % static_cast<std::int64_t>(route.titles.size()))];
      }
      if (route.titles.empty() || (!route.repeat_metadata && !first_block && title == last_title))
        chunk += '\0';
      else
        chunk += MetadataBlock(title);
      first_block = false;
      last_title = title;
    }
    if (!send_text(chunk)) return;
  }
  shutdown(fd, SHUT_WR);
}

}  // namespace testsupport
