// The INI layer on real files: Windows profile reading rules, edits that keep every foreign
// line, awkward bytes, and atomic replacement under injected failures.
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "media.h"
#include "profile.h"

namespace fs = std::filesystem;
using testsupport::TempDir;

namespace {

using testsupport::ReadFileText;
using testsupport::WriteFileBytes;

// A string literal with its NUL bytes.
template <std::size_t N>
std::string Bytes(const char (&s)[N]) {
  return std::string(s, N - 1);
}

// Names of the files in `dir` other than `keep`.
std::vector<std::string> OtherFiles(const fs::path& dir, const std::string& keep) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (e.path().filename() != keep) out.push_back(e.path().filename().string());
  }
  return out;
}

// ---- Reading ----

struct ReadCase {
  const char* what;
  std::string file;
  const char* section;
  const char* key;
  const char* def;
  std::size_t max;
  std::string expected;
};

TEST(ProfileRead, FollowsTheWindowsRules) {
  const std::string big(100 * 1024, 'x');
  const ReadCase cases[] = {
      {"plain", "[A]\nk=v\n", "A", "k", "d", profile::kNoLimit, "v"},
      {"section and key ignore case", "[Playback]\nVolume=80\n", "pLAYBACK", "VOLUME", "d",
       profile::kNoLimit, "80"},
      {"missing key gives default", "[A]\nk=v\n", "A", "other", "d", profile::kNoLimit, "d"},
      {"missing section gives default", "[A]\nk=v\n", "B", "k", "d", profile::kNoLimit, "d"},
      {"empty value is a value", "[A]\nk=\n", "A", "k", "d", profile::kNoLimit, ""},
      {"blanks around names and value", "  [ A ]  \n \t k \t=  v w \t\n", "A", "k", "d",
       profile::kNoLimit, "v w"},
      {"double quotes removed", "[A]\nk=\"  v \"\n", "A", "k", "d", profile::kNoLimit, "  v "},
      {"single quotes removed", "[A]\nk='v'\n", "A", "k", "d", profile::kNoLimit, "v"},
      {"unmatched quote kept", "[A]\nk=\"v\n", "A", "k", "d", profile::kNoLimit, "\"v"},
      {"value holds '='", "[A]\nk=a=b\n", "A", "k", "d", profile::kNoLimit, "a=b"},
      {"inline ';' is part of the value", "[A]\nk=1 ; note\n", "A", "k", "d", profile::kNoLimit,
       "1 ; note"},
      {"value cut to max", "[A]\nk=abcdef\n", "A", "k", "d", 3, "abc"},
      {"default cut to max", "[A]\n", "A", "k", "defaults", 3, "def"},
      {"UTF-8 not split by the cut", "[A]\nk=\xC3\xA9t\xC3\xA9\n", "A", "k", "", 2, "\xC3\xA9t"},
      {"max 0 gives nothing", "[A]\nk=v\n", "A", "k", "d", 0, ""},
      {"Latin letters fold", "[\xC3\x89t\xC3\xA9]\nCl\xC3\xA9=1\n", "\xC3\xA9T\xC3\x89",
       "CL\xC3\x89", "d", profile::kNoLimit, "1"},
      {"Cyrillic letters fold", "[\xD0\x9F\xD1\x80\xD0\xBE]\nk=1\n", "\xD0\xBF\xD0\xA0\xD0\x9E",
       "K", "d", profile::kNoLimit, "1"},
      {"first duplicate key wins", "[A]\nk=1\nK=2\n", "A", "k", "d", profile::kNoLimit, "1"},
      {"duplicate section blocks are one section", "[A]\nx=1\n[B]\ny=2\n[a]\nk=3\n", "A", "k", "d",
       profile::kNoLimit, "3"},
      {"keys before any section are not read", "k=1\n[A]\n", "A", "k", "d", profile::kNoLimit, "d"},
      {"comment lines are not keys", "[A]\n;k=1\n#k=2\n", "A", "k", "d", profile::kNoLimit, "d"},
      {"'=' first is no key", "[A]\n=v\n", "A", "", "d", profile::kNoLimit, "d"},
      {"header without ']' is no header", "[A]\n[B\nk=1\n", "A", "k", "d", profile::kNoLimit, "1"},
      {"text after ']' ignored", "[A] trailing\nk=1\n", "A", "k", "d", profile::kNoLimit, "1"},
      {"CR LF line ends", "[A]\r\nk=v\r\nj=w\r\n", "A", "j", "d", profile::kNoLimit, "w"},
      {"no final newline", "[A]\nk=v", "A", "k", "d", profile::kNoLimit, "v"},
      {"UTF-8 byte order mark", "\xEF\xBB\xBF[A]\nk=v\n", "A", "k", "d", profile::kNoLimit, "v"},
      {"NUL ends the value", Bytes("[A]\nk=ab\0cd\nj=1\n"), "A", "k", "d", profile::kNoLimit, "ab"},
      {"NUL line does not hide the next", Bytes("[A]\n\0junk\nj=1\n"), "A", "j", "d",
       profile::kNoLimit, "1"},
      {"invalid UTF-8 kept as bytes", "[A]\nk=\xFF\xC3(\x80\n", "A", "k", "d", profile::kNoLimit,
       "\xFF\xC3(\x80"},
      {"100 KB line read whole", "[A]\nk=" + big + "\nj=1\n", "A", "k", "d", profile::kNoLimit,
       big},
      {"100 KB line cut", "[A]\nk=" + big + "\n", "A", "k", "d", 259, std::string(259, 'x')},
      {"binary junk around", Bytes("\x01\x02[\n]\n[A]\n\x7F=\xFE\nk=v\n"), "A", "k", "d",
       profile::kNoLimit, "v"},
  };
  TempDir dir;
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir.file("case.ini");
    WriteFileBytes(path, c.file);
    profile::Profile p(path);
    EXPECT_EQ(p.GetString(c.section, c.key, c.def, c.max), c.expected);
    EXPECT_EQ(profile::ReadString(path, c.section, c.key, c.def, c.max), c.expected);
  }
}

