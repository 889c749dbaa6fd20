// The INI file model: parsing lines, lookups by folded names, edits that keep every line they
// do not touch, and serialising in the file's own encoding and line ends.
#include "profile.h"

#include <cerrno>

#include "profile_text.h"

namespace profile {
namespace {

using text::Fold;
using text::Trim;

// The part of a line that is read: up to its first NUL.
std::string_view Readable(std::string_view raw) {
  std::size_t nul = raw.find('\0');
  return nul == std::string_view::npos ? raw : raw.substr(0, nul);
}

// A value as read: trimmed, a matching pair of quotes around it removed.
std::string_view Unquote(std::string_view v) {
  v = Trim(v);
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    v = v.substr(1, v.size() - 2);
  return v;
}

// The value as it must be written so that it reads back unchanged.
std::string QuoteIfNeeded(std::string_view v) {
  const bool blank_edge =
      !v.empty() && (v.front() == ' ' || v.front() == '\t' || v.back() == ' ' || v.back() == '\t');
  const bool quoted =
      v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front();
  if (!blank_edge && !quoted) return std::string(v);
  return "\"" + std::string(v) + "\"";
}

bool HasLineBreak(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) != s.npos;
}

bool ValidSectionName(std::string_view s) {
  s = Trim(s);
  return !s.empty() && !HasLineBreak(s) && s.find(']') == s.npos;
}

bool ValidKeyName(std::string_view s) {
  s = Trim(s);
  return !s.empty() && !HasLineBreak(s) && s.find('=') == s.npos && s[0] != '[' && s[0] != ';' &&
         s[0] != '#';
}

}  // namespace

Profile::Profile(const std::string& path) { Load(path); }

bool Profile::Load(const std::string& path) {
  path_ = path;
  std::string bytes;
  const bool ok = ReadFileBytes(path, &bytes);
  // A file that exists but cannot be read must not be replaced by what little we know of it.
  const bool unreadable = !ok && errno != ENOENT && errno != ENOTDIR;
  LoadText(ok ? bytes : std::string());
  unreadable_ = unreadable;
  existed_ = ok;
  loaded_ = std::move(bytes);
  return ok;
}

void Profile::LoadText(std::string_view bytes) {
  changed_ = false;
  unreadable_ = false;
  existed_ = false;
  loaded_.clear();
  encoding_ = Encoding::Utf8;
  std::string decoded;
  if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") {
    encoding_ = Encoding::Utf8Bom;
    bytes.remove_prefix(3);
  } else if (bytes.size() >= 2 &&
             (bytes.substr(0, 2) == "\xFF\xFE" || bytes.substr(0, 2) == "\xFE\xFF")) {
    const bool big = bytes[0] == '\xFE';
    encoding_ = big ? Encoding::Utf16Be : Encoding::Utf16Le;
    decoded = text::Utf16ToUtf8(bytes.substr(2), big);
    bytes = decoded;
  }
  Parse(bytes);
}

void Profile::Parse(std::string_view text) {
  lines_.clear();
  const std::size_t first_lf = text.find('\n');
  eol_ = (first_lf != text.npos && first_lf > 0 && text[first_lf - 1] == '\r') ? "\r\n" : "\n";
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == text.npos) end = text.size();
    std::string_view raw = text.substr(pos, end - pos);
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    pos = end + 1;

    Line line;
    line.raw = std::string(raw);
    std::string_view body = Trim(Readable(raw));
    if (!body.empty() && body[0] == '[') {
      std::size_t close = body.find(']');
      if (close != body.npos) {
        line.kind = Kind::Section;
        line.folded = Fold(Trim(body.substr(1, close - 1)));
      }
    } else if (!body.empty() && body[0] != ';' && body[0] != '#') {
      std::size_t eq = body.find('=');
      if (eq != body.npos && eq > 0) {
        line.kind = Kind::Entry;
        line.folded = Fold(Trim(body.substr(0, eq)));
        line.value = std::string(Unquote(body.substr(eq + 1)));
      }
    }
    lines_.push_back(std::move(line));
  }
}

