// Position memory: long media resumes where it was left. The threshold is RememberPosMinutes
// (0 turns the feature off); positions live in the library database, keyed by the path or URL
// exactly as the playlist holds it. UI thread only.
#pragma once

#include <string>

// The position to resume `path` at, now that it has been opened: 0 when the feature is off,
// nothing is loaded, the media is shorter than the threshold, or the stored position is not
// strictly between 0 and the length.
double ResumePosition(const std::string& path);

// Stores the current position of the loaded media under `path` (the item being left, or the
// current item at shutdown) when the feature is on and the media is at least as long as the
// threshold.
void SaveItemPosition(const std::string& path);
