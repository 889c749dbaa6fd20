// Transport and chapters on the no-sound device: play/pause/stop, rewind on pause, volume,
// seek units and their cycling, Jump to Time parsing, chapter navigation and chapter tags.
#include <gtest/gtest.h>

#include "audio.h"
#include "chapters.h"
#include "engine.h"
#include "media.h"
#include "player.h"
#include "playlist.h"
#include "recording_shell.h"
#include "settings.h"
#include "tempo.h"
#include "transport.h"

using testsupport::RecordingShell;
using testsupport::TempDir;

namespace {

class TransportTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    ASSERT_TRUE(testsupport::MakeSine(dir_->file("long.wav"), 440, 180.0, 8000, 1, "-c:a pcm_s16le"));
    // Ogg Vorbis with chapters at 0, 60 and 120 s.
    ASSERT_TRUE(testsupport::MakeSine(
        dir_->file("chapters.ogg"), 440, 150.0, 8000, 1,
        "-c:a libvorbis -q:a 0 -metadata:s:a:0 CHAPTER001=00:00:00.000 -metadata:s:a:0 CHAPTER001NAME=Intro "
        "-metadata:s:a:0 CHAPTER002=00:01:00.000 -metadata:s:a:0 CHAPTER002NAME=Middle "
        "-metadata:s:a:0 CHAPTER003=00:02:00.000 -metadata:s:a:0 CHAPTER003NAME=End"));
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    Settings() = AppSettings{};
    ASSERT_TRUE(audio::Init(0, 44100, 0));
  }
  void TearDown() override {
    ShutdownAudioEngine();
    ThePlaylist() = Playlist{};
    SetExternalChapters({});
  }
  void Play(const char* name) {
    ReplacePlaylist({dir_->file(name)});
    PlayItem(0, true);
    ASSERT_NE(Player().output, 0u);
  }
  static audio::DWORD State() { return audio::ChannelIsActive(Player().output); }
  std::string LastSpoken() { return shell_.spoken.empty() ? std::string() : shell_.spoken.back(); }

  static TempDir* dir_;
  RecordingShell shell_;
};
TempDir* TransportTest::dir_ = nullptr;

TEST_F(TransportTest, PlayRestartsWhilePlayingAndResumesWhilePaused) {
  Play("long.wav");
  SeekAbsolute(30);
  PauseCommand();
  EXPECT_EQ(State(), audio::ACTIVE_PAUSED);
  PlayCommand();
  EXPECT_EQ(State(), audio::ACTIVE_PLAYING);
  EXPECT_GE(GetPosition(), 29.99);
  PlayCommand();
  EXPECT_LT(GetPosition(), 1.0);
  TogglePlayPause();
  EXPECT_EQ(State(), audio::ACTIVE_PAUSED);
  StopCommand();
  EXPECT_EQ(State(), audio::ACTIVE_STOPPED);
  EXPECT_EQ(GetPosition(), 0.0);
  TogglePlayPause();
  EXPECT_EQ(State(), audio::ACTIVE_PLAYING);
}

TEST_F(TransportTest, RewindOnPauseAndClampedSeeks) {
  Settings().RewindOnPauseMs = 2000;
  Play("long.wav");
  SeekAbsolute(1.5);
  PauseCommand();
  EXPECT_EQ(GetPosition(), 0.0);
  SeekAbsolute(500);
  EXPECT_NEAR(GetPosition(), 180.0, 0.01);
  SeekAbsolute(100);
  SeekRelative(-1000);
  EXPECT_EQ(GetPosition(), 0.0);
}

TEST_F(TransportTest, VolumeIsCappedAndSpoken) {
  Settings().Volume = 0.98f;
  Settings().VolumeStep = 0.05f;
  VolumeUp();
  EXPECT_FLOAT_EQ(Settings().Volume, 1.0f);
  EXPECT_EQ(LastSpoken(), "Volume 100%");
  Settings().AllowAmplify = true;
  for (int i = 0; i < 100; ++i) VolumeUp();
  EXPECT_FLOAT_EQ(Settings().Volume, 4.0f);
  EXPECT_EQ(LastSpoken(), "Volume 400%");
  SetVolume(-1);
  EXPECT_EQ(LastSpoken(), "Volume 0%");
  ToggleMute();
  EXPECT_EQ(LastSpoken(), "Muted");
  ToggleMute();
  EXPECT_EQ(LastSpoken(), "Unmuted");
}

TEST_F(TransportTest, TrackUnitsFallBackToTimeWithOneEntry) {
  Play("long.wav");
  Settings().SeekUnits = {};
  Settings().SeekUnits[10] = true;  // 5 tracks
  Settings().CurrentSeek = 10;
  SeekForward();
  EXPECT_EQ(GetPosition(), 0.0) << "no time unit is on: nothing happens";
  Settings().SeekUnits[2] = true;   // 10 seconds
  SeekForward();
  EXPECT_NEAR(GetPosition(), 10.0, 0.3);
}