TEST(ProfileRead, MissingFileGivesDefaultsAndIsNotCreated) {
  TempDir dir;
  const std::string path = dir.file("none.ini");
  profile::Profile p;
  EXPECT_FALSE(p.Load(path));
  EXPECT_EQ(p.GetString("A", "k", "def"), "def");
  EXPECT_EQ(profile::ReadInt(path, "A", "k", 7), 7);
  EXPECT_TRUE(profile::DeleteSection(path, "A"));  // nothing to change: nothing written
  EXPECT_FALSE(fs::exists(path));
}

TEST(ProfileRead, IntegersTakeLeadingDigitsAndEmptyGivesDefault) {
  TempDir dir;
  const std::string path = dir.file("n.ini");
  WriteFileBytes(path, "[N]\na=42\nb= -17xyz\nc=abc\nd=\ne=99999999999\nf=+8\ng=-99999999999\n");
  profile::Profile p(path);
  EXPECT_EQ(p.GetInt("N", "a", 5), 42);
  EXPECT_EQ(p.GetInt("N", "b", 5), -17);
  EXPECT_EQ(p.GetInt("N", "c", 5), 0);
  EXPECT_EQ(p.GetInt("N", "d", 5), 5);
  EXPECT_EQ(p.GetInt("N", "e", 5), INT_MAX);
  EXPECT_EQ(p.GetInt("N", "f", 5), 8);
  EXPECT_EQ(p.GetInt("N", "g", 5), INT_MIN);
  EXPECT_EQ(p.GetInt("N", "missing", 5), 5);
}

// Compiles a locale whose decimal point is a comma into `dir` and switches LC_NUMERIC to it, as
// the GUI toolkit does for a French or German user. False when localedef is not available.
bool UseCommaLocale(const TempDir& dir) {
  WriteFileBytes(dir.file("comma.src"),
       "LC_CTYPE\ncopy \"POSIX\"\nEND LC_CTYPE\nLC_NUMERIC\ndecimal_point \",\"\nthousands_sep "
       "\".\"\n"
       "grouping 3;3\nEND LC_NUMERIC\n");
  testsupport::Run("localedef -c -i " + dir.file("comma.src") + " -f ANSI_X3.4-1968 " +
                   dir.file("xx_COMMA") + " >/dev/null 2>&1");
  ::setenv("LOCPATH", dir.path().c_str(), 1);
  bool ok = std::setlocale(LC_NUMERIC, "xx_COMMA") != nullptr;
  ::unsetenv("LOCPATH");
  char buf[16];
  std::snprintf(buf, sizeof buf, "%.1f", 1.5);
  return ok && std::string(buf) == "1,5";
}

