// Inside the audio layer: tag blocks read from media files in the byte forms of audio.h
// (TAG_OGG, TAG_ID3V2, TAG_ID3, ...). Pure functions over file bytes, safe on any input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace audio::detail {

// The raw ID3v2 tag at the start of the file (header, frames and padding), empty when none.
std::vector<char> ReadId3v2Block(const std::string& path);
// The 128-byte ID3v1 record at the end of the file, empty when none.
std::vector<char> ReadId3v1Block(const std::string& path);
// The Vorbis comments of an Ogg (Vorbis, Opus, FLAC, Speex) or native FLAC file, in the
// TAG_OGG form (vendor string left out), empty when none.
std::vector<char> ReadVorbisCommentBlock(const std::string& path);
// "KEY=value" texts, each NUL-terminated, then an empty text.
std::vector<char> JoinTagTexts(const std::vector<std::string>& texts);

// The APEv2 (or APEv1) tag at the end of the file, found behind an ID3v1 record, a Lyrics3v2
// block or an appended ID3v2 tag, as text items in the TAG_APE form ("Key=value"; each value of
// a multi-value item becomes its own text; binary items are left out). Empty when none.
std::vector<char> ReadApeBlock(const std::string& path);

// The same readers over the first `size` bytes of a stream already in memory (the start of a
// network stream): a tag reaching past `size` is cut at `size` (ID3v2) or not found (comments).
std::vector<char> Id3v2BlockFromBytes(const std::uint8_t* data, std::size_t size);
std::vector<char> VorbisCommentBlockFromBytes(const std::uint8_t* data, std::size_t size);

}  // namespace audio::detail
