// The settings file on real files: where it lies, the normalisation of every kind of key, the
// written forms, foreign lines kept, the playback state, the recent files, and saves that are
// killed half-way.
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "effect_params.h"
#include "media.h"
#include "profile.h"
#include "settings.h"
#include "settings_file.h"

namespace fs = std::filesystem;
using testsupport::TempDir;

namespace {

using testsupport::ReadFileText;
using testsupport::WriteFileBytes;

bool HasLine(const std::string& text, const std::string& line) {
  return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

// Every test runs with its own executable folder, XDG folders and home, and fresh settings.
class SettingsFile : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* v : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "PATH"}) {
      const char* old = std::getenv(v);
      saved_env_[v] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    fs::create_directories(exe_dir());
    ::setenv("HOME", dir_.file("home").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", dir_.file("config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", dir_.file("data").c_str(), 1);
    ::setenv("PATH", dir_.file("bin").c_str(), 1);
    SetExecutableDirForTesting(exe_dir());
    Settings() = AppSettings{};
  }
  void TearDown() override {
    SetExecutableDirForTesting("");
    SetLanguageApplier(nullptr);
    Settings() = AppSettings{};
    for (const auto& [name, value] : saved_env_) {
      if (value)
        ::setenv(name.c_str(), value->c_str(), 1);
      else
        ::unsetenv(name.c_str());
    }
  }

  std::string exe_dir() const { return dir_.file("app"); }
  std::string portable_ini() const { return dir_.file("app/Sonderlane.ini"); }
  std::string installed_ini() const { return dir_.file("config/Sonderlane/Sonderlane.ini"); }

  // Writes `text` as the (portable) settings file and loads everything from it.
  void LoadFrom(const std::string& text) {
    WriteFileBytes(portable_ini(), text);
    Settings() = AppSettings{};
    LoadSettings();
    LoadEffectSettings();
  }

  TempDir dir_;
  std::map<std::string, std::optional<std::string>> saved_env_;
};

// ---- Location ----

TEST_F(SettingsFile, PortableCopyWritesBesideTheExecutableAndInstalledTxtMovesEverything) {
  WriteFileBytes(portable_ini(), "[Playback]\nAllowMultipleInstances=1\nShuffle=1\n");
  EXPECT_EQ(ResolveSettingsPath(), portable_ini());
  EXPECT_TRUE(ReadAllowMultipleInstances());
  LoadSettings();
  EXPECT_TRUE(Settings().Shuffle);
  EXPECT_TRUE(SaveSettings());
  EXPECT_TRUE(HasLine(ReadFileText(portable_ini()), "RepeatMode=0"));

  // Installed: the folder under the XDG config home is made, and every read and write goes there.
  WriteFileBytes(exe_dir() + "/installed.txt", "");
  Settings() = AppSettings{};
  EXPECT_EQ(ResolveSettingsPath(), installed_ini());
  EXPECT_TRUE(fs::is_directory(dir_.file("config/Sonderlane")));
  EXPECT_FALSE(ReadAllowMultipleInstances());
  LoadSettings();
  EXPECT_FALSE(Settings().Shuffle);
  EXPECT_FALSE(fs::exists(installed_ini()));  // reading creates no file
  Settings().AllowMultipleInstances = true;
  EXPECT_TRUE(SaveSettings());
  EXPECT_TRUE(ReadAllowMultipleInstances());
  EXPECT_EQ(Settings().Path, installed_ini());

  // Without XDG_CONFIG_HOME the config home is ~/.config.
  ::unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(ResolveSettingsPath(), dir_.file("home/.config/Sonderlane/Sonderlane.ini"));
}

