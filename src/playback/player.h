// The player state and opening media: every audio source is decoded into a decoding stream
// (the source) and played through the output stream that the tempo processor makes from it.
// All transport, volume and effects act on the output. UI thread only, except the sync
// callbacks, which only post messages to the main window.
#pragma once

#include <string>

#include "audio.h"

enum class MediaKind { None = 0, Audio = 1, Video = 2 };

struct PlayerState {
  MediaKind kind = MediaKind::None;
  audio::HSTREAM source = 0;       // forgotten when the output stream owns it
  audio::HSTREAM output = 0;       // the only stream played, paused and stopped
  audio::HSTREAM info_channel = 0; // the source as created: tags, bitrate, chapters; never freed here
  audio::HSYNC end_sync = 0;
  audio::HSYNC meta_sync = 0;
  audio::HSYNC download_sync = 0;
  bool live = false;               // a network stream without length
  bool opening = false;
  float source_rate = 44100.0f;
  int bitrate = 0;                 // kbit/s at open, 0 unknown
  bool muted = false;
  bool video_shown = false;
  bool full_screen = false;
};

// The process-wide player state.
PlayerState& Player();

// The text begins with http://, https:// or ftp://, in any letter case.
bool IsUrl(const std::string& text);

// Opens a local path (URLs go to OpenUrl) and starts playing it. False on failure, after the
// failure message when the playlist holds at most one entry.
bool OpenMedia(const std::string& path);
// Opens an http(s) stream and starts playing it; `quiet` suppresses the failure messages.
bool OpenUrl(const std::string& url, bool quiet);
// Stops and frees the output and source streams and their syncs.
void ReleaseStreams();
// Puts a local path at the front of the recent-files list (at most 10, no duplicates).
void AddRecentFile(const std::string& path);

// The file name of a path: the text after its last '/' (or '\'), or the whole path.
std::string FileNameOf(const std::string& path);

// The message texts of failed opens (exposed for the message boxes and for tests).
std::string FileOpenFailureText(const std::string& path, int error_code);
std::string UrlOpenFailureText(const std::string& url, int error_code);
std::string MissingVideoEngineText(const std::string& path);
