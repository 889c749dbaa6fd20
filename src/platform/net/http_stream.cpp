// HttpStream on libcurl: one easy handle per connection, driven through a multi handle by a
// download thread that fills a bounded read-ahead buffer and strips ICY metadata on the way.
#include "http_stream.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <strings.h>
#include <mutex>
#include <thread>
#include <vector>

namespace net {
namespace {

using Clock = std::chrono::steady_clock;

constexpr long kMaxRedirects = 10;
constexpr std::size_t kInitialBuffer = 64 * 1024;  // the read-ahead grows from here to its cap
constexpr int kPollMs = 1000;  // the download thread's idle poll; Cancel wakes it at once

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  return strncasecmp(text.c_str(), prefix, std::strlen(prefix)) == 0;
}

std::string Trim(const std::string& s) {
  std::size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  std::size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

std::int64_t ParseInt(const std::string& s, std::int64_t fallback) {
  std::string t = Trim(s);
  if (t.empty() || !std::isdigit(static_cast<unsigned char>(t[0]))) return fallback;
  std::int64_t v = 0;
  for (char c : t) {
    if (!std::isdigit(static_cast<unsigned char>(c))) break;
    if (v > (INT64_MAX - 9) / 10) return fallback;
    v = v * 10 + (c - '0');
  }
  return v;
}

HttpError MapCurlError(CURLcode code) {
  switch (code) {
    case CURLE_OK: return HttpError::None;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return HttpError::HostNotFound;
    case CURLE_COULDNT_CONNECT: return HttpError::ConnectFailed;
    case CURLE_OPERATION_TIMEDOUT: return HttpError::Timeout;
    case CURLE_UNSUPPORTED_PROTOCOL: return HttpError::UnsupportedScheme;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CLIENTCERT:
    case CURLE_USE_SSL_FAILED: return HttpError::Tls;
    default: return HttpError::Transfer;
  }
}

// A byte FIFO that grows on demand up to a cap.
class ByteRing {
 public:
  void set_cap(std::size_t cap) { cap_ = std::max<std::size_t>(cap, 4096); }
  std::size_t size() const { return size_; }
  std::size_t free_space() const { return cap_ - size_; }
  void clear() { head_ = size_ = 0; }

  std::size_t Push(const std::uint8_t* p, std::size_t n) {
    n = std::min(n, free_space());
    if (size_ + n > buf_.size()) Grow(size_ + n);
    for (std::size_t done = 0; done < n;) {
      std::size_t tail = (head_ + size_) % buf_.size();
      std::size_t k = std::min(n - done, buf_.size() - tail);
      std::memcpy(buf_.data() + tail, p + done, k);
      size_ += k;
      done += k;
    }
    return n;
  }

  // Copies out (when `out` is set) or drops up to n bytes.
  std::size_t Pop(std::uint8_t* out, std::size_t n) {
    n = std::min(n, size_);
    for (std::size_t done = 0; done < n;) {
      std::size_t k = std::min(n - done, buf_.size() - head_);
      if (out) std::memcpy(out + done, buf_.data() + head_, k);
      head_ = (head_ + k) % buf_.size();
      size_ -= k;
      done += k;
    }
    if (size_ == 0) head_ = 0;
    return n;
  }

 private:
  void Grow(std::size_t need) {
    std::size_t cap = std::max(buf_.size(), kInitialBuffer);
    while (cap < need) cap *= 2;
    cap = std::min(std::max(cap, need), cap_);
    std::vector<std::uint8_t> bigger(cap);
    std::size_t n = size_;
    Pop(bigger.data(), n);
    buf_.swap(bigger);
    head_ = 0;
    size_ = n;
  }

  std::vector<std::uint8_t> buf_;
  std::size_t head_ = 0, size_ = 0, cap_ = 1 << 20;
};

// The libcurl handles of one connection. Built and destroyed by the owning stream; used in
// between only by that connection's download thread (curl_multi_wakeup excepted).
struct Connection {
  CURL* easy = nullptr;
  CURLM* multi = nullptr;
  curl_slist* request_headers = nullptr;
  curl_slist* aliases = nullptr;
  std::thread thread;

  ~Connection() {
    if (multi && easy) curl_multi_remove_handle(multi, easy);
    if (easy) curl_easy_cleanup(easy);
    if (multi) curl_multi_cleanup(multi);
    curl_slist_free_all(request_headers);
    curl_slist_free_all(aliases);
  }
};

class CurlHttpStream final : public HttpStream {
 public:
  explicit CurlHttpStream(const HttpStreamOptions& opts) : opts_(opts) {
    ring_.set_cap(opts.buffer_bytes);
  }
  ~CurlHttpStream() override {
    Cancel();
    StopConnection();
  }

  // Starts a connection for `url` at `offset` and waits for its final response headers.
  HttpError Connect(const std::string& url, std::int64_t offset, HttpResponse* response);

  int Read(std::uint8_t* buffer, int size) override;
  std::size_t Available() const override {
    std::lock_guard lk(mutex_);
    return ring_.size();
  }
  bool Seek(std::int64_t offset) override;
  std::int64_t Position() const override {
    std::lock_guard lk(mutex_);
    return position_;
  }
  std::int64_t Received() const override {
    std::lock_guard lk(mutex_);
    return received_;
  }
  bool Finished() const override {
    std::lock_guard lk(mutex_);
    return done_ && result_ == HttpError::None;
  }
  HttpError LastError() const override {
    std::lock_guard lk(mutex_);
    return last_error_;
  }
  const HttpResponse& Response() const override { return response_; }
  void Adopt(const HttpResponse& response) { response_ = response; }
  void SetMetadataCallback(std::function<void(const std::string&)> callback) override;
  void Cancel() override;

 private:
  enum class MetaState { Audio, Length, Block };

  static size_t HeaderThunk(char* p, size_t size, size_t n, void* self) {
    return static_cast<CurlHttpStream*>(self)->OnHeader(p, size * n);
  }
  static size_t BodyThunk(char* p, size_t size, size_t n, void* self) {
    return static_cast<CurlHttpStream*>(self)->OnBody(reinterpret_cast<std::uint8_t*>(p), size * n);
  }

  bool StartConnection(const std::string& url, std::int64_t offset);
  void StopConnection();
  void DownloadLoop(Connection* conn);
  size_t OnHeader(const char* p, size_t n);
  size_t OnBody(const std::uint8_t* p, size_t n);
  bool PushAudio(const std::uint8_t* p, size_t n);
  void OnMetadataBlock(std::string block);
  void DeliverPendingMetadata(std::unique_lock<std::mutex>& lk);

  const HttpStreamOptions opts_;
  HttpResponse response_;  // reader thread only: the headers as of the last Connect

  // ---- guarded by mutex_ ----------------------------------------------------------------
  mutable std::mutex mutex_;
  std::condition_variable data_cv_;   // bytes arrived, headers in, or transfer done
  std::condition_variable space_cv_;  // bytes were taken out of the ring, or stop
  std::unique_ptr<Connection> conn_;
  ByteRing ring_;
  HttpResponse building_;       // headers of the response being received
  bool headers_done_ = false;   // final headers are in, or the transfer ended without them
  bool final_seen_ = false;     // the final response's header block was complete
  bool done_ = false;           // the transfer ended (result_ says how)
  HttpError result_ = HttpError::None;
  bool stop_ = false;           // the current connection is being torn down
  bool cancelled_ = false;      // Cancel() was called; sticky
  HttpError last_error_ = HttpError::None;
  std::int64_t position_ = 0;   // body offset of the next byte Read returns
  std::int64_t received_ = 0;   // body offset of the next byte the server sends us
  std::int64_t skip_ = 0;       // bytes to drop: the server ignored our Range request
  std::function<void(const std::string&)> meta_callback_;
  std::string last_meta_;
  bool meta_pending_ = false;   // last_meta_ changed and is not yet handed to the callback

  // ---- download thread only -------------------------------------------------------------
  int metaint_ = 0;
  MetaState meta_state_ = MetaState::Audio;
  int meta_count_ = 0;     // audio bytes since the last block, or block bytes still expected
  std::string meta_block_;
};

bool CurlHttpStream::StartConnection(const std::string& url, std::int64_t offset) {
  auto conn = std::make_unique<Connection>();
  conn->easy = curl_easy_init();
  conn->multi = curl_multi_init();
  if (!conn->easy || !conn->multi) return false;
  CURL* h = conn->easy;
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(std::max(1, opts_.timeout_ms)));
  curl_easy_setopt(h, CURLOPT_USERAGENT,
                   opts_.user_agent.empty() ? "Sonderlane" : opts_.user_agent.c_str());
  // Shoutcast answers "ICY 200 OK" (or "ICY 401 Service Unavailable"): with this alias libcurl
  // reads any ICY status line as HTTP/1.0; OnHeader takes the real status from the line.
  conn->aliases = curl_slist_append(nullptr, "ICY ");
  curl_easy_setopt(h, CURLOPT_HTTP200ALIASES, conn->aliases);
  if (opts_.request_icy) {
    conn->request_headers = curl_slist_append(nullptr, "Icy-MetaData: 1");
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, conn->request_headers);
  }
  std::string range;
  if (offset > 0) {
    range = std::to_string(offset) + "-";
    curl_easy_setopt(h, CURLOPT_RANGE, range.c_str());  // copied by libcurl
  }
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &CurlHttpStream::HeaderThunk);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &CurlHttpStream::BodyThunk);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, this);
  if (curl_multi_add_handle(conn->multi, h) != CURLM_OK) return false;

  std::lock_guard lk(mutex_);
  ring_.clear();
  building_ = HttpResponse{};
  headers_done_ = done_ = final_seen_ = false;
  result_ = HttpError::None;
  stop_ = cancelled_;
  position_ = received_ = offset;
  skip_ = 0;
  metaint_ = 0;
  meta_state_ = MetaState::Audio;
  meta_count_ = 0;
  meta_block_.clear();
  Connection* raw = conn.get();
  conn_ = std::move(conn);
  raw->thread = std::thread([this, raw] { DownloadLoop(raw); });
  return true;
}