TEST_F(SettingsFile, FindsYtDlpInItsOrder) {
  const std::string data_copy = dir_.file("data/Sonderlane/yt-dlp"),
                    lib_copy = exe_dir() + "/lib/yt-dlp", beside = exe_dir() + "/yt-dlp",
                    on_path = dir_.file("bin/yt-dlp");
  EXPECT_EQ(FindYtDlp(), "");
  fs::create_directories(dir_.file("bin"));
  WriteFileBytes(on_path, "#!/bin/sh\n");
  EXPECT_EQ(FindYtDlp(), "");  // not executable: the shell would not run it
  fs::permissions(on_path, fs::perms::owner_all);
  EXPECT_EQ(FindYtDlp(), on_path);
  WriteFileBytes(beside, "");
  EXPECT_EQ(FindYtDlp(), beside);
  fs::create_directories(exe_dir() + "/lib");
  WriteFileBytes(lib_copy, "");
  EXPECT_EQ(FindYtDlp(), lib_copy);
  fs::create_directories(dir_.file("data/Sonderlane"));
  WriteFileBytes(data_copy, "");
  EXPECT_EQ(FindYtDlp(), data_copy);
  // The stored path is never used; the one found at load is written at the next save.
  LoadFrom("[YouTube]\nYtdlpPath=/somewhere/else\n");
  EXPECT_EQ(Settings().YtdlpPath, data_copy);
  ASSERT_TRUE(SaveSettings());
  EXPECT_TRUE(HasLine(ReadFileText(portable_ini()), "YtdlpPath=" + data_copy));
}

// ---- Reading ----

struct LoadCase {
  const char* what;
  const char* file;
  std::function<bool(const AppSettings&)> holds;
};