TEST(ProfileValues, RealsIgnoreTheLocale) {
  TempDir dir;
  if (!UseCommaLocale(dir)) GTEST_SKIP() << "localedef could not make a decimal-comma locale";
  struct {
    const char* text;
    double expected;
  } reals[] = {
      {"1.5", 1.5},  {"  -0.25x", -0.25}, {"abc", 0}, {"", 0},
      {"1e3", 1000}, {"nan", 0},          {"inf", 0}, {"+7", 7},
  };
  for (const auto& r : reals) EXPECT_DOUBLE_EQ(profile::ParseReal(r.text), r.expected) << r.text;
  EXPECT_EQ(profile::FormatReal(1.0, 2), "1.00");
  EXPECT_EQ(profile::FormatReal(0.5f, 3), "0.500");
  EXPECT_EQ(profile::FormatReal(-12.0, 1), "-12.0");
  EXPECT_EQ(profile::FormatReal(1.49f, 2), "1.49");
  EXPECT_EQ(profile::FormatReal(0.125, 2), "0.12");  // halfway rounds to even, as printf does
  std::setlocale(LC_NUMERIC, "C");
}

// ---- Writing ----

const char kHandEdited[] =
    "; Sonderlane settings, edited by hand\r\n"
    "\r\n"
    "[Playback]\r\n"
    "; my favourite volume\r\n"
    "Volume = 80\r\n"
    "Shuffle=0\r\n"
    "\r\n"
    "[Foreign]\r\n"
    "Other=kept\r\n"
    "no equals sign here\r\n"
    "\r\n";

TEST(ProfileWrite, KeepsEveryLineItDoesNotChange) {
  TempDir dir;
  const std::string path = dir.file("s.ini");
  WriteFileBytes(path, kHandEdited);
  profile::Profile p(path);
  EXPECT_TRUE(p.SetString("PLAYBACK", "volume", "55"));  // replaced in place, key spelling kept
  EXPECT_TRUE(p.SetString("Playback", "Shuffle", "0"));  // same value: line untouched
  EXPECT_TRUE(p.SetString("Playback", "Rate", "1.00"));  // new key after the section's last key
  EXPECT_TRUE(p.SetString("Fresh", "Key", "x"));         // new section at the end
  ASSERT_TRUE(p.Save());
  EXPECT_EQ(ReadFileText(path),
            "; Sonderlane settings, edited by hand\r\n"
            "\r\n"
            "[Playback]\r\n"
            "; my favourite volume\r\n"
            "Volume=55\r\n"
            "Shuffle=0\r\n"
            "Rate=1.00\r\n"
            "\r\n"
            "[Foreign]\r\n"
            "Other=kept\r\n"
            "no equals sign here\r\n"
            "\r\n"
            "[Fresh]\r\n"
            "Key=x\r\n");
}

TEST(ProfileWrite, SectionOperations) {
  const std::string file =
      "[RecentFiles]\n; "
      "list\nFile0=a\nFile1=b\n\n[Preset_Rock]\nPitch=1\n[Other]\nk=1\nk=2\n[preset_rock]\nTempo="
      "3\n";
  struct {
    const char* what;
    void (*edit)(profile::Profile&);
    const char* expected;
  } cases[] = {
      {"clear keeps header and comments",
       [](profile::Profile& p) { p.ClearSection("recentfiles"); },
       "[RecentFiles]\n; "
       "list\n\n[Preset_Rock]\nPitch=1\n[Other]\nk=1\nk=2\n[preset_rock]\nTempo=3\n"},
      {"delete removes every block of the section",
       [](profile::Profile& p) { p.DeleteSection("PRESET_ROCK"); },
       "[RecentFiles]\n; list\nFile0=a\nFile1=b\n\n[Other]\nk=1\nk=2\n"},
      {"delete key removes its duplicates too",
       [](profile::Profile& p) { p.DeleteKey("other", "K"); },
       "[RecentFiles]\n; "
       "list\nFile0=a\nFile1=b\n\n[Preset_Rock]\nPitch=1\n[Other]\n[preset_rock]\nTempo=3\n"},
      {"a write replaces the first duplicate only",
       [](profile::Profile& p) { p.SetString("Other", "k", "9"); },
       "[RecentFiles]\n; "
       "list\nFile0=a\nFile1=b\n\n[Preset_Rock]\nPitch=1\n[Other]\nk=9\nk=2\n[preset_rock]\nTempo="
       "3\n"},
      {"a new key joins the first block",
       [](profile::Profile& p) { p.SetString("Preset_rock", "Rate", "2"); },
       "[RecentFiles]\n; "
       "list\nFile0=a\nFile1=b\n\n[Preset_Rock]\nPitch=1\nRate=2\n[Other]\nk=1\nk=2\n[preset_rock]"
       "\nTempo=3\n"},
      {"clearing a missing section changes nothing",
       [](profile::Profile& p) { p.ClearSection("Nope"); },
       "[RecentFiles]\n; "
       "list\nFile0=a\nFile1=b\n\n[Preset_Rock]\nPitch=1\n[Other]\nk=1\nk=2\n[preset_rock]\nTempo="
       "3\n"},
  };
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir.file("ops.ini");
    WriteFileBytes(path, file);
    profile::Profile p(path);
    c.edit(p);
    ASSERT_TRUE(p.SaveIfChanged());
    EXPECT_EQ(ReadFileText(path), c.expected);
  }
  // The one-shot calls behave the same.
  const std::string path = dir.file("oneshot.ini");
  WriteFileBytes(path, file);
  EXPECT_TRUE(profile::DeleteKey(path, "RecentFiles", "File1"));
  EXPECT_TRUE(profile::ClearSection(path, "Other"));
  EXPECT_TRUE(profile::DeleteSection(path, "Preset_Rock"));
  EXPECT_TRUE(profile::WriteString(path, "RecentFiles", "File1", "c"));
  EXPECT_EQ(ReadFileText(path), "[RecentFiles]\n; list\nFile0=a\nFile1=c\n\n[Other]\n");
}

