// Chapters: parsing, the guarded list, and moving between chapters.
#include "chapters.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <mutex>
#include <strings.h>

#include "player.h"
#include "speech.h"
#include "tr.h"
#include "transport.h"
#include "utf8.h"

namespace {

// ---- The list: UI thread and the sync thread (late reload) ----
std::mutex g_mutex;
std::vector<Chapter> g_chapters;  // guarded by g_mutex
bool g_external_pending = false;  // guarded by g_mutex

// The title of a chapter without one.
std::string Numbered(int n) { return "Chapter " + std::to_string(n); }

// "h:m:s", "m:s" or seconds, each with fractions allowed in the last part; else 0.
double ParseChapterTime(const std::string& text) {
  int h, m;
  double s;
  char tail;
  if (std::sscanf(text.c_str(), "%d:%d:%lf%c", &h, &m, &s, &tail) == 3) return h * 3600.0 + m * 60.0 + s;
  if (std::sscanf(text.c_str(), "%d:%lf%c", &m, &s, &tail) == 2) return m * 60.0 + s;
  if (std::sscanf(text.c_str(), "%lf%c", &s, &tail) == 1) return s;
  return 0;
}

std::uint32_t Be32(const unsigned char* p) {
  return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}
std::uint32_t Synchsafe(const unsigned char* p) {
  return (std::uint32_t(p[0] & 0x7F) << 21) | (std::uint32_t(p[1] & 0x7F) << 14) |
         (std::uint32_t(p[2] & 0x7F) << 7) | (p[3] & 0x7F);
}

// The text of a TIT2 sub-frame; false when its encoding is unknown.
bool FrameTitle(const unsigned char* p, std::size_t n, std::string* title) {
  const unsigned char enc = p[0];
  ++p;
  --n;
  if (enc == 0 || enc == 3) {
    while (n > 0 && p[n - 1] == 0) --n;
    title->assign(reinterpret_cast<const char*>(p), n);
    return true;
  }
  if (enc != 1 && enc != 2) return false;
  bool big = enc == 2 || (n >= 2 && p[0] == 0xFE && p[1] == 0xFF);
  std::size_t i = (n >= 2 && (p[0] == 0xFE || p[0] == 0xFF)) ? 2 : 0;
  title->clear();
  for (; i + 1 < n; i += 2) {
    char32_t u = big ? char32_t((p[i] << 8) | p[i + 1]) : char32_t((p[i + 1] << 8) | p[i]);
    if (u == 0) break;
    if (u >= 0xD800 && u < 0xDC00 && i + 3 < n) {
      char32_t lo = big ? char32_t((p[i + 2] << 8) | p[i + 3]) : char32_t((p[i + 3] << 8) | p[i + 2]);
      if (lo >= 0xDC00 && lo < 0xE000) {
        u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
        i += 2;
      }
    }
    text::AppendUtf8(*title, u);
  }
  return true;
}

void AnnounceChapter(std::size_t index, const Chapter& chapter) {
  std::string text = Tr("Chapter ") + std::to_string(index + 1);
  if (!chapter.title.empty()) text += ": " + chapter.title;
  Speak(text);
}

}  // namespace

std::vector<Chapter> VorbisChapters(const std::vector<char>& block) {
  struct Entry {
    bool has_start = false, has_name = false;
    double start = 0;
    std::string name;
  };
  std::map<long, Entry> entries;
  for (std::size_t at = 0; at < block.size();) {
    std::size_t end = std::find(block.begin() + at, block.end(), '\0') - block.begin();
    std::string item(block.begin() + at, block.begin() + end);
    at = end + 1;
    if (item.empty()) break;
    if (item.size() < 7 || strncasecmp(item.c_str(), "CHAPTER", 7) != 0) continue;
    std::size_t d = 7;
    long number = 0;
    while (d < item.size() && std::isdigit(static_cast<unsigned char>(item[d])) && number < 100000) {
      number = number * 10 + (item[d++] - '0');
    }
    if (number == 0) continue;
    std::string rest = item.substr(d);
    if (rest.size() >= 5 && strncasecmp(rest.c_str(), "NAME=", 5) == 0) {
      entries[number].name = rest.substr(5);
      entries[number].has_name = true;
    } else if (!rest.empty() && rest[0] == '=') {
      entries[number].start = ParseChapterTime(rest.substr(1));
      entries[number].has_start = true;
    }
  }
  std::vector<Chapter> chapters;
  for (const auto& [number, e] : entries) {
    if (!(e.start > 0 || number == 1)) continue;
    chapters.push_back({e.start, e.has_name ? e.name : Numbered(static_cast<int>(number))});
  }
  return chapters;
}