TEST_F(SettingsFile, LoadNormalisesEveryKindOfKey) {
  const LoadCase cases[] = {
      {"Volume=250 without AllowAmplify", "[Playback]\nVolume=250\nAllowAmplify=0\n",
       [](const AppSettings& s) { return s.Volume == 1.0f; }},
      {"Volume=250 with AllowAmplify", "[Playback]\nVolume=250\nAllowAmplify=1\n",
       [](const AppSettings& s) { return s.Volume == 2.5f && s.EffectParams[0] == 2.5f; }},
      {"negative volume", "[Playback]\nVolume=-20\n",
       [](const AppSettings& s) { return s.Volume == 0.0f; }},
      {"VolumeStep=0", "[Playback]\nVolumeStep=0\n",
       [](const AppSettings& s) { return s.VolumeStep == 0.01f; }},
      {"VolumeStep=50", "[Playback]\nVolumeStep=50\n",
       [](const AppSettings& s) { return s.VolumeStep == 0.25f; }},
      {"TempoAlgorithm=5", "[Advanced]\nTempoAlgorithm=5\n",
       [](const AppSettings& s) { return s.TempoAlgorithm == 0; }},
      {"TempoAlgorithm=2 kept", "[Advanced]\nTempoAlgorithm=2\n",
       [](const AppSettings& s) { return s.TempoAlgorithm == 2; }},
      {"RepeatMode=-1", "[Playback]\nRepeatMode=-1\n",
       [](const AppSettings& s) { return s.RepeatMode == 0; }},
      {"Format=9", "[Recording]\nFormat=9\n",
       [](const AppSettings& s) { return s.RecordingFormat == 3; }},
      {"Bitrate is not normalised", "[Recording]\nBitrate=-3\n",
       [](const AppSettings& s) { return s.RecordingBitrate == -3; }},
      {"RewindOnPauseMs negative", "[Playback]\nRewindOnPauseMs=-5\n",
       [](const AppSettings& s) { return s.RewindOnPauseMs == 0; }},
      {"BufferSize clamped", "[Advanced]\nBufferSize=1\nUpdatePeriod=9999\n",
       [](const AppSettings& s) { return s.BufferSize == 100 && s.UpdatePeriod == 500; }},
      {"SoundTouch ranges", "[SoundTouch]\nAAFilterLength=2\nSequenceMs=900\nAlgorithm=-4\n",
       [](const AppSettings& s) {
         return s.AAFilterLength == 8 && s.SequenceMs == 200 && s.SoundTouchAlgorithm == 0;
       }},
      {"Signalsmith ranges", "[Signalsmith]\nPreset=4\nTonalityLimit=30000\n",
       [](const AppSettings& s) { return s.SignalsmithPreset == 1 && s.TonalityLimit == 20000; }},
      {"MaxVoices clamped", "[MIDI]\nMaxVoices=0\n",
       [](const AppSettings& s) { return s.MaxVoices == 1; }},
      {"ReverbAlgorithm clamped", "[Effects]\nReverbAlgorithm=7\n",
       [](const AppSettings& s) { return s.ReverbAlgorithm == 3; }},
      {"RateStepMode outside", "[Effects]\nRateStepMode=2\n",
       [](const AppSettings& s) { return s.RateStepMode == 0; }},
      {"reals clamped", "[Playback]\nPitch=20\nTempo=-100\nRate=9\n",
       [](const AppSettings& s) {
         return s.Pitch == 12.0f && s.Tempo == -75.0f && s.Rate == 4.0f;
       }},
      {"a real that is not a number reads as 0", "[Playback]\nRate=abc\nPitch=xyz\n",
       [](const AppSettings& s) { return s.Rate == 0.25f && s.Pitch == 0.0f; }},
      {"EQ frequencies are not normalised", "[Advanced]\nEQBassFreq=80.5\nEQTrebleFreq=-3\n",
       [](const AppSettings& s) { return s.EQBassFreq == 80.5f && s.EQTrebleFreq == -3.0f; }},
      {"integers take leading digits", "[Playback]\nRememberPosMinutes=12abc\n",
       [](const AppSettings& s) { return s.RememberPosMinutes == 12; }},
      {"any non-zero integer is true", "[Playback]\nShuffle=2\nAutoAdvance=abc\n",
       [](const AppSettings& s) { return s.Shuffle && !s.AutoAdvance; }},
      {"names ignore case", "[PLAYBACK]\nshuffle=1\n",
       [](const AppSettings& s) { return s.Shuffle; }},
      {"text cut to its maximum", "[General]\nLanguage=english-long\n",
       [](const AppSettings& s) { return s.Language == "english"; }},
      {"empty text is kept empty", "[Video]\nVideoOutput=\n",
       [](const AppSettings& s) { return s.VideoOutput.empty(); }},
      {"CurrentSeek=7 with only Seek10s on",
       "[Movement]\nSeek5s=0\nSeek10s=1\nSeek30m=0\nCurrentSeek=7\n",
       [](const AppSettings& s) { return s.CurrentSeek == 2; }},
      {"CurrentSeek with no unit on", "[Movement]\nSeek5s=0\nCurrentSeek=7\n",
       [](const AppSettings& s) { return s.CurrentSeek == 1; }},
      {"chapter unit saved as 12", "[Movement]\nSeek5s=0\nSeek1m=1\nSeek1h=1\nCurrentSeek=12\n",
       [](const AppSettings& s) { return s.CurrentSeek == 4; }},
      {"CurrentSeek on an enabled unit kept", "[Movement]\nSeek1h=1\nCurrentSeek=8\n",
       [](const AppSettings& s) { return s.CurrentSeek == 8; }},
      {"CurrentEffect not in the cycle",
       "[Effects]\nVolume=0\nPitch=0\nTempo=1\nRate=1\nCurrentEffect=1\n",
       [](const AppSettings& s) { return s.CurrentEffect == 2; }},
      {"CurrentEffect outside 0-3", "[Effects]\nCurrentEffect=9\n",
       [](const AppSettings& s) { return s.CurrentEffect == 0; }},
      {"CurrentEffect with an empty cycle", "[Effects]\nVolume=0\nCurrentEffect=3\n",
       [](const AppSettings& s) { return s.CurrentEffect == 0; }},
      {"EchoFeedback=150 clamped by the table", "[DSPParams]\nEchoFeedback=150\n",
       [](const AppSettings& s) { return s.EffectParams[15] == 90.0f; }},
      {"DSP params: missing and empty give defaults, junk gives 0 clamped",
       "[DSPParams]\nEchoDelay=\nCompRatio=abc\nSpatialRotation=-500\nDX8ReverbHFRatio=0.25\n",
       [](const AppSettings& s) {
         return s.EffectParams[14] == 300.0f && s.EffectParams[22] == 1.0f &&
                s.EffectParams[32] == -180.0f && s.EffectParams[8] == 0.25f &&
                s.EffectParams[11] == 1.49f;
       }},
      {"DSP enables", "[DSPEffects]\nEcho=1\nSpatialAudio=1\nConvolutionIR=/ir/hall.wav\n",
       [](const AppSettings& s) {
         return s.DspEnabled[1] && s.DspEnabled[7] && !s.DspEnabled[2] &&
                s.ConvolutionIR == "/ir/hall.wav";
       }},
      {"recent files skip empty values",
       "[RecentFiles]\nFile0=/a.mp3\nFile1=\nFile2=/c.mp3\nFile10=/x.mp3\n",
       [](const AppSettings& s) {
         return s.RecentFiles == std::vector<std::string>{"/a.mp3", "/c.mp3"};
       }},
  };
  for (const LoadCase& c : cases) {
    SCOPED_TRACE(c.what);
    LoadFrom(c.file);
    EXPECT_TRUE(c.holds(Settings()));
  }
}