TEST(ProfileWrite, ValuesReadBackAsWritten) {
  TempDir dir;
  const std::string path = dir.file("v.ini");
  const std::string values[] = {"plain",      "  leading",    "trailing\t",
                                "\"quoted\"", "'single'",     "a=b;c",
                                "",           "\xC3\xA9\xFF", std::string(100 * 1024, 'y')};
  profile::Profile p(path);
  for (std::size_t i = 0; i < std::size(values); ++i)
    ASSERT_TRUE(p.SetString("V", "k" + std::to_string(i), values[i]));
  ASSERT_TRUE(p.SetString("V", "cut", "first line\r\nInjected=1"));
  ASSERT_TRUE(p.Save());
  profile::Profile q(path);
  for (std::size_t i = 0; i < std::size(values); ++i)
    EXPECT_EQ(q.GetString("V", "k" + std::to_string(i), "?"), values[i]);
  EXPECT_EQ(q.GetString("V", "cut", "?"), "first line");
  EXPECT_FALSE(q.HasKey("V", "Injected"));
}

TEST(ProfileWrite, RefusesNamesThatWouldBreakTheFile) {
  profile::Profile p;
  p.LoadText("[A]\nk=1\n");
  EXPECT_FALSE(p.SetString("", "k", "v"));
  EXPECT_FALSE(p.SetString("A]", "k", "v"));
  EXPECT_FALSE(p.SetString("A\nB", "k", "v"));
  EXPECT_FALSE(p.SetString("A", "", "v"));
  EXPECT_FALSE(p.SetString("A", "k=x", "v"));
  EXPECT_FALSE(p.SetString("A", ";k", "v"));
  EXPECT_FALSE(p.SetString("A", "[k", "v"));
  EXPECT_FALSE(p.SetString("A", "k\r", "v"));
  EXPECT_FALSE(p.changed());
  EXPECT_EQ(p.Serialize(), "[A]\nk=1\n");
}

TEST(ProfileWrite, AwkwardBytesSurviveAnEditElsewhere) {
  TempDir dir;
  const std::string path = dir.file("junk.ini");
  const std::string junk =
      Bytes("[Junk]\nnul=a\0b\n\xFF\xFE\xC3(\n") + "long=" + std::string(100 * 1024, 'z') + "\n";
  WriteFileBytes(path, "\xEF\xBB\xBF" + junk + "[A]\nk=1");  // BOM, no final newline
  profile::Profile p(path);
  ASSERT_TRUE(p.SetString("A", "k", "2"));
  ASSERT_TRUE(p.Save());
  EXPECT_EQ(ReadFileText(path), "\xEF\xBB\xBF" + junk + "[A]\nk=2\n");
}

TEST(ProfileWrite, Utf16FilesStayUtf16) {
  TempDir dir;
  const std::string path = dir.file("wide.ini");
  // "[A]\r\nk=é\r\n" in UTF-16LE with its mark, as a Windows copy may have written it.
  WriteFileBytes(path, Bytes("\xFF\xFE[\0A\0]\0\r\0\n\0k\0=\0\xE9\0\r\0\n\0"));
  profile::Profile p(path);
  EXPECT_EQ(p.GetString("a", "K", ""), "\xC3\xA9");
  ASSERT_TRUE(p.SetString("A", "k", "x"));
  ASSERT_TRUE(p.Save());
  EXPECT_EQ(ReadFileText(path), Bytes("\xFF\xFE[\0A\0]\0\r\0\n\0k\0=\0x\0\r\0\n\0"));
}

// ---- Replacing the file ----