std::vector<std::size_t> Profile::SectionLines(const std::string& folded) const {
  std::vector<std::size_t> out;
  bool inside = false;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    if (lines_[i].kind == Kind::Section) inside = lines_[i].folded == folded;
    if (inside) out.push_back(i);
  }
  return out;
}

long Profile::FindEntry(std::string_view section, std::string_view key) const {
  const std::string fkey = Fold(Trim(key));
  for (std::size_t i : SectionLines(Fold(Trim(section)))) {
    if (lines_[i].kind == Kind::Entry && lines_[i].folded == fkey) return static_cast<long>(i);
  }
  return -1;
}

std::string Profile::GetString(std::string_view section, std::string_view key, std::string_view def,
                               std::size_t max_chars) const {
  long i = FindEntry(section, key);
  std::string_view v = i >= 0 ? std::string_view(lines_[static_cast<std::size_t>(i)].value) : def;
  return std::string(text::CutToChars(v, max_chars));
}

int Profile::GetInt(std::string_view section, std::string_view key, int def) const {
  long i = FindEntry(section, key);
  if (i < 0) return def;
  const std::string& v = lines_[static_cast<std::size_t>(i)].value;
  return v.empty() ? def : ParseInt(v);
}

bool Profile::HasKey(std::string_view section, std::string_view key) const {
  return FindEntry(section, key) >= 0;
}

bool Profile::HasSection(std::string_view section) const {
  return !SectionLines(Fold(Trim(section))).empty();
}

std::vector<std::pair<std::string, std::string>> Profile::Entries(std::string_view section) const {
  std::vector<std::pair<std::string, std::string>> out;
  std::vector<std::string> seen;
  for (std::size_t i : SectionLines(Fold(Trim(section)))) {
    const Line& l = lines_[i];
    if (l.kind != Kind::Entry) continue;
    bool dup = false;
    for (const auto& s : seen) dup = dup || s == l.folded;
    if (dup) continue;
    seen.push_back(l.folded);
    std::string_view body = Readable(l.raw);
    out.emplace_back(std::string(Trim(body.substr(0, body.find('=')))), l.value);
  }
  return out;
}

std::vector<std::string> Profile::Sections() const {
  std::vector<std::string> out, folded;
  for (const Line& l : lines_) {
    if (l.kind != Kind::Section) continue;
    bool dup = false;
    for (const auto& f : folded) dup = dup || f == l.folded;
    if (dup) continue;
    folded.push_back(l.folded);
    std::string_view body = Trim(Readable(l.raw));
    out.emplace_back(Trim(body.substr(1, body.find(']') - 1)));
  }
  return out;
}

bool Profile::SetString(std::string_view section, std::string_view key, std::string_view value) {
  if (!ValidSectionName(section) || !ValidKeyName(key)) return false;
  value = value.substr(0, value.find_first_of(std::string_view("\r\n\0", 3)));
  const std::string written = QuoteIfNeeded(value);

  long found = FindEntry(section, key);
  if (found >= 0) {
    Line& l = lines_[static_cast<std::size_t>(found)];
    if (l.value == value) return true;  // a hand-written line that reads the same stays as is
    // Keep the key as spelled in the file; replace only what follows it.
    std::string_view body = Readable(l.raw);
    std::string name(Trim(body.substr(0, body.find('='))));
    l.raw = name + "=" + written;
    l.value = std::string(value);
    changed_ = true;
    return true;
  }

  Line entry;
  entry.kind = Kind::Entry;
  entry.folded = Fold(Trim(key));
  entry.raw = std::string(Trim(key)) + "=" + written;
  entry.value = std::string(value);
  changed_ = true;

  std::vector<std::size_t> sec = SectionLines(Fold(Trim(section)));
  if (!sec.empty()) {
    // After the last entry of the first block, else right after its header.
    std::size_t at = sec[0] + 1;
    for (std::size_t k = 1; k < sec.size() && lines_[sec[k]].kind != Kind::Section; ++k) {
      if (lines_[sec[k]].kind == Kind::Entry) at = sec[k] + 1;
    }
    lines_.insert(lines_.begin() + static_cast<long>(at), std::move(entry));
    return true;
  }

  // A new section at the end, after a blank line unless the file is empty or ends with one.
  if (!lines_.empty() && !Trim(lines_.back().raw).empty()) lines_.push_back(Line{});
  Line header;
  header.kind = Kind::Section;
  header.folded = Fold(Trim(section));
  header.raw = "[" + std::string(Trim(section)) + "]";
  lines_.push_back(std::move(header));
  lines_.push_back(std::move(entry));
  return true;
}

