// Tests of MIDI streams: files built byte by byte here, rendered through FluidSynth with the
// system soundfont; tempo-map lengths, seeking, soundfont handles and malformed input.
#include "midi_source.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "audio.h"
#include "media.h"

namespace {

using audio::detail::MidiSource;
using audio::detail::OpenMidiFile;
using testsupport::TempDir;

constexpr int kRate = 44100;

// ---- Building MIDI files ---------------------------------------------------------------------

std::string Vlq(std::uint32_t v) {
  std::string out(1, char(v & 0x7F));
  while ((v >>= 7) != 0) out.insert(out.begin(), char(0x80 | (v & 0x7F)));
  return out;
}

std::string Be(std::uint32_t v, int bytes) {
  std::string out;
  for (int k = bytes - 1; k >= 0; --k) out += char((v >> (8 * k)) & 0xFF);
  return out;
}

// A track's body, event by event: each event is its delta time and its bytes.
struct Track {
  std::string body;
  Track& Add(std::uint32_t delta, const std::string& bytes) {
    body += Vlq(delta) + bytes;
    return *this;
  }
  Track& Tempo(std::uint32_t delta, std::uint32_t us) {
    return Add(delta, "\xFF\x51\x03" + Be(us, 3));
  }
  Track& Text(std::uint32_t delta, int type, const std::string& text) {
    return Add(delta, std::string("\xFF", 1) + char(type) + Vlq(std::uint32_t(text.size())) + text);
  }
  Track& On(std::uint32_t delta, int ch, int key, int vel = 100) {
    return Add(delta, {char(0x90 | ch), char(key), char(vel)});
  }
  Track& Off(std::uint32_t delta, int ch, int key) {
    return Add(delta, {char(0x80 | ch), char(key), 0});
  }
  Track& Program(std::uint32_t delta, int ch, int program) {
    return Add(delta, {char(0xC0 | ch), char(program)});
  }
  Track& End(std::uint32_t delta = 0) { return Add(delta, std::string("\xFF\x2F\x00", 3)); }
  std::string Chunk() const { return "MTrk" + Be(std::uint32_t(body.size()), 4) + body; }
};

std::string Smf(int format, std::uint16_t division, const std::vector<Track>& tracks) {
  std::string out =
      "MThd" + Be(6, 4) + Be(format, 2) + Be(std::uint32_t(tracks.size()), 2) + Be(division, 2);
  for (const Track& t : tracks) out += t.Chunk();
  return out;
}

// The song most tests use, 480 ticks per quarter:
//   0.0-1.0 s  piano C4 at 120 bpm (ticks 0-960); the tempo drops to 60 bpm at 1.0 s
//   1.0-2.0 s  silence (ticks 960-1440)
//   2.0-3.0 s  flute A4 (ticks 1440-1920), the last event
// Length: 3 s to the last event, plus the full 1 s release tail (a note ends right there).
constexpr double kSongSeconds = 4.0;
std::string TestSong() {
  Track conductor;
  conductor.Text(0, 0x03, "Test Song").Text(0, 0x02, "(c) Nobody").Tempo(0, 500000);
  conductor.Tempo(960, 1000000).End();
  Track notes;
  notes.Program(0, 0, 0).Program(0, 1, 73).On(0, 0, 60).Off(960, 0, 60);
  notes.On(480, 1, 69).Off(480, 1, 69).End();
  return Smf(1, 480, {conductor, notes});
}

std::string RmidWrap(const std::string& smf) {
  auto le = [](std::uint32_t v) {
    return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
  };
  std::string data = "data" + le(std::uint32_t(smf.size())) + smf;
  if (smf.size() & 1) data += '\0';
  return "RIFF" + le(std::uint32_t(4 + data.size())) + "RMID" + data;
}

// ---- Rendering helpers -----------------------------------------------------------------------

std::unique_ptr<MidiSource> Open(const TempDir& dir, const std::string& bytes, int* error,
                                 audio::DWORD flags = 0, audio::DWORD freq = 0) {
  std::string path = dir.file("song.mid");
  testsupport::WriteFileBytes(path, bytes);
  return OpenMidiFile(path, flags, freq, error);
}

// Reads everything up to the end in uneven blocks.
std::vector<float> ReadAll(MidiSource& s, int block = 1000) {
  std::vector<float> out;
  std::vector<float> buf(2 * std::size_t(block));
  for (int guard = 0; guard < 100000; ++guard) {
    int want = block - guard % 7;
    audio::detail::ReadResult r = s.Read(buf.data(), want, false);
    out.insert(out.end(), buf.begin(), buf.begin() + 2 * r.frames);
    if (r.ended) break;
  }
  return out;
}

std::vector<float> ReadFrames(MidiSource& s, int frames) {
  std::vector<float> out(2 * std::size_t(frames));
  int got = 0;
  while (got < frames) {
    audio::detail::ReadResult r = s.Read(out.data() + 2 * got, frames - got, false);
    if (r.frames == 0) break;
    got += r.frames;
  }
  out.resize(2 * std::size_t(got));
  return out;
}

double RmsOf(const std::vector<float>& v, double from_s, double to_s) {
  std::size_t a = std::min(v.size(), std::size_t(from_s * kRate) * 2);
  std::size_t b = std::min(v.size(), std::size_t(to_s * kRate) * 2);
  return b > a ? testsupport::Rms(v.data() + a, b - a) : 0.0;
}

double PeakOf(const std::vector<float>& v) {
  double peak = 0;
  for (float x : v) peak = std::max(peak, double(std::fabs(x)));
  return peak;
}

// Pitch of the left channel between two times. The flute's strong second harmonic would
// fool a zero-crossing count, so four one-pole low-passes at 500 Hz damp it first.
double Pitch(const std::vector<float>& v, double from_s, double to_s) {
  std::vector<float> mono;
  double state[4] = {};
  const double a = 1 - std::exp(-2 * M_PI * 500.0 / kRate);
  for (std::size_t i = std::size_t(from_s * kRate); i < std::size_t(to_s * kRate); ++i) {
    double x = v.at(2 * i);
    for (double& s : state) x = s += a * (x - s);
    mono.push_back(float(x));
  }
  return testsupport::MeasureFrequency(mono.data(), mono.size(), 1, kRate);
}

// First frame at or after `from` whose level goes above `threshold`.
std::size_t Onset(const std::vector<float>& v, std::size_t from, float threshold) {
  for (std::size_t i = 2 * from; i < v.size(); ++i) {
    if (std::fabs(v[i]) > threshold) return i / 2;
  }
  return v.size() / 2;
}

bool HaveSoundFont() { return !audio::DefaultSoundFontPath().empty(); }

#define REQUIRE_SOUNDFONT() \
  if (!HaveSoundFont()) GTEST_SKIP() << "no soundfont installed (apt install timgm6mb-soundfont)"

// While alive, new streams get a default font whose file was deleted after it was registered:
// they open without instruments, and quickly, with no preset tables to load. For tests that
// need no sound; also shows that a stream with no usable font still opens.
class NoInstruments {
 public:
  NoInstruments() {
    if (!HaveSoundFont()) return;  // new streams have no font anyway
    std::filesystem::copy_file(audio::DefaultSoundFontPath(), dir_.file("gone.sf2"));
    font_ = audio::MidiFontInit(dir_.file("gone.sf2"), 0);
    std::filesystem::remove(dir_.file("gone.sf2"));
    audio::MidiFont use{font_, -1, 0};
    int error = 0;
    EXPECT_TRUE(font_ && audio::detail::SetDefaultMidiFonts(&use, 1, &error));
  }
  ~NoInstruments() {
    int error = 0;
    audio::detail::SetDefaultMidiFonts(nullptr, 0, &error);
    if (font_) audio::MidiFontFree(font_);
  }

