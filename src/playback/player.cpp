// Opening media: local files through the decoder and the tempo processor, network streams,
// the failure messages, and the recent-files list.
#include "player.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <strings.h>

#include "chapters.h"
#include "dsp_chain.h"
#include "playlist.h"
#include "position_memory.h"
#include "settings.h"
#include "shell.h"
#include "tempo.h"
#include "tr.h"

namespace {

// Where the missing-video-engine message sends the user for the video library.
constexpr const char* kVideoLibraryAddress = "https://packages.debian.org/stable/libmpv2";

// Video file extensions, tried by the video engine when it is available.
constexpr std::array<const char*, 14> kVideoExtensions = {
    ".mkv", ".avi", ".mov", ".webm", ".flv", ".ts", ".m2ts",
    ".vob", ".ogv", ".3gp", ".mpg", ".mpeg", ".m4v", ".divx"};

// The video engine is not part of the program yet: video files get the missing-engine message.
bool IsVideoEngineAvailable() { return false; }

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  size_t n = std::char_traits<char>::length(prefix);
  return text.size() >= n && strncasecmp(text.c_str(), prefix, n) == 0;
}

// The text from the last '.' on, or empty.
std::string ExtensionOf(const std::string& path) {
  size_t dot = path.find_last_of('.');
  size_t slash = path.find_last_of("/\\");
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  return path.substr(dot);
}

bool ExtensionIn(const std::string& ext, const auto& list) {
  return std::any_of(std::begin(list), std::end(list),
                     [&](const char* e) { return strcasecmp(ext.c_str(), e) == 0; });
}

bool IsMidiExtension(const std::string& ext) {
  static constexpr std::array<const char*, 4> kMidi = {".mid", ".midi", ".kar", ".rmi"};
  return ExtensionIn(ext, kMidi);
}

// ---- Sync callbacks: the audio library's thread; they only post ----

void OnOutputEnd(audio::HSYNC, audio::DWORD, audio::DWORD, void*) {
  const AppSettings& s = Settings();
  long load_paused = (!s.AutoAdvance && s.RepeatMode == 0) ? 1 : 0;
  if (shell::MainWindow* w = shell::Main()) w->PostCommand(shell::kCommandNextTrack, load_paused);
}

// The library's sync thread: the information channel is the channel the sync is set on.
void OnDownloadComplete(audio::HSYNC, audio::DWORD channel, audio::DWORD, void*) {
  if (Chapters().empty()) LoadChapters(channel);
}

void OnStreamMetadata(audio::HSYNC, audio::DWORD, audio::DWORD, void*) {
  if (shell::MainWindow* w = shell::Main()) w->PostMessage(shell::kStreamMetadata, 0, 0);
}

// Reads the source's rate, bitrate and makes it the information channel.
void TakeSourceInfo(PlayerState& p) {
  audio::ChannelInfo info;
  if (audio::ChannelGetInfo(p.source, &info)) p.source_rate = static_cast<float>(info.freq);
  p.info_channel = p.source;
  float bitrate = 0;
  p.bitrate = audio::ChannelGetAttribute(p.source, audio::ATTRIB_BITRATE, &bitrate)
                  ? static_cast<int>(bitrate)
                  : 0;
}

// Builds the output stream through the current tempo processor; 0 on failure.
audio::HSTREAM CreateOutput(PlayerState& p, int algorithm, bool apply_tempo) {
  SelectTempoAlgorithm(algorithm);
  DestroyTempoProcessor();
  TempoProcessor* tp = CurrentTempoProcessor();
  if (!tp) return 0;
  if (apply_tempo) tp->SetTempo(Settings().Tempo);
  tp->SetPitch(Settings().Pitch);
  return tp->Create(p.source, p.source_rate);
}

void SetEndSync(PlayerState& p) {
  p.end_sync = audio::ChannelSetSync(p.output, audio::SYNC_END, 0, OnOutputEnd, nullptr);
}

void ApplyRate(PlayerState& p) {
  float rate = Settings().Rate;
  if (rate != 1.0f) audio::ChannelSetAttribute(p.output, audio::ATTRIB_FREQ, rate * p.source_rate);
}

void ApplyVolumeAndChain(PlayerState& p) {
  const AppSettings& s = Settings();
  SetVolumeStage(s.Volume, p.muted, s.LegacyVolume);
  ApplyDspChain(p.output);
}

// Frees a source that no output could be made from.
void AbandonSource(PlayerState& p) {
  audio::StreamFree(p.source);
  p.source = 0;
  p.info_channel = 0;
  p.opening = false;
}

void Refresh() {
  if (shell::MainWindow* w = shell::Main()) {
    w->UpdateWindowTitle();
    w->UpdateStatusBar();
  }
}

