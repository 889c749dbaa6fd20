// Tests of the HTTP(S) byte stream against the loopback radio server: ICY metadata removal and
// callbacks, headers, Range seeking, bounded read-ahead, errors, and servers that misbehave.
#include "http_stream.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "icy_server.h"

namespace {

using net::HttpError;
using net::HttpResponse;
using net::HttpStream;
using net::HttpStreamOptions;
using testsupport::IcyRoute;
using testsupport::IcyServer;
using Clock = std::chrono::steady_clock;

// Bytes that show any misplaced or leftover metadata byte when compared.
std::string Pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
  return s;
}

// Reads exactly n bytes (fewer at the end or on error).
std::string ReadBytes(HttpStream& s, std::size_t n) {
  std::string out;
  std::uint8_t buf[3000];
  while (out.size() < n) {
    int r = s.Read(buf, static_cast<int>(std::min(sizeof buf, n - out.size())));
    if (r <= 0) break;
    out.append(reinterpret_cast<char*>(buf), static_cast<std::size_t>(r));
  }
  return out;
}

double SecondsSince(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

class HttpStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Loopback only, whatever proxy the environment names.
    setenv("no_proxy", "127.0.0.1", 1);
    setenv("NO_PROXY", "127.0.0.1", 1);
    ASSERT_TRUE(server_.ok());
    opts_.user_agent = "SonderlaneTest/1";
    opts_.timeout_ms = 3000;
  }

  std::unique_ptr<HttpStream> Open(const std::string& path, HttpError* error = nullptr) {
    HttpError e = HttpError::None;
    auto s = HttpStream::Open(server_.Url(path), opts_, &response_, &e);
    if (error) *error = e;
    return s;
  }

  IcyServer server_;
  HttpStreamOptions opts_;
  HttpResponse response_;
};

// Shoutcast ("ICY 200 OK") and Icecast (HTTP with icy-metaint) answers both have their
// metadata removed from the audio bytes, and each title change reaches the callback once.
TEST_F(HttpStreamTest, MetadataIsStrippedAndTitleChangesReported) {
  for (IcyRoute::Kind kind : {IcyRoute::Kind::Icy, IcyRoute::Kind::Http}) {
    SCOPED_TRACE(kind == IcyRoute::Kind::Icy ? "ICY" : "HTTP");
    const std::string payload = Pattern(7000);
    IcyRoute route;
    route.kind = kind;
    route.icy_name = "Loopback FM";
    route.icy_genre = "Test";
    route.icy_br = 128;
    route.payload = payload;
    route.metaint = 1000;
    route.titles = {"Band - Song", "Other - Tune"};
    route.title_every = 4000;  // the title changes every fourth block; blocks repeat in between
    server_.SetRoute("/radio", route);
    // Blocks are reported as they arrive: keep the download close behind the reads.
    opts_.buffer_bytes = 16 * 1024;

    auto s = Open("/radio");
    ASSERT_TRUE(s);
    std::mutex m;
    std::vector<std::string> blocks;
    s->SetMetadataCallback([&](const std::string& b) {
      std::lock_guard lk(m);
      blocks.push_back(b);
    });
    const HttpResponse& r = s->Response();
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.icy_protocol, kind == IcyRoute::Kind::Icy);
    EXPECT_EQ(r.status_line, kind == IcyRoute::Kind::Icy ? "ICY 200 OK" : "HTTP/1.0 200 OK");
    EXPECT_EQ(r.icy_metaint, 1000);
    EXPECT_EQ(r.content_length, -1);
    EXPECT_EQ(r.content_type, "audio/mpeg");
    EXPECT_NE(r.header_lines.find("icy-name: Loopback FM\n"), std::string::npos) << r.header_lines;
    EXPECT_NE(r.header_lines.find("icy-br: 128"), std::string::npos);
    EXPECT_EQ(r.header_lines.find('\r'), std::string::npos);
    EXPECT_EQ(r.header_lines.find("ICY 200"), std::string::npos);

    // Many loops of the payload: every byte in place, none of the metadata left.
    std::string got = ReadBytes(*s, 70000);
    ASSERT_EQ(got.size(), 70000u);
    for (std::size_t i = 0; i < got.size(); ++i)
      ASSERT_EQ(got[i], payload[i % payload.size()]) << "at byte " << i;

    std::lock_guard lk(m);
    // The title changes every 4000 bytes; blocks that arrived before the callback was set
    // come as one, the latest. From then on each change comes once, in turn.
    ASSERT_GE(blocks.size(), 8u);
    for (std::size_t i = 0; i < blocks.size(); ++i) {
      EXPECT_TRUE(blocks[i] == "StreamTitle='Band - Song';" ||
                  blocks[i] == "StreamTitle='Other - Tune';") << blocks[i];
      if (i > 0) {
        EXPECT_NE(blocks[i], blocks[i - 1]);
      }
    }

    auto requests = server_.Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.back().headers["icy-metadata"], "1");
    EXPECT_EQ(requests.back().headers["user-agent"], "SonderlaneTest/1");
  }
}

