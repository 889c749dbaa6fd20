// The log file: one time-stamped line per call, rotated to a single backup above 1048575 bytes.
#include "log.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <mutex>

namespace {

// A log larger than this is moved to the backup before the next line is written.
constexpr off_t kRotateAboveBytes = 0xFFFFF;  // 1048575

// g_path is written by LogStart before the log is enabled and read under g_mutex after.
std::mutex g_mutex;  // serialises rotation and writing
std::string g_path;
std::atomic<bool> g_enabled{false};

std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  if (passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr) return pw->pw_dir;
  return {};
}

// $XDG_STATE_HOME/Sonderlane, or ~/.local/state/Sonderlane; a relative $XDG_STATE_HOME is
// ignored, as the XDG rules say.
std::string LogFolder() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/Sonderlane";
  std::string home = HomeFolder();
  return home.empty() ? std::string() : home + "/.local/state/Sonderlane";
}

void RotateIfNeeded(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || st.st_size <= kRotateAboveBytes) return;
  const std::string backup = path + ".old";
  unlink(backup.c_str());
  rename(path.c_str(), backup.c_str());
}

std::string FormatLine(const std::string& tag, const std::string& message) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "[%04d-%02d-%02d %02d:%02d:%02d] ", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  return stamp + ("[" + tag + "] ") + message + "\r\n";
}

}  // namespace

void LogStart() {
  {
    std::lock_guard lock(g_mutex);
    std::string folder = LogFolder();
    if (!folder.empty()) {
      std::error_code ignored;
      std::filesystem::create_directories(folder, ignored);
      g_path = folder + "/sonderlane.log";
    } else {
      g_path.clear();
    }
  }
  g_enabled = true;
  LogWrite("INIT", "Sonderlane logger started");
}

void LogStop() {
  if (!g_enabled) return;
  LogWrite("EXIT", "Sonderlane logger stopped");
  g_enabled = false;
}

void LogWrite(const std::string& tag, const std::string& message) {
  if (!g_enabled) return;
  std::lock_guard lock(g_mutex);
  if (g_path.empty()) return;
  RotateIfNeeded(g_path);
  int fd = open(g_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  const std::string line = FormatLine(tag, message);
  ssize_t ignored = write(fd, line.data(), line.size());  // one write: lines never interleave
  (void)ignored;
  close(fd);
}

std::string LogFilePath() {
  std::lock_guard lock(g_mutex);
  return g_path;
}