TEST_F(SettingsFile, NormalisedValuesAreWrittenBackNormalised) {
  LoadFrom("[Playback]\nVolume=250\nAllowAmplify=0\nVolumeStep=0\n[Recording]\nFormat=9\n");
  ASSERT_TRUE(SaveSettings());
  std::string text = ReadFileText(portable_ini());
  EXPECT_TRUE(HasLine(text, "Volume=100"));
  EXPECT_TRUE(HasLine(text, "VolumeStep=1"));
  EXPECT_TRUE(HasLine(text, "Format=3"));
}

TEST_F(SettingsFile, LanguageGoesToTheApplier) {
  static std::string applied = "unset";
  SetLanguageApplier([](const std::string& code) { applied = code; });
  LoadFrom("[General]\nLanguage=fr\n");
  EXPECT_EQ(applied, "fr");
  LoadFrom("");
  EXPECT_EQ(applied, "");
}

// ---- Writing ----

// Compiles a locale whose decimal point is a comma and switches LC_NUMERIC to it, as the GUI
// toolkit does for a French user. False when localedef is not available.
bool UseCommaLocale(const TempDir& dir) {
  WriteFileBytes(dir.file("comma.src"),
       "LC_CTYPE\ncopy \"POSIX\"\nEND LC_CTYPE\nLC_NUMERIC\ndecimal_point \",\"\nthousands_sep "
       "\".\"\n"
       "grouping 3;3\nEND LC_NUMERIC\n");
  // The fixture narrows PATH to its own folder; localedef lives in the system one.
  testsupport::Run("PATH=/usr/bin:/bin:/usr/sbin:/sbin localedef -c -i " + dir.file("comma.src") +
                   " -f ANSI_X3.4-1968 " + dir.file("xx_COMMA") + " >/dev/null 2>&1");
  ::setenv("LOCPATH", dir.path().c_str(), 1);
  bool ok = std::setlocale(LC_NUMERIC, "xx_COMMA") != nullptr;
  ::unsetenv("LOCPATH");
  return ok;
}

TEST_F(SettingsFile, WrittenFormsAreExactWhateverTheLocale) {
  TempDir locale_dir;
  const bool comma = UseCommaLocale(locale_dir);
  Settings().ReverbAlgorithm = 2;
  Settings().Pitch = -3.25f;
  ASSERT_TRUE(SaveSettings());
  std::setlocale(LC_NUMERIC, "C");
  const std::string text = ReadFileText(portable_ini());
  for (const char* line : {"Volume=100",
                           "VolumeStep=2",
                           "Pitch=-3.2",
                           "Tempo=0.0",
                           "Rate=1.00",
                           "AllowAmplify=0",
                           "BringToFront=1",
                           "EQBassFreq=50.0",
                           "EQTrebleFreq=12000.0",
                           "BufferSize=500",
                           "Template=%Y-%m-%d_%H-%M-%S",
                           "VideoOutput=gpu",
                           "Reverb=1",
                           "ReverbAlgorithm=2",
                           "ReverbMix=30.00",
                           "DX8ReverbHFRatio=0.500",
                           "I3DL2Room=-1000.00",
                           "I3DL2DecayTime=1.49",
                           "CompAttack=20.00",
                           "SpatialRearCenter=1.00",
                           "CurrentSeek=1",
                           "Seek5s=1",
                           "Seek10t=0"})
    EXPECT_TRUE(HasLine(text, line)) << line;
  EXPECT_EQ(text.find("[State]"), std::string::npos);
  EXPECT_EQ(text.find("[Playlist]"), std::string::npos);
  // Every [DSPParams] key of the table is written.
  profile::Profile p(portable_ini());
  for (int id = kFirstDspParam; id < kEffectParamCount; ++id)
    EXPECT_TRUE(p.HasKey("DSPParams", kEffectParams[static_cast<size_t>(id)].settings_key)) << id;
  if (!comma)
    GTEST_SKIP() << "no decimal-comma locale could be made; forms checked in the C locale";
}

