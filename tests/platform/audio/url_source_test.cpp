// Tests of URL streams against the loopback radio server: live ICY radio with metadata events
// and tag blocks, files with a length (seek, download complete), stalls, dying servers and the
// error codes of failed opens.
#include "url_source.h"

#include <gtest/gtest.h>
#include <strings.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "config.h"
#include "icy_server.h"
#include "media.h"

namespace {

using audio::DWORD;
using audio::detail::Config;
using audio::detail::OpenUrlSource;
using audio::detail::ReadResult;
using audio::detail::Source;
using testsupport::IcyRoute;
using testsupport::IcyServer;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

// Header lookup as the now-playing code does it: lines end at LF or NUL, the block at an
// empty line (or two NULs); "name:" matches without regard to case, spaces after it skipped.
std::string LookupHeader(const std::vector<char>& block, const std::string& name) {
  std::size_t pos = 0;
  while (pos < block.size()) {
    std::size_t end = pos;
    while (end < block.size() && block[end] != '\n' && block[end] != '\0') ++end;
    std::string line(block.begin() + pos, block.begin() + end);
    if (line.empty()) break;
    if (line.size() > name.size() && line[name.size()] == ':' &&
        strncasecmp(line.c_str(), name.c_str(), name.size()) == 0) {
      std::size_t v = line.find_first_not_of(' ', name.size() + 1);
      std::string value = v == std::string::npos ? "" : line.substr(v);
      return value.substr(0, value.find_first_of("\r\n"));
    }
    pos = end + 1;
  }
  return {};
}

// Collects the source's events.
struct Events {
  std::mutex m;
  std::condition_variable cv;
  int metadata = 0;
  int download_complete = 0;

  Source::EventSink Sink() {
    return [this](Source::Event e) {
      std::lock_guard lk(m);
      (e == Source::Event::Metadata ? metadata : download_complete)++;
      cv.notify_all();
    };
  }
  // Waits until `pred` holds (checked under the lock), at most `seconds`.
  template <typename Pred>
  bool WaitFor(Pred pred, double seconds = 5) {
    std::unique_lock lk(m);
    return cv.wait_for(lk, std::chrono::duration<double>(seconds), pred);
  }
};

// Pulls `frames` frames with waiting reads; stops at the end or after `seconds`.
std::vector<float> Pull(Source& s, std::int64_t frames, double seconds = 5) {
  const int ch = s.format().channels;
  std::vector<float> out;
  std::vector<float> buf(4096 * ch);
  auto start = Clock::now();
  while (static_cast<std::int64_t>(out.size()) < frames * ch && SecondsSince(start) < seconds) {
    int want = static_cast<int>(std::min<std::int64_t>(4096, frames - out.size() / ch));
    ReadResult r = s.Read(buf.data(), want, true);
    out.insert(out.end(), buf.begin(), buf.begin() + std::int64_t{r.frames} * ch);
    if (r.ended) break;
  }
  return out;
}

class UrlSourceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new testsupport::TempDir;
    std::string path = dir_->file("sine.mp3");
    // A radio stream is a bare run of MP3 frames: no ID3 tag and no Xing/Info frame (whose
    // frame count would end the stream at the first loop).
    ASSERT_TRUE(testsupport::MakeSine(path, 1000, 2.0, 44100, 2,
                                      "-c:a libmp3lame -b:a 128k -write_xing 0 -id3v2_version 0"));
    auto bytes = testsupport::ReadFileBytes(path);
    mp3_ = new std::string(bytes.begin(), bytes.end());
    // Larger than the decoder's input buffer, so seeking back has to reconnect.
    path = dir_->file("sine320.mp3");
    ASSERT_TRUE(testsupport::MakeSine(path, 1000, 3.0, 44100, 2, "-c:a libmp3lame -b:a 320k"));
    bytes = testsupport::ReadFileBytes(path);
    file_mp3_ = new std::string(bytes.begin(), bytes.end());
  }
  static void TearDownTestSuite() {
    delete mp3_;
    delete file_mp3_;
    delete dir_;
  }

  void SetUp() override {
    setenv("no_proxy", "127.0.0.1", 1);
    setenv("NO_PROXY", "127.0.0.1", 1);
    ASSERT_TRUE(server_.ok());
    ASSERT_FALSE(mp3_->empty());
    ASSERT_FALSE(file_mp3_->empty());
    Config().net_timeout_ms = 3000;
    Config().net_buffer_ms = 5000;
    Config().net_prebuf = 75;
  }
  void TearDown() override {
    Config().net_timeout_ms = 5000;
    Config().net_buffer_ms = 5000;
    Config().net_prebuf = 75;
  }

  std::unique_ptr<Source> Open(const std::string& path, DWORD flags, int* error) {
    return OpenUrlSource(server_.Url(path), flags, error);
  }

  static IcyRoute Radio(IcyRoute::Kind kind) {
    IcyRoute r;
    r.kind = kind;
    r.payload = *mp3_;
    r.icy_name = "Loopback FM";
    r.icy_genre = "Test Tones";
    r.icy_br = 128;
    r.metaint = 8192;
    r.titles = {"Band - Song", "Other - Tune"};
    r.title_every = 3 * 8192;
    return r;
  }

  static inline testsupport::TempDir* dir_ = nullptr;
  static inline std::string* mp3_ = nullptr;       // 2 s, 128 kbit/s
  static inline std::string* file_mp3_ = nullptr;  // 3 s, 320 kbit/s
  IcyServer server_;
};