 private:
  TempDir dir_;
  audio::HSOUNDFONT font_ = 0;
};

// ---- Length from the tempo map ---------------------------------------------------------------

TEST(MidiSourceTest, LengthFollowsTheTempoMap) {
  NoInstruments quiet;
  struct Case {
    const char* name;
    std::string bytes;
    double seconds;
  };
  Track held;  // a note never released: sounds to the end, then the tail
  held.On(0, 0, 60).End(960);
  Track quiet_end;  // 2 s of silence after the last note: no tail
  quiet_end.On(0, 0, 60).Off(480, 0, 60).End(1920);
  Track running;  // running status: note-offs as note-ons of velocity 0
  running.Add(0, "\x90\x3C\x64").Add(480, std::string("\x3C\x00", 2)).Add(0, "\x40\x64");
  running.Add(240, std::string("\x40\x00", 2)).End();
  Track smpte;  // 25 fps x 40 ticks: 1000 ticks per second
  smpte.Tempo(0, 250000).On(0, 0, 60).Off(2500, 0, 60).End();
  Track sysex;  // a GM reset and an unknown meta event before the note
  sysex.Add(0, std::string("\xF0\x05\x7E\x7F\x09\x01\xF7", 7)).Add(0, "\xFF\x7F\x02\x01\x02");
  sysex.On(0, 0, 60).Off(96, 0, 60).End(96);
  Track empty;
  empty.End();
  // A longer header and a chunk of unknown type before the track are skipped.
  std::string alien = "MThd" + Be(8, 4) + Be(0, 2) + Be(1, 2) + Be(480, 2) + "xx" + "XFIH" +
                      Be(3, 4) + "abc" + held.Chunk();
  const Case cases[] = {
      {"tempo change", TestSong(), kSongSeconds},
      {"rmid wrapper", RmidWrap(TestSong()), kSongSeconds},
      {"format 0, no tempo: 120 bpm", Smf(0, 480, {held}), 1.0 + 1.0},
      {"silence after the last note", Smf(0, 480, {quiet_end}), 2.5},
      {"running status", Smf(0, 480, {running}), 0.75 + 1.0},
      {"smpte time ignores tempo", Smf(0, std::uint16_t(0xE728), {smpte}), 2.5 + 1.0},
      {"sysex and unknown meta", Smf(0, 96, {sysex}), 1.0 + 0.5},
      {"no events", Smf(0, 480, {empty}), 0.0},
      {"unknown chunks", alien, 2.0},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int error = -1;
    auto s = Open(dir, c.bytes, &error);
    ASSERT_TRUE(s) << "error " << error;
    EXPECT_EQ(s->LengthFrames(), std::llround(c.seconds * kRate));
    EXPECT_EQ(s->PositionFrames(), 0);
  }
}

TEST(MidiSourceTest, FormatTagsAndType) {
  NoInstruments quiet;
  TempDir dir;
  int error = -1;
  auto s = Open(dir, TestSong(), &error, 0, 22050);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->format().rate, 22050);
  EXPECT_EQ(s->format().channels, 2);
  EXPECT_EQ(s->LengthFrames(), std::llround(kSongSeconds * 22050));
  EXPECT_EQ(s->ChannelType(), audio::CTYPE_STREAM_MIDI);
  std::vector<char> tags = s->Tags(audio::TAG_OGG);
  const char expected[] = "TITLE=Test Song\0COPYRIGHT=(c) Nobody\0";
  EXPECT_EQ(std::string(tags.begin(), tags.end()), std::string(expected, sizeof expected));
  EXPECT_TRUE(s->Tags(audio::TAG_ID3).empty());
}

