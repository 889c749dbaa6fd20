// Transport: play, pause, stop, seeking by the selected unit, volume and mute, spoken times,
// and the clock text. Video is not handled yet: these commands act on audio. UI thread only.
#pragma once

#include <string>

// The playback position in seconds: the tempo processor's when it is active, else 0.
double GetPosition();
// Seeks to `seconds`, clamped to the media.
void SeekAbsolute(double seconds);
// Seeks by `delta` seconds within the media; nothing for live streams or while opening.
void SeekRelative(double delta);

void PlayCommand();
void PauseCommand();
void TogglePlayPause();
// Stops: a live stream is released entirely; other audio stops and goes back to its start,
// staying loaded.
void StopCommand();

// The master volume (0..1, or 0..4 when amplification is allowed), spoken when wanted.
void SetVolume(float value);
void VolumeUp();
void VolumeDown();
void ToggleMute();

void SpeakElapsed();
void SpeakRemaining();
void SpeakTotal();

// The seek units: 0..11 from the settings' table, 12 = chapters.
void SeekBackward();
void SeekForward();
void CycleSeekUnit(int direction);
void SpeakSeekUnit();
// The label of unit `index` ("5 seconds", "1 chapter", ...), untranslated.
const char* SeekUnitLabel(int index);

// "h:m:s", "m:s" or seconds typed in the Jump to Time box; -1 when it is none of them.
double ParseJumpTime(const std::string& text);

// "%d:%02d" below an hour, else "%d:%02d:%02d"; negative seconds count as 0.
std::string FormatClock(double seconds);
