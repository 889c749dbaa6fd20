// The network layer: a blocking HTTP(S) byte stream on libcurl for media streams, with the
// Shoutcast/Icecast (ICY) metadata removed from the audio bytes and handed over separately.
// No libcurl type leaves this layer.
//
// Threads: one HttpStream is used by one reader thread; Cancel() may be called from any thread
// and makes a blocked Read return promptly.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace net {

enum class HttpError {
  None,
  HostNotFound,       // name resolution failed
  ConnectFailed,      // refused, unreachable
  Timeout,            // no answer within the time-out
  Tls,                // TLS handshake or certificate failure
  HttpStatus,         // the server answered with a status >= 400
  UnsupportedScheme,  // not http:// or https://
  Transfer,           // the connection broke off
  Cancelled,
};

struct HttpStreamOptions {
  std::string user_agent;
  int timeout_ms = 30000;      // connect time-out, and the longest a Read waits for bytes
  bool request_icy = true;     // send "Icy-MetaData: 1"
  std::int64_t range_start = 0;
  std::size_t buffer_bytes = 1 << 20;  // read-ahead kept in memory
};

struct HttpResponse {
  int status = 0;              // 200, 206, ...; ICY servers' "ICY 200 OK" gives 200
  bool icy_protocol = false;   // the status line was "ICY ..."
  std::string status_line;
  std::string header_lines;    // every header line after the status line, "\n"-separated
  std::string content_type;
  std::int64_t content_length = -1;  // -1 when unknown
  int icy_metaint = 0;         // bytes of audio between metadata blocks, 0 = none
  std::string effective_url;   // after redirects
};

class HttpStream {
 public:
  // Connects, follows redirects, and returns once the response headers are in.
  // On failure returns null with *error set (and *response filled as far as known).
  static std::unique_ptr<HttpStream> Open(const std::string& url, const HttpStreamOptions& opts,
                                          HttpResponse* response, HttpError* error);
  virtual ~HttpStream() = default;

  // Audio bytes with metadata removed. Blocks up to the time-out; returns the count, 0 at the
  // end of the body, -1 on error (see LastError()).
  virtual int Read(std::uint8_t* buffer, int size) = 0;
  // Bytes of body available without blocking.
  virtual std::size_t Available() const = 0;
  // Reconnects with a Range request at `offset` (files only); false when the server refuses.
  virtual bool Seek(std::int64_t offset) = 0;
  virtual std::int64_t Position() const = 0;
  // Bytes of body received so far (including the range start), and whether the body is done.
  virtual std::int64_t Received() const = 0;
  virtual bool Finished() const = 0;
  virtual HttpError LastError() const = 0;
  virtual const HttpResponse& Response() const = 0;
  // Called on the download thread with each raw metadata block (e.g. "StreamTitle='x';"),
  // trailing NULs removed, when it differs from the previous one.
  virtual void SetMetadataCallback(std::function<void(const std::string&)> callback) = 0;
  virtual void Cancel() = 0;
};

}  // namespace net
