// Process search over /proc: FindProcess and getProcessHandle, exported by the executable.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <string>

#include "screen_reader.h"

namespace {

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

bool Contains(const std::string& haystack, const std::string& lower_needle) {
  return !haystack.empty() && Lower(haystack).find(lower_needle) != std::string::npos;
}

// The first `limit` bytes of a /proc file, or "" when it cannot be read.
std::string ReadProcFile(const std::string& path, size_t limit) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::string data(limit, '\0');
  in.read(data.data(), static_cast<std::streamsize>(limit));
  data.resize(static_cast<size_t>(in.gcount()));
  return data;
}

std::string ExecutablePath(const std::string& dir) {
  char buf[4096];
  ssize_t n = readlink((dir + "/exe").c_str(), buf, sizeof buf);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::string FirstArgument(const std::string& dir) {
  std::string cmdline = ReadProcFile(dir + "/cmdline", 4096);
  return cmdline.substr(0, cmdline.find('\0'));
}

std::string ProcessName(const std::string& dir) {
  std::string comm = ReadProcFile(dir + "/comm", 64);
  while (!comm.empty() && (comm.back() == '\n' || comm.back() == '\0')) comm.pop_back();
  return comm;
}

bool IsProcessId(const char* name) {
  if (*name == '\0') return false;
  for (const char* p = name; *p; ++p) {
    if (*p < '0' || *p > '9') return false;
  }
  return true;
}

}  // namespace

extern "C" pid_t getProcessHandle(const char* name, char* path, size_t path_size) {
  if (name == nullptr || *name == '\0') return 0;
  const std::string needle = Lower(name);
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return 0;
  pid_t found = 0;
  while (dirent* entry = readdir(proc)) {
    if (!IsProcessId(entry->d_name)) continue;
    const std::string dir = std::string("/proc/") + entry->d_name;
    std::string exe = ExecutablePath(dir);
    std::string argv0;
    bool match = Contains(exe, needle);
    if (!match) {
      argv0 = FirstArgument(dir);
      match = Contains(argv0, needle) || Contains(ProcessName(dir), needle);
    }
    if (!match) continue;
    found = static_cast<pid_t>(std::strtol(entry->d_name, nullptr, 10));
    if (path != nullptr && path_size > 0) {
      if (exe.empty()) exe = argv0.empty() ? FirstArgument(dir) : argv0;
      size_t n = std::min(exe.size(), path_size - 1);
      std::memcpy(path, exe.data(), n);
      path[n] = '\0';
    }
    break;
  }
  closedir(proc);
  return found;
}

extern "C" bool FindProcess(const char* name, char* path, size_t path_size) {
  return getProcessHandle(name, path, path_size) > 0;
}
