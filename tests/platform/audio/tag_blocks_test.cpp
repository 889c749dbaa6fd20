// Tests of the tag block readers: byte forms of ID3v2, ID3v1, APE and Vorbis comment blocks from
// real-world files (the shared corpus) and crafted damaged input.
#include "tag_blocks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "media.h"

namespace audio::detail {
namespace {

namespace fs = std::filesystem;
using testsupport::ReadFileBytes;
using testsupport::WriteFileBytes;

// The texts of a block in the TAG_OGG form; fails the test when the form is broken.
std::vector<std::string> Texts(const std::vector<char>& block) {
  std::vector<std::string> texts;
  if (block.empty()) return texts;
  std::size_t pos = 0;
  for (;;) {
    auto nul = std::find(block.begin() + pos, block.end(), '\0');
    if (nul == block.end()) {
      ADD_FAILURE() << "text without its NUL";
      return texts;
    }
    std::size_t end = nul - block.begin();
    if (end == pos) break;  // the empty text closes the block
    texts.emplace_back(block.data() + pos, end - pos);
    pos = end + 1;
  }
  EXPECT_EQ(pos + 1, block.size()) << "bytes after the closing empty text";
  return texts;
}

bool Has(const std::vector<std::string>& texts, const std::string& text) {
  return std::find(texts.begin(), texts.end(), text) != texts.end();
}

class CorpusTags : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testsupport::CorpusDir();
    if (dir_.empty()) GTEST_SKIP() << "shared corpus not present: corpus tag tests skipped";
  }
  std::string Path(const std::string& name) const { return dir_ + "/tags/" + name; }
  std::string dir_;
};

TEST(TagTexts, JoinGivesNulTerminatedTextsAndAnEmptyOne) {
  std::vector<char> block = JoinTagTexts({"TITLE=A", "ARTIST=B"});
  EXPECT_EQ(std::string(block.begin(), block.end()), std::string("TITLE=A\0ARTIST=B\0\0", 18));
  EXPECT_TRUE(JoinTagTexts({}).empty());
}

TEST_F(CorpusTags, Id3v2BlockIsTheWholeRawTag) {
  std::vector<char> block = ReadId3v2Block(Path("id3v2.3-iso-8859-1.mp3"));
  ASSERT_GE(block.size(), 10u);
  EXPECT_EQ(std::string(block.data(), 3), "ID3");
  EXPECT_EQ(block[3], 3);
  auto b = [&](int i) { return std::uint32_t(static_cast<unsigned char>(block[i])); };
  std::uint32_t size = b(6) << 21 | b(7) << 14 | b(8) << 7 | b(9);
  EXPECT_EQ(block.size(), 10 + size);
  // Bytes of the file, unchanged.
  std::vector<char> file = ReadFileBytes(Path("id3v2.3-iso-8859-1.mp3"));
  EXPECT_TRUE(std::equal(block.begin(), block.end(), file.begin()));
  // The same tag from bytes in memory.
  EXPECT_EQ(Id3v2BlockFromBytes(reinterpret_cast<const std::uint8_t*>(file.data()), file.size()),
            block);
}

TEST_F(CorpusTags, Id3v2SizesAreBoundedByTheFile) {
  // w000.mp3: the header claims 815 bytes in a 512-byte file.
  EXPECT_EQ(ReadId3v2Block(Path("w000.mp3")).size(), 512u);
  std::vector<char> file = ReadFileBytes(Path("excessive_alloc.mp3"));
  EXPECT_LE(ReadId3v2Block(Path("excessive_alloc.mp3")).size(), file.size());
  // From a short prefix the block is cut at what is there.
  std::vector<char> mp3 = ReadFileBytes(Path("id3v2.3-iso-8859-1.mp3"));
  EXPECT_EQ(Id3v2BlockFromBytes(reinterpret_cast<const std::uint8_t*>(mp3.data()), 100).size(),
            100u);
  // Not a tag: a stray "ID3" deep inside random bytes, an empty file, no tag at all.
  EXPECT_TRUE(ReadId3v2Block(Path("garbage.mp3")).empty());
  EXPECT_TRUE(ReadId3v2Block(Path("emptyfile.mp3")).empty());
  EXPECT_TRUE(ReadId3v2Block(Path("no-tags.mp3")).empty());
  EXPECT_TRUE(ReadId3v2Block(Path("does-not-exist.mp3")).empty());
}