// The last steps of every successful open: volume and effects, the end sync, play, refresh.
bool StartPlaying(PlayerState& p) {
  ApplyVolumeAndChain(p);
  SetEndSync(p);
  audio::ChannelPlay(p.output, false);
  p.kind = MediaKind::Audio;
  p.video_shown = false;
  p.opening = false;
  Refresh();
  return true;
}

bool PlaylistHoldsAtMostOne() { return ThePlaylist().entries.size() <= 1; }

const char* FileFailureReason(int code) {
  switch (code) {
    case audio::ERROR_MEM: return "Out of memory.";
    case audio::ERROR_FILEOPEN: return "Could not open the file.";
    case audio::ERROR_FORMAT: return "Unsupported sample format.";
    case audio::ERROR_NO3D: return "3D sound is not available.";
    case audio::ERROR_FILEFORM: return "Unsupported file format.";
    case audio::ERROR_CODEC: return "Required codec is not available.";
    default: return "Unknown error.";
  }
}

const char* UrlFailureReason(int code) {
  switch (code) {
    case audio::ERROR_FILEOPEN: return "Could not connect to URL.";
    case audio::ERROR_FORMAT: return "Unsupported sample format.";
    case audio::ERROR_SSL: return "SSL/HTTPS not supported.";
    case audio::ERROR_NONET: return "No internet connection.";
    case audio::ERROR_TIMEOUT: return "Connection timed out.";
    case audio::ERROR_FILEFORM: return "Unsupported stream format. Check bass_aac.dll is in lib folder.";
    case audio::ERROR_CODEC: return "Required codec is not available.";
    default: return "Could not open stream.";
  }
}

}  // namespace

PlayerState& Player() {
  static PlayerState state;
  return state;
}

bool IsUrl(const std::string& text) {
  return StartsWithNoCase(text, "http://") || StartsWithNoCase(text, "https://") ||
         StartsWithNoCase(text, "ftp://");
}

