// Playlist files and folders on disk: folder scans by directory listing (no stat per entry when
// the listing gives the type), M3U/M3U8/PLS reading with UTF-8 or Windows-1252 lines, M3U writing.
#include "playlist_files.h"
#include "utf8.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

constexpr int kMaxScanDepth = 32;
// Longest line (and PLS value) taken in one piece; longer lines are read in pieces of this size.
constexpr size_t kMaxLineBytes = 4095;
constexpr int kMaxPlsEntries = 1000;
// A PLS file is read whole; only its first 64 MiB count (1000 full entries need about 4 MiB).
constexpr size_t kMaxPlsBytes = 64u << 20;
// Pasted names this long or longer are skipped.
constexpr size_t kMaxPastedName = 32768;

constexpr std::array<std::string_view, 17> kSupported = {
    ".mp3",  ".wav",  ".ogg", ".oga", ".flac", ".m4a",  ".m4b", ".wma", ".aac",
    ".opus", ".aiff", ".ape", ".wv",  ".mid",  ".midi", ".dff", ".dsf"};

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

// The text from the last '.' of the file name (the part after the last '/'), or empty.
std::string_view Extension(std::string_view path) {
  size_t slash = path.rfind('/');
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? std::string_view{} : name.substr(dot);
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsRegularOrOther(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF, no cut-off sequences.
bool IsValidUtf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  size_t n = s.size(), i = 0;
  while (i < n) {
    unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    unsigned lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (i + len > n) return false;
    if (p[i + 1] < lo || p[i + 1] > hi) return false;
    for (size_t k = 2; k < len; ++k) {
      if (p[i + k] < 0x80 || p[i + k] > 0xBF) return false;
    }
    i += len;
  }
  return true;
}

using text::AppendUtf8;

// Windows-1252 to UTF-8. The five bytes the code page leaves undefined (81 8D 8F 90 9D) map to
// the C1 controls of the same number, as the Windows converter does.
std::string Cp1252ToUtf8(std::string_view s) {
  static constexpr unsigned short k80To9F[32] = {
      0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  std::string out;
  out.reserve(s.size() * 2);
  for (char ch : s) {
    auto c = static_cast<unsigned char>(ch);
    AppendUtf8(out, (c >= 0x80 && c <= 0x9F) ? k80To9F[c - 0x80] : c);
  }
  return out;
}

// A line of a playlist file as UTF-8: as it is when valid UTF-8, else read as Windows-1252.
std::string DecodeLine(std::string_view line) {
  return IsValidUtf8(line) ? std::string(line) : Cp1252ToUtf8(line);
}

// URLs and absolute paths are kept; so are Windows paths (drive letter or backslashes), which
// cannot be resolved here. Anything else is relative to the playlist's folder.
std::string ResolveLine(const std::string& line, const std::string& base) {
  if (StartsWithNoCase(line, "http://") || StartsWithNoCase(line, "https://") ||
      StartsWithNoCase(line, "ftp://")) {
    return line;
  }
  bool windows = (line.size() >= 2 && line[1] == ':') || line.find('\\') != std::string::npos;
  if (line[0] == '/' || windows) return line;
  return base + line;
}

// Steps shared by M3U lines and PLS values: resolve, then scan a folder or append the entry.
void AddLine(const std::string& decoded, const std::string& base, std::vector<std::string>& out) {
  std::string entry = ResolveLine(decoded, base);
  if (IsDirectory(entry)) {
    ScanFolder(entry, out, 0);
  } else {
    out.push_back(std::move(entry));
  }
}

std::string BaseFolder(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string{} : path.substr(0, slash + 1);
}

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Opens a playlist for reading only when it is a regular file, so that a FIFO or device given a
// playlist's name cannot block the reader.
File OpenRegularFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return nullptr;
  }
  FILE* f = fdopen(fd, "rb");
  if (!f) close(fd);
  return File(f);
}