void CurlHttpStream::StopConnection() {
  std::unique_ptr<Connection> old;
  {
    std::lock_guard lk(mutex_);
    if (!conn_) return;
    stop_ = true;
    space_cv_.notify_all();
    curl_multi_wakeup(conn_->multi);
  }
  if (conn_->thread.joinable()) conn_->thread.join();
  {
    std::lock_guard lk(mutex_);
    old = std::move(conn_);
  }
  // `old` goes out of scope here, outside the lock: libcurl cleanup may take a moment.
}

void CurlHttpStream::DownloadLoop(Connection* conn) {
  CURLcode result = CURLE_OK;
  bool finished = false;
  for (;;) {
    int running = 0;
    if (curl_multi_perform(conn->multi, &running) != CURLM_OK) {
      result = CURLE_RECV_ERROR;
      finished = true;
    }
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(conn->multi, &queued)) {
      if (msg->msg == CURLMSG_DONE) {
        result = msg->data.result;
        finished = true;
      }
    }
    if (finished || running == 0) break;
    {
      std::unique_lock lk(mutex_);
      if (stop_) break;
      DeliverPendingMetadata(lk);
    }
    curl_multi_poll(conn->multi, nullptr, 0, kPollMs, nullptr);
  }
  std::lock_guard lk(mutex_);
  done_ = true;
  if (stop_) {
    result_ = HttpError::Cancelled;
  } else {
    result_ = MapCurlError(result);
    // The body was cut short of its announced length without libcurl noticing.
    if (result_ == HttpError::None && building_.content_length >= 0 && headers_done_ &&
        building_.status < 300 && received_ < building_.content_length)
      result_ = HttpError::Transfer;
  }
  headers_done_ = true;
  data_cv_.notify_all();
}

