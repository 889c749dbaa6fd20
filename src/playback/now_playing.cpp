// Now-playing information: reads titles, artists and the rest from the tag blocks of the playing
// channel, parses internet-radio stream titles, and builds every spoken and shown text of it.
#include "now_playing.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "library_db.h"
#include "player.h"
#include "playlist.h"
#include "transport.h"
#include "utf8.h"
#include "settings.h"
#include "shell.h"
#include "speech.h"
#include "tempo.h"
#include "tr.h"

namespace {

constexpr audio::DWORD kSample8Bits = 1;  // the 8-bit sample flag of ChannelInfo

// The 80 genres of the ID3v1 standard list.
const char* const kGenres[80] = {
    "Blues",        "Classic Rock", "Country",      "Dance",        "Disco",
    "Funk",         "Grunge",       "Hip-Hop",      "Jazz",         "Metal",
    "New Age",      "Oldies",       "Other",        "Pop",          "R&B",
    "Rap",          "Reggae",       "Rock",         "Techno",       "Industrial",
    "Alternative",  "Ska",          "Death Metal",  "Pranks",       "Soundtrack",
    "Euro-Techno",  "Ambient",      "Trip-Hop",     "Vocal",        "Jazz+Funk",
    "Fusion",       "Trance",       "Classical",    "Instrumental", "Acid",
    "House",        "Game",         "Sound Clip",   "Gospel",       "Noise",
    "AlternRock",   "Bass",         "Soul",         "Punk",         "Space",
    "Meditative",   "Instrumental Pop", "Instrumental Rock", "Ethnic", "Gothic",
    "Darkwave",     "Techno-Industrial", "Electronic", "Pop-Folk",  "Eurodance",
    "Dream",        "Southern Rock", "Comedy",      "Cult",         "Gangsta",
    "Top 40",       "Christian Rap", "Pop/Funk",    "Jungle",       "Native American",
    "Cabaret",      "New Wave",     "Psychadelic",  "Rave",         "Showtunes",
    "Trailer",      "Lo-Fi",        "Tribal",       "Acid Punk",    "Acid Jazz",
    "Polka",        "Retro",        "Musical",      "Rock & Roll",  "Hard Rock",
};

using text::AppendUtf8;

// ISO-8859-1 bytes up to the first NUL (or `size`) as UTF-8.
std::string Latin1ToUtf8(const unsigned char* p, std::size_t size) {
  std::string out;
  for (std::size_t i = 0; i < size && p[i] != 0; ++i) AppendUtf8(out, p[i]);
  return out;
}

// UTF-16 units up to the first zero unit as UTF-8; unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(const unsigned char* p, std::size_t size, bool big_endian) {
  std::string out;
  std::size_t n = size / 2;
  auto unit = [&](std::size_t i) -> std::uint32_t {
    return big_endian ? (p[2 * i] << 8) | p[2 * i + 1] : p[2 * i] | (p[2 * i + 1] << 8);
  };
  for (std::size_t i = 0; i < n; ++i) {
    std::uint32_t u = unit(i);
    if (u == 0) break;
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n) {
      std::uint32_t lo = unit(i + 1);
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
        ++i;
        continue;
      }
    }
    if (u >= 0xD800 && u <= 0xDFFF) u = 0xFFFD;
    AppendUtf8(out, u);
  }
  return out;
}

// Bytes up to the first NUL as text.
std::string TextUpToNul(const char* p, std::size_t size) {
  return std::string(p, strnlen(p, size));
}

