// Decoding plus the tempo stage, as a multiple of real time, against FFmpeg's own decoding of
// the same file to raw float (the ffmpeg program, timed in the same run).
//   bench_decode [SECONDS]   (default 120 s of generated music-like audio per format)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "audio.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// Pulls a decoding channel to its end; returns the seconds of audio delivered.
double Drain(audio::HSTREAM h, int rate, int channels) {
  std::vector<float> buf(16384);
  double frames = 0;
  for (;;) {
    audio::DWORD got = audio::ChannelGetData(h, buf.data(), static_cast<audio::DWORD>(buf.size() * 4));
    if (got == static_cast<audio::DWORD>(-1)) break;
    frames += got / 4.0 / channels;
  }
  return frames / rate;
}

// Our chain: decoder, then the tempo stream (tempo in percent). Best of three runs.
double OursSeconds(const std::string& path, float tempo, bool through_tempo, double* audio_seconds) {
  double best = 1e9;
  for (int run = 0; run < 3; ++run) {
    auto t0 = Clock::now();
    audio::HSTREAM src = audio::StreamCreateFile(path, 0, 0, audio::STREAM_DECODE | audio::SAMPLE_FLOAT);
    audio::HSTREAM h = src;
    if (through_tempo) {
      h = audio::TempoCreate(src, audio::STREAM_DECODE | audio::SAMPLE_FLOAT | audio::FX_FREESOURCE);
      audio::ChannelSetAttribute(h, audio::ATTRIB_TEMPO, tempo);
    }
    audio::ChannelInfo info;
    audio::ChannelGetInfo(h, &info);
    *audio_seconds = Drain(h, info.freq, info.chans);
    audio::StreamFree(h);
    best = std::min(best, Seconds(t0));
  }
  return best;
}

double FfmpegSeconds(const std::string& path) {
  double best = 1e9;
  std::string cmd = "ffmpeg -nostdin -hide_banner -loglevel error -threads 1 -i '" + path +
                    "' -f f32le -y /dev/null";
  for (int run = 0; run < 3; ++run) {
    auto t0 = Clock::now();
    if (std::system(cmd.c_str()) != 0) return -1;
    best = std::min(best, Seconds(t0));
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  double length = argc > 1 ? std::atof(argv[1]) : 120.0;
  auto dir = std::filesystem::temp_directory_path() / "sonderlane-bench";
  std::filesystem::create_directories(dir);
  struct Format {
    const char* name;
    const char* file;
    const char* codec;
  } formats[] = {{"MP3", "music.mp3", "-c:a libmp3lame -b:a 192k"},
                 {"FLAC", "music.flac", "-c:a flac"}};
  std::printf("%-5s %12s %12s %12s %12s %14s\n", "fmt", "ffmpeg xRT", "decode xRT", "tempo0 xRT",
              "tempo+25 xRT", "tempo0/ffmpeg");
  for (const Format& f : formats) {
    std::string path = (dir / f.file).string();
    // A chord with a slow tremolo: enough spectral content to keep the encoders honest.
    std::string make = "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i \"aevalsrc="
                       "0.3*sin(2*PI*220*t)+0.2*sin(2*PI*277*t)*(1+sin(t))+0.2*sin(2*PI*330*t)|"
                       "0.3*sin(2*PI*221*t)+0.2*sin(2*PI*330*t)+0.1*sin(2*PI*3000*t)*sin(3*t):s=44100:d=" +
                       std::to_string(length) + "\" " + f.codec + " '" + path + "'";
    if (std::system(make.c_str()) != 0) return 1;
    double audio_s = 0;
    double ff = FfmpegSeconds(path);
    double dec = OursSeconds(path, 0, false, &audio_s);
    double t0 = OursSeconds(path, 0, true, &audio_s);
    double t25 = OursSeconds(path, 25, true, &audio_s);
    std::printf("%-5s %12.1f %12.1f %12.1f %12.1f %14.2f\n", f.name, length / ff, length / dec,
                length / t0, length / t25, ff / t0);
  }
  std::filesystem::remove_all(dir);
  return 0;
}
