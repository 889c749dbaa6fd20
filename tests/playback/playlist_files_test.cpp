// Playlist files and folder scans on real files in a temporary folder: the M3U and PLS reading
// rules (byte-order mark, directives, relative and absolute lines, URLs, folders, Windows-1252),
// M3U writing read back, pasted text, folder loading, and the real-world corpus playlists.
#include "playlist_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "media.h"

using testsupport::TempDir;
using testsupport::WriteFileBytes;

namespace fs = std::filesystem;

namespace {

std::vector<std::string> Sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

void Touch(const std::string& path) { WriteFileBytes(path, ""); }

TEST(PlaylistFilesTest, SupportedAndPlaylistExtensions) {
  struct Case {
    const char* path;
    bool supported;
    bool playlist;
  } cases[] = {
      {"a.mp3", true, false},     {"/x/A.FLAC", true, false},     {"b.MiDi", true, false},
      {"c.dsf", true, false},     {"d.m4b", true, false},         {"e.mp4", false, false},
      {"noext", false, false},    {"dir.mp3/file", false, false}, {".opus", true, false},
      {"t.tar.ogg", true, false}, {"list.M3U", false, true},      {"list.m3u8", false, true},
      {"radio.PLS", false, true}, {"list.m3u.bak", false, false}, {"song.mp3.", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsSupportedExtension(c.path), c.supported) << c.path;
    EXPECT_EQ(IsPlaylistFile(c.path), c.playlist) << c.path;
  }
}

TEST(PlaylistFilesTest, M3uWithBomDirectivesRelativeAbsoluteUrlAndFolder) {
  TempDir dir;
  std::string base = dir.path().string() + "/";
  fs::create_directories(base + "album/inner");
  Touch(base + "album/one.mp3");
  Touch(base + "album/cover.jpg");
  Touch(base + "album/inner/two.flac");
  std::string text =
      "\xEF\xBB\xBF#EXTM3U\r\n"
      "#EXTINF:123,Artist - Title\r\n"
      "  music/song.mp3 \t\r\n"  // relative, padded
      "/abs/path/x.ogg\r\n"
      "\r\n"
      "# a comment\r\n"
      "HTTPS://radio.example/stream\r\n"
      "album\r\n"
      "C:\\Music\\y.mp3\r\n"
      "..\\rel\\z.mp3\r\n"
      "missing.wav";  // no line end at the end of the file
  WriteFileBytes(base + "list.m3u", text);
  std::vector<std::string> got = ReadPlaylistFile(base + "list.m3u");
  ASSERT_EQ(got.size(), 8u);
  EXPECT_EQ(got[0], base + "music/song.mp3");
  EXPECT_EQ(got[1], "/abs/path/x.ogg");
  EXPECT_EQ(got[2], "HTTPS://radio.example/stream");
  EXPECT_EQ(Sorted({got[3], got[4]}),
            Sorted({base + "album/one.mp3", base + "album/inner/two.flac"}));
  EXPECT_EQ(got[5], "C:\\Music\\y.mp3");
  EXPECT_EQ(got[6], "..\\rel\\z.mp3");
  EXPECT_EQ(got[7], base + "missing.wav");
}

TEST(PlaylistFilesTest, LineEncodings) {
  TempDir dir;
  std::string base = dir.path().string() + "/";
  // Windows-1252: é is E9, the euro sign 80; a UTF-8 line stays as it is.
  WriteFileBytes(base + "ansi.m3u", "Caf\xE9.mp3\n\x80uro.mp3\n");
  WriteFileBytes(base + "utf8.m3u8", "#EXTM3U\nCaf\xC3\xA9 \xE2\x82\xAC.mp3\n");
  // An overlong encoding of '/' is not UTF-8: it is read byte by byte as Windows-1252.
  WriteFileBytes(base + "overlong.m3u", "a\xC0\xAF.mp3\n");
  EXPECT_EQ(ReadPlaylistFile(base + "ansi.m3u"),
            (std::vector<std::string>{base + "Caf\xC3\xA9.mp3", base + "\xE2\x82\xACuro.mp3"}));
  EXPECT_EQ(ReadPlaylistFile(base + "utf8.m3u8"),
            (std::vector<std::string>{base + "Caf\xC3\xA9 \xE2\x82\xAC.mp3"}));
  EXPECT_EQ(ReadPlaylistFile(base + "overlong.m3u"),
            (std::vector<std::string>{base + "a\xC3\x80\xC2\xAF.mp3"}));
}

TEST(PlaylistFilesTest, HugeLineIsReadInPiecesAndTheNextLineSurvives) {
  TempDir dir;
  std::string base = dir.path().string() + "/";
  std::string huge(10000, 'a');
  WriteFileBytes(base + "huge.m3u", "/first.mp3\n" + huge + "\n/after.mp3\n");
  std::vector<std::string> got = ReadPlaylistFile(base + "huge.m3u");
  ASSERT_EQ(got.size(), 5u);
  EXPECT_EQ(got[0], "/first.mp3");
  EXPECT_EQ(got[1], base + std::string(4095, 'a'));
  EXPECT_EQ(got[2], base + std::string(4095, 'a'));
  EXPECT_EQ(got[3], base + std::string(10000 - 2 * 4095, 'a'));
  EXPECT_EQ(got[4], "/after.mp3");
}

TEST(PlaylistFilesTest, EmptyMissingAndSelfNamingPlaylists) {
  TempDir dir;
  std::string base = dir.path().string() + "/";
  WriteFileBytes(base + "empty.m3u", "");
  EXPECT_TRUE(ReadPlaylistFile(base + "empty.m3u").empty());
  EXPECT_TRUE(ReadPlaylistFile(base + "absent.m3u").empty());
  EXPECT_TRUE(ReadPlaylistFile(base + "absent.pls").empty());
  // A playlist naming itself and its own folder: entries, not a loop.
  Touch(base + "song.mp3");
  WriteFileBytes(base + "self.m3u", "self.m3u\n" + base + "self.m3u\n.\n");
  std::vector<std::string> got = ReadPlaylistFile(base + "self.m3u");
  EXPECT_EQ(got,
            (std::vector<std::string>{base + "self.m3u", base + "self.m3u", base + "./song.mp3"}));
}

TEST(PlaylistFilesTest, GarbageAndNonRegularFilesGiveNoCrashOrHang) {
  TempDir dir;
  std::string base = dir.path().string() + "/";
  // Deterministic noise with NULs, lone CRs, high bytes and the odd '[' or '='.
  std::string noise;
  unsigned state = 12345;
  for (int i = 0; i < 200000; ++i) {
    state = state * 1103515245u + 12345u;
    noise += static_cast<char>(state >> 16);
  }
  for (const char* name : {"noise.m3u", "noise.pls"}) {
    WriteFileBytes(base + name, (name[6] == 'p' ? "[playlist]\nFile1=" : "") + noise);
    for (const std::string& entry : ReadPlaylistFile(base + name)) EXPECT_FALSE(entry.empty());
  }
  // A FIFO under a playlist's name would block a plain open; a folder reads as nothing.
  ASSERT_EQ(mkfifo((base + "fifo.m3u").c_str(), 0600), 0);
  EXPECT_TRUE(ReadPlaylistFile(base + "fifo.m3u").empty());
  fs::create_directory(base + "folder.pls");
  EXPECT_TRUE(ReadPlaylistFile(base + "folder.pls").empty());
}

TEST(PlaylistFilesTest, PlsReadsFileKeysInOrderUntilTheFirstGap) {
  TempDir dir;
  std::string base = dir.path().string() + "/";
  WriteFileBytes(base + "gap.pls",
                 "[other]\r\nFile1=/wrong.mp3\r\n"
                 "[PlayList]\r\n"
                 "NumberOfEntries=4\r\n"
                 "file2 = http://host/two\r\n"
                 "Title1=One\r\n"
                 "File1=\"one.mp3\"\r\n"
                 "File4=/four.mp3\r\n"
                 "Version=2\r\n");
  EXPECT_EQ(ReadPlaylistFile(base + "gap.pls"),
            (std::vector<std::string>{base + "one.mp3", "http://host/two"}));
  WriteFileBytes(base + "gap13.pls", "[playlist]\nFile1=/a.mp3\nFile3=/c.mp3\n");
  EXPECT_EQ(ReadPlaylistFile(base + "gap13.pls"), (std::vector<std::string>{"/a.mp3"}));
  WriteFileBytes(base + "emptykey.pls", "[playlist]\nFile1=\nFile2=/b.mp3\n");
  EXPECT_TRUE(ReadPlaylistFile(base + "emptykey.pls").empty());
}

TEST(PlaylistFilesTest, WrittenM3uHasItsFormAndReadsBack) {
  TempDir dir;
  std::string base = dir.path().string() + "/";
  std::vector<std::string> entries = {"/music/a.mp3", "http://radio/x", "/music/Caf\xC3\xA9.flac",
                                      "C:\\win\\b.mp3"};
  ASSERT_TRUE(WriteM3u(base + "out.m3u", entries));
  EXPECT_EQ(testsupport::ReadFileText(base + "out.m3u"),
            "\xEF\xBB\xBF#EXTM3U\r\n/music/a.mp3\r\nhttp://radio/x\r\n/music/Caf\xC3\xA9.flac\r\n"
            "C:\\win\\b.mp3\r\n");
  EXPECT_EQ(ReadPlaylistFile(base + "out.m3u"), entries);
  EXPECT_FALSE(WriteM3u(base + "no/such/folder/out.m3u", entries));
}

TEST(PlaylistFilesTest, ScanFolderStopsBelowDepth32AndSkipsSymlinks) {
  TempDir dir;
  std::string root = dir.path().string();
  std::string path = root;
  for (int depth = 1; depth <= 34; ++depth) {
    path += "/d";
    fs::create_directory(path);
    Touch(path + "/f" + std::to_string(depth) + ".mp3");
  }
  Touch(root + "/top.wav");
  Touch(root + "/notes.txt");
  // A link back to the root would loop forever if followed; a link to a file is skipped too.
  fs::create_directory_symlink(root, root + "/d/loop");
  fs::create_symlink(root + "/top.wav", root + "/link.wav");
  std::vector<std::string> got;
  ScanFolder(root, got, 0);
  // Folders down to depth 32 are listed: the top and 32 nested files.
  EXPECT_EQ(got.size(), 33u);
  EXPECT_NE(std::find(got.begin(), got.end(), root + "/top.wav"), got.end());
  std::string deepest = root;
  for (int i = 0; i < 32; ++i) deepest += "/d";
  EXPECT_NE(std::find(got.begin(), got.end(), deepest + "/f32.mp3"), got.end());
  // Starting above depth 32 lists nothing; neither does a missing folder.
  std::vector<std::string> none;
  ScanFolder(root, none, 33);
  EXPECT_TRUE(none.empty());
  ScanFolder(root + "/missing", none, 0);
  EXPECT_TRUE(none.empty());
}

TEST(PlaylistFilesTest, LoadFolderOfPicksTheFileOrZero) {
  TempDir dir;
  std::string base = dir.path().string() + "/";
  for (const char* name : {"a.mp3", "B.ogg", "c.flac", "notes.txt", "cover.jpg"}) {
    Touch(base + name);
  }
  fs::create_directory(base + "sub.mp3");  // a folder with an audio name is not an entry
  std::vector<std::string> list;
  int index = LoadFolderOf(base + "b.OGG", list);
  EXPECT_EQ(Sorted(list),
            (std::vector<std::string>{base + "B.ogg", base + "a.mp3", base + "c.flac"}));
  ASSERT_GE(index, 0);
  ASSERT_LT(index, static_cast<int>(list.size()));
  EXPECT_EQ(list[index], base + "B.ogg");
  EXPECT_EQ(LoadFolderOf(base + "notes.txt", list), 0);
  EXPECT_EQ(list.size(), 3u);
  EXPECT_EQ(LoadFolderOf("bare.mp3", list), 0);
  EXPECT_EQ(list, (std::vector<std::string>{"bare.mp3"}));
  EXPECT_EQ(LoadFolderOf(base + "gone/x.mp3", list), 0);
  EXPECT_EQ(list, (std::vector<std::string>{base + "gone/x.mp3"}));
}

TEST(PlaylistFilesTest, PastedTextTakesUrlsFoldersAndSupportedFiles) {
  TempDir dir;
  std::string base = dir.path().string() + "/";
  fs::create_directory(base + "folder");
  Touch(base + "folder/in.wv");
  Touch(base + "song.mp3");
  Touch(base + "doc.txt");
  std::string text = "  http://a/b \r\n\r\nHTTP://upper\nmms://m\nrtsp://r\n\t" + base +
                     "song.mp3\r" + base + "doc.txt\n" + base + "missing.mp3\n" + base +
                     "folder\nftp://f\n";
  EXPECT_EQ(EntriesFromPastedText(text),
            (std::vector<std::string>{"http://a/b", "mms://m", "rtsp://r", base + "song.mp3",
                                      base + "folder/in.wv"}));
  EXPECT_TRUE(EntriesFromPastedText("").empty());
  EXPECT_EQ(EntriesFromPastedFiles({base + "folder", base + "doc.txt", base + "song.mp3",
                                    base + "none.mp3", std::string(40000, 'x')}),
            (std::vector<std::string>{base + "folder/in.wv", base + "song.mp3"}));
}

TEST(PlaylistFilesTest, CorpusPlaylistsParse) {
  std::string corpus = testsupport::CorpusDir();
  if (corpus.empty() || !fs::is_directory(corpus + "/playlists")) {
    GTEST_SKIP() << "the shared corpus is absent; corpus playlists not read";
  }
  int files = 0;
  for (const auto& e : fs::directory_iterator(corpus + "/playlists")) {
    std::vector<std::string> got = ReadPlaylistFile(e.path().string());
    for (const std::string& entry : got) EXPECT_FALSE(entry.empty()) << e.path();
    ++files;
  }
  EXPECT_GT(files, 0);
  std::string dir = corpus + "/playlists/";
  // Spot checks: a SomaFM PLS with lower-case keys, a UTF-8 BOM M3U with Windows paths kept.
  std::vector<std::string> soma = ReadPlaylistFile(dir + "pls_somafm.pls");
  EXPECT_EQ(soma.size(), 4u);
  for (const std::string& url : soma) EXPECT_EQ(url.rfind("http", 0), 0u) << url;
  std::vector<std::string> bom = ReadPlaylistFile(dir + "playlist-utf8-bom.m3u");
  EXPECT_EQ(bom, ReadPlaylistFile(dir + "playlist-utf8.m3u"));
  ASSERT_FALSE(bom.empty());
  EXPECT_EQ(bom[0].find(dir), std::string::npos) << "a Windows path is kept as written";
  EXPECT_EQ(ReadPlaylistFile(dir + "mopidy-url-playlist.m3u").size(), 1u);
}

}  // namespace
