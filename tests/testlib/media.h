// Test support: temporary folders, media files made with ffmpeg, and sound measurement.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

// A fresh folder under the system temp dir, removed with its contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// Runs a shell command; returns its exit status (-1 when it could not run).
int Run(const std::string& command);
// Runs a shell command and returns what it printed on standard output.
std::string RunOutput(const std::string& command);

// Writes a sine of `freq` Hz, `seconds` long, at `rate` Hz with `channels` channels, into
// `path`; the format follows the extension. `extra` is added to ffmpeg's output options
// (codec, bitrate, metadata). Returns false when ffmpeg failed.
bool MakeSine(const std::string& path, double freq, double seconds, int rate = 44100,
              int channels = 2, const std::string& extra = "");

// Frequency of the first channel of interleaved float audio, from zero crossings with
// sub-sample interpolation; 0 for silence.
double MeasureFrequency(const float* samples, std::size_t frames, int channels, int rate);
// Root mean square over all samples.
double Rms(const float* samples, std::size_t count);
// Reads a whole file as bytes, or as a string.
std::vector<char> ReadFileBytes(const std::string& path);
std::string ReadFileText(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);

// The shared real-world corpus (../shared/corpus beside the project), or empty when absent.
std::string CorpusDir();

}  // namespace testsupport