// ---- Rendering -------------------------------------------------------------------------------

TEST(MidiSourceTest, RendersTheSongInPlace) {
  REQUIRE_SOUNDFONT();
  TempDir dir;
  int error = -1;
  auto s = Open(dir, TestSong(), &error, audio::MIDI_SINCINTER);
  ASSERT_TRUE(s);
  std::vector<float> pcm = ReadAll(*s);
  ASSERT_EQ(std::int64_t(pcm.size() / 2), s->LengthFrames()) << "Read must end at the length";
  EXPECT_EQ(s->PositionFrames(), s->LengthFrames());

  double c4 = RmsOf(pcm, 0.1, 0.9), gap = RmsOf(pcm, 1.6, 1.95), a4 = RmsOf(pcm, 2.1, 2.9);
  std::printf("rms C4 %.4f, gap %.5f, A4 %.4f, peak %.3f\n", c4, gap, a4, PeakOf(pcm));
  EXPECT_GT(c4, 0.02);
  EXPECT_GT(a4, 0.02);
  EXPECT_LT(gap, c4 / 30);
  EXPECT_LT(PeakOf(pcm), 1.0);

  // The A4 starts 2 s in: right after the tempo change the player's clock still agrees.
  std::size_t onset = Onset(pcm, std::size_t(1.5 * kRate), 0.01f);
  EXPECT_NEAR(double(onset) / kRate, 2.0, 0.02);
  EXPECT_NEAR(Pitch(pcm, 2.2, 2.8), 440.0, 5.0);
}

