// Reading INI files and replacing them atomically: temporary file in the same folder, fsync,
// rename over the old file, fsync of the folder.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <random>

#include "profile.h"

namespace profile {
namespace {

// Temporary files older than this are left over from a writer that was killed; they are removed
// by the next successful write of the same file. A live writer needs milliseconds.
constexpr int kStaleTempSeconds = 600;

std::atomic<int> g_fail_countdown{0};  // failure injection: the n-th write/fsync fails
std::atomic<int> g_fail_error{0};

// True when the armed failure is due now (sets errno).
bool InjectedFailure() {
  int n = g_fail_countdown.load();
  while (n > 0 && !g_fail_countdown.compare_exchange_weak(n, n - 1)) {
  }
  if (n == 1) {
    errno = g_fail_error.load();
    return true;
  }
  return false;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    if (InjectedFailure()) return false;
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool Sync(int fd) {
  if (InjectedFailure()) return false;
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

std::string DirOf(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseOf(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file a write replaces: the target of a symbolic link, else `path` itself.
std::string ResolveTarget(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char buf[PATH_MAX];
  if (::realpath(path.c_str(), buf)) return buf;
  // A dangling link: write where it points.
  ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
  if (n <= 0) return path;
  std::string target(buf, static_cast<std::size_t>(n));
  return target[0] == '/' ? target : DirOf(path) + "/" + target;
}

// Opens a new temporary file beside the target; -1 on failure.
int CreateTemp(const std::string& dir, const std::string& base, std::string* tmp_path) {
  thread_local std::mt19937_64 rng(std::random_device{}() ^ static_cast<unsigned long>(::getpid()));
  for (int attempt = 0; attempt < 16; ++attempt) {
    char suffix[24];
    snprintf(suffix, sizeof suffix, ".%012llx",
             static_cast<unsigned long long>(rng() & 0xFFFFFFFFFFFFull));
    *tmp_path = dir + "/." + base + suffix + ".tmp";
    int fd = ::open(tmp_path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// Removes temporary files of `base` left by writers killed long ago.
void RemoveStaleTemps(const std::string& dir, const std::string& base) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return;
  const std::string prefix = "." + base + ".";
  const time_t now = ::time(nullptr);
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name.size() != prefix.size() + 16 || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - 4, 4, ".tmp") != 0)
      continue;
    std::string full = dir + "/" + name;
    struct stat st;
    if (::lstat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        now - st.st_mtime > kStaleTempSeconds)
      ::unlink(full.c_str());
  }
  ::closedir(d);
}

}  // namespace

bool ReadFileBytes(const std::string& path, std::string* out) {
  out->clear();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  const bool stat_ok = ::fstat(fd, &st) == 0;
  if (!stat_ok || S_ISDIR(st.st_mode)) {
    int err = stat_ok ? EISDIR : errno;
    ::close(fd);
    errno = err;
    return false;
  }
  if (st.st_size > 0) out->reserve(static_cast<std::size_t>(st.st_size));
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int err = errno;
      ::close(fd);
      out->clear();
      errno = err;
      return false;
    }
    if (n == 0) break;
    out->append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return true;
}

bool WriteFileAtomically(const std::string& path, std::string_view bytes) {
  if (path.empty()) return false;
  const std::string target = ResolveTarget(path);
  const std::string dir = DirOf(target), base = BaseOf(target);
  if (base.empty()) return false;

  std::string tmp;
  int fd = CreateTemp(dir, base, &tmp);
  if (fd < 0) return false;
  struct stat st;
  bool ok = true;
  if (::stat(target.c_str(), &st) == 0) ok = ::fchmod(fd, st.st_mode & 07777) == 0;
  ok = ok && WriteAll(fd, bytes) && Sync(fd);
  ok = (::close(fd) == 0) && ok;
  if (!ok || ::rename(tmp.c_str(), target.c_str()) != 0) {
    ::unlink(tmp.c_str());
    return false;
  }
  // The rename is durable once the folder's entry is on disk. Some file systems refuse to sync
  // a folder; the file itself is already complete then, so that is not a failure.
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  RemoveStaleTemps(dir, base);
  return true;
}

namespace testing {
void FailNthWrite(int n, int error) {
  g_fail_error = error;
  g_fail_countdown = n;
}
}  // namespace testing

}  // namespace profile