std::vector<std::string> ReadM3u(const std::string& path) {
  std::vector<std::string> out;
  File f = OpenRegularFile(path);
  if (!f) return out;
  std::string base = BaseFolder(path);
  char buf[kMaxLineBytes + 1];
  bool first = true;
  // fgets hands over at most 4095 bytes at a time: a longer line arrives in pieces, each taken
  // as a line of its own, which bounds memory whatever the file holds.
  while (std::fgets(buf, sizeof buf, f.get())) {
    std::string_view line(buf, std::strlen(buf));
    if (first && line.size() >= 3 && std::memcmp(line.data(), "\xEF\xBB\xBF", 3) == 0) {
      line.remove_prefix(3);
    }
    first = false;
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\n' ||
                             line.back() == '\r')) {
      line.remove_suffix(1);
    }
    if (line.empty() || line.front() == '#') continue;
    AddLine(DecodeLine(line), base, out);
  }
  return out;
}

std::string_view Trim(std::string_view s, std::string_view chars = " \t\r\n") {
  size_t a = s.find_first_not_of(chars);
  if (a == std::string_view::npos) return {};
  size_t b = s.find_last_not_of(chars);
  return s.substr(a, b - a + 1);
}

// The value of `key` in section `section` of an INI text, read the way the Windows profile
// reader does: names without regard to case, the first section and key of a name win, values
// trimmed and one pair of enclosing double quotes removed.
class IniSection {
 public:
  IniSection(std::string_view text, std::string_view section) {
    bool inside = false, seen = false;
    size_t pos = 0;
    while (pos < text.size()) {
      size_t end = text.find_first_of("\r\n", pos);
      if (end == std::string_view::npos) end = text.size();
      std::string_view line = Trim(text.substr(pos, end - pos), " \t");
      pos = end + 1;
      if (line.empty() || line.front() == ';') continue;
      if (line.front() == '[') {
        size_t close = line.find(']');
        std::string_view name = Trim(
            line.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1),
            " \t");
        if (inside) break;  // only the first section of that name counts
        inside = !seen && EqualsNoCase(name, section);
        seen = seen || inside;
        continue;
      }
      if (!inside) continue;
      size_t eq = line.find('=');
      if (eq == std::string_view::npos) continue;
      pairs_.emplace_back(Trim(line.substr(0, eq), " \t"), Trim(line.substr(eq + 1), " \t"));
    }
  }

  std::string_view Get(std::string_view key) const {
    for (const auto& [k, v] : pairs_) {
      if (!EqualsNoCase(k, key)) continue;
      std::string_view value = v;
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
      }
      return value.substr(0, kMaxLineBytes);
    }
    return {};
  }

 private:
  std::vector<std::pair<std::string_view, std::string_view>> pairs_;
};

std::vector<std::string> ReadPls(const std::string& path) {
  std::vector<std::string> out;
  File f = OpenRegularFile(path);
  if (!f) return out;
  std::string text;
  char chunk[65536];
  size_t got;
  while (text.size() < kMaxPlsBytes && (got = std::fread(chunk, 1, sizeof chunk, f.get())) > 0) {
    text.append(chunk, got);
  }
  std::string_view view = text;
  if (view.size() >= 3 && view.substr(0, 3) == "\xEF\xBB\xBF") view.remove_prefix(3);
  IniSection section(view, "playlist");
  std::string base = BaseFolder(path);
  for (int n = 1; n <= kMaxPlsEntries; ++n) {
    std::string_view value = section.Get("File" + std::to_string(n));
    if (value.empty()) break;  // the first missing or empty FileN ends the list
    AddLine(DecodeLine(value), base, out);
  }
  return out;
}

