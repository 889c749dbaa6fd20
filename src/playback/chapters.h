// The chapters of the current media: read from Vorbis comments (CHAPTERnnn) or ID3v2 CHAP
// frames, or handed in from outside (a podcast's chapter file) for the next open. The list is
// read on the UI thread and may be refilled from the audio library's sync thread when a network
// file finishes downloading, so every access takes its lock.
#pragma once

#include <string>
#include <vector>

#include "audio.h"

struct Chapter {
  double start = 0;  // seconds from the beginning of the source
  std::string title;
};

// A copy of the current chapter list, ascending by start.
std::vector<Chapter> Chapters();
// Fills the list from the channel's tags (Vorbis comments first, else ID3v2), unless external
// chapters are pending: those are kept for exactly this one open.
void LoadChapters(audio::HCHANNEL channel);
// Replaces the list; a non-empty list survives the next LoadChapters.
void SetExternalChapters(std::vector<Chapter> chapters);

// The parsers, on tag blocks in the audio layer's forms.
std::vector<Chapter> VorbisChapters(const std::vector<char>& ogg_block);
std::vector<Chapter> Id3v2Chapters(const std::vector<char>& id3v2_block);

// Chapter navigation with its announcements; false when nothing was done.
bool NextChapter();
bool PreviousChapter();
