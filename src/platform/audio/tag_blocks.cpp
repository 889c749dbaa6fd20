// Inside the audio layer: reads raw tag blocks (ID3v2, ID3v1, APE, Vorbis comments) from file
// bytes. Every length field is checked against the data, so a corrupt file gives an empty block.
#include "tag_blocks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace audio::detail {

namespace {

// A tag bigger than this is not believed (the largest real tags carry a few MB of cover art).
constexpr std::uint64_t kMaxBlockBytes = 64u << 20;
// How far into an Ogg file the comment packet is looked for.
constexpr std::uint64_t kMaxOggScanBytes = 80u << 20;

// ==== Byte access: a file (read on demand) or bytes in memory ==================================

class Bytes {
 public:
  virtual ~Bytes() = default;
  virtual std::uint64_t size() const = 0;
  // Copies up to `len` bytes at `offset` into `out`; returns the count (fewer at the end).
  virtual std::size_t Read(std::uint64_t offset, std::size_t len, std::uint8_t* out) const = 0;

  // All `len` bytes at `offset`, or false when they are not there.
  bool ReadExact(std::uint64_t offset, std::size_t len, std::uint8_t* out) const {
    return offset <= size() && len <= size() - offset && Read(offset, len, out) == len;
  }
  bool Matches(std::uint64_t offset, const char* magic) const {
    std::size_t n = std::strlen(magic);
    std::uint8_t buf[16];
    return n <= sizeof buf && ReadExact(offset, n, buf) && std::memcmp(buf, magic, n) == 0;
  }
};

class FileBytes : public Bytes {
 public:
  explicit FileBytes(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd_ >= 0 && ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) {
      size_ = static_cast<std::uint64_t>(st.st_size);
    }
  }
  ~FileBytes() override {
    if (fd_ >= 0) ::close(fd_);
  }
  FileBytes(const FileBytes&) = delete;
  FileBytes& operator=(const FileBytes&) = delete;

  std::uint64_t size() const override { return size_; }
  std::size_t Read(std::uint64_t offset, std::size_t len, std::uint8_t* out) const override {
    std::size_t done = 0;
    while (done < len && offset + done < size_) {
      ssize_t n = ::pread(fd_, out + done, len - done, static_cast<off_t>(offset + done));
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    return done;
  }

 private:
  int fd_ = -1;
  std::uint64_t size_ = 0;
};

class MemoryBytes : public Bytes {
 public:
  MemoryBytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(data ? size : 0) {}
  std::uint64_t size() const override { return size_; }
  std::size_t Read(std::uint64_t offset, std::size_t len, std::uint8_t* out) const override {
    if (offset >= size_) return 0;
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(len, size_ - offset));
    std::memcpy(out, data_ + offset, n);
    return n;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

std::uint32_t Le32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
         std::uint32_t(p[3]) << 24;
}
std::uint32_t Be24(const std::uint8_t* p) {
  return std::uint32_t(p[0]) << 16 | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]);
}
std::uint32_t Synchsafe(const std::uint8_t* p) {
  return std::uint32_t(p[0] & 0x7f) << 21 | std::uint32_t(p[1] & 0x7f) << 14 |
         std::uint32_t(p[2] & 0x7f) << 7 | std::uint32_t(p[3] & 0x7f);
}

// ==== ID3v2 ====================================================================================

// The size of the ID3v2 tag whose 10-byte header (or footer) is `h` with magic `magic`,
// header, footer and padding included; 0 when `h` is not such a header.
std::uint64_t Id3v2TagSize(const std::uint8_t* h, const char* magic) {
  if (std::memcmp(h, magic, 3) != 0 || h[3] == 0xff || h[4] == 0xff) return 0;
  if ((h[6] | h[7] | h[8] | h[9]) & 0x80) return 0;
  std::uint64_t total = 10 + std::uint64_t(Synchsafe(h + 6));
  if (h[3] >= 4 && (h[5] & 0x10)) total += 10;  // footer present
  return total;
}

