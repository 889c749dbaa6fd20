// Test support: temporary folders, generated media, sound measurement.
#include "media.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

namespace testsupport {

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::random_device rd;
  for (;;) {
    fs::path p = fs::temp_directory_path() /
                 ("sonderlane-test-" + std::to_string(getpid()) + "-" + std::to_string(rd()));
    std::error_code ec;
    if (fs::create_directory(p, ec)) {
      path_ = p;
      return;
    }
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

int Run(const std::string& command) {
  int status = std::system(command.c_str());
  if (status == -1) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string RunOutput(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
  pclose(pipe);
  return out;
}

bool MakeSine(const std::string& path, double freq, double seconds, int rate, int channels,
              const std::string& extra) {
  std::ostringstream cmd;
  cmd << "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i 'sine=frequency=" << freq
      << ":sample_rate=" << rate << ":duration=" << seconds << "' -ac " << channels << " "
      << extra << " '" << path << "'";
  return Run(cmd.str()) == 0;
}

double MeasureFrequency(const float* samples, std::size_t frames, int channels, int rate) {
  double first = -1, last = -1;
  long crossings = 0;
  for (std::size_t i = 1; i < frames; ++i) {
    float a = samples[(i - 1) * channels], b = samples[i * channels];
    if (a < 0 && b >= 0) {
      double t = (i - 1) + (a / (a - b));  // interpolated crossing
      if (first < 0) first = t;
      last = t;
      ++crossings;
    }
  }
  if (crossings < 2) return 0;
  return (crossings - 1) * rate / (last - first);
}

double Rms(const float* samples, std::size_t count) {
  if (count == 0) return 0;
  double sum = 0;
  for (std::size_t i = 0; i < count; ++i) sum += double(samples[i]) * samples[i];
  return std::sqrt(sum / count);
}

std::vector<char> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<char>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string ReadFileText(const std::string& path) {
  std::vector<char> bytes = ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), bytes.size());
}

std::string CorpusDir() {
  fs::path p = fs::path(SONDERLANE_SOURCE_DIR) / ".." / "shared" / "corpus";
  std::error_code ec;
  if (fs::is_directory(p, ec)) return fs::canonical(p, ec).string();
  return {};
}

}  // namespace testsupport
