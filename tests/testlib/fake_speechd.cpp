// A Speech Dispatcher stand-in for tests: SSIP over a Unix socket, events recorded.
#include "fake_speechd.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

namespace testsupport {

namespace {

std::string Upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::toupper(c); });
  return s;
}

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  size_t at = 0;
  while (at < line.size()) {
    size_t start = line.find_first_not_of(' ', at);
    if (start == std::string::npos) break;
    size_t end = line.find(' ', start);
    words.push_back(line.substr(start, end == std::string::npos ? std::string::npos : end - start));
    at = end == std::string::npos ? line.size() : end;
  }
  return words;
}

// Everything after the first `n` words of `line`.
std::string RestAfterWords(const std::string& line, size_t n) {
  size_t at = 0;
  for (size_t i = 0; i < n && at != std::string::npos; ++i) {
    at = line.find_first_not_of(' ', at);
    if (at != std::string::npos) at = line.find(' ', at);
  }
  if (at == std::string::npos) return {};
  at = line.find_first_not_of(' ', at);
  return at == std::string::npos ? std::string() : line.substr(at);
}

void ReplaceAll(std::string& s, const std::string& from, const std::string& to) {
  for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) {
    s.replace(at, from.size(), to);
  }
}

// The SSIP data block as the client meant it: the dot doubled at the start of a line undone,
// line breaks as "\n".
std::string UnescapeData(std::string data) {
  if (data.size() >= 2 && data[0] == '.' && data[1] == '.') data.erase(0, 1);
  ReplaceAll(data, "\r\n..", "\r\n.");
  ReplaceAll(data, "\r\n", "\n");
  return data;
}

std::string EscapeForLog(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else out += c;
  }
  return out;
}

// Reply codes of the SET commands libspeechd may send (any 2xx satisfies it).
const std::map<std::string, std::string>& SetReplies() {
  static const std::map<std::string, std::string> replies = {
      {"LANGUAGE", "201 OK LANGUAGE SET"},     {"RATE", "203 OK RATE SET"},
      {"PITCH", "204 OK PITCH SET"},           {"PUNCTUATION", "205 OK PUNCTUATION SET"},
      {"CAP_LET_RECOGN", "206 OK CAP LET RECOGNITION SET"},
      {"SPELLING", "207 OK SPELLING SET"},     {"VOICE_TYPE", "209 OK VOICE SET"},
      {"VOICE", "209 OK VOICE SET"},           {"SYNTHESIS_VOICE", "209 OK VOICE SET"},
      {"OUTPUT_MODULE", "216 OK OUTPUT MODULE SET"},
      {"VOLUME", "218 OK VOLUME SET"},         {"SSML_MODE", "219 OK SSML MODE SET"},
      {"NOTIFICATION", "220 OK NOTIFICATION SET"},
      {"PITCH_RANGE", "263 OK PITCH RANGE SET"},
  };
  return replies;
}

constexpr size_t kMaxPendingBytes = 4 << 20;  // a client sending more without a line end is dropped

}  // namespace

struct FakeSpeechd::Client {
  int fd = -1;
  int id = 0;
  std::string buffer;
  bool in_data = false;
  std::string priority = "TEXT";
  std::string name;
};

FakeSpeechd::FakeSpeechd(std::string socket_path, std::string log_path)
    : socket_path_(std::move(socket_path)), log_path_(std::move(log_path)) {}

FakeSpeechd::~FakeSpeechd() { Stop(); }

bool FakeSpeechd::Start() {
  if (thread_.joinable()) return true;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socket_path_.size() >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, socket_path_.c_str(), socket_path_.size() + 1);
  unlink(socket_path_.c_str());
  listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listen_fd_, 16) != 0 || pipe2(wake_, O_CLOEXEC) != 0) {
    Stop();
    return false;
  }
  thread_ = std::thread([this] { Serve(); });
  return true;
}