size_t CurlHttpStream::OnHeader(const char* p, size_t n) {
  std::string line(p, n);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  std::lock_guard lk(mutex_);
  if (stop_) return 0;
  if (line.rfind("HTTP/", 0) == 0 || line.rfind("ICY", 0) == 0) {
    building_ = HttpResponse{};
    building_.status_line = line;
    building_.icy_protocol = line.rfind("ICY", 0) == 0;
    std::size_t space = line.find(' ');
    building_.status = space == std::string::npos
                           ? 0
                           : static_cast<int>(ParseInt(line.substr(space + 1), 0));
    return n;
  }
  if (!line.empty()) {
    if (!building_.header_lines.empty()) building_.header_lines += '\n';
    building_.header_lines += line;
    std::size_t colon = line.find(':');
    if (colon == std::string::npos) return n;
    std::string name = line.substr(0, colon);
    std::string value = Trim(line.substr(colon + 1));
    auto is = [&](const char* h) { return name.size() == std::strlen(h) && StartsWithNoCase(name, h); };
    if (is("content-type")) {
      building_.content_type = value;
    } else if (is("content-length")) {
      if (building_.status != 206) building_.content_length = ParseInt(value, -1);
    } else if (is("content-range")) {
      std::size_t slash = value.find('/');
      if (slash != std::string::npos) building_.content_length = ParseInt(value.substr(slash + 1), -1);
    } else if (is("icy-metaint")) {
      building_.icy_metaint = static_cast<int>(std::clamp<std::int64_t>(ParseInt(value, 0), 0, 1 << 24));
    } else if (is("location")) {
      building_.effective_url = value;  // marks a redirect; replaced below for the final answer
    }
    return n;
  }
  // The blank line ends a header block. Interim answers and followed redirects are not final.
  int cls = building_.status / 100;
  if (cls == 1 || (cls == 3 && !building_.effective_url.empty())) return n;
  char* eff = nullptr;
  curl_easy_getinfo(conn_->easy, CURLINFO_EFFECTIVE_URL, &eff);
  building_.effective_url = eff ? eff : "";
  if (building_.status == 200 && received_ > 0) {
    skip_ = received_;  // Range ignored: the body starts at 0, drop up to where we want to be
  }
  metaint_ = opts_.request_icy ? building_.icy_metaint : 0;
  headers_done_ = final_seen_ = true;
  data_cv_.notify_all();
  return n;
}