TEST(ProfileAtomic, InjectedFailuresLeaveTheOldFileAndNoTemporary) {
  struct {
    const char* what;
    int nth;
    int error;
  } faults[] = {
      {"write: disk full", 1, ENOSPC},
      {"fsync: I/O error", 2, EIO},
  };
  TempDir dir;
  const std::string path = dir.file("s.ini");
  const std::string old = "[A]\nk=old\n";
  for (const auto& f : faults) {
    SCOPED_TRACE(f.what);
    WriteFileBytes(path, old);
    profile::Profile p(path);
    p.SetString("A", "k", "new");
    profile::testing::FailNthWrite(f.nth, f.error);
    EXPECT_FALSE(p.Save());
    profile::testing::FailNthWrite(0, 0);
    EXPECT_EQ(ReadFileText(path), old);
    EXPECT_TRUE(OtherFiles(dir.path(), "s.ini").empty());
  }
  WriteFileBytes(path, old);
  profile::Profile p(path);
  p.SetString("A", "k", "new");
  EXPECT_TRUE(p.Save());
  EXPECT_EQ(ReadFileText(path), "[A]\nk=new\n");
  EXPECT_TRUE(OtherFiles(dir.path(), "s.ini").empty());
}

// Runs `attempt` as an unprivileged user when the test runs as root (root writes anywhere);
// returns its result, or -1 when privileges could not be dropped.
int AsUnprivilegedUser(bool (*attempt)(const std::string&), const std::string& path) {
  if (::geteuid() != 0) return attempt(path) ? 1 : 0;
  pid_t pid = ::fork();
  if (pid == 0) {
    struct passwd* nobody = ::getpwnam("nobody");
    uid_t uid = nobody ? nobody->pw_uid : 65534;
    gid_t gid = nobody ? nobody->pw_gid : 65534;
    if (::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(3);
    ::_exit(attempt(path) ? 1 : 0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) < 2 ? WEXITSTATUS(status) : -1;
}

TEST(ProfileAtomic, WriteFailuresReturnFalseQuietly) {
  TempDir dir;
  fs::permissions(dir.path(),
                  fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  const fs::path ro = dir.path() / "readonly";
  fs::create_directory(ro);
  const std::string path = (ro / "s.ini").string();
  WriteFileBytes(path, "[A]\nk=old\n");
  fs::permissions(ro, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                          fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
  int r = AsUnprivilegedUser(
      [](const std::string& p) { return profile::WriteString(p, "A", "k", "new"); }, path);
  fs::permissions(ro, fs::perms::owner_all);
  if (r < 0) GTEST_SKIP() << "cannot drop root privileges here; the read-only case needs them";
  EXPECT_EQ(r, 0);
  EXPECT_EQ(ReadFileText(path), "[A]\nk=old\n");
  EXPECT_TRUE(OtherFiles(ro, "s.ini").empty());

  // A folder that does not exist, and a path whose "folder" is a file.
  EXPECT_FALSE(profile::WriteString(dir.file("missing/s.ini"), "A", "k", "v"));
  EXPECT_FALSE(profile::WriteString(path + "/s.ini", "A", "k", "v"));
  // A path that exists but is not a readable file is never replaced.
  fs::create_directory(dir.path() / "adir.ini");
  EXPECT_FALSE(profile::WriteString(dir.file("adir.ini"), "A", "k", "v"));
  EXPECT_TRUE(fs::is_directory(dir.path() / "adir.ini"));
}

TEST(ProfileAtomic, KeepsModeFollowsLinksAndSweepsStaleTemporaries) {
  TempDir dir;
  const std::string real = dir.file("real.ini"), link = dir.file("link.ini");
  WriteFileBytes(real, "[A]\nk=1\n");
  ::chmod(real.c_str(), 0640);
  fs::create_symlink("real.ini", link);
  // A temporary left by a writer killed long ago, and one of a writer that may still run.
  const std::string stale = dir.file(".real.ini.0123456789ab.tmp"),
                    fresh = dir.file(".real.ini.ba9876543210.tmp");
  WriteFileBytes(stale, "half");
  WriteFileBytes(fresh, "half");
  struct utimbuf old_time = {::time(nullptr) - 3600, ::time(nullptr) - 3600};
  ::utime(stale.c_str(), &old_time);

  ASSERT_TRUE(profile::WriteString(link, "A", "k", "2"));
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(ReadFileText(real), "[A]\nk=2\n");
  struct stat st;
  ASSERT_EQ(::stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_FALSE(fs::exists(stale));
  EXPECT_TRUE(fs::exists(fresh));
}

}  // namespace
