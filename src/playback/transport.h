// Transport: the position, seeking, stopping, and the clock text. UI thread only.
#pragma once

#include <string>

// The playback position in seconds: the tempo processor's when it is active, else 0.
double GetPosition();
// Stops: a live stream is released entirely; other audio stops and goes back to its start,
// staying loaded.
void StopCommand();
// "%d:%02d" below an hour, else "%d:%02d:%02d"; negative seconds count as 0.
std::string FormatClock(double seconds);