TEST_F(SettingsFile, DefaultsAndChangedValuesRoundTrip) {
  // Defaults written, read back, equal.
  ASSERT_TRUE(SaveSettings());
  AppSettings expected = Settings();
  Settings() = AppSettings{};
  LoadSettings();
  LoadEffectSettings();
  expected.YtdlpPath = Settings().YtdlpPath;
  EXPECT_TRUE(Settings() == expected);

  // Every field away from its default, at the precision it is written with.
  AppSettings& s = Settings();
  s.DeviceName = "USB Audio \xC3\xA9 [front]";
  s.RewindOnPauseMs = 750;
  s.AllowAmplify = true;
  s.RememberState = true;
  s.RememberPosMinutes = 20;
  s.BringToFront = false;
  s.MinimizeToTray = false;
  s.LoadFolder = true;
  s.RegisterFileTypes = true;
  s.VolumeStep = 0.05f;
  s.ShowTitleInWindow = false;
  s.Volume = 2.5f;
  s.Pitch = -3.5f;
  s.Tempo = 25.5f;
  s.Rate = 1.25f;
  s.Shuffle = true;
  s.AutoAdvance = false;
  s.RepeatMode = 2;
  s.PlaylistFollow = false;
  s.CheckForUpdates = false;
  s.AllowMultipleInstances = true;
  s.BufferSize = 1000;
  s.UpdatePeriod = 50;
  s.TempoAlgorithm = 1;
  s.LegacyVolume = true;
  s.DisableBatchDelay = true;
  s.EQBassFreq = 80.5f;
  s.EQMidFreq = 900.0f;
  s.EQTrebleFreq = 10000.0f;
  s.AntiAliasFilter = false;
  s.AAFilterLength = 64;
  s.QuickAlgorithm = true;
  s.SequenceMs = 40;
  s.SeekWindowMs = 15;
  s.OverlapMs = 12;
  s.PreventClick = true;
  s.SoundTouchAlgorithm = 2;
  s.NonlinearSpeedup = false;
  s.SignalsmithPreset = 1;
  s.TonalityLimit = 8000;
  s.ReverbAlgorithm = 3;
  s.EffectsVolume = false;
  s.EffectsPitch = true;
  s.EffectsTempo = true;
  s.EffectsRate = true;
  s.CurrentEffect = 2;
  s.RateStepMode = 1;
  s.SoundFont = "/sf2/My Font.sf2";
  s.MaxVoices = 256;
  s.SincInterp = true;
  s.ApiKey = "key-123";
  s.VideoMode = true;
  s.DownloadsPath = "/home/u/Podcasts";
  s.OrganizeByFeed = true;
  s.RecordingPath = "/home/u/Rec";
  s.RecordingTemplate = "rec_%H";
  s.RecordingFormat = 2;
  s.RecordingBitrate = 320;
  s.SpeechTrackChange = true;
  s.SpeechVolume = false;
  s.SpeechEffect = false;
  s.SeekUnits = {true, false, true, false, true, false, true, false, true, false, true, true};
  s.ChapterSeek = false;
  s.CurrentSeek = 6;
  s.HardwareDecoding = false;
  s.VideoOutput = "x11";
  s.Language = "fr";
  s.DspEnabled = {true, true, true, true, true, true, true, true};
  s.ConvolutionIR = "/ir/hall.wav";
  for (int id = kFirstDspParam; id < kEffectParamCount; ++id) {
    const EffectParamInfo& info = kEffectParams[static_cast<size_t>(id)];
    s.EffectParams[static_cast<size_t>(id)] = info.max;  // every maximum is written exactly
  }
  s.EffectParams[0] = s.Volume;
  s.EffectParams[1] = s.Pitch;
  s.EffectParams[2] = s.Tempo;
  s.EffectParams[3] = s.Rate;
  s.RecentFiles = {"/music/a & b.mp3", "/music/\xC3\xA9t\xC3\xA9.flac", "  spaced  "};
  ASSERT_TRUE(SaveSettings());
  expected = s;
  Settings() = AppSettings{};
  LoadSettings();
  LoadEffectSettings();
  expected.YtdlpPath = Settings().YtdlpPath;
  EXPECT_TRUE(Settings() == expected);
  EXPECT_EQ(Settings().DeviceName, expected.DeviceName);
  EXPECT_EQ(Settings().RecentFiles, expected.RecentFiles);
}