std::vector<Chapter> Id3v2Chapters(const std::vector<char>& block) {
  std::vector<Chapter> chapters;
  const auto* b = reinterpret_cast<const unsigned char*>(block.data());
  const std::size_t size = block.size();
  if (size < 10 || b[0] != 'I' || b[1] != 'D' || b[2] != '3') return chapters;
  const int version = b[3];
  const std::size_t end = std::min<std::size_t>(size, 10 + std::size_t(Synchsafe(b + 6)));
  std::size_t at = 10;
  if ((b[5] & 0x40) && end >= 14) {
    at += version < 4 ? Be32(b + 10) + 4 : Synchsafe(b + 10);
  }
  auto frame_size = [&](const unsigned char* p) { return version < 4 ? Be32(p) : Synchsafe(p); };
  while (at + 10 <= end) {
    const unsigned char* f = b + at;
    if (f[0] == 0) break;
    std::size_t n = frame_size(f + 4);
    if (n == 0 || n > end - at - 10) break;
    const unsigned char* data = f + 10;
    if (std::equal(f, f + 4, "CHAP")) {
      const unsigned char* nul = std::find(data, data + n, 0);
      std::size_t id_len = nul - data;
      if (id_len + 1 + 16 <= n) {
        Chapter c;
        c.start = Be32(data + id_len + 1) / 1000.0;
        std::size_t sub = id_len + 1 + 16;
        while (sub + 10 <= n) {
          const unsigned char* s = data + sub;
          std::size_t sn = frame_size(s + 4);
          if (sn == 0 || sn > n - sub - 10) break;
          if (std::equal(s, s + 4, "TIT2") && sn >= 2) {
            FrameTitle(s + 10, sn, &c.title);
            break;
          }
          sub += 10 + sn;
        }
        if (c.title.empty()) c.title = Numbered(static_cast<int>(chapters.size()) + 1);
        chapters.push_back(c);
      }
    }
    at += 10 + n;
  }
  std::stable_sort(chapters.begin(), chapters.end(),
                   [](const Chapter& a, const Chapter& b) { return a.start < b.start; });
  return chapters;
}

std::vector<Chapter> Chapters() {
  std::lock_guard lock(g_mutex);
  return g_chapters;
}

void LoadChapters(audio::HCHANNEL channel) {
  std::vector<Chapter> found;
  {
    std::lock_guard lock(g_mutex);
    if (g_external_pending) {
      g_external_pending = false;
      return;
    }
    g_chapters.clear();
  }
  if (!channel) return;
  found = VorbisChapters(audio::ChannelGetTags(channel, audio::TAG_OGG));
  if (found.empty()) found = Id3v2Chapters(audio::ChannelGetTags(channel, audio::TAG_ID3V2));
  std::lock_guard lock(g_mutex);
  g_chapters = std::move(found);
}

void SetExternalChapters(std::vector<Chapter> chapters) {
  std::lock_guard lock(g_mutex);
  g_external_pending = !chapters.empty();
  g_chapters = std::move(chapters);
}

bool NextChapter() {
  std::vector<Chapter> list = Chapters();
  if (list.empty() || !Player().output) return false;
  double position = GetPosition();
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (list[i].start > position + 0.5) {
      SeekAbsolute(list[i].start);
      AnnounceChapter(i, list[i]);
      return true;
    }
  }
  return false;
}

bool PreviousChapter() {
  std::vector<Chapter> list = Chapters();
  if (list.empty() || !Player().output) return false;
  double position = GetPosition();
  int i = -1;
  for (std::size_t k = 0; k < list.size(); ++k) {
    if (list[k].start <= position) i = static_cast<int>(k);
  }
  if (i < 0) {
    SeekAbsolute(0);
  } else if (position > list[i].start + 3) {
    SeekAbsolute(list[i].start);
    AnnounceChapter(i, list[i]);
  } else if (i > 0) {
    SeekAbsolute(list[i - 1].start);
    AnnounceChapter(i - 1, list[i - 1]);
  } else {
    SeekAbsolute(0);
    Speak(Tr("Beginning"));
  }
  return true;
}