TEST(Id3v2Block, FooterIsIncludedAndBadHeadersRejected) {
  testsupport::TempDir dir;
  // A v2.4 tag with the footer flag: 10 header + 20 frame bytes + 10 footer, then audio.
  std::string tag("ID3\x04\x00\x10\x00\x00\x00\x14", 10);
  tag += std::string(20, 'x') + std::string("3DI\x04\x00\x10\x00\x00\x00\x14", 10) + "AUDIO";
  WriteFileBytes(dir.file("footer.mp3"), tag);
  EXPECT_EQ(ReadId3v2Block(dir.file("footer.mp3")).size(), 40u);
  // A size byte with its high bit set is not synchsafe: no tag.
  WriteFileBytes(dir.file("bad.mp3"),
                 std::string("ID3\x03\x00\x00\x00\x00\x80\x10", 10) + std::string(200, 'x'));
  EXPECT_TRUE(ReadId3v2Block(dir.file("bad.mp3")).empty());
}

TEST_F(CorpusTags, Id3v1RecordIsTheLast128Bytes) {
  std::vector<char> block = ReadId3v1Block(Path("id3v1_Blood_Sugar.mp3"));
  ASSERT_EQ(block.size(), 128u);
  EXPECT_EQ(std::string(block.data(), 3), "TAG");
  EXPECT_EQ(block[125], 0);  // ID3v1.1: track 1, genre 52
  EXPECT_EQ(block[126], 1);
  EXPECT_EQ(static_cast<unsigned char>(block[127]), 52);
  EXPECT_TRUE(ReadId3v1Block(Path("no-tags.mp3")).empty());
  EXPECT_TRUE(ReadId3v1Block(Path("emptyfile.mp3")).empty());
  EXPECT_EQ(ReadId3v1Block(Path("outofbounds.mp3")).size(), 128u);
}

TEST_F(CorpusTags, VorbisCommentsKeepEveryKeyAsWritten) {
  // Ogg Vorbis and Opus from the same producer: chapter comments survive, keys keep their case,
  // the vendor string is left out.
  for (const char* name : {"auphonic.ogg", "auphonic.opus"}) {
    SCOPED_TRACE(name);
    std::vector<std::string> t = Texts(ReadVorbisCommentBlock(Path(name)));
    EXPECT_TRUE(Has(t, "TITLE=Title"));
    EXPECT_TRUE(Has(t, "TRACKNUMBER=Track"));
    EXPECT_TRUE(Has(t, "DESCRIPTION=Summary"));
    EXPECT_TRUE(Has(t, "CHAPTER001=00:00:00.000"));
    EXPECT_TRUE(Has(t, "CHAPTER002=00:00:03.000"));
    EXPECT_TRUE(Has(t, "CHAPTER004=00:00:09.000"));
    EXPECT_TRUE(Has(t, "CHAPTER001URL=https://example.com"));
    for (const std::string& s : t) EXPECT_EQ(s.find("libVorbis"), std::string::npos) << s;
  }
  std::vector<std::string> lower = Texts(ReadVorbisCommentBlock(Path("opus-comment.opus")));
  EXPECT_TRUE(Has(lower, "title=Opus Comment Test"));
  std::vector<std::string> utf8 = Texts(ReadVorbisCommentBlock(Path("tl-test.ogg")));
  EXPECT_TRUE(Has(utf8, "UNICODETAG=\xc3\xb6\xc3\xa4\xc3\xbc\x6f\xce\xa3\xc3\xb8") ||
              Has(utf8, "unicodetag=\xc3\xb6\xc3\xa4\xc3\xbc\x6f\xce\xa3\xc3\xb8"));
  EXPECT_EQ(std::count_if(utf8.begin(), utf8.end(),
                          [](const std::string& s) {
                            return s.rfind("UNUSUALTAG=", 0) == 0 || s.rfind("unusualtag=", 0) == 0;
                          }),
            2);
}

TEST_F(CorpusTags, NativeFlacUsesTheFirstCommentBlock) {
  std::vector<std::string> t = Texts(ReadVorbisCommentBlock(Path("multiple-vc.flac")));
  EXPECT_EQ(t, std::vector<std::string>{"ARTIST=Artist 1"});
  std::vector<std::string> s = Texts(ReadVorbisCommentBlock(Path("silence-44-s.flac")));
  EXPECT_TRUE(Has(s, "title=Silence") || Has(s, "TITLE=Silence"));
  EXPECT_TRUE(ReadVorbisCommentBlock(Path("no-tags.flac")).empty());
}

TEST_F(CorpusTags, CommentPacketSpanningPagesIsReassembled) {
  std::vector<char> block = ReadVorbisCommentBlock(Path("multipagecomment.ogg"));
  std::vector<std::string> t = Texts(block);
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0].rfind("big=foobarfoobar", 0), 0u);
  EXPECT_EQ(t[1].rfind("bigger=quuxbaz", 0), 0u);
  EXPECT_GT(block.size(), 4200u);  // more than one page of comments
  std::vector<char> file = ReadFileBytes(Path("multipagecomment.ogg"));
  EXPECT_EQ(
      VorbisCommentBlockFromBytes(reinterpret_cast<const std::uint8_t*>(file.data()), file.size()),
      block);
  // Cut in the middle of the comment packet: nothing rather than half a packet.
  EXPECT_TRUE(VorbisCommentBlockFromBytes(reinterpret_cast<const std::uint8_t*>(file.data()), 9000)
                  .empty());
}