// Where the data after a leading ID3v2 tag starts (0 when there is none).
std::uint64_t SkipLeadingId3v2(const Bytes& in) {
  std::uint8_t h[10];
  if (!in.ReadExact(0, sizeof h, h)) return 0;
  return Id3v2TagSize(h, "ID3");
}

std::vector<char> Id3v2Block(const Bytes& in) {
  std::uint8_t h[10];
  if (!in.ReadExact(0, sizeof h, h)) return {};
  std::uint64_t total = Id3v2TagSize(h, "ID3");
  if (total == 0) return {};
  total = std::min({total, in.size(), kMaxBlockBytes});
  std::vector<char> block(static_cast<std::size_t>(total));
  std::size_t got = in.Read(0, block.size(), reinterpret_cast<std::uint8_t*>(block.data()));
  block.resize(got);
  return block;
}

// ==== Vorbis comments ==========================================================================

// Parses a Vorbis comment body (vendor, count, comments) into "KEY=value" texts. False when a
// length field does not fit the data.
bool ParseVorbisComment(const std::uint8_t* p, std::size_t n, std::vector<std::string>* texts) {
  std::size_t pos = 0;
  auto take32 = [&](std::uint32_t* v) {
    if (n - pos < 4) return false;
    *v = Le32(p + pos);
    pos += 4;
    return true;
  };
  std::uint32_t vendor = 0, count = 0;
  if (!take32(&vendor) || vendor > n - pos) return false;
  pos += vendor;
  if (!take32(&count) || count > (n - pos) / 4) return false;
  texts->clear();
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t len = 0;
    if (!take32(&len) || len > n - pos) return false;
    const char* s = reinterpret_cast<const char*>(p + pos);
    texts->emplace_back(s, strnlen(s, len));
    pos += len;
  }
  return true;
}

std::vector<char> CommentBlock(const std::uint8_t* p, std::size_t n) {
  std::vector<std::string> texts;
  if (!ParseVorbisComment(p, n, &texts)) return {};
  return JoinTagTexts(texts);
}

// Native FLAC: the first VORBIS_COMMENT metadata block (type 4).
std::vector<char> FlacComments(const Bytes& in, std::uint64_t pos) {
  pos += 4;  // "fLaC"
  for (int blocks = 0; blocks < 1024; ++blocks) {
    std::uint8_t h[4];
    if (!in.ReadExact(pos, 4, h)) return {};
    std::uint32_t len = Be24(h + 1);
    pos += 4;
    if ((h[0] & 0x7f) == 4) {
      if (len > in.size() - pos) return {};
      std::vector<std::uint8_t> body(len);
      if (!in.ReadExact(pos, len, body.data())) return {};
      return CommentBlock(body.data(), body.size());
    }
    if ((h[0] & 0x80) || (h[0] & 0x7f) == 127) return {};  // last block, or invalid
    pos += len;
  }
  return {};
}

enum class OggCodec { Unknown, Vorbis, Opus, Speex, Flac, Other };

OggCodec IdentifyOgg(const std::vector<std::uint8_t>& first) {
  auto starts = [&](const char* magic, std::size_t n) {
    return first.size() >= n && std::memcmp(first.data(), magic, n) == 0;
  };
  if (starts("\x01vorbis", 7)) return OggCodec::Vorbis;
  if (starts("OpusHead", 8)) return OggCodec::Opus;
  if (starts("Speex   ", 8)) return OggCodec::Speex;
  if (starts("\177FLAC", 5)) return OggCodec::Flac;
  return OggCodec::Other;
}

// One logical stream of an Ogg file while its header packets are put together.
struct OggStream {
  OggCodec codec = OggCodec::Unknown;
  int packets = 0;                    // complete packets seen
  std::vector<std::uint8_t> partial;  // packet being assembled
  bool skipping = false;              // dropping the rest of a packet that started before us
};

