// Opening media: the player state after an open, the tempo fallback, network streams, the
// recent-files list, and the exact text of every failure.
#include <gtest/gtest.h>

#include <fstream>

#include "audio.h"
#include "engine.h"
#include "icy_server.h"
#include "media.h"
#include "player.h"
#include "playlist.h"
#include "recording_shell.h"
#include "settings.h"
#include "tempo.h"

using testsupport::RecordingShell;
using testsupport::TempDir;

namespace {

class PlayerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    ASSERT_TRUE(testsupport::MakeSine(dir_->file("sine.ogg"), 1000, 3.0));
    ASSERT_TRUE(testsupport::MakeSine(dir_->file("sine.mp3"), 1000, 3.0));
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    Settings() = AppSettings{};
    audio::SetConfig(audio::CONFIG_UPDATEPERIOD, 20);
    ASSERT_TRUE(audio::Init(0, 44100, 0));
    audio::SetConfig(audio::CONFIG_NET_TIMEOUT, 3000);
    ThePlaylist() = Playlist{};
  }
  void TearDown() override { ShutdownAudioEngine(); }
  static std::string File(const std::string& name) { return dir_->file(name); }
  // Opens `path` as the only playlist entry.
  bool Open(const std::string& path) {
    ThePlaylist().entries = {path};
    ThePlaylist().current = 0;
    return OpenMedia(path);
  }

  static TempDir* dir_;
  RecordingShell shell_;
};
TempDir* PlayerTest::dir_ = nullptr;

TEST(IsUrl, Schemes) {
  struct Case {
    const char* text;
    bool url;
  } cases[] = {{"http://x", true},  {"HTTPS://x", true}, {"Ftp://host/a", true},
               {"mms://x", false},  {"/home/a.mp3", false}, {"http:/x", false}, {"", false}};
  for (auto& c : cases) EXPECT_EQ(IsUrl(c.text), c.url) << c.text;
}

TEST_F(PlayerTest, OpeningAFilePlaysItThroughTheTempoStage) {
  ASSERT_TRUE(Open(File("sine.ogg"))) << shell_.LastBox();
  PlayerState& p = Player();
  EXPECT_EQ(p.kind, MediaKind::Audio);
  EXPECT_EQ(p.source, 0u);  // the SoundTouch output owns it
  EXPECT_NE(p.info_channel, 0u);
  EXPECT_NE(p.output, 0u);
  EXPECT_FALSE(p.opening);
  EXPECT_FALSE(p.live);
  EXPECT_EQ(p.source_rate, 44100.0f);
  EXPECT_GT(p.bitrate, 0);
  EXPECT_EQ(audio::ChannelIsActive(p.output), audio::ACTIVE_PLAYING);
  EXPECT_NEAR(CurrentTempoProcessor()->GetLengthSeconds(), 3.0, 0.01);
  EXPECT_GE(shell_.title_updates, 1);
  EXPECT_GE(shell_.status_updates, 1);
  EXPECT_TRUE(shell_.boxes.empty());
}

TEST_F(PlayerTest, EndOfMediaPostsNextWithThePausedFlag) {
  struct Case {
    bool auto_advance;
    int repeat;
    long lparam;
  } cases[] = {{true, 0, 0}, {false, 0, 1}, {false, 1, 0}};
  for (const Case& c : cases) {
    Settings().AutoAdvance = c.auto_advance;
    Settings().RepeatMode = c.repeat;
    shell_.commands.clear();
    ASSERT_TRUE(Open(File("sine.ogg")));
    CurrentTempoProcessor()->SetPositionSeconds(2.8);
    ASSERT_TRUE(shell_.WaitCommand(3000));
    EXPECT_EQ(shell_.commands[0].id, shell::kCommandNextTrack);
    EXPECT_EQ(shell_.commands[0].lparam, c.lparam);
  }
}

TEST_F(PlayerTest, SettingsShapeTheOutput) {
  Settings().Tempo = 50;
  Settings().Pitch = 3;
  Settings().Rate = 1.5f;
  ASSERT_TRUE(Open(File("sine.mp3")));
  TempoProcessor* tp = CurrentTempoProcessor();
  EXPECT_EQ(tp->GetTempo(), 50);
  EXPECT_EQ(tp->GetPitch(), 3);
  float freq = 0;
  audio::ChannelGetAttribute(Player().output, audio::ATTRIB_FREQ, &freq);
  EXPECT_FLOAT_EQ(freq, 1.5f * 44100);
}

