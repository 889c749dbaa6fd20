// Where the settings file and the yt-dlp program lie: the executable's folder, the XDG base
// folders, and the `installed.txt` marker that chooses between an installed and a portable copy.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "profile.h"
#include "settings_file.h"

namespace {

constexpr const char* kAppFolder = "Sonderlane";
constexpr const char* kSettingsFileName = "Sonderlane.ini";
constexpr const char* kInstalledMarker = "installed.txt";
constexpr const char* kYtDlpName = "yt-dlp";

std::string g_exe_dir_override;  // tests only

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The user's home folder, or empty.
std::string HomeDir() {
  if (const char* h = std::getenv("HOME"); h && h[0] == '/') return h;
  struct passwd pw, *found = nullptr;
  char buf[4096];
  if (::getpwuid_r(::getuid(), &pw, buf, sizeof buf, &found) == 0 && found && found->pw_dir &&
      found->pw_dir[0] == '/')
    return found->pw_dir;
  return {};
}

// An XDG base folder: the variable when it holds an absolute path, else home + `fallback`;
// empty when neither can be named.
std::string XdgDir(const char* variable, const char* fallback) {
  if (const char* v = std::getenv(variable); v && v[0] == '/') return v;
  std::string home = HomeDir();
  return home.empty() ? std::string() : home + fallback;
}

// Creates `dir` and its missing parents (mode 0700, as the XDG folders want); an existing
// folder is not an error.
bool MakeDirs(const std::string& dir) {
  for (std::size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos != dir.size() && dir[pos] != '/') continue;
    std::string part = dir.substr(0, pos);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  struct stat st;
  return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string ExecutableDir() {
  if (!g_exe_dir_override.empty()) return g_exe_dir_override;
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string exe(buf, static_cast<std::size_t>(n));
  std::size_t slash = exe.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "" : exe.substr(0, slash);
}

void SetExecutableDirForTesting(const std::string& dir) {
  g_exe_dir_override = dir;
  while (g_exe_dir_override.size() > 1 && g_exe_dir_override.back() == '/')
    g_exe_dir_override.pop_back();
}

std::string ResolveSettingsPath() {
  const std::string exe_dir = ExecutableDir();
  if (IsRegularFile(exe_dir + "/" + kInstalledMarker)) {
    std::string config = XdgDir("XDG_CONFIG_HOME", "/.config");
    if (!config.empty()) {
      std::string folder = config + "/" + kAppFolder;
      // A folder that cannot be made is not fatal: the writes then fail quietly.
      MakeDirs(folder);
      return folder + "/" + kSettingsFileName;
    }
  }
  return exe_dir + "/" + kSettingsFileName;
}

bool ReadAllowMultipleInstances() {
  return profile::ReadInt(ResolveSettingsPath(), "Playback", "AllowMultipleInstances", 0) != 0;
}

std::string FindYtDlp() {
  const std::string exe_dir = ExecutableDir();
  std::vector<std::string> candidates;
  if (std::string data = XdgDir("XDG_DATA_HOME", "/.local/share"); !data.empty())
    candidates.push_back(data + "/" + kAppFolder + "/" + kYtDlpName);
  candidates.push_back(exe_dir + "/lib/" + kYtDlpName);
  candidates.push_back(exe_dir + "/" + kYtDlpName);
  for (const std::string& c : candidates) {
    if (IsRegularFile(c)) return c;
  }
  // The search path, as the shell would run it.
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "";
  for (std::size_t start = 0; start <= dirs.size();) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    start = end + 1;
    if (dir.empty() || dir[0] != '/') continue;  // relative entries depend on the working folder
    std::string c = dir + "/" + kYtDlpName;
    if (IsRegularFile(c) && ::access(c.c_str(), X_OK) == 0) return c;
  }
  return {};
}