// Looks at a complete header packet of the audio stream; sets *block and returns true when
// the search is over (found, or the packet where the comments belong holds none).
bool OggCommentPacket(OggStream& s, const std::vector<std::uint8_t>& pkt,
                      std::vector<char>* block) {
  auto body = [&](std::size_t skip) {
    *block = pkt.size() >= skip ? CommentBlock(pkt.data() + skip, pkt.size() - skip)
                                : std::vector<char>();
    return true;
  };
  switch (s.codec) {
    case OggCodec::Vorbis:
      if (pkt.size() >= 7 && std::memcmp(pkt.data(), "\x03vorbis", 7) == 0) return body(7);
      return true;
    case OggCodec::Opus:
      if (pkt.size() >= 8 && std::memcmp(pkt.data(), "OpusTags", 8) == 0) return body(8);
      return true;
    case OggCodec::Speex:
      return body(0);
    case OggCodec::Flac:
      // Metadata blocks follow the mapping header, one per packet; audio frames start 0xFF.
      if (pkt.empty() || pkt[0] == 0xff) return true;
      if ((pkt[0] & 0x7f) == 4) return body(4);
      return (pkt[0] & 0x80) != 0 || s.packets > 64;
    default:
      return true;
  }
}

std::vector<char> OggComments(const Bytes& in, std::uint64_t pos) {
  std::map<std::uint32_t, OggStream> streams;
  std::uint32_t audio_serial = 0;
  bool have_audio = false;
  const std::uint64_t limit = std::min(in.size(), pos + kMaxOggScanBytes);
  std::vector<std::uint8_t> body;
  while (pos < limit) {
    std::uint8_t h[27 + 255];
    if (!in.ReadExact(pos, 27, h) || std::memcmp(h, "OggS", 4) != 0 || h[4] != 0) return {};
    std::uint8_t flags = h[5];
    std::uint32_t serial = Le32(h + 14);
    int nsegs = h[26];
    if (!in.ReadExact(pos + 27, nsegs, h + 27)) return {};
    std::size_t body_len = 0;
    for (int i = 0; i < nsegs; ++i) body_len += h[27 + i];
    body.resize(body_len);
    if (!in.ReadExact(pos + 27 + nsegs, body_len, body.data())) return {};
    pos += 27 + nsegs + body_len;

    if ((flags & 0x02) && streams.size() < 64) streams.try_emplace(serial);  // a stream begins
    auto it = streams.find(serial);
    if (it == streams.end()) continue;
    if (have_audio && serial != audio_serial) continue;
    OggStream& s = it->second;
    if ((flags & 0x01) && s.partial.empty()) s.skipping = true;  // continued, start unseen
    if (!(flags & 0x01)) {
      s.partial.clear();
      s.skipping = false;
    }
    std::size_t at = 0;
    for (int i = 0; i < nsegs; ++i) {
      std::size_t seg = h[27 + i];
      if (!s.skipping) {
        if (s.partial.size() + seg > kMaxBlockBytes) return {};
        s.partial.insert(s.partial.end(), body.begin() + at, body.begin() + at + seg);
      }
      at += seg;
      if (seg == 255) continue;  // the packet goes on
      if (s.skipping) {
        s.skipping = false;
        continue;
      }
      std::vector<std::uint8_t> pkt;
      pkt.swap(s.partial);
      ++s.packets;
      if (s.codec == OggCodec::Unknown) {
        s.codec = IdentifyOgg(pkt);
        if (s.codec != OggCodec::Other && !have_audio) {
          have_audio = true;
          audio_serial = serial;
        }
        continue;
      }
      if (have_audio && serial == audio_serial) {
        std::vector<char> block;
        if (OggCommentPacket(s, pkt, &block)) return block;
      }
    }
  }
  return {};
}

std::vector<char> VorbisComments(const Bytes& in) {
  std::uint64_t start = SkipLeadingId3v2(in);
  if (in.Matches(start, "fLaC")) return FlacComments(in, start);
  if (in.Matches(start, "OggS")) return OggComments(in, start);
  return {};
}

// ==== APE ======================================================================================