TEST_F(TransportTest, CyclingSeekUnits) {
  Settings().SeekUnits = {};
  Settings().SeekUnits[1] = true;  // only 5 seconds, no chapters
  for (int direction : {-1, +1}) {
    CycleSeekUnit(direction);
    EXPECT_EQ(LastSpoken(), "5 seconds");
  }
  Play("chapters.ogg");
  Settings().SeekUnits[0] = true;
  Settings().CurrentSeek = 1;
  CycleSeekUnit(+1);
  EXPECT_EQ(LastSpoken(), "1 chapter");
  CycleSeekUnit(+1);
  EXPECT_EQ(LastSpoken(), "1 chapter");
  CycleSeekUnit(-1);
  EXPECT_EQ(LastSpoken(), "5 seconds");
  CycleSeekUnit(-1);
  EXPECT_EQ(LastSpoken(), "1 second");
  CycleSeekUnit(-1);
  EXPECT_EQ(LastSpoken(), "1 second");
}

TEST_F(TransportTest, ChapterNavigation) {
  Play("chapters.ogg");
  std::vector<Chapter> list = Chapters();
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[1].start, 60.0);
  EXPECT_EQ(list[1].title, "Middle");
  Settings().CurrentSeek = 12;
  SeekAbsolute(61);
  SeekBackward();
  EXPECT_NEAR(GetPosition(), 0.0, 0.05);
  EXPECT_EQ(LastSpoken(), "Chapter 1: Intro");
  SeekAbsolute(70);
  SeekBackward();
  EXPECT_NEAR(GetPosition(), 60.0, 0.05);
  EXPECT_EQ(LastSpoken(), "Chapter 2: Middle");
  SeekForward();
  EXPECT_NEAR(GetPosition(), 120.0, 0.05);
  EXPECT_EQ(LastSpoken(), "Chapter 3: End");
  EXPECT_FALSE(NextChapter());
  SeekAbsolute(1);
  EXPECT_TRUE(PreviousChapter());
  EXPECT_EQ(LastSpoken(), "Beginning");
}

TEST_F(TransportTest, ExternalChaptersSurviveExactlyOneOpen) {
  SetExternalChapters({{0, "From the feed"}, {30, "Second"}});
  Play("long.wav");
  EXPECT_EQ(Chapters().size(), 2u);
  Play("long.wav");
  EXPECT_TRUE(Chapters().empty());
}

TEST(JumpToTime, Parsing) {
  struct Case {
    const char* text;
    double seconds;
  } cases[] = {{"1:30", 90}, {"1:02:03", 3723}, {"75.5", 75.5}, {"abc", -1}, {"", -1}, {"1:30x", -1}};
  for (auto& c : cases) EXPECT_EQ(ParseJumpTime(c.text), c.seconds) << c.text;
}

std::vector<char> Block(std::initializer_list<std::string> texts) {
  std::vector<char> b;
  for (const std::string& t : texts) {
    b.insert(b.end(), t.begin(), t.end());
    b.push_back('\0');
  }
  b.push_back('\0');
  return b;
}

TEST(ChapterTags, VorbisRules) {
  auto list = VorbisChapters(Block({"TITLE=x", "chapter001name=Start", "CHAPTER002NAME=No time",
                                    "CHAPTER003=1:05.5", "CHAPTER000=00:00:09", "CHAPTER004=00:02:00.000"}));
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].start, 0.0);
  EXPECT_EQ(list[0].title, "Start");
  EXPECT_EQ(list[1].start, 65.5);
  EXPECT_EQ(list[1].title, "Chapter 3");
  EXPECT_EQ(list[2].start, 120.0);
}

TEST(ChapterTags, Id3v2ChapFramesFromTheCorpus) {
  std::string corpus = testsupport::CorpusDir();
  if (corpus.empty()) GTEST_SKIP() << "the shared corpus is not beside the project";
  // ID3v2.3 with three CHAP frames at 0, 1 and 2 s, titles in UTF-16 with a byte-order mark.
  auto bytes = testsupport::ReadFileBytes(corpus + "/tags/chapters.mp3");
  auto list = Id3v2Chapters(bytes);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[1].start, 1.0);
  EXPECT_FALSE(list[0].title.empty());
  // Garbage never breaks the walk.
  for (std::size_t cut = 0; cut < std::min<std::size_t>(bytes.size(), 400); cut += 7) {
    Id3v2Chapters(std::vector<char>(bytes.begin(), bytes.begin() + cut));
  }
}

}  // namespace