TEST(MidiSourceTest, PianoPeaksNearMinusSixDb) {
  REQUIRE_SOUNDFONT();
  Track t;
  t.On(0, 0, 60).Off(960, 0, 60).End();
  TempDir dir;
  int error = -1;
  auto s = Open(dir, Smf(0, 480, {t}), &error);
  ASSERT_TRUE(s);
  double db = 20 * std::log10(PeakOf(ReadAll(*s)));
  std::printf("piano C4 velocity 100 peaks at %.1f dBFS\n", db);
  EXPECT_NEAR(db, -6.0, 3.0);
}

TEST(MidiSourceTest, SeekLandsInTheTempoMap) {
  REQUIRE_SOUNDFONT();
  TempDir dir;
  int error = -1;
  auto s = Open(dir, TestSong(), &error);
  ASSERT_TRUE(s);
  ASSERT_GT(RmsOf(ReadFrames(*s, kRate / 2), 0.1, 0.5), 0.02);  // C4 sounding

  // Into the gap: C4 must stop at once, and the A4 arrive 0.5 s later.
  ASSERT_TRUE(s->Seek(std::llround(1.5 * kRate), &error));
  EXPECT_EQ(s->PositionFrames(), std::llround(1.5 * kRate));
  std::vector<float> after = ReadFrames(*s, kRate);
  EXPECT_LT(RmsOf(after, 0.05, 0.45), 0.002) << "a note hangs over the seek";
  EXPECT_NEAR(double(Onset(after, 0, 0.01f)) / kRate, 0.5, 0.02);

  // Back to the start and right to the end.
  ASSERT_TRUE(s->Seek(0, &error));
  EXPECT_GT(RmsOf(ReadFrames(*s, kRate / 2), 0.1, 0.5), 0.02);
  ASSERT_TRUE(s->Seek(s->LengthFrames(), &error));
  float buf[64];
  audio::detail::ReadResult r = s->Read(buf, 32, false);
  EXPECT_EQ(r.frames, 0);
  EXPECT_TRUE(r.ended);

  error = 0;
  EXPECT_FALSE(s->Seek(s->LengthFrames() + 1, &error));
  EXPECT_EQ(error, audio::ERROR_POSITION);
  EXPECT_FALSE(s->Seek(-1, &error));
}

// ---- Soundfonts ------------------------------------------------------------------------------

TEST(MidiSourceTest, FontHandles) {
  TempDir dir;
  EXPECT_EQ(audio::MidiFontInit(dir.file("missing.sf2"), 0), 0u);
  EXPECT_EQ(audio::ErrorGetCode(), audio::ERROR_FILEOPEN);
  testsupport::WriteFileBytes(dir.file("junk.sf2"), "RIFF\x10\0\0\0sfbkjunkjunkjunk");
  EXPECT_EQ(audio::MidiFontInit(dir.file("junk.sf2"), 0), 0u);
  EXPECT_EQ(audio::ErrorGetCode(), audio::ERROR_FILEOPEN);
  EXPECT_FALSE(audio::MidiFontFree(12345));
  EXPECT_EQ(audio::ErrorGetCode(), audio::ERROR_HANDLE);

  if (!HaveSoundFont()) GTEST_SKIP() << "no soundfont installed (apt install timgm6mb-soundfont)";
  audio::HSOUNDFONT a = audio::MidiFontInit(audio::DefaultSoundFontPath(), audio::UNICODE_FLAG);
  ASSERT_NE(a, 0u);
  EXPECT_EQ(audio::ErrorGetCode(), audio::ERROR_OK);
  audio::HSOUNDFONT b = audio::MidiFontInit(audio::DefaultSoundFontPath(), 0);
  ASSERT_NE(b, 0u);
  EXPECT_NE(a, b);
  EXPECT_TRUE(audio::MidiFontFree(a));
  EXPECT_EQ(audio::ErrorGetCode(), audio::ERROR_OK);
  EXPECT_FALSE(audio::MidiFontFree(a)) << "a freed handle stays dead";
  EXPECT_EQ(audio::ErrorGetCode(), audio::ERROR_HANDLE);
  audio::HSOUNDFONT c = audio::MidiFontInit(audio::DefaultSoundFontPath(), 0);
  EXPECT_GT(c, b) << "handles are never reused";
  EXPECT_TRUE(audio::MidiFontFree(b));
  EXPECT_TRUE(audio::MidiFontFree(c));
}

