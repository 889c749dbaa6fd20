// Inside the audio layer: network streams (http:// and https://). A reader thread downloads
// through the network layer, removes ICY metadata, decodes with FFmpeg into a float FIFO of
// CONFIG_NET_BUFFER ms, and raises Metadata / DownloadComplete events. Read never blocks the
// mixing thread: with no decoded data it returns 0 frames, not ended (the channel is stalled)
// until CONFIG_NET_PREBUF percent of the buffer is filled again.
#pragma once

#include <memory>
#include <string>

#include "source.h"

namespace audio::detail {

// Connects and reads until the audio format is known. `flags` are StreamCreateURL's
// (STREAM_BLOCK: keep no whole-file copy; STREAM_STATUS: keep the status headers).
// Errors: ERROR_FILEOPEN (connection refused, HTTP error status), ERROR_NONET (host not found),
// ERROR_TIMEOUT, ERROR_SSL, ERROR_FILEFORM (not audio), ERROR_CODEC, ERROR_PROTOCOL (not http).
// Tags: TAG_ICY (ICY response header lines), TAG_HTTP (HTTP response header lines), TAG_META
// (the last metadata block), plus what the decoder finds in the stream.
std::unique_ptr<Source> OpenUrlSource(const std::string& url, DWORD flags, int* error);

}  // namespace audio::detail