TEST_F(SettingsFile, HandEditedFileKeepsItsCommentsAndForeignSections) {
  const std::string hand =
      "; my settings\n"
      "[Hotkeys]\nEnabled=1\nCount=1\nHotkey0=3,80,0\n"
      "\n"
      "[playback]\n"
      "; louder please\n"
      "volume = 80\n"
      "Unknown=keep me\n"
      "\n"
      "[Presets]\nCount=1\nName0=Rock\n"
      "[Preset_Rock]\nPitch=1.0000\n"
      "[RecentFiles]\n; newest first\nFile0=/old/one.mp3\nFile7=/old/eight.mp3\n"
      "[YouTube]\nYtdlpVersion=2024.01.01\n"
      "[State]\nLastFile=/x.mp3\n";
  LoadFrom(hand);
  EXPECT_EQ(Settings().Volume, 0.8f);
  Settings().Volume = 0.5f;
  Settings().RecentFiles = {"/new/first.mp3"};
  ASSERT_TRUE(SaveSettings());
  const std::string text = ReadFileText(portable_ini());
  for (const char* kept :
       {"; my settings", "[Hotkeys]", "Hotkey0=3,80,0", "[playback]", "; louder please",
        "Unknown=keep me", "[Presets]", "Name0=Rock", "[Preset_Rock]", "Pitch=1.0000",
        "; newest first", "YtdlpVersion=2024.01.01", "[State]", "LastFile=/x.mp3"})
    EXPECT_TRUE(HasLine(text, kept)) << kept;
  EXPECT_TRUE(
      HasLine(text, "volume=50"));  // the value line is rewritten in place, spelled as found
  EXPECT_LT(text.find("; louder please"), text.find("volume=50"));
  EXPECT_TRUE(HasLine(text, "File0=/new/first.mp3"));
  EXPECT_EQ(text.find("File7="), std::string::npos);  // the list was cleared before rewriting
  EXPECT_EQ(text.find("[playback]"), text.rfind("[playback]"));
  EXPECT_EQ(text.find("[Playback]"), std::string::npos);
}

