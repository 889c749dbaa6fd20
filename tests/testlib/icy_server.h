// Test support: an in-process HTTP / Shoutcast (ICY) radio server on 127.0.0.1 with an
// ephemeral port. Each path is configured with a Route; unknown paths answer 404.
//
// Threads: one accept thread plus one thread per connection. The server stops when destroyed,
// and at the latest after `lifetime` (so a test that forgets it cannot leave it running).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

struct IcyRoute {
  enum class Kind {
    Icy,        // "ICY 200 OK" and icy-* headers
    Http,       // "HTTP/1.0 200 OK" (206 for a range); icy-* headers still sent when set
    NotFound,   // "HTTP/1.0 404 Not Found"
    Silent,     // accepts, reads the request, never answers
    Redirect,   // "HTTP/1.0 302 Found" to `location`
  };
  Kind kind = Kind::Icy;
  std::string content_type = "audio/mpeg";
  std::string icy_name;
  std::string icy_genre;
  int icy_br = 0;                    // 0 = no icy-br header
  std::vector<std::string> extra_headers;  // whole lines, e.g. "X-Test: 1"

  // Metadata: with metaint > 0 and a client that sent "Icy-MetaData: 1", a block follows
  // every `metaint` audio bytes. The title shown is titles[(audio offset / title_every) % n].
  int metaint = 0;
  std::vector<std::string> titles;
  std::int64_t title_every = 0;      // audio bytes per title; 0 = the first title throughout
  bool repeat_metadata = true;       // false: an empty block (length 0) while the title holds

  std::string payload;               // the audio bytes
  bool live = true;                  // true: payload looped without end, no Content-Length;
                                     // false: served once with Content-Length and Range
  bool ignore_range = false;         // answer Range requests with the whole file (200)
  std::int64_t die_after = -1;       // close the connection after this many body bytes
  std::int64_t stall_after = -1;     // after this many body bytes, send nothing more (the
                                     // connection stays open until the client leaves)
  int bytes_per_second = 0;          // pace the body; 0 = as fast as the client takes it
  int header_delay_ms = 0;           // wait this long before answering
  std::string location;              // Redirect target (absolute URL or path)
  std::string status_line;           // replaces the status line of Icy / Http answers
};

// What the server saw of one request.
struct IcyRequest {
  std::string path;
  std::string request_line;
  std::map<std::string, std::string> headers;  // names in lower case
  std::int64_t range_start = -1;               // from "Range: bytes=N-", -1 when none
};

class IcyServer {
 public:
  explicit IcyServer(std::chrono::seconds lifetime = std::chrono::seconds(120));
  ~IcyServer();
  IcyServer(const IcyServer&) = delete;
  IcyServer& operator=(const IcyServer&) = delete;

  bool ok() const { return listen_fd_ >= 0; }
  int port() const { return port_; }
  std::string Url(const std::string& path) const;  // "http://127.0.0.1:PORT" + path

  void SetRoute(const std::string& path, IcyRoute route);
  std::vector<IcyRequest> Requests() const;
  // Connections currently open (a stream being served counts until its socket closes).
  int OpenConnections() const { return open_connections_.load(); }

  void Stop();

 private:
  void AcceptLoop();
  void Serve(int fd);
  bool Wait(std::chrono::milliseconds ms);  // false when the server is stopping

  int listen_fd_ = -1;
  int port_ = 0;
  std::chrono::steady_clock::time_point deadline_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> open_connections_{0};
  std::thread accept_thread_;

  mutable std::mutex mutex_;
  std::condition_variable stop_cv_;
  std::map<std::string, IcyRoute> routes_;
  std::vector<IcyRequest> requests_;
  std::vector<std::thread> workers_;
};

}  // namespace testsupport
