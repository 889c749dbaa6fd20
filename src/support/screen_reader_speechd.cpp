// The Speech Dispatcher adapters of the screen-reader table (rows 1 and 2), on libspeechd.
//
// libspeechd blocks on its socket and writes with write(), so around it we keep three guards: a
// connection is opened on a helper thread that is waited for only briefly, replies time out on
// the socket (SO_RCVTIMEO), and SIGPIPE is blocked while we write, so a server that died cannot
// end the program. A connection that broke (libspeechd closes its stream on a read error) or whose
// server hung up (the socket reads as closed: in single mode the server never sends anything
// unasked) is dropped and opened again on next use. What we cannot guard: libspeechd ends the
// process itself when a server answers with something that is not an SSIP reply code.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <libspeechd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "screen_reader_adapters.h"
#include "utf_text.h"

namespace {

constexpr const char* kClientName = "sonderlane";
// How long a reply from the server may take before the connection counts as broken.
constexpr int kReplyTimeoutMs = 500;
// How long a call waits for a new connection; a slower one is picked up by a later call.
constexpr int kOpenWaitMs = 250;

std::atomic<bool> g_autospawn_allowed{true};
std::atomic<bool> g_autospawn_used{false};

// Blocks SIGPIPE on this thread for its lifetime and swallows a SIGPIPE raised meanwhile.
class SigpipeBlock {
 public:
  SigpipeBlock() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
  }
  ~SigpipeBlock() {
    if (!was_pending_) {
      sigset_t pending;
      sigpending(&pending);
      if (sigismember(&pending, SIGPIPE) == 1) {
        timespec zero{0, 0};
        sigtimedwait(&pipe_, nullptr, &zero);
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  SigpipeBlock(const SigpipeBlock&) = delete;
  SigpipeBlock& operator=(const SigpipeBlock&) = delete;

 private:
  sigset_t pipe_, old_;
  bool was_pending_ = false;
};

void CloseConnection(SPDConnection* connection) {
  if (connection == nullptr) return;
  // spd_close closes only the socket; the stream over it (already closed by libspeechd after a
  // read error) is closed here, and the socket number cleared so it is not closed twice.
  if (connection->stream != nullptr) {
    std::fclose(connection->stream);
    connection->stream = nullptr;
  }
  connection->socket = -1;
  spd_close(connection);
}

// Text as Speech Dispatcher wants it: valid UTF-8 with CR LF line ends, so that libspeechd's
// escaping of lines that start with a dot sees every line.
std::string PrepareText(const std::string& text) {
  std::string valid = ValidUtf8(text);
  std::string out;
  out.reserve(valid.size() + 16);
  for (size_t i = 0; i < valid.size(); ++i) {
    char c = valid[i];
    if (c == '\r' || c == '\n') {
      out += "\r\n";
      if (c == '\r' && i + 1 < valid.size() && valid[i + 1] == '\n') ++i;
    } else {
      out += c == '\0' ? ' ' : c;
    }
  }
  return out;
}

// One connection attempt, run on a helper thread; the result is handed over under the mutex.
struct OpenAttempt {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;                    // guarded by mutex
  bool abandoned = false;               // guarded by mutex: the client no longer wants it
  SPDConnection* connection = nullptr;  // guarded by mutex
};

// False when nothing listens on the server's Unix socket (no socket file, or one left behind by a
// server that is gone), so that no connection can succeed without starting a server. libspeechd
// is not asked then: besides saving the attempt, its failure path leaks a little memory on every
// call. The probe connection is closed at once; the server sees a client come and go.
bool ServerMayListen() {
  char* error = nullptr;
  SPDConnectionAddress* address = spd_get_default_address(&error);
  std::free(error);
  if (address == nullptr) return false;
  bool may_listen = true;
  if (address->method == SPD_METHOD_UNIX_SOCKET && address->unix_socket_name != nullptr) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, address->unix_socket_name, sizeof addr.sun_path - 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd >= 0) {
      // EAGAIN: the server's backlog is full; it exists, let libspeechd wait for it.
      may_listen = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 ||
                   errno == EAGAIN;
      close(fd);
    }
  }
  SPDConnectionAddress__free(address);
  return may_listen;
}

void RunOpenAttempt(std::shared_ptr<OpenAttempt> attempt, std::string connection_name,
                    bool autospawn) {
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);  // this thread only lives for the attempt

