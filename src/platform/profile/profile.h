// INI files with the semantics of the Windows profile API: case-insensitive section and key
// names, defaults for missing keys, per-read length limits, unknown lines kept in place, and
// every write replacing the file atomically, so a crash never leaves half a file.
//
// Contract
// - Reading never fails: a missing or unreadable file reads as empty, so every read gives its
//   default. Nothing is created by reading.
// - A write returns false on failure (read-only or missing folder, full disk) and has no other
//   effect: the old file stays as it was and no temporary file is left behind.
// - Many changes, one write: load a Profile, change it in memory, Save() once. The one-shot
//   functions at the bottom load, change and save for each call, like the Windows API.
// - Not thread-safe: one Profile per thread. Two processes saving the same file each write a
//   complete file; the last rename wins.
//
// File syntax as read
// - Lines end with LF or CR LF; the last line may lack its end. A UTF-8 byte order mark is
//   skipped; a UTF-16 (LE or BE) file with its mark is read as text and written back as UTF-16.
// - `[Name]` starts a section; text after `]` is ignored; a `[` line without `]` is no header.
// - `key=value`: the key is the text before the first `=`, the value the text after it; both
//   lose surrounding blanks and tabs, and a value wrapped in a matching pair of `"` or `'`
//   loses the pair. Lines starting with `;` or `#`, blank lines, lines without `=` and lines
//   before the first section are not entries; they are kept as they are.
// - A NUL byte ends what is read of its line (the rest of that line is not part of the key or
//   value), but the line is written back unchanged while it is not replaced.
// - Invalid UTF-8 is kept byte for byte; a value read back is the file's bytes.
// - Names match without regard to letter case: ASCII, Latin-1, Latin Extended-A, Greek and
//   Cyrillic letters fold; other characters must match exactly.
// - A name may occur twice: the first `key=` of a section wins on reading and is the one a
//   write replaces; a section header that occurs twice is one section with both blocks.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace profile {

// Unlimited read length.
inline constexpr std::size_t kNoLimit = static_cast<std::size_t>(-1);

class Profile {
 public:
  Profile() = default;
  // Same as Load(path).
  explicit Profile(const std::string& path);

  // Reads `path` and remembers it for Save(). False when the file does not exist or cannot
  // be read; the profile is then empty (every read gives its default).
  bool Load(const std::string& path);
  // Reads INI text from memory (no path); for tests and parsers of pasted text.
  void LoadText(std::string_view bytes);

  // The value of `key` in `section`, or `def` when the key is missing; either is cut to at
  // most `max_chars` characters (UTF-8 sequences are not split; an invalid byte counts as one).
  std::string GetString(std::string_view section, std::string_view key, std::string_view def,
                        std::size_t max_chars = kNoLimit) const;
  // The value as a decimal integer (see ParseInt); `def` when the key is missing or empty.
  int GetInt(std::string_view section, std::string_view key, int def) const;
  bool HasKey(std::string_view section, std::string_view key) const;
  bool HasSection(std::string_view section) const;
  // Every key of `section` with its value, in file order; a repeated key only once (the first).
  std::vector<std::pair<std::string, std::string>> Entries(std::string_view section) const;
  // Section names in file order, each once.
  std::vector<std::string> Sections() const;

  // Sets `key` in `section`, creating either when missing. The value is cut at its first CR,
  // LF or NUL; a value that would not read back as written (blanks at either end, a pair of
  // quotes around it) is written in double quotes. False, with nothing changed, when the
  // section or key name is empty or holds a line break, or the key holds `=` or begins with
  // `[`, `;` or `#`, or the section name holds `]`.
  bool SetString(std::string_view section, std::string_view key, std::string_view value);
  bool SetInt(std::string_view section, std::string_view key, int value);
  // Removes every entry of the section; its header and any comment lines stay.
  void ClearSection(std::string_view section);
  // Removes the section: its header and every line up to the next section.
  void DeleteSection(std::string_view section);
  // Removes every line of `key` in `section`.
  void DeleteKey(std::string_view section, std::string_view key);

  // Writes the profile to the path it was loaded from, atomically. False on failure, and when
  // the file existed but could not be read (so nothing of it is lost).
  bool Save() const;
  bool SaveAs(const std::string& path) const;
  // Save() when the bytes to write differ from the file's (or there was no file); true when
  // there was nothing to write.
  bool SaveIfChanged() const;
  // The file's bytes as Save() would write them.
  std::string Serialize() const;
  // True when a change was made since loading.
  bool changed() const { return changed_; }
  const std::string& path() const { return path_; }

 private:
  enum class Kind { Other, Section, Entry };
  struct Line {
    std::string raw;  // the line as in the file, without its end
    Kind kind = Kind::Other;
    std::string folded;  // the section or key name, case-folded
    std::string value;   // entries: the value as read
  };

  void Parse(std::string_view text);
  // Indexes of the lines that belong to `folded` (every block of that section), headers
  // included; empty when the section does not exist.
  std::vector<std::size_t> SectionLines(const std::string& folded) const;
  long FindEntry(std::string_view section, std::string_view key) const;

  std::vector<Line> lines_;
  std::string path_;
  std::string loaded_;    // the bytes read by Load()
  bool existed_ = false;  // Load() found the file
  std::string eol_ = "\n";
  enum class Encoding { Utf8, Utf8Bom, Utf16Le, Utf16Be } encoding_ = Encoding::Utf8;
  bool changed_ = false;
  bool unreadable_ = false;  // the file exists but could not be read: Save() refuses
};

// ---- Values: locale-independent, as the settings file needs them ----

// A decimal integer from leading blanks, an optional sign and leading digits; text that is not
// a number gives 0; values beyond the int range saturate.
int ParseInt(std::string_view text);
// A real number from the start of the text (blanks, sign, digits, point, exponent), always with
// `.` as the decimal point whatever the process locale; text that is not a number, and NaN or
// infinity spelled out, give 0; a number beyond the double range gives +/-HUGE_VAL.
double ParseReal(std::string_view text);
// `value` with `decimals` digits after a `.` (as printf "%.*f" in the C locale).
std::string FormatReal(double value, int decimals);

// ---- One-shot calls, one file read (and one atomic write) each ----

std::string ReadString(const std::string& path, std::string_view section, std::string_view key,
                       std::string_view def, std::size_t max_chars = kNoLimit);
int ReadInt(const std::string& path, std::string_view section, std::string_view key, int def);
// Each writes only when the file's content changes; false when the write failed or the names
// were refused.
bool WriteString(const std::string& path, std::string_view section, std::string_view key,
                 std::string_view value);
bool ClearSection(const std::string& path, std::string_view section);
bool DeleteSection(const std::string& path, std::string_view section);
bool DeleteKey(const std::string& path, std::string_view section, std::string_view key);

// ---- Files ----

// The whole file; false when it cannot be opened or read (errno tells why).
bool ReadFileBytes(const std::string& path, std::string* out);
// Replaces `path` with `bytes` so that the file holds either its old or its new content
// whatever happens: a temporary file in the same folder, written and flushed to disk, renamed
// over the file, then the folder flushed. A symbolic link is followed and its target replaced;
// an existing file keeps its permission bits. False on failure, with the old file untouched.
bool WriteFileAtomically(const std::string& path, std::string_view bytes);

namespace testing {
// Failure injection: the `n`-th write(2) or fsync(2) from now (1 = the next) of the atomic
// writer fails with `error`; 0 disarms.
void FailNthWrite(int n, int error);
}  // namespace testing

}  // namespace profile