constexpr DWORD kFlags = audio::STREAM_STATUS | audio::STREAM_DECODE | audio::SAMPLE_FLOAT;

// A Shoutcast station: live (no length, no seeking), the ICY headers as TAG_ICY with the
// status line first, a Metadata event per title change with TAG_META holding the block, and
// audio that measures 1000 Hz.
TEST_F(UrlSourceTest, IcyRadioIsLiveWithHeadersMetadataAndAudio) {
  server_.SetRoute("/radio", Radio(IcyRoute::Kind::Icy));
  int error = -1;
  auto s = Open("/radio", kFlags, &error);
  ASSERT_TRUE(s) << "error " << error;
  Events events;
  s->SetEventSink(events.Sink());

  EXPECT_EQ(s->LengthFrames(), -1);
  EXPECT_EQ(s->DownloadTotal(), -1);
  EXPECT_EQ(s->ChannelType(), audio::CTYPE_STREAM_URL);
  int seek_error = 0;
  EXPECT_FALSE(s->Seek(1000, &seek_error));
  EXPECT_NE(seek_error, 0);

  std::vector<char> icy = s->Tags(audio::TAG_ICY);
  ASSERT_FALSE(icy.empty());
  EXPECT_STREQ(icy.data(), "ICY 200 OK");  // STREAM_STATUS keeps the status line first
  EXPECT_EQ(icy.back(), '\0');
  EXPECT_EQ(icy[icy.size() - 2], '\0');
  EXPECT_EQ(LookupHeader(icy, "icy-name"), "Loopback FM");
  EXPECT_EQ(LookupHeader(icy, "ICY-GENRE"), "Test Tones");
  EXPECT_EQ(LookupHeader(icy, "icy-br"), "128");
  EXPECT_EQ(LookupHeader(icy, "icy-metaint"), "8192");
  EXPECT_TRUE(s->Tags(audio::TAG_HTTP).empty());
  EXPECT_GT(s->Bitrate(), 0.0f);

  const auto fmt = s->format();
  EXPECT_EQ(fmt.rate, 44100);
  EXPECT_EQ(fmt.channels, 2);
  std::vector<float> pcm = Pull(*s, fmt.rate);
  ASSERT_EQ(pcm.size(), std::size_t(fmt.rate) * 2);
  // Skip the encoder's lead-in; measure half a second of the first loop.
  EXPECT_NEAR(testsupport::MeasureFrequency(pcm.data() + 4096 * 2, fmt.rate / 2, 2, fmt.rate),
              1000.0, 0.5);

  // Titles change every third block; the events follow (the download runs ahead of reads).
  ASSERT_TRUE(events.WaitFor([&] { return events.metadata >= 3; }));
  std::vector<char> meta = s->Tags(audio::TAG_META);
  ASSERT_FALSE(meta.empty());
  EXPECT_EQ(meta.back(), '\0');
  std::string text(meta.data());
  EXPECT_TRUE(text == "StreamTitle='Band - Song';" || text == "StreamTitle='Other - Tune';")
      << text;
  EXPECT_EQ(text.size() + 1, meta.size());
}

// An Icecast-style answer ("HTTP/1.0 200 OK" with icy-* headers) goes to TAG_HTTP; without
// STREAM_STATUS the block holds the header lines only.
TEST_F(UrlSourceTest, HttpAnswerHeadersGoToTagHttp) {
  IcyRoute route = Radio(IcyRoute::Kind::Http);
  route.metaint = 0;
  server_.SetRoute("/radio", route);
  int error = -1;
  auto s = Open("/radio", audio::STREAM_DECODE | audio::SAMPLE_FLOAT, &error);
  ASSERT_TRUE(s) << "error " << error;
  EXPECT_TRUE(s->Tags(audio::TAG_ICY).empty());
  EXPECT_TRUE(s->Tags(audio::TAG_META).empty());
  std::vector<char> http = s->Tags(audio::TAG_HTTP);
  ASSERT_FALSE(http.empty());
  EXPECT_EQ(std::string(http.data()).rfind("HTTP/", 0), std::string::npos);
  EXPECT_EQ(LookupHeader(http, "content-type"), "audio/mpeg");
  EXPECT_EQ(LookupHeader(http, "icy-name"), "Loopback FM");
  EXPECT_EQ(LookupHeader(http, "icy-genre"), "Test Tones");
  EXPECT_EQ(s->LengthFrames(), -1);
}

