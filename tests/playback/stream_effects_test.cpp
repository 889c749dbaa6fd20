// The effect cycle and the parameter setter: bounds, semitone rate steps, wrapping, the
// live-stream refusal, the cycle following what is switched on, and what is spoken.
#include <gtest/gtest.h>

#include <cmath>

#include "audio.h"
#include "engine.h"
#include "icy_server.h"
#include "media.h"
#include "player.h"
#include "playlist.h"
#include "recording_shell.h"
#include "settings.h"
#include "stream_effects.h"
#include "tempo.h"

using testsupport::RecordingShell;

namespace {

class StreamEffectsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Settings() = AppSettings{};
    // Start each test at the first parameter of the default cycle (Volume only).
    CycleEffect(-1);
    shell_.spoken.clear();
  }
  std::string LastSpoken() { return shell_.spoken.empty() ? std::string() : shell_.spoken.back(); }
  // Makes `id` current by cycling: back to the first parameter, then forward.
  void Select(int id) {
    for (int i = 0; i < 40; ++i) CycleEffect(-1);
    for (int i = 0; i < 40 && CurrentEffectId() != id; ++i) CycleEffect(+1);
    ASSERT_EQ(CurrentEffectId(), id);
  }
  RecordingShell shell_;
};

TEST_F(StreamEffectsTest, OnlyVolumeInTheCycleIsAnnouncedAgain) {
  CycleEffect(+1);
  EXPECT_EQ(LastSpoken(), "Volume 100%");
  EXPECT_EQ(BuildEffectCycle(), std::vector<int>{0});
}

TEST_F(StreamEffectsTest, VolumeBoundsFollowAmplification) {
  AdjustCurrentEffect(+1);
  EXPECT_FLOAT_EQ(GetEffectParam(0), 1.0f);
  SetCurrentEffectToMax();
  EXPECT_EQ(LastSpoken(), "Volume 100%");
  Settings().AllowAmplify = true;
  SetCurrentEffectToMax();
  EXPECT_EQ(LastSpoken(), "Volume 400%");
  EXPECT_FLOAT_EQ(Settings().Volume, 4.0f);
  ResetCurrentEffect();
  EXPECT_FLOAT_EQ(Settings().Volume, 1.0f);
}

TEST_F(StreamEffectsTest, SemitoneRateSteps) {
  Settings().EffectsRate = true;
  Settings().RateStepMode = 1;
  Select(3);
  for (int i = 0; i < 12; ++i) AdjustCurrentEffect(+1);
  EXPECT_NEAR(GetEffectParam(3), 2.0f, 0.001f);
  EXPECT_EQ(LastSpoken(), "Rate 2.00x");
  SetEffectParam(3, 0.25f);
  AdjustCurrentEffect(-1);
  EXPECT_FLOAT_EQ(GetEffectParam(3), 0.25f);
}

TEST_F(StreamEffectsTest, RotationWrapsAndModeToggles) {
  Settings().DspEnabled[7] = true;  // 3D audio
  SetEffectParam(32, 180);
  Select(32);
  AdjustCurrentEffect(+1);
  EXPECT_FLOAT_EQ(GetEffectParam(32), -175.0f);
  EXPECT_EQ(LastSpoken(), "3D Rotation -175 deg");
  Select(33);
  AdjustCurrentEffect(+1);
  EXPECT_EQ(LastSpoken(), "3D Mode: 5.1 Surround");
  AdjustCurrentEffect(+1);
  EXPECT_EQ(LastSpoken(), "3D Mode: Binaural");
  AdjustCurrentEffect(-1);
  EXPECT_EQ(LastSpoken(), "3D Mode: 5.1 Surround");
}

TEST_F(StreamEffectsTest, ClampingAndFormats) {
  SetEffectParam(15, 150);  // echo feedback is limited to 90 %
  EXPECT_FLOAT_EQ(GetEffectParam(15), 90.0f);
  SetEffectParam(99, 1);  // unknown ids are ignored
  EXPECT_EQ(GetEffectParam(99), 0.0f);
  SetEffectParam(1, 2);
  EXPECT_EQ(EffectText(1), "Pitch +2 semitones");
  SetEffectParam(2, 10);
  EXPECT_EQ(EffectText(2), "Tempo 10%");
  SetEffectParam(0, 0.8f);
  EXPECT_EQ(EffectText(0), "Volume 80%");
}

TEST_F(StreamEffectsTest, DisablingTheOwnerMovesToTheFirstParameter) {
  Settings().DspEnabled[1] = true;  // echo
  Select(15);
  Settings().DspEnabled[1] = false;
  AdjustCurrentEffect(+1);  // the current parameter left the cycle: Volume now
  EXPECT_EQ(CurrentEffectId(), 0);
  Settings().EffectsVolume = false;
  CycleEffect(+1);
  EXPECT_EQ(LastSpoken(), "No parameters available");
}

TEST_F(StreamEffectsTest, ReverbParametersFollowTheAlgorithm) {
  Settings().ReverbAlgorithm = 2;
  EXPECT_EQ(BuildEffectCycle(), (std::vector<int>{0, 7, 8, 9}));
  Settings().ReverbAlgorithm = 3;
  EXPECT_EQ(BuildEffectCycle(), (std::vector<int>{0, 10, 11, 12, 13}));
}

TEST_F(StreamEffectsTest, SilentWhenEffectSpeechIsOff) {
  Settings().SpeechEffect = false;
  CycleEffect(+1);
  AdjustCurrentEffect(-1);
  EXPECT_TRUE(shell_.spoken.empty());
  ToggleStreamEffectInCycle(1);
  EXPECT_EQ(LastSpoken(), "Pitch enabled");
}

TEST_F(StreamEffectsTest, TempoRefusedOnLiveRadioButPitchWorks) {
  ASSERT_TRUE(audio::Init(0, 44100, 0));
  testsupport::TempDir dir;
  ASSERT_TRUE(testsupport::MakeSine(dir.file("r.mp3"), 1000, 2.0, 44100, 1, "-write_xing 0 -id3v2_version 0"));
  auto bytes = testsupport::ReadFileBytes(dir.file("r.mp3"));
  testsupport::IcyServer server;
  testsupport::IcyRoute route;
  route.payload.assign(bytes.begin(), bytes.end());
  server.SetRoute("/live", route);
  ReplacePlaylist({server.Url("/live")});
  PlayItem(0, true);
  ASSERT_TRUE(Player().live);
  Settings().EffectsTempo = true;
  Settings().EffectsPitch = true;
  Select(2);
  AdjustCurrentEffect(+1);
  EXPECT_EQ(LastSpoken(), "Not available for live streams");
  EXPECT_EQ(GetEffectParam(2), 0.0f);
  Select(1);
  AdjustCurrentEffect(+1);
  EXPECT_EQ(CurrentTempoProcessor()->GetPitch(), 1.0f);
  ShutdownAudioEngine();
  ThePlaylist() = Playlist{};
}

}  // namespace