bool Profile::SetInt(std::string_view section, std::string_view key, int value) {
  return SetString(section, key, std::to_string(value));
}

void Profile::ClearSection(std::string_view section) {
  std::vector<std::size_t> sec = SectionLines(Fold(Trim(section)));
  for (auto it = sec.rbegin(); it != sec.rend(); ++it) {
    if (lines_[*it].kind == Kind::Entry) {
      lines_.erase(lines_.begin() + static_cast<long>(*it));
      changed_ = true;
    }
  }
}

void Profile::DeleteSection(std::string_view section) {
  std::vector<std::size_t> sec = SectionLines(Fold(Trim(section)));
  for (auto it = sec.rbegin(); it != sec.rend(); ++it) {
    lines_.erase(lines_.begin() + static_cast<long>(*it));
    changed_ = true;
  }
}

void Profile::DeleteKey(std::string_view section, std::string_view key) {
  const std::string fkey = Fold(Trim(key));
  std::vector<std::size_t> sec = SectionLines(Fold(Trim(section)));
  for (auto it = sec.rbegin(); it != sec.rend(); ++it) {
    if (lines_[*it].kind == Kind::Entry && lines_[*it].folded == fkey) {
      lines_.erase(lines_.begin() + static_cast<long>(*it));
      changed_ = true;
    }
  }
}

std::string Profile::Serialize() const {
  std::string out;
  for (const Line& l : lines_) {
    out += l.raw;
    out += eol_;
  }
  switch (encoding_) {
    case Encoding::Utf8:
      return out;
    case Encoding::Utf8Bom:
      return "\xEF\xBB\xBF" + out;
    case Encoding::Utf16Le:
      return "\xFF\xFE" + text::Utf8ToUtf16(out, false);
    case Encoding::Utf16Be:
      return "\xFE\xFF" + text::Utf8ToUtf16(out, true);
  }
  return out;
}

bool Profile::Save() const {
  return !path_.empty() && !unreadable_ && WriteFileAtomically(path_, Serialize());
}

bool Profile::SaveIfChanged() const {
  if (existed_ && Serialize() == loaded_) return true;
  return Save();
}

bool Profile::SaveAs(const std::string& path) const {
  return WriteFileAtomically(path, Serialize());
}

// ---- One-shot calls ----

std::string ReadString(const std::string& path, std::string_view section, std::string_view key,
                       std::string_view def, std::size_t max_chars) {
  return Profile(path).GetString(section, key, def, max_chars);
}

int ReadInt(const std::string& path, std::string_view section, std::string_view key, int def) {
  return Profile(path).GetInt(section, key, def);
}

namespace {
template <typename Change>
bool Edit(const std::string& path, Change change) {
  Profile p(path);
  if (!change(p)) return false;
  return !p.changed() || p.SaveIfChanged();
}
}  // namespace

bool WriteString(const std::string& path, std::string_view section, std::string_view key,
                 std::string_view value) {
  return Edit(path, [&](Profile& p) { return p.SetString(section, key, value); });
}

bool ClearSection(const std::string& path, std::string_view section) {
  return Edit(path, [&](Profile& p) {
    p.ClearSection(section);
    return true;
  });
}

bool DeleteSection(const std::string& path, std::string_view section) {
  return Edit(path, [&](Profile& p) {
    p.DeleteSection(section);
    return true;
  });
}

bool DeleteKey(const std::string& path, std::string_view section, std::string_view key) {
  return Edit(path, [&](Profile& p) {
    p.DeleteKey(section, key);
    return true;
  });
}

}  // namespace profile
