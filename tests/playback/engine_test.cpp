// The audio engine: starting on the saved device, the format-module report, and switching
// devices with the item reopened at the same place and in the same state.
#include <gtest/gtest.h>

#include <chrono>

#include "audio.h"
#include "engine.h"
#include "media.h"
#include "player.h"
#include "playlist.h"
#include "recording_shell.h"
#include "settings.h"
#include "tempo.h"

using testsupport::RecordingShell;

namespace {

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Settings() = AppSettings{};
    Settings().UpdatePeriod = 20;
    ThePlaylist() = Playlist{};
  }
  void TearDown() override { ShutdownAudioEngine(); }
  RecordingShell shell_;
};

TEST_F(EngineTest, EmptyOrVanishedDeviceNameStartsOnTheDefault) {
  EXPECT_EQ(FindOutputDevice(""), -1);
  Settings().DeviceName = "A headset that was unplugged";
  ASSERT_TRUE(InitAudioEngine());
  EXPECT_LE(CurrentOutputDevice(), 0);  // the default device, or no sound on a bare machine
  EXPECT_EQ(Settings().DeviceName, "");
  EXPECT_TRUE(shell_.boxes.empty());
  EXPECT_EQ(OutputDeviceName(0), "");
  EXPECT_EQ(OutputDeviceName(-1), "");
  EXPECT_EQ(OutputDeviceName(999), "");
}

TEST_F(EngineTest, NamedDevicesAreFoundByExactName) {
  audio::DeviceInfo info;
  if (!audio::GetDeviceInfo(1, &info)) GTEST_SKIP() << "this machine lists no output device";
  EXPECT_EQ(FindOutputDevice(info.name), 1);
  EXPECT_EQ(OutputDeviceName(1), info.name);
  std::string other_case = info.name;
  for (char& c : other_case) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (other_case != info.name) EXPECT_EQ(FindOutputDevice(other_case), -1);
}

TEST_F(EngineTest, FormatModuleReport) {
  ASSERT_TRUE(InitAudioEngine());
  std::string report = LoadedPluginsReport();
  size_t nl = report.find('\n');
  ASSERT_NE(nl, std::string::npos);
  EXPECT_EQ(report.rfind("Loaded: ", 0), 0u);
  EXPECT_EQ(report.substr(nl + 1, 8), "Failed: ");
  EXPECT_EQ(LoadedPlugins().size() + FailedPlugins().size(), 12u);
  // FLAC and MIDI are always there; CD audio never is on this platform.
  EXPECT_NE(report.find("flac"), std::string::npos);
  EXPECT_NE(std::find(LoadedPlugins().begin(), LoadedPlugins().end(), "midi"), LoadedPlugins().end());
  EXPECT_NE(std::find(FailedPlugins().begin(), FailedPlugins().end(), "cd"), FailedPlugins().end());
}

TEST_F(EngineTest, SwitchingDevicesReopensAtTheSamePlaceAndState) {
  testsupport::TempDir dir;
  ASSERT_TRUE(testsupport::MakeSine(dir.file("long.ogg"), 440, 62.0, 22050, 1, "-q:a 0"));
  ASSERT_TRUE(InitAudioEngine());
  ThePlaylist().entries = {dir.file("long.ogg")};
  ThePlaylist().current = 0;
  for (bool paused : {true, false}) {
    ASSERT_TRUE(OpenMedia(ThePlaylist().entries[0]));
    CurrentTempoProcessor()->SetPositionSeconds(60.0);
    auto sought = std::chrono::steady_clock::now();
    if (paused) audio::ChannelPause(Player().output);
    ASSERT_TRUE(SwitchOutputDevice(0));  // the no-sound output is always there
    EXPECT_EQ(CurrentOutputDevice(), 0);
    ASSERT_NE(Player().output, 0u);
    // Paused, it stays at 1:00; playing, it moves on in real time from there.
    double since = std::chrono::duration<double>(std::chrono::steady_clock::now() - sought).count();
    double pos = CurrentTempoProcessor()->GetPositionSeconds();
    EXPECT_GE(pos, 59.95);
    EXPECT_LE(pos, 60.0 + (paused ? 0.05 : since + 0.05));
    EXPECT_EQ(audio::ChannelIsActive(Player().output),
              paused ? audio::ACTIVE_PAUSED : audio::ACTIVE_PLAYING);
  }
}

}  // namespace