TEST_F(PlayerTest, UnbuiltTempoEnginesFallBackToSoundTouch) {
  for (int algorithm : {1, 2, 7}) {
    Settings().TempoAlgorithm = algorithm;
    ASSERT_TRUE(Open(File("sine.ogg"))) << algorithm;
    EXPECT_EQ(CurrentTempoProcessor()->AlgorithmId(), 0);
    EXPECT_EQ(audio::ChannelIsActive(Player().output), audio::ACTIVE_PLAYING);
  }
}

TEST_F(PlayerTest, CapitalExtensionsOpenAndMidiTakesTheMidiPath) {
  std::filesystem::copy_file(File("sine.mp3"), File("LOUD.MP3"),
                             std::filesystem::copy_options::overwrite_existing);
  EXPECT_TRUE(Open(File("LOUD.MP3")));
  // A one-note MIDI file with a capitalised extension.
  const unsigned char midi[] = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0, 96,
                                'M', 'T', 'r', 'k', 0, 0, 0, 12, 0, 0x90, 60, 100,
                                0x60, 0x80, 60, 0, 0, 0xFF, 0x2F, 0};
  testsupport::WriteFileBytes(File("TUNE.MID"), std::string(reinterpret_cast<const char*>(midi), sizeof midi));
  Settings().SincInterp = true;
  ASSERT_TRUE(Open(File("TUNE.MID"))) << shell_.LastBox();
  audio::ChannelInfo info;
  ASSERT_TRUE(audio::ChannelGetInfo(Player().info_channel, &info));
  EXPECT_EQ(info.ctype, audio::CTYPE_STREAM_MIDI);
}

TEST_F(PlayerTest, FileFailuresShowTheirReason) {
  testsupport::WriteFileBytes(File("notes.mp3"), "This is a shopping list, not a song.\n");
  auto whole = testsupport::ReadFileBytes(File("sine.mp3"));
  testsupport::WriteFileBytes(File("cut.mp3"), std::string(whole.begin(), whole.begin() + 300));
  testsupport::WriteFileBytes(File("film.rmvb"), "not a real video");
  struct Case {
    std::string path;
    std::string text;
  } cases[] = {
      {File("missing.ogg"), "Cannot play file:\nmissing.ogg\n\nCould not open the file."},
      {File("notes.mp3"), "Cannot play file:\nnotes.mp3\n\nUnsupported file format."},
      {File("film.rmvb"), "Cannot play file:\nfilm.rmvb\n\nUnsupported file format."},
  };
  for (const Case& c : cases) {
    shell_.boxes.clear();
    EXPECT_FALSE(Open(c.path)) << c.path;
    ASSERT_EQ(shell_.boxes.size(), 1u) << c.path;
    EXPECT_EQ(shell_.boxes[0].text, c.text);
    EXPECT_EQ(shell_.boxes[0].caption, "Sonderlane");
    EXPECT_EQ(shell_.boxes[0].icon, shell::Icon::Error);
    EXPECT_EQ(Player().output, 0u);
    EXPECT_FALSE(Player().opening);
  }
  // A truncated file plays what it holds, or is refused with the format reason.
  shell_.boxes.clear();
  if (!Open(File("cut.mp3"))) {
    EXPECT_EQ(shell_.LastBox(), "Cannot play file:\ncut.mp3\n\nUnsupported file format.");
  }
}

TEST_F(PlayerTest, FailuresInALongerPlaylistAreSilent) {
  ThePlaylist().entries = {File("missing.ogg"), File("sine.ogg")};
  EXPECT_FALSE(OpenMedia(File("missing.ogg")));
  EXPECT_TRUE(shell_.boxes.empty());
}

TEST_F(PlayerTest, VideoWithoutTheVideoEngineShowsWhereToGetIt) {
  EXPECT_FALSE(Open("/videos/Holiday.MKV"));
  ASSERT_EQ(shell_.boxes.size(), 1u);
  EXPECT_EQ(shell_.boxes[0].icon, shell::Icon::Information);
  const std::string& t = shell_.boxes[0].text;
  EXPECT_EQ(t.rfind("Cannot play video file:\nHoliday.MKV\n\nSonderlane needs libmpv to play video files.\n\n"
                    "Download libmpv (libmpv-2.dll) from:\n", 0), 0u) << t;
  EXPECT_NE(t.find("\n\nThen place libmpv-2.dll (or mpv-2.dll) in the lib folder of Sonderlane."),
            std::string::npos);
}