  SPDConnection* connection = nullptr;
  if (autospawn || ServerMayListen()) {
    char* error = nullptr;
    connection = spd_open2(kClientName, connection_name.c_str(), nullptr, SPD_MODE_SINGLE,
                           nullptr, autospawn ? 1 : 0, &error);
    std::free(error);
  }
  if (connection != nullptr && connection->stream == nullptr) {
    CloseConnection(connection);  // the server hung up during the greeting
    connection = nullptr;
  }
  if (connection != nullptr) {
    timeval timeout{kReplyTimeoutMs / 1000, (kReplyTimeoutMs % 1000) * 1000};
    setsockopt(connection->socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(connection->socket, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  }
  std::lock_guard lock(attempt->mutex);
  if (attempt->abandoned) {
    CloseConnection(connection);
  } else {
    attempt->connection = connection;
  }
  attempt->done = true;
  attempt->finished.notify_all();
}

// A connection to Speech Dispatcher, opened on first use and again after it broke.
class SpeechdClient {
 public:
  explicit SpeechdClient(std::string connection_name) : name_(std::move(connection_name)) {}
  ~SpeechdClient() {
    DropConnection();
    AbandonAttempt();
  }
  SpeechdClient(const SpeechdClient&) = delete;
  SpeechdClient& operator=(const SpeechdClient&) = delete;

  // True when a working connection exists or could be opened now. A connection attempt still
  // running from an earlier call is not waited for again, so a server that accepts but never
  // answers costs one short wait, not one per announcement.
  bool EnsureOpen() {
    if (connection_ != nullptr && Healthy()) return true;
    DropConnection();
    if (attempt_ != nullptr) {
      Outcome outcome = TakeAttempt(0);
      if (outcome != Outcome::kFailed) return outcome == Outcome::kOpened;
    }
    if (!StartAttempt()) return false;
    return TakeAttempt(kOpenWaitMs) == Outcome::kOpened;
  }

  bool Say(const std::string& text, bool interrupt) {
    if (!EnsureOpen()) return false;
    SigpipeBlock block;
    if (interrupt && spd_cancel(connection_) != 0) {
      DropIfBroken();
      return false;
    }
    std::string prepared = PrepareText(text);
    int id = spd_say(connection_, SPD_MESSAGE, prepared.c_str());
    DropIfBroken();
    return id >= 0;
  }

  bool Stop() {
    if (!EnsureOpen()) return false;
    SigpipeBlock block;
    bool ok = spd_cancel(connection_) == 0;
    DropIfBroken();
    return ok;
  }

  // Closes the connection; an attempt still running is kept and used when it succeeds.
  void Unload() { DropConnection(); }

 private:
  enum class Outcome { kPending, kOpened, kFailed };

  bool Healthy() const {
    if (connection_->stream == nullptr) return false;
    pollfd p{connection_->socket, POLLIN, 0};
    return poll(&p, 1, 0) == 0;
  }

  void DropConnection() {
    CloseConnection(connection_);
    connection_ = nullptr;
  }

  void DropIfBroken() {
    if (connection_ != nullptr && connection_->stream == nullptr) DropConnection();
  }

  bool StartAttempt() {
    bool autospawn = g_autospawn_allowed && !g_autospawn_used.exchange(true);
    auto attempt = std::make_shared<OpenAttempt>();
    try {
      std::thread(RunOpenAttempt, attempt, name_, autospawn).detach();
    } catch (...) {
      return false;
    }
    attempt_ = std::move(attempt);
    return true;
  }

  // Waits up to `wait_ms` for the pending attempt; a finished one is consumed.
  Outcome TakeAttempt(int wait_ms) {
    {
      std::unique_lock lock(attempt_->mutex);
      if (!attempt_->finished.wait_for(lock, std::chrono::milliseconds(wait_ms),
                                       [&] { return attempt_->done; })) {
        return Outcome::kPending;
      }
      connection_ = attempt_->connection;
      attempt_->connection = nullptr;
    }
    attempt_.reset();
    return connection_ != nullptr ? Outcome::kOpened : Outcome::kFailed;
  }

  void AbandonAttempt() {
    if (attempt_ == nullptr) return;
    std::lock_guard lock(attempt_->mutex);
    if (attempt_->done) {
      CloseConnection(attempt_->connection);
      attempt_->connection = nullptr;
    } else {
      attempt_->abandoned = true;  // the helper closes what it gets
    }
  }

  const std::string name_;
  // UI thread only (under the bridge's lock).
  SPDConnection* connection_ = nullptr;
  std::shared_ptr<OpenAttempt> attempt_;  // a connection attempt not taken over yet
};

ScreenReaderEngine MakeSpeechdEngine(std::string name, std::string connection_name,
                                     std::function<bool()> precondition) {
  auto client = std::make_shared<SpeechdClient>(std::move(connection_name));
  ScreenReaderEngine e;
  e.name = std::move(name);
  e.detect = [client, precondition] {
    return (!precondition || precondition()) && client->EnsureOpen();
  };
  e.say = [client](const std::string& text, bool interrupt) { return client->Say(text, interrupt); };
  e.stop = [client] { return client->Stop(); };
  e.braille = [](const std::string&) {};  // Speech Dispatcher has no braille
  e.unload = [client] { client->Unload(); };
  return e;
}

}  // namespace

ScreenReaderEngine MakeOrcaSpeechdEngine() {
  return MakeSpeechdEngine("Orca", "orca", [] { return FindProcess("orca", nullptr, 0); });
}

ScreenReaderEngine MakeSpeechDispatcherEngine() {
  return MakeSpeechdEngine("Speech Dispatcher", "main", nullptr);
}

void SetSpeechdAutospawnAllowed(bool allowed) { g_autospawn_allowed = allowed; }