TEST_F(SettingsFile, SaveIntoAReadOnlyFolderFailsQuietly) {
  fs::permissions(dir_.path(),
                  fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  WriteFileBytes(portable_ini(), "[Playback]\nShuffle=0\n");
  fs::permissions(exe_dir(), fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                 fs::perms::group_exec | fs::perms::others_read |
                                 fs::perms::others_exec);
  Settings().Shuffle = true;
  int result;
  if (::geteuid() != 0) {
    result = SaveSettings() ? 1 : 0;
  } else {
    // Root writes anywhere: try as an unprivileged user.
    pid_t pid = ::fork();
    if (pid == 0) {
      struct passwd* nobody = ::getpwnam("nobody");
      if (::setgid(nobody ? nobody->pw_gid : 65534) != 0 ||
          ::setuid(nobody ? nobody->pw_uid : 65534) != 0)
        ::_exit(3);
      ::_exit(SaveSettings() ? 1 : 0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    result = WIFEXITED(status) && WEXITSTATUS(status) < 2 ? WEXITSTATUS(status) : -1;
  }
  fs::permissions(exe_dir(), fs::perms::owner_all);
  if (result < 0) GTEST_SKIP() << "cannot drop root privileges here; the read-only case needs them";
  EXPECT_EQ(result, 0);
  EXPECT_EQ(ReadFileText(portable_ini()), "[Playback]\nShuffle=0\n");
  EXPECT_TRUE(Settings().Shuffle);  // the program goes on with the values in memory
  // A missing folder fails the same way.
  Settings().Path = dir_.file("gone/Sonderlane.ini");
  EXPECT_FALSE(SaveSettings());
  EXPECT_FALSE(SavePlaybackState({"/a.mp3"}, 0, 1.0));
}

// ---- Playback state ----

TEST_F(SettingsFile, PlaybackStateFollowsRememberState) {
  const std::vector<std::string> list = {"/m/a.mp3", "http://radio.example/live", "/m/c.ogg"};
  // RememberState off: an empty state is written and nothing is restored.
  LoadFrom("[Playlist]\nTrack0=/stale.mp3\n");
  ASSERT_TRUE(SavePlaybackState(list, 2, 61.237));
  std::string text = ReadFileText(portable_ini());
  for (const char* line : {"TrackCount=0", "LastFile=", "LastPosition=0", "CurrentTrack=0"})
    EXPECT_TRUE(HasLine(text, line)) << line;
  EXPECT_EQ(text.find("Track0="), std::string::npos);
  EXPECT_TRUE(RestorePlaybackState().entries.empty());

  // RememberState on: playlist, index and position come back.
  Settings().RememberState = true;
  ASSERT_TRUE(SavePlaybackState(list, 2, 61.237));
  text = ReadFileText(portable_ini());
  for (const char* line : {"TrackCount=3", "Track1=http://radio.example/live", "CurrentTrack=2",
                           "LastFile=/m/c.ogg", "LastPosition=61.24"})
    EXPECT_TRUE(HasLine(text, line)) << line;
  RestoredPlayback r = RestorePlaybackState();
  EXPECT_EQ(r.entries, list);
  EXPECT_EQ(r.current, 2);
  EXPECT_DOUBLE_EQ(r.position_seconds, 61.24);

  // No current entry: LastFile empty, position 0.
  ASSERT_TRUE(SavePlaybackState(list, -1, 12.0));
  text = ReadFileText(portable_ini());
  EXPECT_TRUE(HasLine(text, "CurrentTrack=-1"));
  EXPECT_TRUE(HasLine(text, "LastFile="));
  EXPECT_EQ(RestorePlaybackState().current, 0);
}

TEST_F(SettingsFile, RestoreReadsWhatAHandEditedStateHolds) {
  struct Case {
    const char* what;
    const char* state;
    std::vector<std::string> entries;
    int current;
    double position;
  } cases[] = {
      {"empty Track1 skipped, CurrentTrack=5 selects 0",
       "[State]\nTrackCount=3\nCurrentTrack=5\nLastPosition=9\n[Playlist]\nTrack0=/"
       "a\nTrack1=\nTrack2=/c\n",
       {"/a", "/c"},
       0,
       9},
      {"negative CurrentTrack selects 0",
       "[State]\nTrackCount=2\nCurrentTrack=-1\n[Playlist]\nTrack0=/a\nTrack1=/b\n",
       {"/a", "/b"},
       0,
       0},
      {"tracks at or beyond TrackCount ignored, order by index",
       "[State]\nTrackCount=2\nCurrentTrack=1\n[Playlist]\nTrack2=/z\nTrack1=/b\nTRACK0=/"
       "a\nTrack01=/bad\n",
       {"/a", "/b"},
       1,
       0},
      {"a huge TrackCount costs nothing",
       "[State]\nTrackCount=2000000000\n[Playlist]\nTrack0=/a\n",
       {"/a"},
       0,
       0},
      {"no playlist: the last file alone",
       "[State]\nTrackCount=0\nLastFile=http://radio.example/live\nLastPosition=33.5\n",
       {"http://radio.example/live"},
       0,
       33.5},
      {"playlist entries all empty: the last file",
       "[State]\nTrackCount=1\nLastFile=/l\n[Playlist]\nTrack0=\n",
       {"/l"},
       0,
       0},
      {"nothing stored", "[State]\nTrackCount=0\nLastFile=\n", {}, -1, 0},
      {"no state at all", "", {}, -1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LoadFrom(std::string("[Playback]\nRememberState=1\n") + c.state);
    RestoredPlayback r = RestorePlaybackState();
    EXPECT_EQ(r.entries, c.entries);
    EXPECT_EQ(r.current, c.current);
    EXPECT_DOUBLE_EQ(r.position_seconds, c.position);
  }
}

// ---- Recent files ----

TEST_F(SettingsFile, RecentFilesMenuEntries) {
  auto empty = BuildRecentFilesMenu({});
  ASSERT_EQ(empty.size(), 1u);
  EXPECT_EQ(empty[0].label, "(Empty)");
  EXPECT_FALSE(empty[0].enabled);

  std::vector<std::string> files;
  for (char c = 'a'; c <= 'l'; ++c) files.push_back(std::string("/music/") + c + ".mp3");
  files[1] = "C:\\Music\\b.mp3";
  files[2] = "Rock & Roll.ogg";
  auto items = BuildRecentFilesMenu(files);
  ASSERT_EQ(items.size(), 10u);
  const char* labels[] = {"&1 a.mp3", "&2 b.mp3", "&3 Rock && Roll.ogg",
                          "&4 d.mp3", "&5 e.mp3", "&6 f.mp3",
                          "&7 g.mp3", "&8 h.mp3", "&9 i.mp3",
                          "&0 j.mp3"};
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(items[static_cast<size_t>(i)].command_id, 6000 + i);
    EXPECT_EQ(items[static_cast<size_t>(i)].label, labels[i]);
    EXPECT_TRUE(items[static_cast<size_t>(i)].enabled);
  }
}

// ---- Saves killed half-way ----

// Fills the fields a save writes with values that tell which save (generation) they came from,
// in the first, a middle and the last section, and changes the file's length from save to save.
void FillGeneration(AppSettings& s, int gen) {
  s.RewindOnPauseMs = gen;
  s.RecordingBitrate = gen;
  s.DeviceName = "Device " + std::to_string(gen) + std::string(static_cast<size_t>(gen % 97), '~');
  s.RecentFiles.clear();
  for (int i = 0; i < 10; ++i)
    s.RecentFiles.push_back("/music/" + std::to_string(gen) + "/" + std::to_string(i));
}

std::set<std::pair<std::string, std::string>> KeysOf(const profile::Profile& p) {
  std::set<std::pair<std::string, std::string>> keys;
  for (const std::string& section : p.Sections())
    for (const auto& [key, value] : p.Entries(section)) keys.emplace(section, key);
  return keys;
}

TEST_F(SettingsFile, KilledSaveNeverLeavesAPartialFile) {
  FillGeneration(Settings(), 0);
  ASSERT_TRUE(SaveSettings());
  const auto all_keys = KeysOf(profile::Profile(portable_ini()));
  ASSERT_GT(all_keys.size(), 120u);

  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> delay_us(0, 8000);  // a save takes a few milliseconds
  const int kRounds = 60;
  std::set<int> generations_seen;
  for (int round = 0; round < kRounds; ++round) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::close(ready[0]);
      for (int gen = (round + 1) * 1000000;; ++gen) {
        FillGeneration(Settings(), gen);
        SaveSettings();
        if (ready[1] >= 0) {  // the first save is done: from now on any moment is a fair kill
          (void)!::write(ready[1], "r", 1);
          ::close(ready[1]);
          ready[1] = -1;
        }
      }
    }
    ::close(ready[1]);
    struct pollfd pfd = {ready[0], POLLIN, 0};
    const bool started = ::poll(&pfd, 1, 20000) == 1;
    ::close(ready[0]);
    if (started) std::this_thread::sleep_for(std::chrono::microseconds(delay_us(rng)));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(started) << "round " << round << ": the saving child never finished a save";

    const std::string text = ReadFileText(portable_ini());
    ASSERT_FALSE(text.empty()) << "round " << round;
    ASSERT_EQ(text.back(), '\n') << "round " << round;
    profile::Profile p(portable_ini());
    ASSERT_EQ(KeysOf(p), all_keys) << "round " << round;
    const int gen = p.GetInt("Playback", "RewindOnPauseMs", -1);
    EXPECT_EQ(p.GetInt("Recording", "Bitrate", -2), gen) << "round " << round;
    EXPECT_EQ(p.GetString("RecentFiles", "File9", ""), "/music/" + std::to_string(gen) + "/9")
        << "round " << round;
    FillGeneration(Settings(), gen);
    EXPECT_EQ(p.GetString("Playback", "DeviceName", ""), Settings().DeviceName)
        << "round " << round;
    generations_seen.insert(gen);
  }
  int leftovers = 0;
  for (const auto& e : fs::directory_iterator(exe_dir()))
    leftovers += e.path().filename().string().rfind(".Sonderlane.ini.", 0) == 0;
  // Every round saw a save of its own child; kills inside a save each leave a temporary file.
  EXPECT_EQ(generations_seen.size(), static_cast<size_t>(kRounds));
  std::printf("[ info ] %d rounds, %zu different complete saves seen, %d kills inside a save\n",
              kRounds, generations_seen.size(), leftovers);
}

}  // namespace