size_t CurlHttpStream::OnBody(const std::uint8_t* p, size_t n) {
  const size_t total = n;
  while (n > 0) {
    if (metaint_ <= 0 || meta_state_ == MetaState::Audio) {
      size_t take = metaint_ > 0 ? std::min<size_t>(n, metaint_ - meta_count_) : n;
      if (!PushAudio(p, take)) return 0;
      p += take;
      n -= take;
      if (metaint_ > 0 && (meta_count_ += static_cast<int>(take)) == metaint_)
        meta_state_ = MetaState::Length;
    } else if (meta_state_ == MetaState::Length) {
      meta_count_ = *p * 16;
      ++p;
      --n;
      meta_block_.clear();
      meta_state_ = meta_count_ ? MetaState::Block : MetaState::Audio;
    } else {
      size_t take = std::min<size_t>(n, meta_count_);
      meta_block_.append(reinterpret_cast<const char*>(p), take);
      p += take;
      n -= take;
      if ((meta_count_ -= static_cast<int>(take)) == 0) {
        OnMetadataBlock(std::move(meta_block_));
        meta_block_.clear();
        meta_state_ = MetaState::Audio;
      }
    }
  }
  return total;
}

bool CurlHttpStream::PushAudio(const std::uint8_t* p, size_t n) {
  std::unique_lock lk(mutex_);
  while (n > 0) {
    if (stop_) return false;
    if (skip_ > 0) {
      size_t k = static_cast<size_t>(std::min<std::int64_t>(skip_, n));
      skip_ -= k;
      p += k;
      n -= k;
      continue;
    }
    DeliverPendingMetadata(lk);
    size_t want = std::min<size_t>(n, 16 * 1024);
    if (ring_.free_space() < want) {
      space_cv_.wait(lk, [&] {
        return stop_ || (meta_pending_ && meta_callback_) || ring_.free_space() >= want;
      });
      continue;
    }
    size_t k = ring_.Push(p, n);
    p += k;
    n -= k;
    received_ += static_cast<std::int64_t>(k);
    data_cv_.notify_all();
  }
  return true;
}

void CurlHttpStream::OnMetadataBlock(std::string block) {
  while (!block.empty() && block.back() == '\0') block.pop_back();
  if (block.empty()) return;
  std::unique_lock lk(mutex_);
  if (block == last_meta_) return;
  last_meta_ = std::move(block);
  meta_pending_ = true;
  DeliverPendingMetadata(lk);
}

// Hands the newest block to the callback, outside the lock. Download thread only.
void CurlHttpStream::DeliverPendingMetadata(std::unique_lock<std::mutex>& lk) {
  while (meta_pending_ && meta_callback_) {
    meta_pending_ = false;
    auto callback = meta_callback_;
    std::string block = last_meta_;
    lk.unlock();
    callback(block);
    lk.lock();
  }
}

void CurlHttpStream::SetMetadataCallback(std::function<void(const std::string&)> callback) {
  std::lock_guard lk(mutex_);
  meta_callback_ = std::move(callback);
  if (meta_pending_ && conn_) {
    // A block came before the callback: the download thread hands it over.
    space_cv_.notify_all();
    curl_multi_wakeup(conn_->multi);
  }
}