TEST_F(PlayerTest, UrlFailures) {
  // ftp:// goes to the URL path and is refused there.
  EXPECT_FALSE(Open("ftp://example.invalid/a.mp3"));
  ASSERT_EQ(shell_.boxes.size(), 1u);
  EXPECT_EQ(shell_.boxes[0].text, "Only http:// and https:// URLs are supported.");
  EXPECT_EQ(shell_.boxes[0].icon, shell::Icon::Warning);

  // A loopback port nobody listens on.
  testsupport::IcyServer probe;
  int port = probe.port();
  probe.Stop();
  std::string url = "http://127.0.0.1:" + std::to_string(port) + "/radio";
  shell_.boxes.clear();
  EXPECT_FALSE(Open(url));
  ASSERT_EQ(shell_.boxes.size(), 1u);
  EXPECT_EQ(shell_.boxes[0].text, "Cannot play URL:\n" + url +
                                      "\n\nError: Could not connect to URL. (code 2)");
  // Quiet opens say nothing.
  shell_.boxes.clear();
  EXPECT_FALSE(OpenUrl(url, true));
  EXPECT_TRUE(shell_.boxes.empty());
}

TEST(UrlFailureText, LongAddressesAreCutAt100) {
  std::string hundred = "http://h/" + std::string(91, 'a');
  ASSERT_EQ(hundred.size(), 100u);
  EXPECT_EQ(UrlOpenFailureText(hundred, 40),
            "Cannot play URL:\n" + hundred + "\n\nError: Connection timed out. (code 40)");
  EXPECT_EQ(UrlOpenFailureText(hundred + "b", -1),
            "Cannot play URL:\n" + hundred + "...\n\nError: Could not open stream. (code -1)");
  EXPECT_EQ(FileOpenFailureText("/a/b/c.flac", 44), "Cannot play file:\nc.flac\n\nRequired codec is not available.");
  EXPECT_EQ(FileOpenFailureText("c.flac", 99), "Cannot play file:\nc.flac\n\nUnknown error.");
}

TEST_F(PlayerTest, LiveRadioIgnoresTempoAndRateButKeepsPitch) {
  testsupport::IcyServer server;
  auto bytes = testsupport::ReadFileBytes(File("sine.mp3"));
  testsupport::IcyRoute route;
  route.icy_name = "Loopback FM";
  route.metaint = 8192;
  route.titles = {"Band - Song", "Band - Next"};
  route.title_every = 16384;
  route.payload.assign(bytes.begin(), bytes.end());
  route.bytes_per_second = 64000;
  server.SetRoute("/live", route);
  Settings().Tempo = 50;
  Settings().Pitch = 2;
  Settings().Rate = 2.0f;
  ASSERT_TRUE(Open(server.Url("/live"))) << shell_.LastBox();
  PlayerState& p = Player();
  EXPECT_TRUE(p.live);
  EXPECT_EQ(CurrentTempoProcessor()->GetTempo(), 0);
  EXPECT_EQ(CurrentTempoProcessor()->GetPitch(), 2);
  float freq = 0;
  audio::ChannelGetAttribute(p.output, audio::ATTRIB_FREQ, &freq);
  EXPECT_FLOAT_EQ(freq, p.source_rate);
  float buffer = 0;
  audio::ChannelGetAttribute(p.output, audio::ATTRIB_BUFFER, &buffer);
  EXPECT_FLOAT_EQ(buffer, 1.0f);
  // A new title reaches the main window as a message.
  EXPECT_TRUE(shell_.WaitMessage(shell::kStreamMetadata, 5000));
}

TEST(RecentFiles, TenMostRecentWithoutDuplicates) {
  Settings() = AppSettings{};
  for (int i = 0; i < 11; ++i) AddRecentFile("/music/" + std::to_string(i) + ".mp3");
  auto& list = Settings().RecentFiles;
  ASSERT_EQ(list.size(), 10u);
  EXPECT_EQ(list.front(), "/music/10.mp3");
  EXPECT_EQ(list.back(), "/music/1.mp3");
  AddRecentFile("/MUSIC/5.MP3");
  EXPECT_EQ(list.size(), 10u);
  EXPECT_EQ(list.front(), "/MUSIC/5.MP3");
  EXPECT_EQ(std::count_if(list.begin(), list.end(), [](auto& e) { return e == "/music/5.mp3"; }), 0);
  AddRecentFile("");
  AddRecentFile("http://radio/stream");
  EXPECT_EQ(list.front(), "/MUSIC/5.MP3");
}

}  // namespace