// A file with Content-Length: it has a length, fires DownloadComplete once, reports its
// download progress, and seeks back after being read to the end (the decoder's input has to
// reconnect to get there).
TEST_F(UrlSourceTest, FileWithLengthSeeksAndCompletesDownload) {
  IcyRoute route;
  route.kind = IcyRoute::Kind::Http;
  route.live = false;
  route.payload = *file_mp3_;
  server_.SetRoute("/sine.mp3", route);
  int error = -1;
  auto s = Open("/sine.mp3", kFlags, &error);
  ASSERT_TRUE(s) << "error " << error;
  Events events;
  s->SetEventSink(events.Sink());

  const int rate = s->format().rate;
  const std::int64_t length = s->LengthFrames();
  EXPECT_NEAR(static_cast<double>(length), 3.0 * rate, 0.05 * rate);
  EXPECT_EQ(s->DownloadTotal(), static_cast<std::int64_t>(file_mp3_->size()));
  ASSERT_TRUE(events.WaitFor([&] { return events.download_complete == 1; }));
  EXPECT_EQ(s->Downloaded(), file_mp3_->size());

  std::vector<float> all = Pull(*s, 10 * rate);
  EXPECT_NEAR(static_cast<double>(all.size() / 2), static_cast<double>(length), 1152);
  float f[64];
  EXPECT_TRUE(s->Read(f, 32, true).ended);

  int seek_error = 0;
  ASSERT_TRUE(s->Seek(rate / 2, &seek_error)) << seek_error;
  EXPECT_EQ(s->PositionFrames(), rate / 2);
  EXPECT_GE(server_.Requests().size(), 2u);
  std::vector<float> pcm = Pull(*s, rate / 2);
  ASSERT_EQ(pcm.size(), std::size_t(rate / 2) * 2);
  EXPECT_EQ(s->PositionFrames(), rate);
  EXPECT_NEAR(testsupport::MeasureFrequency(pcm.data(), pcm.size() / 2, 2, rate), 1000.0, 0.5);
  // What follows the seek is what the file holds there: the rest of its length.
  std::vector<float> rest = Pull(*s, 10 * rate);
  EXPECT_NEAR(static_cast<double>(rest.size() / 2), static_cast<double>(length - rate), 1152);
  EXPECT_TRUE(s->Read(f, 32, true).ended);

  EXPECT_FALSE(s->Seek(length + rate, &seek_error));
  std::lock_guard lk(events.m);
  EXPECT_EQ(events.download_complete, 1);
  const auto& requests = server_.Requests();
  EXPECT_EQ(requests.front().headers.at("icy-metadata"), "1");
  EXPECT_EQ(requests.front().headers.at("user-agent").rfind("Sonderlane", 0), 0u);
}

