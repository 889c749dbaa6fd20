// Position memory on a real database file: long media resumes where it was left, short media
// and the feature switched off leave no trace, and a stored position past the end is ignored.
#include <gtest/gtest.h>

#include <chrono>

#include "audio.h"
#include "engine.h"
#include "library_db.h"
#include "media.h"
#include "player.h"
#include "playlist.h"
#include "position_memory.h"
#include "recording_shell.h"
#include "settings.h"
#include "tempo.h"

using testsupport::RecordingShell;
using testsupport::TempDir;

namespace {

class PositionMemoryTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    // Low-rate mono WAV: minutes of audio made in an instant.
    for (auto [name, seconds] : {std::pair{"four.wav", 240}, std::pair{"six.wav", 360}}) {
      ASSERT_TRUE(testsupport::MakeSine(dir_->file(name), 440, seconds, 8000, 1, "-c:a pcm_s16le"));
    }
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    Settings() = AppSettings{};
    ASSERT_TRUE(audio::Init(0, 44100, 0));
    ASSERT_TRUE(Library().Open(db_dir_.file("Sonderlane.db")));
  }
  void TearDown() override {
    ShutdownAudioEngine();
    Library().Close();
  }
  // Opens `name` as the only entry, as the playlist would, and notes when.
  bool Open(const std::string& name) {
    ThePlaylist().entries = {dir_->file(name)};
    ThePlaylist().current = 0;
    opened_ = std::chrono::steady_clock::now();
    return OpenMedia(dir_->file(name));
  }
  double Position() { return CurrentTempoProcessor()->GetPositionSeconds(); }
  // Playback runs in real time after the open: the position started at `start` if it lies
  // between `start` and `start` plus the time since the open (and one device block).
  void ExpectStartedAt(double start) {
    double pos = Position();
    double since = std::chrono::duration<double>(std::chrono::steady_clock::now() - opened_).count();
    EXPECT_GE(pos, start - 0.01);
    EXPECT_LE(pos, start + since + 0.05);  // the device takes audio a block ahead
  }
  // Leaves the current item at `seconds`.
  void LeaveAt(const std::string& name, double seconds) {
    CurrentTempoProcessor()->SetPositionSeconds(seconds);
    SaveItemPosition(dir_->file(name));
  }

  static TempDir* dir_;
  std::chrono::steady_clock::time_point opened_;
  TempDir db_dir_;
  RecordingShell shell_;
};
TempDir* PositionMemoryTest::dir_ = nullptr;

TEST_F(PositionMemoryTest, LongMediaResumesWhereItWasLeft) {
  Settings().RememberPosMinutes = 5;
  ASSERT_TRUE(Open("six.wav"));
  ExpectStartedAt(0);
  LeaveAt("six.wav", 120.0);
  ASSERT_TRUE(Open("six.wav"));
  ExpectStartedAt(120.0);
  EXPECT_TRUE(shell_.spoken.empty()) << "resuming is silent";
}

TEST_F(PositionMemoryTest, ShortMediaAndTheFeatureOffLeaveNoTrace) {
  Settings().RememberPosMinutes = 5;
  ASSERT_TRUE(Open("four.wav"));  // 4 minutes, below the threshold
  LeaveAt("four.wav", 60.0);
  EXPECT_EQ(Library().LoadPosition(dir_->file("four.wav")), 0.0);

  Settings().RememberPosMinutes = 0;
  ASSERT_TRUE(Open("six.wav"));
  LeaveAt("six.wav", 100.0);
  EXPECT_EQ(Library().LoadPosition(dir_->file("six.wav")), 0.0);
  // A position stored earlier is not read while the feature is off.
  Library().SavePosition(dir_->file("six.wav"), 90.0);
  ASSERT_TRUE(Open("six.wav"));
  ExpectStartedAt(0);
}

TEST_F(PositionMemoryTest, StoredPositionAtOrPastTheEndIsIgnored) {
  Settings().RememberPosMinutes = 5;
  for (double stored : {360.0, 400.0, -3.0}) {
    Library().SavePosition(dir_->file("six.wav"), stored);
    SCOPED_TRACE(stored);
    ASSERT_TRUE(Open("six.wav"));
    ExpectStartedAt(0);
  }
}

TEST_F(PositionMemoryTest, WithoutADatabaseNothingIsRememberedAndPlaybackGoesOn) {
  Library().Close();
  Settings().RememberPosMinutes = 5;
  ASSERT_TRUE(Open("six.wav"));
  LeaveAt("six.wav", 120.0);
  ASSERT_TRUE(Open("six.wav"));
  ExpectStartedAt(0);
}

}  // namespace