void ScanFolderInto(std::string& folder, std::vector<std::string>& list, int depth) {
  if (depth > kMaxScanDepth) return;
  DIR* dir = opendir(folder.empty() ? "/" : folder.c_str());
  if (!dir) return;
  size_t folder_len = folder.size();
  if (folder.empty() || folder.back() != '/') folder += '/';
  size_t prefix_len = folder.size();
  while (const dirent* e = readdir(dir)) {
    const char* name = e->d_name;
    if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
    unsigned char type = e->d_type;
    if (type == DT_UNKNOWN) {
      struct stat st;
      if (fstatat(dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      type = S_ISLNK(st.st_mode) ? DT_LNK : S_ISDIR(st.st_mode) ? DT_DIR : DT_REG;
    }
    if (type == DT_LNK) continue;
    if (type == DT_DIR) {
      folder.resize(prefix_len);
      folder += name;
      ScanFolderInto(folder, list, depth + 1);
    } else if (IsSupportedExtension(name)) {
      folder.resize(prefix_len);
      folder += name;
      list.push_back(folder);
    }
  }
  closedir(dir);
  folder.resize(folder_len);
}

}  // namespace

bool IsSupportedExtension(std::string_view path) {
  std::string_view ext = Extension(path);
  for (std::string_view s : kSupported) {
    if (EqualsNoCase(ext, s)) return true;
  }
  return false;
}

bool IsPlaylistFile(std::string_view path) {
  std::string_view ext = Extension(path);
  return EqualsNoCase(ext, ".m3u") || EqualsNoCase(ext, ".m3u8") || EqualsNoCase(ext, ".pls");
}

void ScanFolder(const std::string& folder, std::vector<std::string>& list, int depth) {
  std::string path = folder;
  ScanFolderInto(path, list, depth);
}

int LoadFolderOf(const std::string& path, std::vector<std::string>& list) {
  list.clear();
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    list.push_back(path);
    return 0;
  }
  std::string folder = path.substr(0, slash + 1);
  std::string_view file_name = std::string_view(path).substr(slash + 1);
  DIR* dir = opendir(folder.c_str());
  if (!dir) {
    list.push_back(path);
    return 0;
  }
  int found = -1;
  while (const dirent* e = readdir(dir)) {
    const char* name = e->d_name;
    if (e->d_type == DT_DIR || !IsSupportedExtension(name)) continue;
    if (e->d_type != DT_REG && !IsRegularOrOther(folder + name)) continue;  // link to a folder
    if (found < 0 && EqualsNoCase(name, file_name)) found = static_cast<int>(list.size());
    list.push_back(folder + name);
  }
  closedir(dir);
  return found < 0 ? 0 : found;
}

std::vector<std::string> ReadPlaylistFile(const std::string& path) {
  return EqualsNoCase(Extension(path), ".pls") ? ReadPls(path) : ReadM3u(path);
}

bool WriteM3u(const std::string& path, const std::vector<std::string>& entries) {
  File f(std::fopen(path.c_str(), "wb"));
  if (!f) return false;
  std::string text = "\xEF\xBB\xBF#EXTM3U\r\n";
  for (const std::string& e : entries) {
    text += e;
    text += "\r\n";
  }
  bool ok = std::fwrite(text.data(), 1, text.size(), f.get()) == text.size();
  return std::fclose(f.release()) == 0 && ok;
}

std::vector<std::string> EntriesFromPastedFiles(const std::vector<std::string>& names) {
  std::vector<std::string> out;
  for (const std::string& name : names) {
    if (name.empty() || name.size() >= kMaxPastedName) continue;
    struct stat st;
    if (stat(name.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      ScanFolder(name, out, 0);
    } else if (IsSupportedExtension(name)) {
      out.push_back(name);
    }
  }
  return out;
}

std::vector<std::string> EntriesFromPastedText(std::string_view text) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = Trim(text.substr(pos, end - pos), " \t");
    pos = end + 1;
    if (line.empty()) continue;
    if (line.starts_with("http://") || line.starts_with("https://") || line.starts_with("mms://") ||
        line.starts_with("rtsp://")) {
      out.emplace_back(line);
      continue;
    }
    std::string name(line);
    struct stat st;
    if (stat(name.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      ScanFolder(name, out, 0);
    } else if (IsSupportedExtension(name)) {
      out.push_back(std::move(name));
    }
  }
  return out;
}