// Reads that do not wait never block: until the prebuffer is filled they give 0 frames, not
// ended (stalled); a stream that runs dry stalls again until the prebuffer is refilled.
TEST_F(UrlSourceTest, NonWaitingReadsStallUntilPrebuffered) {
  IcyRoute route = Radio(IcyRoute::Kind::Icy);
  route.metaint = 0;
  route.bytes_per_second = 64000;  // four times real time for 128 kbit/s
  server_.SetRoute("/paced", route);
  Config().net_buffer_ms = 3000;
  Config().net_prebuf = 100;
  int error = -1;
  auto s = Open("/paced", kFlags, &error);
  ASSERT_TRUE(s) << "error " << error;
  const int ch = s->format().channels;
  const int prebuffer = 44100 * 29 / 10;  // a full 3 s buffer, less a little slack
  std::vector<float> buf(200000 * ch);

  // Opening took some 1.4 s of audio from the network: less than the prebuffer.
  auto start = Clock::now();
  ReadResult r = s->Read(buf.data(), 200000, false);
  EXPECT_LT(SecondsSince(start), 0.05);
  EXPECT_EQ(r.frames, 0);
  EXPECT_FALSE(r.ended);

  // Polling like the mixer, but faster than the stream comes: every read returns at once;
  // the first to deliver brings the whole prebuffer; later the stream runs dry and stalls,
  // and the next delivery again waits for a whole prebuffer.
  std::vector<int> deliveries;  // frames of each read that delivered after a stall
  bool stalled = true;
  start = Clock::now();
  while (SecondsSince(start) < 8 && deliveries.size() < 2) {
    auto t = Clock::now();
    r = s->Read(buf.data(), stalled ? 200000 : 4096, false);
    EXPECT_LT(SecondsSince(t), 0.05);
    ASSERT_FALSE(r.ended);
    if (r.frames > 0 && stalled) deliveries.push_back(r.frames);
    stalled = r.frames == 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_EQ(deliveries.size(), 2u);
  EXPECT_GE(deliveries[0], prebuffer);
  EXPECT_GE(deliveries[1], prebuffer);
}

// A server that closes the connection mid-stream ends the stream within a bounded time, live
// or file; destroying a source while its server hangs returns at once.
TEST_F(UrlSourceTest, DyingOrHangingServerEndsPromptly) {
  for (bool live : {true, false}) {
    SCOPED_TRACE(live ? "live" : "file");
    IcyRoute route = Radio(IcyRoute::Kind::Icy);
    route.live = live;
    route.metaint = live ? 8192 : 0;
    route.die_after = 20000;
    server_.SetRoute("/dies", route);
    int error = -1;
    auto s = Open("/dies", kFlags, &error);
    ASSERT_TRUE(s) << "error " << error;
    auto start = Clock::now();
    std::vector<float> pcm = Pull(*s, 100 * 44100, 10);
    EXPECT_LT(SecondsSince(start), 2.0);
    EXPECT_GT(pcm.size(), 0u);
    float f[64];
    EXPECT_TRUE(s->Read(f, 32, false).ended);
  }

  IcyRoute hang = Radio(IcyRoute::Kind::Icy);
  hang.stall_after = 48 * 1024;  // three seconds of audio, then nothing, connection open
  server_.SetRoute("/hang", hang);
  Config().net_timeout_ms = 10000;
  int error = -1;
  auto s = Open("/hang", kFlags, &error);
  ASSERT_TRUE(s) << "error " << error;
  Pull(*s, 44100);  // the reader thread is now waiting on the network
  auto start = Clock::now();
  s.reset();
  EXPECT_LT(SecondsSince(start), 0.5);
}

// Failed opens and their error codes, each within a bounded time.
TEST_F(UrlSourceTest, OpenErrors) {
  IcyRoute silent;
  silent.kind = IcyRoute::Kind::Silent;
  server_.SetRoute("/silent", silent);
  IcyRoute html;
  html.kind = IcyRoute::Kind::Http;
  html.live = false;
  html.content_type = "text/html";
  html.payload = "<!DOCTYPE html>\n<html><head><title>Station</title></head><body>" +
                 std::string(4000, 'x') + "</body></html>\n";
  server_.SetRoute("/page.html", html);
  IcyRoute noise = html;
  noise.content_type = "audio/mpeg";
  noise.payload.assign(20000, '\0');
  for (std::size_t i = 0; i < noise.payload.size(); ++i)
    noise.payload[i] = static_cast<char>((i * 2654435761u) >> 13);
  server_.SetRoute("/noise.mp3", noise);
  int closed_port;
  {
    IcyServer gone;
    closed_port = gone.port();
  }
  // Only the silent server waits out the time-out; the others fail as soon as they answer
  // (a TLS handshake may take a while on a loaded machine, hence the generous default).
  struct Case {
    std::string url;
    int error;
    int timeout_ms = 5000;
  } cases[] = {
      {"http://127.0.0.1:" + std::to_string(closed_port) + "/radio", audio::ERROR_FILEOPEN},
      {server_.Url("/missing"), audio::ERROR_FILEOPEN},
      {"ftp://127.0.0.1/radio.mp3", audio::ERROR_PROTOCOL},
      {server_.Url("/silent"), audio::ERROR_TIMEOUT, 400},
      {server_.Url("/page.html"), audio::ERROR_FILEFORM},
      {server_.Url("/noise.mp3"), audio::ERROR_FILEFORM},
      {"https://127.0.0.1:" + std::to_string(server_.port()) + "/radio", audio::ERROR_SSL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    Config().net_timeout_ms = c.timeout_ms;
    int error = 0;
    auto start = Clock::now();
    auto s = OpenUrlSource(c.url, kFlags, &error);
    EXPECT_FALSE(s);
    EXPECT_EQ(error, c.error);
    EXPECT_LT(SecondsSince(start), c.timeout_ms < 5000 ? 1.5 : 4.0);
  }
}

}  // namespace