TEST(MidiSourceTest, StreamFontsAndDefaults) {
  REQUIRE_SOUNDFONT();
  TempDir dir;
  int error = -1;
  auto loudness = [&](MidiSource& s) { return RmsOf(ReadFrames(s, kRate), 0.1, 0.9); };
  audio::HSOUNDFONT font = audio::MidiFontInit(audio::DefaultSoundFontPath(), 0);
  ASSERT_NE(font, 0u);

  // No fonts at all: the stream still plays, silently; a font brings the piano back.
  auto s = Open(dir, TestSong(), &error);
  ASSERT_TRUE(s);
  ASSERT_TRUE(s->SetFonts(nullptr, 0, &error));
  EXPECT_LT(loudness(*s), 1e-6);
  audio::MidiFont bad{font + 1000, -1, 0};
  EXPECT_FALSE(s->SetFonts(&bad, 1, &error));
  EXPECT_EQ(error, audio::ERROR_HANDLE);
  audio::MidiFont whole{font, -1, 0};
  ASSERT_TRUE(s->SetFonts(&whole, 1, &error));
  ASSERT_TRUE(s->Seek(0, &error));
  EXPECT_GT(loudness(*s), 0.02);

  // One preset mapped: only program 73 (the flute) exists, so the piano part is silent while
  // the flute part plays.
  audio::MidiFont flute_only{font, 73, 0};
  ASSERT_TRUE(s->SetFonts(&flute_only, 1, &error));
  ASSERT_TRUE(s->Seek(0, &error));
  std::vector<float> pcm = ReadAll(*s);
  EXPECT_LT(RmsOf(pcm, 0.1, 0.9), 0.001);
  EXPECT_GT(RmsOf(pcm, 2.1, 2.9), 0.02);

  // Defaults reach streams opened later: a font moved to bank 1 leaves bank 0 empty.
  audio::MidiFont bank1{font, -1, 1};
  ASSERT_TRUE(audio::detail::SetDefaultMidiFonts(&bank1, 1, &error));
  auto moved = Open(dir, TestSong(), &error);
  ASSERT_TRUE(moved);
  EXPECT_LT(loudness(*moved), 0.001);
  EXPECT_FALSE(audio::detail::SetDefaultMidiFonts(&bad, 1, &error));
  EXPECT_EQ(error, audio::ERROR_HANDLE);

  // Freeing the font takes it out of the defaults: new streams fall back to the system font,
  // and the stream that loaded it keeps playing.
  ASSERT_TRUE(audio::MidiFontFree(font));
  auto fallback = Open(dir, TestSong(), &error);
  ASSERT_TRUE(fallback);
  EXPECT_GT(loudness(*fallback), 0.02);
  ASSERT_TRUE(s->Seek(0, &error));
  EXPECT_GT(RmsOf(ReadAll(*s), 2.1, 2.9), 0.02);
  ASSERT_TRUE(audio::detail::SetDefaultMidiFonts(nullptr, 0, &error));
}

// The player sets the default font on each new stream, which already has it: nothing may be
// cut. Other fonts are swapped in while the stream plays, from another thread.
TEST(MidiSourceTest, SetFontsWhilePlaying) {
  REQUIRE_SOUNDFONT();
  TempDir dir;
  int error = -1;
  audio::HSOUNDFONT font = audio::MidiFontInit(audio::DefaultSoundFontPath(), 0);
  ASSERT_NE(font, 0u);
  audio::MidiFont same{font, -1, 0};
  ASSERT_TRUE(audio::detail::SetDefaultMidiFonts(&same, 1, &error));
  auto s = Open(dir, TestSong(), &error);
  ASSERT_TRUE(s);
  ReadFrames(*s, kRate * 3 / 10);
  ASSERT_TRUE(s->SetFonts(&same, 1, &error));
  EXPECT_GT(RmsOf(ReadFrames(*s, kRate / 5), 0.0, 0.2), 0.02) << "the C4 was cut";

  // A real change: the C4 stops (as after a seek) and the A4 comes in on time.
  audio::MidiFont other{font, -1, 0}, flute{font, 73, 0};
  audio::HSOUNDFONT second = audio::MidiFontInit(audio::DefaultSoundFontPath(), 0);
  other.font = second;
  ASSERT_TRUE(s->SetFonts(&other, 1, &error));
  EXPECT_EQ(s->PositionFrames(), kRate / 2);
  std::vector<float> rest = ReadAll(*s);
  EXPECT_LT(RmsOf(rest, 0.05, 1.0), 0.002);
  EXPECT_NEAR(double(Onset(rest, 0, 0.01f)) / kRate, 1.5, 0.02);

  // Swaps racing with reads and seeks: nothing breaks, and the stream still plays afterwards.
  std::atomic<bool> done{false};
  std::thread reader([&] {
    std::vector<float> buf(2 * 512);
    int e = 0;
    while (!done) {
      if (s->Read(buf.data(), 512, false).ended) s->Seek(0, &e);
    }
  });
  for (int k = 0; k < 6; ++k) {
    ASSERT_TRUE(s->SetFonts(k % 2 ? &flute : &other, 1, &error));
    EXPECT_FALSE(s->Tags(audio::TAG_OGG).empty());
  }
  done = true;
  reader.join();
  ASSERT_TRUE(s->Seek(std::llround(2.0 * kRate), &error));
  EXPECT_GT(RmsOf(ReadFrames(*s, kRate / 2), 0.1, 0.5), 0.02);

  ASSERT_TRUE(audio::detail::SetDefaultMidiFonts(nullptr, 0, &error));
  EXPECT_TRUE(audio::MidiFontFree(font));
  EXPECT_TRUE(audio::MidiFontFree(second));
}

