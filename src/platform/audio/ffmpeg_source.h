// Inside the audio layer: decoding through FFmpeg (libavformat/libavcodec/libswresample) into
// interleaved 32-bit float at the file's own sample rate and channel count.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "source.h"

namespace audio::detail {

// A blocking byte input for the decoder (the network layer provides one per URL stream).
class ByteReader {
 public:
  virtual ~ByteReader() = default;
  // Reads up to `size` bytes; returns the count, 0 at the end, or a negative value on error
  // (after a time-out or a lost connection).
  virtual int Read(std::uint8_t* buffer, int size) = 0;
  // Moves to an absolute byte offset; false when the input cannot seek there.
  virtual bool Seek(std::int64_t offset) = 0;
  // Total size in bytes, -1 when unknown (a live stream).
  virtual std::int64_t Size() const = 0;
};

// Opens a local file. On failure returns null and sets *error to ERROR_FILEOPEN (cannot open),
// ERROR_FILEFORM (not a recognised media file, or a file with no audio), ERROR_CODEC (audio
// codec not available) or ERROR_FORMAT (a sample format that cannot be converted).
// `offset`/`length` restrict the file to a byte range (0, 0 = the whole file).
std::unique_ptr<Source> OpenFfmpegFile(const std::string& path, std::uint64_t offset,
                                       std::uint64_t length, int* error);

// Opens a decoder over `reader`. `name_hint` (a URL or file name) helps probing; `mime_type`
// may be empty. Error codes as for OpenFfmpegFile. The source owns the reader.
std::unique_ptr<Source> OpenFfmpegReader(std::unique_ptr<ByteReader> reader,
                                         const std::string& name_hint,
                                         const std::string& mime_type, int* error);

}  // namespace audio::detail
