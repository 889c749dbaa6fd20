// Now-playing information: ID3 and header parsing, stream-title splitting, and the number-key
// texts on real files and a loopback radio station.
#include "now_playing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "audio.h"
#include "engine.h"
#include "icy_server.h"
#include "library_db.h"
#include "media.h"
#include "player.h"
#include "playlist.h"
#include "recording_shell.h"
#include "settings.h"

using testsupport::RecordingShell;
using testsupport::TempDir;

namespace {

std::string Synchsafe(std::size_t n) {
  return {char((n >> 21) & 0x7F), char((n >> 14) & 0x7F), char((n >> 7) & 0x7F), char(n & 0x7F)};
}
std::string BigEndian(std::size_t n) {
  return {char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
}
// One frame of an ID3v2.3 (big-endian size) or v2.4 (synchsafe size) tag.
std::string Frame(const std::string& id, const std::string& data, int version = 3) {
  return id + (version == 4 ? Synchsafe(data.size()) : BigEndian(data.size())) +
         std::string(2, '\0') + data;
}
// A whole tag around `frames`; `ext` is an extended header placed after the tag header.
std::string Tag(const std::string& frames, int version = 3, const std::string& ext = "") {
  std::string body = ext + frames;
  return std::string("ID3") + char(version) + '\0' + char(ext.empty() ? 0 : 0x40) +
         Synchsafe(body.size()) + body;
}
// A Latin-1 text frame's data: encoding byte 0 and the text.
std::string L1(const std::string& text) { return std::string(1, '\0') + text; }
std::string Find(const std::string& tag, const std::string& id) {
  return Id3v2Frame(tag.data(), tag.size(), id);
}
// A 128-byte ID3v1 record.
std::string Id3v1(const std::string& title, const std::string& artist, int track, int genre) {
  std::string r = "TAG" + std::string(125, '\0');
  r.replace(3, std::min<std::size_t>(title.size(), 30), title.substr(0, 30));
  r.replace(33, artist.size(), artist);
  r.replace(93, 4, "1999");
  r.replace(97, 5, "Notes");
  if (track > 0) r[126] = char(track);
  r[127] = char(genre);
  return r;
}

TEST(Id3v2, FramesInEveryEncoding) {
  const std::string le = std::string("\x01\xFF\xFE", 3) + std::string("S\0o\0n\0g\0\0\0", 10);
  const std::string be = std::string("\x01\xFE\xFF", 3) + std::string("\0S\0o\0n\0g", 8);
  const std::string comm = std::string("\x00" "eng" "\x00" "Hello\x00", 11);
  const std::string comm16 =
      std::string("\x01" "eng" "\xFF\xFE\x00\x00" "\xFF\xFE" "H\0i\0", 14);
  struct Case {
    const char* name;
    std::string tag, id, want;
  } cases[] = {
      {"utf16 FF FE", Tag(Frame("TIT2", le)), "TIT2", "Song"},
      {"utf16 FE FF", Tag(Frame("TIT2", be)), "TIT2", "Song"},
      {"latin1 to utf8", Tag(Frame("TPE1", std::string("\0Caf\xE9\0\0", 7))), "TPE1", "Caf\xC3\xA9"},
      {"utf16be no mark", Tag(Frame("TALB", std::string("\x02\0A\0B", 5))), "TALB", "AB"},
      {"utf8", Tag(Frame("TCON", "\x03\xC3\xA9t\xC3\xA9")), "TCON", "\xC3\xA9t\xC3\xA9"},
      {"comm eng empty description", Tag(Frame("COMM", comm)), "COMM", "Hello"},
      {"comm utf16", Tag(Frame("COMM", comm16)), "COMM", "Hi"},
      {"second frame", Tag(Frame("TPE1", L1("A")) + Frame("TIT2", L1("T"))), "TIT2", "T"},
      {"v2.3 extended header", Tag(Frame("TIT2", L1("X")), 3, BigEndian(6) + std::string(6, '\0')),
       "TIT2", "X"},
      {"v2.4 synchsafe sizes", Tag(Frame("TIT2", std::string(200, 'a').insert(0, 1, '\3'), 4), 4),
       "TIT2", std::string(200, 'a')},
      {"v2.4 extended header", Tag(Frame("TIT2", "\x03Y", 4), 4, Synchsafe(6) + std::string(2, '\0')),
       "TIT2", "Y"},
      {"v2.2 three-letter ids",
       std::string("ID3\x02\0\0", 6) + Synchsafe(10) + "TT2" + std::string("\0\0\4", 3) + L1("Old"),
       "TIT2", "Old"},
      {"v2.4 data-length indicator",
       Tag("TIT2" + Synchsafe(8) + std::string("\0\1\0\0\0\4\3abc", 10), 4), "TIT2", "abc"},
      {"v2.3 compressed frame", Tag("TIT2" + BigEndian(4) + std::string("\0\x80\0abc", 6)), "TIT2", ""},
      {"unknown encoding", Tag(Frame("TIT2", "\x07" "abc")), "TIT2", ""},
      {"frame past the end", Tag(Frame("TIT2", L1("abc"))).substr(0, 18), "TIT2", ""},
      {"zero size ends search", Tag(Frame("TPE1", "") + Frame("TIT2", L1("T"))), "TIT2", ""},
      {"not a tag", "XYZ" + std::string(20, '\0'), "TIT2", ""},
      {"absent", Tag(Frame("TPE1", L1("A"))), "TIT2", ""},
  };
  for (auto& c : cases) EXPECT_EQ(Find(c.tag, c.id), c.want) << c.name;
  // A size field claiming far more than the block holds must not read past it.
  std::string huge = Tag(Frame("TIT2", L1("abc")));
  huge[14] = '\x7F';
  EXPECT_EQ(Find(huge, "TIT2"), "");
}

TEST(Id3v2, DamagedTagsGiveEmptyValuesWithoutReadingPastTheBlock) {
  const std::string comm16 = std::string("\x01" "eng" "\xFF\xFE\x00\x00" "\xFF\xFE" "H\0i\0", 14);
  const std::string good =
      Tag(Frame("TPE1", L1("A")) + Frame("COMM", comm16) + Frame("TIT2", "\x01\xFF\xFEx"), 4,
          Synchsafe(6) + std::string(2, '\0'));
  std::uint32_t seed = 12345;
  for (std::size_t cut = 0; cut <= good.size(); ++cut) {
    // Each prefix is copied to its own buffer so a read past it is caught by the sanitizer.
    std::vector<char> prefix(good.begin(), good.begin() + cut);
    for (const char* id : {"TIT2", "COMM", "TPE1"}) Id3v2Frame(prefix.data(), prefix.size(), id);
    std::vector<char> flipped(good.begin(), good.end());
    for (int i = 0; i < 4; ++i) {
      seed = seed * 1103515245 + 12345;
      flipped[(seed >> 8) % flipped.size()] = char(seed >> 20);
    }
    for (const char* id : {"TIT2", "COMM", "TPE1"}) Id3v2Frame(flipped.data(), flipped.size(), id);
    FindHeader(prefix.data(), prefix.size(), "icy-name");
    ParseId3v1(flipped.data(), flipped.size());
  }
  EXPECT_EQ(Id3v2Frame(nullptr, 0, "TIT2"), "");
}

TEST(Id3v1, FieldsTrackAndGenre) {
  std::string r = Id3v1("Short", "Band", 7, 17);
  Id3v1Fields f = ParseId3v1(r.data(), r.size());
  ASSERT_TRUE(f.present);
  EXPECT_EQ(f.title, "Short");
  EXPECT_EQ(f.artist, "Band");
  EXPECT_EQ(f.year, "1999");
  EXPECT_EQ(f.comment, "Notes");
  EXPECT_EQ(f.track, 7);
  EXPECT_EQ(f.genre, "Rock");
  // A full 30-byte title has no NUL; byte 125 set means a 30-byte comment and no track.
  r = Id3v1(std::string(30, 'T'), "", 0, 200);
  r.replace(97, 30, std::string(30, 'c'));
  f = ParseId3v1(r.data(), r.size());
  EXPECT_EQ(f.title, std::string(30, 'T'));
  EXPECT_EQ(f.track, 0);
  EXPECT_EQ(f.comment.size(), 30u);
  EXPECT_EQ(f.genre, "");
  EXPECT_FALSE(ParseId3v1(r.data(), 100).present);
  EXPECT_EQ(Id3v1GenreName(0), "Blues");
  EXPECT_EQ(Id3v1GenreName(79), "Hard Rock");
  EXPECT_EQ(Id3v1GenreName(80), "");
}

TEST(Headers, NameColonValue) {
  const std::string block = std::string("ICY 200 OK\0icy-name: Loopback FM\r\0ICY-BR:128\0\0icy-genre:x\0", 59);
  EXPECT_EQ(FindHeader(block.data(), block.size(), "icy-name"), "Loopback FM");
  EXPECT_EQ(FindHeader(block.data(), block.size(), "icy-br"), "128");
  EXPECT_EQ(FindHeader(block.data(), block.size(), "icy-genre"), "");  // after the empty line
  EXPECT_EQ(FindHeader(block.data(), block.size(), "icy"), "");
  const std::string lines = "HTTP/1.0 200 OK\r\nicy-genre: Jazz\r\n\r\n";
  EXPECT_EQ(FindHeader(lines.data(), lines.size(), "Icy-Genre"), "Jazz");
}

TEST(StreamTitle, SplitAndDisplayForms) {
  struct Case {
    std::string meta, artist, title, display;
  } cases[] = {
      {"StreamTitle='Band - Song';StreamUrl='';", "Band", "Song", "Band - Song"},
      {"StreamTitle='Band - text=\"Song\" song_spot=\"M\"';", "Band", "Song", "Band - Song"},
      {"StreamTitle='title=\"T\" artist=\"A\"';", "A", "T", "A - T"},
      {"StreamTitle='Just a show';", "", "Just a show", "Just a show"},
      {"StreamTitle='A - B - C';", "A", "B - C", "A - B - C"},
      {"StreamTitle='No end'", "", "No end", "No end"},
      {"StreamTitle=\"Quoted - Form\";", "Quoted", "Form", "Quoted - Form"},
      {"StreamTitle='';", "", "", ""},
      {"StreamUrl='x';", "", "", ""},
  };
  for (auto& c : cases) {
    StreamTitleParts parts = SplitStreamTitle(StreamTitleValue(c.meta));
    if (!c.display.empty()) {
      EXPECT_EQ(parts.artist, c.artist) << c.meta;
      EXPECT_EQ(parts.title, c.title) << c.meta;
    }
    EXPECT_EQ(StreamTitleFromMeta(c.meta), c.display) << c.meta;
  }
}

TEST(Duration, Forms) {
  EXPECT_EQ(DurationText(3725.9), "Duration: 1 hours, 2 minutes, 5 seconds");
  EXPECT_EQ(DurationText(125), "Duration: 2 minutes, 5 seconds");
  EXPECT_EQ(DurationText(59.99), "Duration: 59 seconds");
}

class NowPlayingTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    ASSERT_TRUE(testsupport::MakeSine(dir_->file("plain.mp3"), 440, 1.0, 44100, 2,
                                      "-map_metadata -1 -write_id3v2 0 -write_xing 0"));
    ASSERT_TRUE(testsupport::MakeSine(dir_->file("plain.wav"), 440, 1.0, 22050, 1));
    auto bytes = testsupport::ReadFileBytes(dir_->file("plain.mp3"));
    mp3_.assign(bytes.begin(), bytes.end());
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
  bool Open(const std::string& path) {
    ThePlaylist().entries = {path};
    ThePlaylist().current = 0;
    return IsUrl(path) ? OpenUrl(path, true) : OpenMedia(path);
  }
  // Writes `bytes` to a new file of the suite's folder and returns its path.
  static std::string Write(const std::string& name, const std::string& bytes) {
    testsupport::WriteFileBytes(dir_->file(name), bytes);
    return dir_->file(name);
  }
  std::vector<std::string> Keys() {
    std::vector<std::string> texts;
    for (int key = 0; key <= 9; ++key) texts.push_back(TrackInfoText(key));
    return texts;
  }

  static TempDir* dir_;
  static std::string mp3_;
  RecordingShell shell_;
};
TempDir* NowPlayingTest::dir_ = nullptr;
std::string NowPlayingTest::mp3_;

TEST_F(NowPlayingTest, NothingLoaded) {
  for (int key = 0; key <= 9; ++key) EXPECT_EQ(TrackInfoText(key), "Nothing playing") << key;
  EXPECT_EQ(TagFieldValue(1), "Nothing playing");
  EXPECT_TRUE(HandleSpeakInfoCommand(261));
  EXPECT_TRUE(HandleSpeakInfoCommand(214));
  ASSERT_EQ(shell_.spoken.size(), 2u);
  EXPECT_EQ(shell_.spoken[0], "Nothing playing");
  EXPECT_FALSE(HandleSpeakInfoCommand(270));
}

TEST_F(NowPlayingTest, Id3v1OnlyMp3) {
  std::string record = Id3v1("Short", "", 7, 17);
  record.replace(9, 3, "ZZZ");  // after the title's NUL: must not be spoken
  std::string path = Write("v1.mp3", mp3_ + record);
  ASSERT_TRUE(Open(path)) << shell_.LastBox();
  auto texts = Keys();
  EXPECT_EQ(texts[1], "Short");
  EXPECT_EQ(texts[2], "No artist");
  EXPECT_EQ(texts[3], "No album");
  EXPECT_EQ(texts[4], "Year: 1999");
  EXPECT_EQ(texts[5], "Track: 7");
  EXPECT_EQ(texts[6], "Genre: Rock");
  EXPECT_EQ(texts[7], "Comment: Notes");
  EXPECT_NE(texts[8].find(" kbps, 44100 Hz, stereo"), std::string::npos) << texts[8];
  EXPECT_EQ(texts[9], "Duration: 1 seconds");
  EXPECT_EQ(texts[0], "Filename: v1.mp3");
  EXPECT_EQ(TagFieldCaption(5), "Track");
  EXPECT_EQ(TagFieldValue(5), "7");
  EXPECT_EQ(TagFieldValue(3), "No album");
  EXPECT_EQ(TagFieldValue(9), "0:01");
  EXPECT_EQ(TagFieldValue(0), "v1.mp3");
}

TEST_F(NowPlayingTest, Id3v2TagsWinOverId3v1AndAreAnnounced) {
  const std::string title16 = std::string("\x01\xFF\xFE", 3) + std::string("S\0o\0n\0g\0", 8);
  std::string tag = Tag(Frame("TIT2", title16) + Frame("TPE1", std::string("\0Bj\xF6rk", 6)) +
                        Frame("COMM", std::string("\0eng\0Hello", 10)));
  std::string path = Write("v2.mp3", tag + mp3_ + Id3v1("Old", "Older", 0, 0));
  Settings().SpeechTrackChange = true;
  ASSERT_TRUE(Open(path)) << shell_.LastBox();
  EXPECT_EQ(TrackInfoText(1), "Bj\xC3\xB6rk - Song");
  EXPECT_EQ(TrackInfoText(7), "Comment: Hello");
  EXPECT_EQ(TrackInfoText(6), "Genre: Blues");  // only ID3v1 has a genre
  AnnounceTrack();
  ASSERT_FALSE(shell_.spoken.empty());
  EXPECT_EQ(shell_.spoken.back(), "Bj\xC3\xB6rk - Song");
}

TEST_F(NowPlayingTest, UntaggedFileAnnouncesItsNameAndTheSampleForm) {
  std::string path = dir_->file("plain.wav");
  ASSERT_TRUE(Open(path)) << shell_.LastBox();
  EXPECT_EQ(TrackInfoText(1), "No title");
  EXPECT_EQ(TagFieldValue(1), "No title");
  EXPECT_EQ(TagFieldValue(5), "No track");
  float bitrate = 0;
  audio::ChannelGetAttribute(TagChannel(), audio::ATTRIB_BITRATE, &bitrate);
  if (bitrate <= 0) {
    // The output stream carries floating-point samples.
    EXPECT_EQ(TrackInfoText(8), "32-bit, 22050 Hz, mono");
    EXPECT_EQ(TagFieldValue(8), "Unknown bitrate");
  } else {
    EXPECT_NE(TrackInfoText(8).find(" kbps, 22050 Hz, mono"), std::string::npos);
  }
  AnnounceTrack();  // off by default
  EXPECT_TRUE(shell_.spoken.empty());
  Settings().SpeechTrackChange = true;
  AnnounceTrack();
  ASSERT_EQ(shell_.spoken.size(), 1u);
  EXPECT_EQ(shell_.spoken[0], "plain.wav");
}

TEST_F(NowPlayingTest, RadioStreamTitleStationAndSongHistory) {
  TempDir db_dir;
  ASSERT_TRUE(Library().Open(db_dir.file("library.db")));
  testsupport::IcyServer server;
  testsupport::IcyRoute route;
  route.icy_name = "Loopback FM";
  route.metaint = 4096;
  route.titles = {"Band - Song"};
  route.payload = mp3_;
  server.SetRoute("/live", route);
  Settings().SpeechTrackChange = true;
  ASSERT_TRUE(Open(server.Url("/live"))) << shell_.LastBox();
  // The first metadata block arrives with the first audio bytes.
  for (int i = 0; i < 250 && CurrentStreamTitle(TagChannel()).empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  // The main window runs the handler when the message arrives.
  int titles_before = shell_.title_updates;
  HandleStreamMetadata();
  EXPECT_EQ(shell_.title_updates, titles_before + 1);
  ASSERT_FALSE(shell_.spoken.empty());
  EXPECT_EQ(shell_.spoken.back(), "Band - Song");
  auto history = Library().ListSongHistory();
  ASSERT_EQ(history.size(), 1u);
  EXPECT_EQ(history[0].title, "Band - Song");

  EXPECT_EQ(TrackInfoText(1), "Band - Song");
  EXPECT_EQ(TrackInfoText(2), "Artist: Band");
  EXPECT_EQ(TrackInfoText(3), "Station: Loopback FM");
  EXPECT_EQ(TrackInfoText(9), "Live stream");
  EXPECT_EQ(TrackInfoText(0), "URL: " + server.Url("/live"));
  EXPECT_EQ(ReadTag(TagChannel(), "title"), "Song");
  EXPECT_EQ(TagFieldValue(3), "Loopback FM");
  EXPECT_EQ(TagFieldValue(0), server.Url("/live"));
  ReleaseStreams();
  Library().Close();
}

TEST_F(NowPlayingTest, CorpusTags) {
  std::string corpus = testsupport::CorpusDir();
  if (corpus.empty()) GTEST_SKIP() << "the shared corpus is absent";
  struct Case {
    const char* file;
    int key;
    const char* want;
  } cases[] = {
      {"id3v2.3-ucs-2.mp3", 1,
       "\xCE\xB1\xCE\xB2\xCE\xB3 Lead performer(s)/Soloist(s) - \xCE\xB1\xCE\xB2\xCE\xB3 "
       "Title/songname/content description"},
      {"id3v2.3-ucs-2.mp3", 3, "Album: \xCE\xB1\xCE\xB2\xCE\xB3 Album/Movie/Show title"},
      {"id3v22-test.mp3", 1, "Anais Mitchell - cosmic american"},
      {"id3v22-test.mp3", 5, "Track: 3/11"},
      {"id3v22-test.mp3", 7, "Comment: Waterbug Records, www.anaismitchell.com"},
      {"id3v1_Blood_Sugar.mp3", 6, "Genre: Electronic"},
      {"id3v1_Blood_Sugar.mp3", 7, "Comment: abcdefg"},
      {"id3v2-xheader.mp3", 1, "title"},
      {"silence-44-s-v1.mp3", 5, "Track: 2"},
      {"silence-44-s-v1.mp3", 6, "Genre: Darkwave"},
      {"id3v2.3-iso-8859-1.mp3", 1,
       "Lead performer(s)/Soloist(s) - Title/songname/content description"},
      {"multiple-vc.flac", 2, "Artist: Artist 1"},
      {"bug-utf16bom-encoding.mp3", 1, "The Apers - It's All Over You Know"},
  };
  for (auto& c : cases) {
    std::string path = corpus + "/tags/" + c.file;
    if (!std::filesystem::exists(path)) {
      std::printf("corpus file missing, case skipped: %s\n", path.c_str());
      continue;
    }
    ASSERT_TRUE(Open(path)) << c.file << ": " << shell_.LastBox();
    EXPECT_EQ(TrackInfoText(c.key), c.want) << c.file << " key " << c.key;
    ReleaseStreams();
  }
}

}  // namespace
