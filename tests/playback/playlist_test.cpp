// Moving through the playlist on the no-sound device: unplayable entries are skipped, previous
// restarts after 3 seconds, repeat and shuffle choose the next item, the end of the list stops.
#include <gtest/gtest.h>

#include "audio.h"
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

class PlaylistTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    for (const char* name : {"a.wav", "b.wav", "c.wav"}) {
      ASSERT_TRUE(testsupport::MakeSine(dir_->file(name), 440, 10.0, 8000, 1, "-c:a pcm_s16le"));
    }
    testsupport::WriteFileBytes(dir_->file("broken.mp3"), "not audio at all");
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    Settings() = AppSettings{};
    Settings().Path = dir_->file("Sonderlane.ini");
    ASSERT_TRUE(audio::Init(0, 44100, 0));
  }
  void TearDown() override {
    ShutdownAudioEngine();
    ThePlaylist() = Playlist{};
  }
  static std::string F(const char* name) { return dir_->file(name); }
  static std::string Playing() {
    const Playlist& pl = ThePlaylist();
    return pl.HasCurrent() ? FileNameOf(pl.entries[pl.current]) : std::string();
  }

  static TempDir* dir_;
  RecordingShell shell_;
};
TempDir* PlaylistTest::dir_ = nullptr;

TEST_F(PlaylistTest, UnplayableEntriesAreSkippedSilently) {
  ReplacePlaylist({F("broken.mp3"), F("missing.ogg"), F("broken.mp3"), F("b.wav"), F("c.wav")});
  EXPECT_EQ(ThePlaylist().current, -1);
  PlayItem(0, true);
  EXPECT_EQ(Playing(), "b.wav");
  EXPECT_EQ(audio::ChannelIsActive(Player().output), audio::ACTIVE_PLAYING);
  EXPECT_TRUE(shell_.boxes.empty());
  EXPECT_EQ(Settings().RecentFiles.front(), F("b.wav"));
  // Nothing playable from the start index to the end: the index stays on the last try.
  ReplacePlaylist({F("a.wav"), F("broken.mp3"), F("missing.ogg")});
  PlayItem(1, true);
  EXPECT_EQ(ThePlaylist().current, 2);
  EXPECT_EQ(Player().output, 0u);
}

TEST_F(PlaylistTest, PreviousRestartsAfterThreeSeconds) {
  ReplacePlaylist({F("a.wav"), F("b.wav")});
  PlayItem(1, true);
  CurrentTempoProcessor()->SetPositionSeconds(4.0);
  PreviousTrack();
  EXPECT_EQ(Playing(), "b.wav");
  EXPECT_LT(GetPosition(), 1.0);
  CurrentTempoProcessor()->SetPositionSeconds(2.0);
  PreviousTrack();
  EXPECT_EQ(Playing(), "a.wav");
  PreviousTrack();  // at the first entry it starts it again
  EXPECT_EQ(Playing(), "a.wav");
}

TEST_F(PlaylistTest, NextFollowsRepeatAndShuffle) {
  ReplacePlaylist({F("a.wav"), F("b.wav"), F("c.wav")});
  PlayItem(0, true);
  NextTrack(true);
  EXPECT_EQ(Playing(), "b.wav");
  Settings().RepeatMode = 1;  // repeat track
  NextTrack(true);
  EXPECT_EQ(Playing(), "b.wav");
  Settings().RepeatMode = 2;  // repeat all wraps around
  PlayItem(2, true);
  NextTrack(true);
  EXPECT_EQ(Playing(), "a.wav");
  Settings().RepeatMode = 0;
  Settings().Shuffle = true;
  for (int i = 0; i < 10; ++i) {
    std::string before = Playing();
    NextTrack(true);
    EXPECT_NE(Playing(), before);
  }
  // Shuffle with one entry plays it again.
  ReplacePlaylist({F("c.wav")});
  PlayItem(0, true);
  NextTrack(true);
  EXPECT_EQ(Playing(), "c.wav");
}

TEST_F(PlaylistTest, EndOfListStopsAndPausedLoading) {
  ReplacePlaylist({F("a.wav"), F("b.wav")});
  PlayItem(0, true);
  OnNextTrackCommand(1);  // auto-advance and repeat off: the next item is loaded paused
  EXPECT_EQ(Playing(), "b.wav");
  EXPECT_EQ(audio::ChannelIsActive(Player().output), audio::ACTIVE_PAUSED);
  EXPECT_LT(GetPosition(), 0.01);
  audio::ChannelPlay(Player().output, false);
  OnNextTrackCommand(0);  // past the end without repeat-all: stop, loaded at the start
  EXPECT_EQ(Playing(), "b.wav");
  EXPECT_EQ(audio::ChannelIsActive(Player().output), audio::ACTIVE_STOPPED);
  EXPECT_LT(GetPosition(), 0.01);
}

TEST_F(PlaylistTest, SeekTracksStaysInTheList) {
  ReplacePlaylist({F("a.wav"), F("b.wav"), F("c.wav")});
  PlayItem(1, true);
  SeekTracks(5);
  EXPECT_EQ(Playing(), "c.wav");
  SeekTracks(-10);
  EXPECT_EQ(Playing(), "a.wav");
}

TEST_F(PlaylistTest, RepeatCycleSpeaksAndSaves) {
  for (const char* expected : {"Repeat track", "Repeat all", "Repeat off"}) {
    CycleRepeat();
    EXPECT_EQ(shell_.spoken.back(), expected);
  }
  EXPECT_NE(testsupport::ReadFileText(dir_->file("Sonderlane.ini")).find("RepeatMode=0"),
            std::string::npos);
}

TEST(FormatClock, Texts) {
  struct Case {
    double seconds;
    const char* text;
  } cases[] = {{0, "0:00"}, {59.9, "0:59"}, {-5, "0:00"}, {3599, "59:59"}, {3725, "1:02:05"}};
  for (auto& c : cases) EXPECT_EQ(FormatClock(c.seconds), c.text) << c.seconds;
}

}  // namespace