std::string FileNameOf(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string FileOpenFailureText(const std::string& path, int error_code) {
  return Tr("Cannot play file:") + "\n" + FileNameOf(path) + "\n\n" + Tr(FileFailureReason(error_code));
}

std::string UrlOpenFailureText(const std::string& url, int error_code) {
  std::string shown = url.size() > 100 ? url.substr(0, 100) + "..." : url;
  return Tr("Cannot play URL:") + "\n" + shown + "\n\n" + Tr("Error: ") +
         Tr(UrlFailureReason(error_code)) + " (" + Tr("code ") + std::to_string(error_code) + ")";
}

std::string MissingVideoEngineText(const std::string& path) {
  return Tr("Cannot play video file:") + "\n" + FileNameOf(path) + "\n\n" +
         Tr("Sonderlane needs libmpv to play video files.") + "\n\n" +
         Tr("Download libmpv (libmpv-2.dll) from:") + "\n" + kVideoLibraryAddress + "\n\n" +
         Tr("Then place libmpv-2.dll (or mpv-2.dll) in the lib folder of Sonderlane.");
}

void ReleaseStreams() {
  PlayerState& p = Player();
  if (p.output) {
    if (p.end_sync) audio::ChannelRemoveSync(p.output, p.end_sync);
    RemoveDspChain();
    audio::ChannelStop(p.output);
    audio::StreamFree(p.output);
    p.output = 0;
    p.end_sync = 0;
  }
  // The processor's output stream is gone; let it forget it rather than free it again.
  DestroyTempoProcessor();
  if (p.source) {
    if (p.meta_sync) audio::ChannelRemoveSync(p.source, p.meta_sync);
    if (p.download_sync) audio::ChannelRemoveSync(p.source, p.download_sync);
    audio::StreamFree(p.source);
    p.source = 0;
  }
  // Syncs on a source that the output owned went with it.
  p.meta_sync = 0;
  p.download_sync = 0;
}

bool OpenMedia(const std::string& path) {
  if (IsUrl(path)) return OpenUrl(path, false);
  const std::string ext = ExtensionOf(path);
  if (IsVideoEngineAvailable() && ExtensionIn(ext, kVideoExtensions)) {
    // The video engine opens video files (not reachable while it is absent).
  } else if (ExtensionIn(ext, kVideoExtensions)) {
    shell::ShowMessage(MissingVideoEngineText(path), shell::Icon::Information);
    return false;
  }
  PlayerState& p = Player();
  const AppSettings& s = Settings();
  p.opening = true;
  p.live = false;
  ReleaseStreams();

  const bool midi = IsMidiExtension(ext) && s.SincInterp;
  if (midi) {
    p.source = audio::MidiStreamCreateFile(
        path, 0, 0, audio::UNICODE_FLAG | audio::MIDI_SINCINTER | audio::STREAM_DECODE | audio::SAMPLE_FLOAT, 0);
  } else {
    p.source = audio::StreamCreateFile(path, 0, 0,
                                       audio::UNICODE_FLAG | audio::STREAM_DECODE | audio::SAMPLE_FLOAT);
  }
  if (!p.source) {
    int code = audio::ErrorGetCode();
    p.opening = false;
    if (PlaylistHoldsAtMostOne()) shell::ShowMessage(FileOpenFailureText(path, code), shell::Icon::Error);
    return false;
  }
  TakeSourceInfo(p);

  p.output = CreateOutput(p, s.TempoAlgorithm, true);
  if (!p.output && s.TempoAlgorithm != 0) {
    DestroyTempoProcessor();
    p.output = CreateOutput(p, 0, true);
  }
  if (!p.output) {
    AbandonSource(p);
    if (PlaylistHoldsAtMostOne()) shell::ShowMessage(Tr("Failed to create tempo stream."), shell::Icon::Error);
    return false;
  }
  if (CurrentTempoProcessor()->AlgorithmId() == 0) p.source = 0;  // the output owns it now

  ApplyRate(p);
  // A remembered position is sought to silently before playback begins.
  double resume = ResumePosition(path);
  if (resume > 0) CurrentTempoProcessor()->SetPositionSeconds(resume);
  LoadChapters(p.info_channel);
  return StartPlaying(p);
}

bool OpenUrl(const std::string& url, bool quiet) {
  if (!StartsWithNoCase(url, "http://") && !StartsWithNoCase(url, "https://")) {
    shell::ShowMessage(Tr("Only http:// and https:// URLs are supported."), shell::Icon::Warning);
    return false;
  }
  PlayerState& p = Player();
  const AppSettings& s = Settings();
  p.opening = true;
  ReleaseStreams();

  // Network failures are final: retrying a dead or refusing server only multiplies the wait.
  // Other failures are tried again with the block-wise download.
  const audio::DWORD flags = audio::STREAM_STATUS | audio::STREAM_DECODE | audio::SAMPLE_FLOAT;
  p.source = audio::StreamCreateURL(url, 0, flags);
  if (!p.source) {
    int code = audio::ErrorGetCode();
    bool network = code == audio::ERROR_FILEOPEN || code == audio::ERROR_NONET ||
                   code == audio::ERROR_TIMEOUT || code == audio::ERROR_SSL;
    if (!network) p.source = audio::StreamCreateURL(url, 0, flags | audio::STREAM_BLOCK);
  }
  if (!p.source) {
    int code = audio::ErrorGetCode();
    p.opening = false;
    if (!quiet) shell::ShowMessage(UrlOpenFailureText(url, code), shell::Icon::Error);
    return false;
  }
  TakeSourceInfo(p);
  p.meta_sync = audio::ChannelSetSync(p.source, audio::SYNC_META, 0, OnStreamMetadata, nullptr);

  audio::QWORD length = audio::ChannelGetLength(p.source, audio::POS_BYTE);
  p.live = length == static_cast<audio::QWORD>(-1) || length == 0;

  SelectTempoAlgorithm(0);
  DestroyTempoProcessor();
  TempoProcessor* tp = CurrentTempoProcessor();
  if (!tp) {
    AbandonSource(p);
    if (!quiet) shell::ShowMessage(Tr("Failed to create tempo processor."), shell::Icon::Error);
    return false;
  }
  if (!p.live) tp->SetTempo(s.Tempo);
  tp->SetPitch(s.Pitch);
  p.output = tp->Create(p.source, p.source_rate);
  if (!p.output) {
    AbandonSource(p);
    if (!quiet) shell::ShowMessage(Tr("Failed to create tempo stream for URL."), shell::Icon::Error);
    return false;
  }
  if (tp->AlgorithmId() == 0) {
    // The output owns the source now; its syncs stay with it and go when it is freed.
    p.source = 0;
  }
  if (!p.live) ApplyRate(p);
  audio::ChannelSetAttribute(p.output, audio::ATTRIB_BUFFER, 1.0f);
  if (!p.live && p.info_channel) {
    // Tags may arrive only with the whole file: look again when the download completes.
    LoadChapters(p.info_channel);
    p.download_sync = audio::ChannelSetSync(p.info_channel, audio::SYNC_DOWNLOAD | audio::SYNC_ONETIME,
                                            0, OnDownloadComplete, nullptr);
  }
  return StartPlaying(p);
}

void AddRecentFile(const std::string& path) {
  if (path.empty() || path.find("://") != std::string::npos) return;
  auto& list = Settings().RecentFiles;
  list.erase(std::remove_if(list.begin(), list.end(),
                            [&](const std::string& e) { return strcasecmp(e.c_str(), path.c_str()) == 0; }),
             list.end());
  list.insert(list.begin(), path);
  if (list.size() > 10) list.resize(10);
}