TEST_F(HttpStreamTest, WithoutIcyRequestTheServerSendsNoMetadata) {
  IcyRoute route;
  route.payload = Pattern(5000);
  route.metaint = 1000;
  route.titles = {"x"};
  server_.SetRoute("/radio", route);
  opts_.request_icy = false;
  auto s = Open("/radio");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->Response().icy_metaint, 0);
  EXPECT_EQ(ReadBytes(*s, 5000), route.payload);
  EXPECT_EQ(server_.Requests().back().headers.count("icy-metadata"), 0u);
}

// A file with Content-Length: its size is known, Range seeks land on the right bytes (also
// backwards and to the very end), and the end of the body reads 0 with Finished set.
TEST_F(HttpStreamTest, FileHasLengthAndSeeksWithRange) {
  const std::string payload = Pattern(200000);
  IcyRoute route;
  route.kind = IcyRoute::Kind::Http;
  route.live = false;
  route.payload = payload;
  server_.SetRoute("/file.mp3", route);
  opts_.buffer_bytes = 32 * 1024;  // smaller than the file, so seeks must reconnect

  auto s = Open("/file.mp3");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->Response().content_length, 200000);
  EXPECT_EQ(ReadBytes(*s, 1000), payload.substr(0, 1000));

  ASSERT_TRUE(s->Seek(150000));
  EXPECT_EQ(s->Position(), 150000);
  EXPECT_EQ(ReadBytes(*s, 1000), payload.substr(150000, 1000));
  EXPECT_EQ(server_.Requests().back().range_start, 150000);
  EXPECT_EQ(s->Response().content_length, 200000);

  ASSERT_TRUE(s->Seek(10));
  EXPECT_EQ(ReadBytes(*s, 100), payload.substr(10, 100));
  ASSERT_TRUE(s->Seek(120));  // forward within the read-ahead: no new request
  EXPECT_EQ(ReadBytes(*s, 100), payload.substr(120, 100));

  ASSERT_TRUE(s->Seek(199000));
  EXPECT_EQ(ReadBytes(*s, 5000), payload.substr(199000));
  std::uint8_t b[16];
  EXPECT_EQ(s->Read(b, sizeof b), 0);
  EXPECT_TRUE(s->Finished());
  EXPECT_EQ(s->Received(), 200000);

  ASSERT_TRUE(s->Seek(200000));
  EXPECT_EQ(s->Read(b, sizeof b), 0);
  EXPECT_FALSE(s->Seek(200001));

  // A server that ignores Range sends the whole file again: the bytes before the offset are
  // dropped, so the seek still lands.
  route.ignore_range = true;
  server_.SetRoute("/file.mp3", route);
  ASSERT_TRUE(s->Seek(100000));
  EXPECT_EQ(ReadBytes(*s, 1000), payload.substr(100000, 1000));
  EXPECT_EQ(s->Position(), 101000);
}

TEST_F(HttpStreamTest, LiveStreamCannotSeek) {
  IcyRoute route;
  route.payload = Pattern(1000);
  server_.SetRoute("/radio", route);
  auto s = Open("/radio");
  ASSERT_TRUE(s);
  EXPECT_FALSE(s->Seek(5000));
}

// The download thread stops when the read-ahead is full instead of taking the whole stream.
TEST_F(HttpStreamTest, ReadAheadIsBounded) {
  IcyRoute route;
  route.payload = Pattern(10000);
  server_.SetRoute("/radio", route);
  opts_.buffer_bytes = 64 * 1024;
  auto s = Open("/radio");
  ASSERT_TRUE(s);
  auto start = Clock::now();
  while (s->Available() < 48 * 1024 && SecondsSince(start) < 3)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_GE(s->Available(), 48u * 1024);
  EXPECT_LE(s->Received(), 64 * 1024);
  EXPECT_EQ(s->Received(), static_cast<std::int64_t>(s->Available()));
  EXPECT_EQ(ReadBytes(*s, 100000).size(), 100000u);  // and it goes on when read
}

TEST_F(HttpStreamTest, RedirectIsFollowed) {
  IcyRoute target;
  target.payload = Pattern(3000);
  target.live = false;
  server_.SetRoute("/real", target);
  IcyRoute hop;
  hop.kind = IcyRoute::Kind::Redirect;
  hop.location = "/real";
  server_.SetRoute("/hop", hop);
  auto s = Open("/hop");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->Response().effective_url, server_.Url("/real"));
  EXPECT_EQ(s->Response().content_length, 3000);
  EXPECT_EQ(ReadBytes(*s, 5000), target.payload);
}