// The end of the data in front of trailing ID3v1, Lyrics3v2 and appended ID3v2 tags.
std::uint64_t EndBeforeTrailingTags(const Bytes& in) {
  std::uint64_t end = in.size();
  for (int round = 0; round < 4; ++round) {
    if (end >= 128 && in.Matches(end - 128, "TAG")) {
      end -= 128;
      continue;
    }
    if (end >= 15 && in.Matches(end - 9, "LYRICS200")) {
      std::uint8_t digits[6];
      if (in.ReadExact(end - 15, 6, digits)) {
        std::uint64_t len = 0;
        bool ok = true;
        for (std::uint8_t d : digits) {
          ok = ok && d >= '0' && d <= '9';
          len = len * 10 + (d - '0');
        }
        if (ok && len + 15 <= end && in.Matches(end - 15 - len, "LYRICSBEGIN")) {
          end -= len + 15;
          continue;
        }
      }
    }
    std::uint8_t f[10];
    if (end >= 10 && in.ReadExact(end - 10, 10, f)) {
      if (Id3v2TagSize(f, "3DI") > 0) {
        std::uint64_t total = 20 + std::uint64_t(Synchsafe(f + 6));  // header, frames, footer
        if (total <= end) {
          end -= total;
          continue;
        }
      }
    }
    break;
  }
  return end;
}

std::vector<char> ApeBlock(const Bytes& in) {
  std::uint64_t end = EndBeforeTrailingTags(in);
  std::uint8_t f[32];
  if (end < 32 || !in.ReadExact(end - 32, 32, f) || std::memcmp(f, "APETAGEX", 8) != 0) return {};
  std::uint32_t version = Le32(f + 8), size = Le32(f + 12), count = Le32(f + 16);
  if (size < 32 || size > end || size > kMaxBlockBytes) return {};
  std::vector<std::uint8_t> items(size - 32);
  if (!in.ReadExact(end - size, items.size(), items.data())) return {};

  std::vector<std::string> texts;
  std::size_t pos = 0;
  // The item count is not trusted (writers get it wrong): the walk ends with the data.
  for (std::uint32_t i = 0; i < count && items.size() - pos > 8; ++i) {
    std::uint32_t vsize = Le32(&items[pos]), iflags = Le32(&items[pos + 4]);
    pos += 8;
    const char* key = reinterpret_cast<const char*>(&items[pos]);
    std::size_t klen = strnlen(key, items.size() - pos);
    if (klen == items.size() - pos || klen == 0) break;  // key without its NUL
    pos += klen + 1;
    if (vsize > items.size() - pos) break;
    bool text = version < 2000 || ((iflags >> 1) & 3) == 0;
    if (text) {
      const char* v = reinterpret_cast<const char*>(&items[pos]);
      std::size_t at = 0;
      do {  // a NUL separates the values of a multi-value item
        std::size_t len = strnlen(v + at, vsize - at);
        texts.push_back(std::string(key, klen) + "=" + std::string(v + at, len));
        at += len + 1;
      } while (at < vsize);
    }
    pos += vsize;
  }
  return JoinTagTexts(texts);
}

}  // namespace

// ==== Entry points =============================================================================

std::vector<char> JoinTagTexts(const std::vector<std::string>& texts) {
  std::vector<char> block;
  if (texts.empty()) return block;
  for (const std::string& t : texts) {
    block.insert(block.end(), t.begin(), t.end());
    block.push_back('\0');
  }
  block.push_back('\0');
  return block;
}

std::vector<char> ReadId3v2Block(const std::string& path) { return Id3v2Block(FileBytes(path)); }

std::vector<char> ReadId3v1Block(const std::string& path) {
  FileBytes in(path);
  if (in.size() < 128 || !in.Matches(in.size() - 128, "TAG")) return {};
  std::vector<char> block(128);
  if (!in.ReadExact(in.size() - 128, 128, reinterpret_cast<std::uint8_t*>(block.data()))) return {};
  return block;
}

std::vector<char> ReadVorbisCommentBlock(const std::string& path) {
  return VorbisComments(FileBytes(path));
}

std::vector<char> ReadApeBlock(const std::string& path) { return ApeBlock(FileBytes(path)); }

std::vector<char> Id3v2BlockFromBytes(const std::uint8_t* data, std::size_t size) {
  return Id3v2Block(MemoryBytes(data, size));
}

std::vector<char> VorbisCommentBlockFromBytes(const std::uint8_t* data, std::size_t size) {
  return VorbisComments(MemoryBytes(data, size));
}

}  // namespace audio::detail
