// Test support: a child process started in its own process group and killed with everything it
// started when the object goes away.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace testsupport {

class ChildProcess {
 public:
  ChildProcess() = default;
  // Starts argv[0] (a path) with the test's environment; stdout and stderr go to /dev/null.
  explicit ChildProcess(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&pid_, args[0], &actions, &attr, args.data(), environ) != 0) pid_ = 0;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
  }
  ChildProcess(ChildProcess&& other) noexcept : pid_(std::exchange(other.pid_, 0)) {}
  ChildProcess& operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
      Kill();
      pid_ = std::exchange(other.pid_, 0);
    }
    return *this;
  }
  ~ChildProcess() { Kill(); }

  pid_t pid() const { return pid_; }

  // Kills the process and its group and reaps it.
  void Kill() {
    if (pid_ <= 0) return;
    kill(-pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = 0;
  }

 private:
  pid_t pid_ = 0;
};

}  // namespace testsupport