// Failures to open, each with its error and within a bounded time.
TEST_F(HttpStreamTest, OpenErrors) {
  IcyRoute silent;
  silent.kind = IcyRoute::Kind::Silent;
  server_.SetRoute("/silent", silent);
  IcyRoute loop;
  loop.kind = IcyRoute::Kind::Redirect;
  loop.location = "/loop";
  server_.SetRoute("/loop", loop);

  IcyRoute busy;
  busy.status_line = "ICY 401 Service Unavailable";
  server_.SetRoute("/busy", busy);

  int closed_port;
  {
    IcyServer gone;
    closed_port = gone.port();
  }
  const std::string base = server_.Url("");
  // Only the silent server waits out the time-out; the others fail as soon as they answer
  // (a TLS handshake may take a while on a loaded machine, hence the generous default).
  struct Case {
    std::string url;
    HttpError error;
    int status;
    int timeout_ms = 5000;
  } cases[] = {
      {"http://127.0.0.1:" + std::to_string(closed_port) + "/", HttpError::ConnectFailed, 0},
      {base + "/missing", HttpError::HttpStatus, 404},
      {base + "/busy", HttpError::HttpStatus, 401},
      {"ftp://127.0.0.1/x.mp3", HttpError::UnsupportedScheme, 0},
      {"127.0.0.1/x.mp3", HttpError::UnsupportedScheme, 0},
      {base + "/silent", HttpError::Timeout, 0, 400},
      {"https://127.0.0.1:" + std::to_string(server_.port()) + "/radio", HttpError::Tls, 0},
      {base + "/loop", HttpError::Transfer, 302},  // more than 10 redirects
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    opts_.timeout_ms = c.timeout_ms;
    HttpResponse r;
    HttpError e = HttpError::None;
    auto start = Clock::now();
    auto s = HttpStream::Open(c.url, opts_, &r, &e);
    EXPECT_FALSE(s);
    EXPECT_EQ(e, c.error);
    EXPECT_EQ(r.status, c.status);
    EXPECT_LT(SecondsSince(start), c.timeout_ms < 5000 ? 1.5 : 4.0);
  }
}

// A server that closes the connection mid-stream ends the stream promptly: a live stream (no
// length) reads to a clean end, a file cut short of its length reads an error.
TEST_F(HttpStreamTest, ServerDyingMidStreamEndsPromptly) {
  for (bool live : {true, false}) {
    SCOPED_TRACE(live ? "live" : "file");
    IcyRoute route;
    route.payload = Pattern(100000);
    route.live = live;
    route.die_after = 30000;
    route.metaint = live ? 8192 : 0;
    route.titles = {"a"};
    server_.SetRoute("/dies", route);
    auto s = Open("/dies");
    ASSERT_TRUE(s);
    auto start = Clock::now();
    std::string got;
    std::uint8_t buf[4096];
    int r;
    while ((r = s->Read(buf, sizeof buf)) > 0) got.append(reinterpret_cast<char*>(buf), r);
    EXPECT_LT(SecondsSince(start), 1.5);
    EXPECT_EQ(got, route.payload.substr(0, 30000));
    if (live) {
      EXPECT_EQ(r, 0);
    } else {
      EXPECT_EQ(r, -1);
      EXPECT_EQ(s->LastError(), HttpError::Transfer);
      EXPECT_FALSE(s->Finished());
    }
  }
}

// A stalled stream: Read gives up after the time-out; Cancel from another thread wakes a
// blocked Read at once; destroying the stream while its server hangs does not hang.
TEST_F(HttpStreamTest, StalledReadTimesOutAndCancelWakesIt) {
  IcyRoute route;
  route.payload = Pattern(100);
  route.bytes_per_second = 1;  // one byte a second after the headers
  server_.SetRoute("/slow", route);

  opts_.timeout_ms = 300;
  auto s = Open("/slow");
  ASSERT_TRUE(s);
  std::uint8_t buf[64];
  // The first byte is due after a second: the read in between times out.
  auto start = Clock::now();
  EXPECT_EQ(s->Read(buf, sizeof buf), -1);
  EXPECT_EQ(s->LastError(), HttpError::Timeout);
  EXPECT_GE(SecondsSince(start), 0.25);
  EXPECT_LT(SecondsSince(start), 1.0);

  opts_.timeout_ms = 10000;
  auto t = Open("/slow");
  ASSERT_TRUE(t);
  ReadBytes(*t, 1);  // the first byte arrives after about a second; the next one is far off
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    t->Cancel();
  });
  start = Clock::now();
  EXPECT_EQ(t->Read(buf, sizeof buf), -1);
  EXPECT_EQ(t->LastError(), HttpError::Cancelled);
  EXPECT_LT(SecondsSince(start), 0.6);
  canceller.join();

  auto u = Open("/slow");
  ASSERT_TRUE(u);
  start = Clock::now();
  u.reset();
  EXPECT_LT(SecondsSince(start), 0.5);
}

}  // namespace