void FakeSpeechd::Stop() {
  if (thread_.joinable()) {
    char byte = 1;
    ssize_t ignored = write(wake_[1], &byte, 1);
    (void)ignored;
    thread_.join();
  }
  for (int* fd : {&listen_fd_, &wake_[0], &wake_[1]}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  unlink(socket_path_.c_str());
}

void FakeSpeechd::Serve() {
  std::vector<std::unique_ptr<Client>> clients;
  for (;;) {
    std::vector<pollfd> fds = {{wake_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}};
    for (auto& c : clients) fds.push_back({c->fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents != 0) break;
    if (fds[1].revents & POLLIN) {
      int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        auto c = std::make_unique<Client>();
        c->fd = fd;
        {
          std::lock_guard lock(mutex_);
          c->id = ++connections_;
        }
        clients.push_back(std::move(c));
      }
    }
    for (size_t i = 2; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      Client& c = *clients[i - 2];
      char buf[65536];
      ssize_t n = recv(c.fd, buf, sizeof buf, 0);
      bool keep = n > 0;
      if (keep) {
        c.buffer.append(buf, static_cast<size_t>(n));
        keep = HandleInput(c);
      }
      if (!keep) {
        close(c.fd);
        c.fd = -1;
      }
    }
    clients.erase(std::remove_if(clients.begin(), clients.end(),
                                 [](const std::unique_ptr<Client>& c) { return c->fd < 0; }),
                  clients.end());
  }
  for (auto& c : clients) close(c->fd);
}

bool FakeSpeechd::HandleInput(Client& c) {
  for (;;) {
    if (c.in_data) {
      std::string data;
      size_t end;
      if (c.buffer.size() >= 3 && c.buffer.compare(0, 3, ".\r\n") == 0) {
        c.buffer.erase(0, 3);  // an empty message from a client that sent no line before the dot
      } else if ((end = c.buffer.find("\r\n.\r\n")) != std::string::npos) {
        data = c.buffer.substr(0, end);
        c.buffer.erase(0, end + 5);
      } else {
        return c.buffer.size() <= kMaxPendingBytes;
      }
      c.in_data = false;
      Record({"SPEAK", c.id, c.name, c.priority, UnescapeData(std::move(data))});
      int id = next_message_id_++;
      Reply(c, "225-" + std::to_string(id) + "\r\n225 OK MESSAGE QUEUED");
      continue;
    }
    size_t newline = c.buffer.find('\n');
    if (newline == std::string::npos) return c.buffer.size() <= kMaxPendingBytes;
    std::string line = c.buffer.substr(0, newline);
    c.buffer.erase(0, newline + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!HandleCommand(c, line)) return false;
  }
}

void FakeSpeechd::HangUpAfter(const std::string& prefix) {
  std::lock_guard lock(mutex_);
  hang_up_after_ = prefix;
}

bool FakeSpeechd::HandleCommand(Client& c, const std::string& line) {
  bool hang_up;
  {
    std::lock_guard lock(mutex_);
    hang_up = !hang_up_after_.empty() && Upper(line).rfind(hang_up_after_, 0) == 0;
  }
  std::vector<std::string> words = Words(Upper(line));
  if (words.empty()) {
    Reply(c, "300 ERR UNKNOWN COMMAND");
    return true;
  }
  const std::string& command = words[0];
  const std::string target = words.size() > 1 ? words[1] : std::string();
  if (command == "SET" && words.size() >= 3) {
    const std::string& param = words[2];
    std::string value = RestAfterWords(line, 3);
    if (param == "CLIENT_NAME") {
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
      }
      c.name = value;
      Record({"CLIENT", c.id, c.name, "", value});
      Reply(c, "208 OK CLIENT NAME SET");
    } else if (param == "PRIORITY") {
      c.priority = Upper(value);
      Reply(c, "202 OK PRIORITY SET");
    } else {
      auto it = SetReplies().find(param);
      Reply(c, it != SetReplies().end() ? it->second : "200 OK " + param + " SET");
    }
  } else if (command == "SPEAK") {
    c.in_data = true;
    Reply(c, "230 OK RECEIVING DATA");
  } else if (command == "CANCEL" || command == "STOP") {
    Record({command, c.id, c.name, "", target});
    Reply(c, command == "CANCEL" ? "213 OK CANCELED" : "210 OK STOPPED");
  } else if (command == "PAUSE" || command == "RESUME") {
    Reply(c, command == "PAUSE" ? "211 OK PAUSED" : "212 OK RESUMED");
  } else if (command == "CHAR" || command == "KEY" || command == "SOUND_ICON") {
    Reply(c, "225-" + std::to_string(next_message_id_++) + "\r\n225 OK MESSAGE QUEUED");
  } else if (command == "BLOCK") {
    Reply(c, target == "BEGIN" ? "260 OK INSIDE BLOCK" : "261 OK OUTSIDE BLOCK");
  } else if (command == "HISTORY" || command == "GET" || command == "LIST") {
    Reply(c, "200 OK");
  } else if (command == "QUIT") {
    Reply(c, "231 HAPPY HACKING");
    return false;
  } else {
    Reply(c, "300 ERR UNKNOWN COMMAND");
  }
  return !hang_up;
}

void FakeSpeechd::Reply(Client& c, const std::string& text) {
  if (!answering_) return;
  std::string data = text + "\r\n";
  for (size_t sent = 0; sent < data.size();) {
    ssize_t n = send(c.fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

void FakeSpeechd::Record(Event e) {
  std::lock_guard lock(mutex_);
  if (!log_path_.empty()) {
    if (FILE* f = std::fopen(log_path_.c_str(), "a")) {
      if (e.kind == "SPEAK") {
        std::fprintf(f, "SPEAK %s %s\n", e.priority.c_str(), EscapeForLog(e.text).c_str());
      } else {
        std::fprintf(f, "%s %s\n", e.kind.c_str(), EscapeForLog(e.text).c_str());
      }
      std::fclose(f);
    }
  }
  events_.push_back(std::move(e));
  changed_.notify_all();
}

std::vector<FakeSpeechd::Event> FakeSpeechd::Events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

bool FakeSpeechd::WaitFor(const std::function<bool(const std::vector<Event>&)>& done,
                          int ms) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return done(events_); });
}

bool FakeSpeechd::WaitCount(const std::string& kind, size_t count, int ms) const {
  return WaitFor(
      [&](const std::vector<Event>& events) {
        return static_cast<size_t>(std::count_if(events.begin(), events.end(), [&](const Event& e) {
                 return e.kind == kind;
               })) >= count;
      },
      ms);
}

int FakeSpeechd::Connections() const {
  std::lock_guard lock(mutex_);
  return connections_;
}

}  // namespace testsupport