TEST_F(CorpusTags, CorruptCommentLengthsGiveAnEmptyBlock) {
  testsupport::TempDir dir;
  std::vector<char> file = ReadFileBytes(Path("multiple-vc.flac"));
  // The comment block starts at 42 + 4 (after STREAMINFO); its vendor length follows.
  const char* at = std::search(file.data(), file.data() + file.size(), "ARTIST=Artist 1",
                               "ARTIST=Artist 1" + 15);
  ASSERT_NE(at, file.data() + file.size());
  std::size_t len_pos = (at - file.data()) - 4;  // this comment's length
  for (std::uint32_t bad : {0xffffffffu, 0x00100000u, 40u}) {
    std::vector<char> copy = file;
    std::memcpy(&copy[len_pos], &bad, 4);
    WriteFileBytes(dir.file("bad.flac"), std::string(copy.begin(), copy.end()));
    EXPECT_TRUE(ReadVorbisCommentBlock(dir.file("bad.flac")).empty()) << bad;
  }
  std::size_t count_pos = len_pos - 4;  // the comment count
  std::vector<char> copy = file;
  std::uint32_t many = 0x7fffffff;
  std::memcpy(&copy[count_pos], &many, 4);
  WriteFileBytes(dir.file("count.flac"), std::string(copy.begin(), copy.end()));
  EXPECT_TRUE(ReadVorbisCommentBlock(dir.file("count.flac")).empty());
}

TEST_F(CorpusTags, ApeTagsBehindOtherTrailingTags) {
  struct Case {
    const char* file;
    std::vector<std::string> expected;  // texts that must be there
    std::size_t count;                  // all texts
  };
  const Case cases[] = {
      {"ape.mp3", {"TITLE=Title"}, 1},
      {"ape-id3v1.mp3", {"TITLE=Title"}, 1},                              // behind ID3v1
      {"apev2-lyricsv2.mp3", {"REPLAYGAIN_TRACK_GAIN=-4.080000 dB"}, 3},  // behind Lyrics3 + ID3v1
      {"audacious-trailing-id32-apev2.mp3", {"Artist=adfsasaf", "Year=2001"}, 7},  // behind ID3v2
      {"145-invalid-item-count.apev2", {"Artist=Pink Floyd", "BPM=71"}, 17},       // count says 18
      {"oldtag.apev2", {"Track=07", "Album=A test case"}, 4},
      {"brokentag.apev2", {"Artist=AnArtist"}, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    std::vector<std::string> t = Texts(ReadApeBlock(Path(c.file)));
    EXPECT_EQ(t.size(), c.count);
    for (const std::string& e : c.expected) EXPECT_TRUE(Has(t, e)) << e;
  }
  EXPECT_TRUE(ReadApeBlock(Path("id3v1_Blood_Sugar.mp3")).empty());
  EXPECT_TRUE(ReadApeBlock(Path("emptyfile.mp3")).empty());
}

// Every reader over every corpus file, then over damaged copies: no crash, forms intact.
TEST_F(CorpusTags, DamagedFilesNeverBreakTheReaders) {
  testsupport::TempDir dir;
  std::mt19937 rng(1234);
  for (const auto& entry : fs::directory_iterator(dir_ + "/tags")) {
    std::string path = entry.path().string();
    std::vector<char> file = ReadFileBytes(path);
    for (int round = 0; round < 9; ++round) {
      std::string target = path;
      if (round > 0) {
        std::vector<char> copy = file;
        if (round < 5 && !copy.empty()) {  // scattered byte damage near the ends
          for (int i = 0; i < 8; ++i) {
            std::size_t span = std::min<std::size_t>(copy.size(), 4096);
            std::size_t pos = (i % 2 ? copy.size() - 1 - rng() % span : rng() % span);
            copy[pos] = static_cast<char>(rng());
          }
        } else {  // cut short
          copy.resize(copy.size() * (round - 4) / 5);
        }
        target = dir.file("damaged");
        WriteFileBytes(target, std::string(copy.begin(), copy.end()));
      }
      SCOPED_TRACE(path + " round " + std::to_string(round));
      std::vector<char> id3 = ReadId3v2Block(target);
      EXPECT_LE(id3.size(), fs::file_size(target));
      EXPECT_TRUE(ReadId3v1Block(target).size() == 0 || ReadId3v1Block(target).size() == 128);
      Texts(ReadVorbisCommentBlock(target));
      Texts(ReadApeBlock(target));
    }
  }
}

}  // namespace
}  // namespace audio::detail
