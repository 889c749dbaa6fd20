// Inside the audio layer: the producer of sample data behind every stream handle.
// File, URL, MIDI, tempo and procedure streams are all Sources; the channel machinery
// (channel.cpp, mixer.cpp) turns a Source into a playable or decodable channel.
//
// Thread contract: a Source is used by one thread at a time. The channel that owns it
// serialises Read/Seek/Position calls under its own mutex; tag and attribute queries may
// come from any thread and must be safe against a concurrent Read (each Source guards what
// its reader thread changes).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "audio.h"

namespace audio::detail {

struct Format {
  int rate = 44100;
  int channels = 2;
};

// Result of a Read: frames delivered, and whether the source has ended.
// frames == 0 && !ended means "no data yet" (a network stream waiting for bytes).
struct ReadResult {
  int frames = 0;
  bool ended = false;
};

class Source {
 public:
  virtual ~Source() = default;

  virtual Format format() const = 0;

  // Reads up to `frames` interleaved float frames into `out`. When `wait` is true the call may
  // block (bounded by the network time-out) for a network source to deliver; the mixing thread
  // always passes false.
  virtual ReadResult Read(float* out, int frames, bool wait) = 0;

  // Length in frames, -1 when unknown (a live stream).
  virtual std::int64_t LengthFrames() const = 0;

  // Frame position of the next frame Read will deliver.
  virtual std::int64_t PositionFrames() const = 0;

  // Seeks so that the next Read starts at `frame`. Returns false (and sets *error to an
  // ERROR_* code) when the source cannot seek there.
  virtual bool Seek(std::int64_t frame, int* error) = 0;

  // The tag block of kind TAG_* in the documented byte form, empty when there is none.
  virtual std::vector<char> Tags(DWORD kind) const {
    (void)kind;
    return {};
  }

  // Bitrate in kbit/s, 0 when unknown; whether it varies.
  virtual float Bitrate() const { return 0.0f; }
  virtual bool VariableBitrate() const { return false; }

  // CTYPE_* of the channel and the original sample resolution in bits (0 unknown).
  virtual DWORD ChannelType() const { return CTYPE_STREAM; }
  virtual DWORD OriginalResolution() const { return 0; }

  // Float attributes a particular source understands (tempo stream: TEMPO, TEMPO_PITCH, ...).
  // Return false for attributes the source does not know; the channel handles the common ones.
  virtual bool SetAttribute(DWORD attrib, float value) {
    (void)attrib;
    (void)value;
    return false;
  }
  virtual bool GetAttribute(DWORD attrib, float* value) const {
    (void)attrib;
    (void)value;
    return false;
  }

  // Network sources: bytes downloaded so far and the total (-1 when unknown).
  virtual std::uint64_t Downloaded() const { return 0; }
  virtual std::int64_t DownloadTotal() const { return -1; }

  // Events a source raises from its own threads (a network reader): new metadata, download
  // complete. The channel installs the sink once, right after creation, and turns the events
  // into META and DOWNLOAD syncs. The sink must not be called after the Source is destroyed.
  enum class Event { Metadata, DownloadComplete };
  using EventSink = std::function<void(Event)>;
  virtual void SetEventSink(EventSink sink) { (void)sink; }
};

}  // namespace audio::detail