bool StartsWithNoCase(const char* text, std::size_t len, const std::string& prefix) {
  if (len < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    unsigned char a = static_cast<unsigned char>(text[i]);
    unsigned char b = static_cast<unsigned char>(prefix[i]);
    if (std::tolower(a) != std::tolower(b)) return false;
  }
  return true;
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// The value of `key` in a block of NUL-terminated "key=value" texts ending with an empty text.
std::string FindKeyValue(const std::vector<char>& block, const std::string& key) {
  std::size_t pos = 0;
  while (pos < block.size()) {
    const char* text = block.data() + pos;
    std::size_t len = strnlen(text, block.size() - pos);
    if (len == 0) break;
    if (len > key.size() && text[key.size()] == '=' && StartsWithNoCase(text, len, key))
      return std::string(text + key.size() + 1, len - key.size() - 1);
    pos += len + 1;
  }
  return {};
}

std::uint32_t Synchsafe(const unsigned char* p) {
  return ((p[0] & 0x7F) << 21) | ((p[1] & 0x7F) << 14) | ((p[2] & 0x7F) << 7) | (p[3] & 0x7F);
}
std::uint32_t BigEndian32(const unsigned char* p) {
  return (std::uint32_t(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
}

// The frame id a version 2.2 tag uses for a four-letter id; empty when it has none.
std::string ThreeLetterId(const std::string& id) {
  static const char* const kMap[][2] = {{"TIT2", "TT2"}, {"TPE1", "TP1"}, {"TALB", "TAL"},
                                        {"TYER", "TYE"}, {"TRCK", "TRK"}, {"TCON", "TCO"},
                                        {"COMM", "COM"}};
  for (auto& m : kMap)
    if (id == m[0]) return m[1];
  return {};
}

// Decodes the data of a text frame (or, with `comment`, a comment frame).
std::string DecodeFrame(const unsigned char* d, std::size_t size, bool comment) {
  if (size < 1) return {};
  int encoding = d[0];
  if (encoding > 3) return {};
  std::size_t pos = 1;
  if (comment) {
    pos += 3;  // language
    if (pos > size) return {};
    // The short description, ending with a NUL in the frame's encoding.
    if (encoding == 1 || encoding == 2) {
      while (pos + 1 < size && (d[pos] != 0 || d[pos + 1] != 0)) pos += 2;
      pos += 2;
    } else {
      while (pos < size && d[pos] != 0) ++pos;
      pos += 1;
    }
    if (pos > size) return {};
  }
  const unsigned char* p = d + pos;
  std::size_t n = size - pos;
  switch (encoding) {
    case 0:
      return Latin1ToUtf8(p, n);
    case 1: {
      bool big_endian = false;
      if (n >= 2 && ((p[0] == 0xFE && p[1] == 0xFF) || (p[0] == 0xFF && p[1] == 0xFE))) {
        big_endian = p[0] == 0xFE;
        p += 2;
        n -= 2;
      }
      return Utf16ToUtf8(p, n, big_endian);
    }
    case 2:
      return Utf16ToUtf8(p, n, true);
    default:
      return TextUpToNul(reinterpret_cast<const char*>(p), n);
  }
}

// The four-letter ID3v2 frame a ReadTag key maps to; empty for keys without one.
std::string FrameForKey(const std::string& key) {
  std::string k = Upper(key);
  if (k == "TITLE") return "TIT2";
  if (k == "ARTIST") return "TPE1";
  if (k == "ALBUM") return "TALB";
  if (k == "YEAR") return "TYER";
  if (k == "DATE") return "TDRC";
  if (k == "TRACK" || k == "TRACKNUMBER") return "TRCK";
  if (k == "GENRE") return "TCON";
  if (k == "COMMENT") return "COMM";
  return {};
}

bool HasOutput() { return Player().output != 0; }

bool CurrentEntry(std::string* entry) {
  const Playlist& pl = ThePlaylist();
  if (!pl.HasCurrent()) return false;
  *entry = pl.entries[pl.current];
  return true;
}

// Title and artist as key 1 finds them, without the stream title.
void TitleAndArtist(audio::HCHANNEL ch, const Id3v1Fields& v1, std::string* title,
                    std::string* artist) {
  *title = ReadTag(ch, "TITLE");
  if (title->empty()) *title = v1.title;
  *artist = ReadTag(ch, "ARTIST");
  if (artist->empty()) *artist = v1.artist;
}

// The stream title, else "artist - title", else the title; empty when none is known.
std::string FoundTitle(audio::HCHANNEL ch) {
  std::string text = CurrentStreamTitle(ch);
  if (!text.empty()) return text;
  std::string title, artist;
  TitleAndArtist(ch, ReadId3v1(ch), &title, &artist);
  if (!title.empty() && !artist.empty()) return artist + " - " + title;
  return title;
}

std::string FirstTag(audio::HCHANNEL ch, std::initializer_list<const char*> keys,
                     const std::string& fallback) {
  for (const char* key : keys) {
    std::string v = ReadTag(ch, key);
    if (!v.empty()) return v;
  }
  return fallback;
}

// The value behind keys 2..7 (empty when none), shared by speech and the Tag dialog.
std::string FieldValue(int key, audio::HCHANNEL ch) {
  Id3v1Fields v1 = ReadId3v1(ch);
  switch (key) {
    case 2: return FirstTag(ch, {"ARTIST"}, v1.artist);
    case 3: return FirstTag(ch, {"ALBUM"}, v1.album);
    case 4: return FirstTag(ch, {"DATE", "YEAR"}, v1.year);
    case 5: return FirstTag(ch, {"TRACKNUMBER", "TRACK"}, v1.track > 0 ? std::to_string(v1.track) : "");
    case 6: return FirstTag(ch, {"GENRE"}, v1.genre);
    case 7: return FirstTag(ch, {"COMMENT", "DESCRIPTION"}, v1.comment);
  }
  return {};
}

std::string Format(const std::string& format, auto... args) {
  char buffer[512];
  std::snprintf(buffer, sizeof buffer, format.c_str(), args...);
  return buffer;
}

std::string ChannelsWord(audio::DWORD chans, bool capital) {
  if (chans == 1) return Tr(capital ? "Mono" : "mono");
  if (chans == 2) return Tr(capital ? "Stereo" : "stereo");
  return Tr(capital ? "Multi-channel" : "multi-channel");
}

float TagBitrate(audio::HCHANNEL ch) {
  float value = 0;
  if (!ch || !audio::ChannelGetAttribute(ch, audio::ATTRIB_BITRATE, &value)) return 0;
  return std::isfinite(value) ? value : 0;
}

std::string EntryText(const std::string& entry) {
  return IsUrl(entry) ? entry : FileNameOf(entry);
}

}  // namespace

// ---- Tag lookups ----------------------------------------------------------------------------

audio::HCHANNEL TagChannel() {
  const PlayerState& p = Player();
  if (p.info_channel) return p.info_channel;
  if (p.source) return p.source;
  return p.output;
}

std::string Id3v2Frame(const char* data, std::size_t size, const std::string& id) {
  const auto* d = reinterpret_cast<const unsigned char*>(data);
  if (!data || size < 10 || d[0] != 'I' || d[1] != 'D' || d[2] != '3') return {};
  int version = d[3];
  if (version < 2 || version > 4) return {};
  std::string wanted = version == 2 ? ThreeLetterId(id) : id;
  if (wanted.empty()) return {};
  std::size_t end = std::min<std::size_t>(size, 10 + std::size_t(Synchsafe(d + 6)));
  std::size_t pos = 10;
  if (version > 2 && (d[5] & 0x40)) {
    if (end < 14) return {};
    pos += version < 4 ? std::size_t(BigEndian32(d + 10)) + 4 : std::size_t(Synchsafe(d + 10));
  }
  const std::size_t id_len = version == 2 ? 3 : 4;
  const std::size_t header = version == 2 ? 6 : 10;
  while (pos + header <= end && pos + header > pos) {
    const unsigned char* f = d + pos;
    if (f[0] == 0) break;
    std::size_t frame_size;
    if (version == 2)
      frame_size = (std::size_t(f[3]) << 16) | (f[4] << 8) | f[5];
    else
      frame_size = version == 4 ? Synchsafe(f + 4) : BigEndian32(f + 4);
    if (frame_size == 0 || frame_size > end - pos - header) break;
    if (std::memcmp(f, wanted.data(), id_len) == 0) {
      // Format flags: compressed or encrypted frames are not read; a group byte (v2.3, v2.4)
      // and a data-length field (v2.4) come before the data.
      const unsigned char* data_start = f + header;
      std::size_t skip = 0;
      if (version == 3) {
        if (f[9] & 0xC0) return {};
        if (f[9] & 0x20) skip += 1;
      } else if (version == 4) {
        if (f[9] & 0x0C) return {};
        if (f[9] & 0x40) skip += 1;
        if (f[9] & 0x01) skip += 4;
      }
      if (skip >= frame_size) return {};
      return DecodeFrame(data_start + skip, frame_size - skip, id == "COMM");
    }
    pos += header + frame_size;
  }
  return {};
}

Id3v1Fields ParseId3v1(const char* data, std::size_t size) {
  Id3v1Fields f;
  if (!data || size < 128 || std::memcmp(data, "TAG", 3) != 0) return f;
  const auto* d = reinterpret_cast<const unsigned char*>(data);
  f.present = true;
  f.title = Latin1ToUtf8(d + 3, 30);
  f.artist = Latin1ToUtf8(d + 33, 30);
  f.album = Latin1ToUtf8(d + 63, 30);
  f.year = Latin1ToUtf8(d + 93, 4);
  if (d[125] == 0 && d[126] != 0) {
    f.comment = Latin1ToUtf8(d + 97, 28);
    f.track = d[126];
  } else {
    f.comment = Latin1ToUtf8(d + 97, 30);
  }
  f.genre = Id3v1GenreName(d[127]);
  return f;
}

Id3v1Fields ReadId3v1(audio::HCHANNEL channel) {
  if (!channel) return {};
  std::vector<char> block = audio::ChannelGetTags(channel, audio::TAG_ID3);
  return ParseId3v1(block.data(), block.size());
}

std::string Id3v1GenreName(int index) {
  return index >= 0 && index < 80 ? kGenres[index] : "";
}

std::string FindHeader(const char* data, std::size_t size, const std::string& name) {
  if (!data) return {};
  std::size_t pos = 0;
  while (pos < size) {
    std::size_t end = pos;
    while (end < size && data[end] != '\n' && data[end] != '\0') ++end;
    const char* line = data + pos;
    std::size_t len = end - pos;
    if (len > 0 && line[len - 1] == '\r') --len;
    if (len == 0) break;
    if (len > name.size() && line[name.size()] == ':' && StartsWithNoCase(line, len, name)) {
      std::size_t v = name.size() + 1;
      while (v < len && line[v] == ' ') ++v;
      return std::string(line + v, len - v);
    }
    pos = end + 1;
  }
  return {};
}

std::string ReadHeader(audio::HCHANNEL channel, const std::string& name) {
  if (!channel) return {};
  for (audio::DWORD kind : {audio::TAG_ICY, audio::TAG_HTTP}) {
    std::vector<char> block = audio::ChannelGetTags(channel, kind);
    std::string value = FindHeader(block.data(), block.size(), name);
    if (!value.empty()) return value;
  }
  return {};
}

std::string ReadTag(audio::HCHANNEL channel, const std::string& key) {
  if (!channel || key.empty()) return {};
  for (audio::DWORD kind : {audio::TAG_OGG, audio::TAG_APE, audio::TAG_MP4, audio::TAG_WMA,
                            audio::TAG_RIFF_INFO, audio::TAG_MF}) {
    std::string value = FindKeyValue(audio::ChannelGetTags(channel, kind), key);
    if (!value.empty()) return value;
  }
  std::string frame = FrameForKey(key);
  if (!frame.empty()) {
    std::vector<char> id3 = audio::ChannelGetTags(channel, audio::TAG_ID3V2);
    std::string value = Id3v2Frame(id3.data(), id3.size(), frame);
    if (!value.empty()) return value;
  }
  std::string k = Upper(key);
  std::vector<char> icy = audio::ChannelGetTags(channel, audio::TAG_ICY);
  if (!icy.empty()) {
    if (k == "TITLE" || k == "ARTIST") {
      std::vector<char> meta = audio::ChannelGetTags(channel, audio::TAG_META);
      if (!meta.empty()) {
        StreamTitleParts parts =
            SplitStreamTitle(StreamTitleValue(TextUpToNul(meta.data(), meta.size())));
        const std::string& v = k == "TITLE" ? parts.title : parts.artist;
        if (!v.empty()) return v;
      }
    }
    std::string value;
    if (k == "TITLE") value = FindHeader(icy.data(), icy.size(), "icy-name");
    if (k == "GENRE") value = FindHeader(icy.data(), icy.size(), "icy-genre");
    if (!value.empty()) return value;
  }
  std::vector<char> http = audio::ChannelGetTags(channel, audio::TAG_HTTP);
  if (!http.empty()) {
    if (k == "TITLE") return FindHeader(http.data(), http.size(), "icy-name");
    if (k == "GENRE") return FindHeader(http.data(), http.size(), "icy-genre");
  }
  return {};
}

// ---- Stream titles --------------------------------------------------------------------------

StreamTitleParts SplitStreamTitle(const std::string& text) {
  StreamTitleParts parts;
  // Quoted value after `marker`, up to the next double quote (or the end).
  auto quoted = [&](std::size_t at, std::size_t marker_len) {
    std::size_t from = at + marker_len;
    std::size_t to = text.find('"', from);
    return text.substr(from, to == std::string::npos ? std::string::npos : to - from);
  };
  std::size_t at = text.find(" - text=\"");
  if (at != std::string::npos) {
    parts.artist = text.substr(0, at);
    parts.title = quoted(at, 9);
    if (!parts.artist.empty() || !parts.title.empty()) return parts;
    parts = {};
  }
  at = text.find("title=\"");
  if (at != std::string::npos) {
    parts.title = quoted(at, 7);
    std::size_t a = text.find("artist=\"");
    if (a != std::string::npos) parts.artist = quoted(a, 8);
    if (!parts.artist.empty() || !parts.title.empty()) return parts;
    parts = {};
  }
  at = text.find(" - ");
  if (at != std::string::npos) {
    parts.artist = text.substr(0, at);
    parts.title = text.substr(at + 3);
    if (!parts.artist.empty() || !parts.title.empty()) return parts;
    parts = {};
  }
  parts.title = text;
  return parts;
}

std::string StreamTitleValue(const std::string& meta) {
  const std::string single = "StreamTitle='";
  std::size_t at = meta.find(single);
  if (at != std::string::npos) {
    std::size_t from = at + single.size();
    std::size_t to = meta.find("';", from);
    if (to != std::string::npos) return meta.substr(from, to - from);
    std::string rest = meta.substr(from);
    if (!rest.empty() && rest.back() == '\'') rest.pop_back();
    return rest;
  }
  const std::string dquote = "StreamTitle=\"";
  at = meta.find(dquote);
  if (at != std::string::npos) {
    std::size_t from = at + dquote.size();
    std::size_t to = meta.find('"', from);
    return meta.substr(from, to == std::string::npos ? std::string::npos : to - from);
  }
  return {};
}

std::string StreamTitleFromMeta(const std::string& meta) {
  std::string value = StreamTitleValue(meta);
  if (value.empty()) return {};
  StreamTitleParts parts = SplitStreamTitle(value);
  if (!parts.artist.empty() && !parts.title.empty()) return parts.artist + " - " + parts.title;
  if (!parts.title.empty()) return parts.title;
  return value;
}

std::string CurrentStreamTitle(audio::HCHANNEL channel) {
  if (!channel) return {};
  std::vector<char> meta = audio::ChannelGetTags(channel, audio::TAG_META);
  if (meta.empty()) return {};
  return StreamTitleFromMeta(TextUpToNul(meta.data(), meta.size()));
}

// ---- Number keys and the Tag dialog -----------------------------------------------------------

std::string DurationText(double seconds) {
  long total = static_cast<long>(seconds);
  long h = total / 3600, m = (total / 60) % 60, s = total % 60;
  if (h >= 1) return Format(Tr("Duration: %d hours, %d minutes, %d seconds"), int(h), int(m), int(s));
  if (m > 0) return Format(Tr("Duration: %d minutes, %d seconds"), int(m), int(s));
  return Format(Tr("Duration: %d seconds"), int(s));
}

std::string TrackInfoText(int key) {
  if (!HasOutput()) return Tr("Nothing playing");
  audio::HCHANNEL ch = TagChannel();
  switch (key) {
    case 1: {
      std::string title = FoundTitle(ch);
      return title.empty() ? Tr("No title") : title;
    }
    case 2: {
      std::string v = FieldValue(2, ch);
      return v.empty() ? Tr("No artist") : Tr("Artist: ") + v;
    }
    case 3: {
      std::string v = FieldValue(3, ch);
      if (!v.empty()) return Tr("Album: ") + v;
      std::string station = ReadHeader(ch, "icy-name");
      return station.empty() ? Tr("No album") : Tr("Station: ") + station;
    }
    case 4: {
      std::string v = FieldValue(4, ch);
      return v.empty() ? Tr("No year") : Tr("Year: ") + v;
    }
    case 5: {
      std::string v = FieldValue(5, ch);
      return v.empty() ? Tr("No track number") : Tr("Track: ") + v;
    }
    case 6: {
      std::string v = FieldValue(6, ch);
      return v.empty() ? Tr("No genre") : Tr("Genre: ") + v;
    }
    case 7: {
      std::string v = FieldValue(7, ch);
      return v.empty() ? Tr("No comment") : Tr("Comment: ") + v;
    }
    case 8: {
      audio::ChannelInfo info;
      if (!audio::ChannelGetInfo(Player().output, &info)) return Tr("Cannot get info");
      int bitrate = static_cast<int>(TagBitrate(ch));
      if (bitrate <= 0) bitrate = std::atoi(ReadHeader(ch, "icy-br").c_str());
      std::string chans = ChannelsWord(info.chans, false);
      if (bitrate > 0)
        return Format(Tr("%d kbps, %d Hz, %s"), bitrate, int(info.freq), chans.c_str());
      int bits = (info.flags & kSample8Bits) ? 8 : (info.flags & audio::SAMPLE_FLOAT) ? 32 : 16;
      return Format(Tr("%d-bit, %d Hz, %s"), bits, int(info.freq), chans.c_str());
    }
    case 9: {
      TempoProcessor* tempo = CurrentTempoProcessor();
      double length = tempo ? tempo->GetLengthSeconds() : 0;
      if (length > 0) return DurationText(length);
      std::string entry;
      if (CurrentEntry(&entry) && IsUrl(entry)) return Tr("Live stream");
      return Tr("Unknown duration");
    }
    case 0: {
      std::string entry;
      if (!CurrentEntry(&entry)) return Tr("Nothing playing");
      return IsUrl(entry) ? Tr("URL: ") + entry : Tr("Filename: ") + FileNameOf(entry);
    }
  }
  return {};
}

void SpeakTrackInfo(int key) {
  std::string text = TrackInfoText(key);
  if (!text.empty()) Speak(text, true);
}

bool HandleSpeakInfoCommand(int command) {
  if (command == 214) command = 261;  // "Speak Now Playing" says the title
  if (command < 260 || command > 269) return false;
  SpeakTrackInfo(command - 260);
  return true;
}

std::string TagFieldCaption(int key) {
  static const char* const kCaptions[10] = {"Filename", "Title", "Artist", "Album",   "Year",
                                            "Track",    "Genre", "Comment", "Bitrate", "Duration"};
  return key >= 0 && key <= 9 ? kCaptions[key] : "";
}

std::string TagFieldValue(int key) {
  if (!HasOutput()) return Tr("Nothing playing");
  audio::HCHANNEL ch = TagChannel();
  static const char* const kMissing[10] = {"",         "No title", "No artist", "No album",
                                           "No year",  "No track", "No genre",  "No comment"};
  switch (key) {
    case 1: {
      std::string title = FoundTitle(ch);
      return title.empty() ? Tr("No title") : title;
    }
    case 2: case 4: case 5: case 6: case 7: {
      std::string v = FieldValue(key, ch);
      return v.empty() ? Tr(kMissing[key]) : v;
    }
    case 3: {
      std::string v = FieldValue(3, ch);
      if (v.empty()) v = ReadHeader(ch, "icy-name");
      return v.empty() ? Tr("No album") : v;
    }
    case 8: {
      float bitrate = TagBitrate(ch);
      audio::ChannelInfo info;
      if (bitrate <= 0 || !audio::ChannelGetInfo(Player().output, &info))
        return Tr("Unknown bitrate");
      return Format(Tr("%.0f kbps, %d Hz, %s"), double(bitrate), int(info.freq),
                    ChannelsWord(info.chans, true).c_str());
    }
    case 9: {
      TempoProcessor* tempo = CurrentTempoProcessor();
      double length = 0;
      if (tempo && tempo->IsActive()) {
        length = tempo->GetLengthSeconds();
      } else if (ch) {
        audio::QWORD bytes = audio::ChannelGetLength(ch, audio::POS_BYTE);
        if (bytes != audio::QWORD(-1)) length = audio::ChannelBytes2Seconds(ch, bytes);
      }
      return length > 0 ? FormatClock(length) : Tr("Unknown duration");
    }
    case 0: {
      std::string entry;
      if (!CurrentEntry(&entry)) return Tr("Nothing playing");
      return EntryText(entry);
    }
  }
  return {};
}

// ---- Announcements --------------------------------------------------------------------------

void AnnounceTrack() {
  if (!Settings().SpeechTrackChange) return;
  std::string text = FoundTitle(TagChannel());
  if (text.empty()) {
    std::string entry;
    if (CurrentEntry(&entry)) text = FileNameOf(entry);
  }
  if (!text.empty()) Speak(text, true);
}

void HandleStreamMetadata() {
  std::string title = CurrentStreamTitle(TagChannel());
  if (!title.empty()) {
    if (Library().IsOpen()) Library().AddSongHistory(title);
    if (Settings().SpeechTrackChange) Speak(title, true);
  }
  if (shell::MainWindow* main = shell::Main()) main->UpdateWindowTitle();
}
