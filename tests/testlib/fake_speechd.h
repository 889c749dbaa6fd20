// Test support: a small Speech Dispatcher stand-in. It listens on a Unix socket (clients find it
// through SPEECHD_ADDRESS=unix_socket:PATH), answers the SSIP commands libspeechd sends, and
// records every spoken text and every CANCEL/STOP, in memory and, when a log path is given, as
// one line per event in a file that another process can read while the server runs:
//   CLIENT <client name>            a connection named itself (SET SELF CLIENT_NAME)
//   SPEAK <PRIORITY> <text>         a message was received (dots unescaped; in the text a line
//                                   break is written \n, a carriage return \r, a backslash \\)
//   CANCEL <target>                 CANCEL SELF / ALL / id
//   STOP <target>                   STOP SELF / ALL / id
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class FakeSpeechd {
 public:
  struct Event {
    std::string kind;      // "CLIENT", "SPEAK", "CANCEL" or "STOP"
    int connection = 0;    // 1 for the first accepted connection, and so on
    std::string client;    // the connection's client name ("" before it set one)
    std::string priority;  // SPEAK: the connection's priority, upper case ("TEXT" by default)
    std::string text;      // SPEAK: the text, line breaks as "\n"; CLIENT: the name; else the target
  };

  FakeSpeechd(std::string socket_path, std::string log_path = "");
  ~FakeSpeechd();
  FakeSpeechd(const FakeSpeechd&) = delete;
  FakeSpeechd& operator=(const FakeSpeechd&) = delete;

  // Binds, listens and starts serving on a thread; false when the socket cannot be made.
  bool Start();
  // Closes every connection and the socket, as a server that died (its socket file is removed).
  void Stop();
  // While false, commands are read but never answered (a hung server).
  void SetAnswering(bool answering) { answering_ = answering; }
  // After answering a command line that starts with `prefix` (upper case, e.g. "SET SELF
  // PRIORITY"), the server hangs up that connection: the client's next write meets a closed
  // socket. "" switches it off.
  void HangUpAfter(const std::string& prefix);

  // "unix_socket:PATH", the value for SPEECHD_ADDRESS.
  std::string Address() const { return "unix_socket:" + socket_path_; }
  const std::string& socket_path() const { return socket_path_; }

  std::vector<Event> Events() const;
  // Waits until `done(events)` holds; false after `ms`.
  bool WaitFor(const std::function<bool(const std::vector<Event>&)>& done, int ms) const;
  // Waits until at least `count` events of `kind` arrived; false after `ms`.
  bool WaitCount(const std::string& kind, size_t count, int ms) const;
  // Connections accepted so far.
  int Connections() const;

 private:
  struct Client;
  void Serve();
  bool HandleInput(Client& c);  // false: close the connection
  bool HandleCommand(Client& c, const std::string& line);
  void Reply(Client& c, const std::string& text);
  void Record(Event e);

  const std::string socket_path_, log_path_;
  int listen_fd_ = -1;
  int wake_[2] = {-1, -1};
  std::thread thread_;
  std::atomic<bool> answering_{true};
  int next_message_id_ = 1;  // server thread only

  mutable std::mutex mutex_;  // guards events_, connections_, hang_up_after_
  mutable std::condition_variable changed_;
  std::vector<Event> events_;
  int connections_ = 0;
  std::string hang_up_after_;
};

}  // namespace testsupport
