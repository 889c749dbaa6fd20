// fake_speechd: the Speech Dispatcher stand-in as a program, for end-to-end tests of the real
// binary. Usage: fake_speechd --socket PATH --log FILE [--seconds N]
// It prints "ready" once it listens, appends one line per event to FILE (see fake_speechd.h), and
// ends on SIGTERM or SIGINT, or after N seconds (default 120) so that a forgotten server never
// outlives its test for long.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "fake_speechd.h"

namespace {
volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }
}  // namespace

int main(int argc, char** argv) {
  std::string socket_path, log_path;
  long seconds = 120;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--socket") == 0) socket_path = argv[i + 1];
    else if (std::strcmp(argv[i], "--log") == 0) log_path = argv[i + 1];
    else if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::strtol(argv[i + 1], nullptr, 10);
  }
  if (socket_path.empty() || log_path.empty() || seconds <= 0) {
    std::fprintf(stderr, "usage: fake_speechd --socket PATH --log FILE [--seconds N]\n");
    return 2;
  }
  signal(SIGTERM, OnSignal);
  signal(SIGINT, OnSignal);
  testsupport::FakeSpeechd server(socket_path, log_path);
  if (!server.Start()) {
    std::fprintf(stderr, "fake_speechd: cannot listen on %s\n", socket_path.c_str());
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!g_stop && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  server.Stop();
  return 0;
}