void CurlHttpStream::Cancel() {
  std::lock_guard lk(mutex_);
  cancelled_ = true;
  stop_ = true;
  data_cv_.notify_all();
  space_cv_.notify_all();
  if (conn_) curl_multi_wakeup(conn_->multi);
}

HttpError CurlHttpStream::Connect(const std::string& url, std::int64_t offset,
                                  HttpResponse* response) {
  if (!StartConnection(url, offset)) return HttpError::Transfer;
  auto deadline = Clock::now() + std::chrono::milliseconds(std::max(1, opts_.timeout_ms));
  std::unique_lock lk(mutex_);
  bool in = data_cv_.wait_until(lk, deadline, [&] { return headers_done_ || done_ || cancelled_; });
  HttpError error = HttpError::None;
  if (cancelled_) {
    error = HttpError::Cancelled;
  } else if (!in) {
    error = HttpError::Timeout;
  } else if (!final_seen_) {
    error = result_ != HttpError::None ? result_ : HttpError::Transfer;
  } else if (building_.status >= 400) {
    error = HttpError::HttpStatus;
  }
  *response = building_;
  last_error_ = error;
  lk.unlock();
  if (error != HttpError::None) {
    StopConnection();
    std::lock_guard relock(mutex_);
    result_ = error;  // later Reads report why there is no connection
  }
  return error;
}

int CurlHttpStream::Read(std::uint8_t* buffer, int size) {
  if (size <= 0) return 0;
  auto deadline = Clock::now() + std::chrono::milliseconds(std::max(1, opts_.timeout_ms));
  std::unique_lock lk(mutex_);
  for (;;) {
    if (cancelled_) {
      last_error_ = HttpError::Cancelled;
      return -1;
    }
    if (ring_.size() > 0) {
      size_t n = ring_.Pop(buffer, static_cast<size_t>(size));
      position_ += static_cast<std::int64_t>(n);
      space_cv_.notify_all();
      return static_cast<int>(n);
    }
    if (done_) {
      if (result_ == HttpError::None) return 0;
      last_error_ = result_;
      return -1;
    }
    if (!conn_) {
      last_error_ = HttpError::Transfer;  // a failed Seek left no connection
      return -1;
    }
    if (data_cv_.wait_until(lk, deadline) == std::cv_status::timeout && ring_.size() == 0 &&
        !done_ && !cancelled_) {
      last_error_ = HttpError::Timeout;
      return -1;
    }
  }
}

bool CurlHttpStream::Seek(std::int64_t offset) {
  const std::int64_t total = response_.content_length;
  if (offset < 0 || total < 0 || offset > total) return false;
  {
    std::lock_guard lk(mutex_);
    if (cancelled_) return false;
    // Forward within what is already buffered: no new connection.
    if (conn_ && offset >= position_ &&
        offset - position_ <= static_cast<std::int64_t>(ring_.size())) {
      ring_.Pop(nullptr, static_cast<size_t>(offset - position_));
      position_ = offset;
      space_cv_.notify_all();
      return true;
    }
  }
  StopConnection();
  if (offset == total) {
    // At the very end: nothing to fetch (a server would answer 416).
    std::lock_guard lk(mutex_);
    ring_.clear();
    position_ = received_ = offset;
    done_ = true;
    result_ = HttpError::None;
    return true;
  }
  HttpResponse answer;
  std::string url = response_.effective_url;
  HttpError error = Connect(url, offset, &answer);
  if (error != HttpError::None) return false;
  // Keep the first answer's headers (tags come from them); take the new length if any.
  if (answer.content_length >= 0) response_.content_length = answer.content_length;
  return true;
}

}  // namespace

std::unique_ptr<HttpStream> HttpStream::Open(const std::string& url, const HttpStreamOptions& opts,
                                             HttpResponse* response, HttpError* error) {
  HttpResponse scratch;
  HttpError scratch_error;
  if (!response) response = &scratch;
  if (!error) error = &scratch_error;
  *response = HttpResponse{};
  if (!StartsWithNoCase(url, "http://") && !StartsWithNoCase(url, "https://")) {
    *error = HttpError::UnsupportedScheme;
    return nullptr;
  }
  GlobalInit();
  auto stream = std::make_unique<CurlHttpStream>(opts);
  *error = stream->Connect(url, std::max<std::int64_t>(0, opts.range_start), response);
  if (*error != HttpError::None) return nullptr;
  stream->Adopt(*response);
  return stream;
}

}  // namespace net