// ---- Malformed input -------------------------------------------------------------------------

TEST(MidiSourceTest, OpenErrors) {
  TempDir dir;
  struct Case {
    const char* name;
    std::string bytes;
    int error;
  };
  const Case cases[] = {
      {"garbage", "this is not a MIDI file at all, just text", audio::ERROR_FILEFORM},
      {"empty", "", audio::ERROR_FILEFORM},
      {"header only", "MThd", audio::ERROR_FILEFORM},
      {"no tracks", "MThd" + Be(6, 4) + Be(0, 2) + Be(0, 2) + Be(480, 2), audio::ERROR_FILEFORM},
      {"division 0", Smf(0, 0, {Track().End()}), audio::ERROR_FILEFORM},
      {"rmid without data", "RIFF" + std::string("\x04\0\0\0", 4) + "RMID", audio::ERROR_FILEFORM},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int error = -1;
    EXPECT_FALSE(Open(dir, c.bytes, &error));
    EXPECT_EQ(error, c.error);
  }
  int error = -1;
  EXPECT_FALSE(OpenMidiFile(dir.file("missing.mid"), 0, 0, &error));
  EXPECT_EQ(error, audio::ERROR_FILEOPEN);
  EXPECT_FALSE(OpenMidiFile(dir.path().string(), 0, 0, &error));
  EXPECT_EQ(error, audio::ERROR_FILEOPEN);
}

// Every prefix of the song, and the song with random bytes changed, either fails cleanly or
// plays to a sane end.
TEST(MidiSourceTest, DamagedFilesNeverCrash) {
  NoInstruments quiet;
  TempDir dir;
  int error = -1;
  const std::string song = TestSong();
  auto whole = Open(dir, song, &error);
  ASSERT_TRUE(whole) << "a stream without a usable font still opens";
  EXPECT_LT(RmsOf(ReadAll(*whole), 0.0, kSongSeconds), 1e-6);

  std::vector<std::string> inputs;
  for (std::size_t n = 0; n < song.size(); n += 3) inputs.push_back(song.substr(0, n));
  std::mt19937 rng(7);
  for (int k = 0; k < 60; ++k) {
    std::string bad = song;
    for (int j = 0; j < 4; ++j) bad[14 + rng() % (bad.size() - 14)] = char(rng());
    inputs.push_back(bad);
  }
  // The longest a file can claim: 2^28 ticks of the slowest tempo at one tick per quarter.
  const double longest_frames = double(1 << 28) * 0xFFFFFF / 1e6 * kRate;
  int opened = 0;
  for (const std::string& bytes : inputs) {
    auto s = Open(dir, bytes, &error);
    if (!s) {
      EXPECT_EQ(error, audio::ERROR_FILEFORM);
      continue;
    }
    ++opened;
    EXPECT_GE(s->LengthFrames(), 0);
    EXPECT_LE(double(s->LengthFrames()), longest_frames);
    std::vector<float> pcm = ReadFrames(*s, kRate / 10);
    for (float x : pcm) ASSERT_TRUE(std::isfinite(x));
    EXPECT_TRUE(s->Seek(s->LengthFrames() / 2, &error));
    ReadFrames(*s, 1000);
  }
  EXPECT_GT(opened, 20);
}

}  // namespace
