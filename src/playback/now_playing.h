// Now-playing information: tag lookups, stream titles, the number-key announcements and the
// track-change announcement. UI thread only.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "audio.h"

// Speaks the track that PlayItem has just started (when track changes are announced).
void AnnounceTrack();
// Handles a new stream title (the main window's stream-metadata message).
void HandleStreamMetadata();

// ---- Tag lookups ----------------------------------------------------------------------------

// The channel every lookup reads: the source as created when set, else the source stream,
// else the output stream (0 when nothing is loaded).
audio::HCHANNEL TagChannel();

// The value of `key` (TITLE, ARTIST, ALBUM, YEAR, DATE, TRACK, TRACKNUMBER, GENRE, COMMENT,
// DESCRIPTION, ...) from the channel's tag blocks, as UTF-8; empty when not found.
std::string ReadTag(audio::HCHANNEL channel, const std::string& key);

// The text of the first frame `id` (four letters, e.g. "TIT2"; "COMM" skips language and
// description) in a raw ID3v2 tag of version 2, 3 or 4, as UTF-8. Version 2 tags are searched
// under the matching three-letter id. Empty when absent or malformed.
std::string Id3v2Frame(const char* data, std::size_t size, const std::string& id);

// The fields of a 128-byte ID3v1 record; `present` is false when the block is not one.
struct Id3v1Fields {
  bool present = false;
  std::string title, artist, album, year, comment, genre;  // UTF-8
  int track = 0;                                           // ID3v1.1 track, 0 when none
};
Id3v1Fields ParseId3v1(const char* data, std::size_t size);
// The channel's ID3v1 record (present false when it has none).
Id3v1Fields ReadId3v1(audio::HCHANNEL channel);
// The name of ID3v1 genre `index` for 0..79, else empty.
std::string Id3v1GenreName(int index);

// The value of header `name` in an ICY or HTTP header block (lines ending at a line feed or a
// NUL); empty when absent.
std::string FindHeader(const char* data, std::size_t size, const std::string& name);
// The header `name` from the channel's ICY headers, else its HTTP headers.
std::string ReadHeader(audio::HCHANNEL channel, const std::string& name);

// ---- Stream titles --------------------------------------------------------------------------

struct StreamTitleParts {
  std::string artist, title;
};
// Splits a stream title into artist and title.
StreamTitleParts SplitStreamTitle(const std::string& text);
// The StreamTitle value of a Shoutcast metadata text (raw, not split); empty when absent.
std::string StreamTitleValue(const std::string& meta);
// The display form of a metadata text: "artist - title", the title, or the raw value.
std::string StreamTitleFromMeta(const std::string& meta);
// The channel's current stream title; empty without a metadata block.
std::string CurrentStreamTitle(audio::HCHANNEL channel);

// ---- Number keys and the Tag dialog -----------------------------------------------------------

// The spoken text of number key `key` (0..9; 1 title, 2 artist, ... 9 duration, 0 file name).
std::string TrackInfoText(int key);
// Speaks it with interruption.
void SpeakTrackInfo(int key);
// The speak commands 260..269 (key = command - 260) and 214 (as key 1); false for other ids.
bool HandleSpeakInfoCommand(int command);

// The Tag dialog's caption for `key` ("Title" ... "Filename", untranslated) and its value text.
std::string TagFieldCaption(int key);
std::string TagFieldValue(int key);

// Seconds as the duration sentence of key 9 ("Duration: 1 hours, 2 minutes, 5 seconds").
std::string DurationText(double seconds);
