// Inside the audio layer: the tempo stream on SoundTouch. Wraps a decoding Source and changes
// tempo (speed without pitch), pitch (without speed) and rate (both), as the attributes
// ATTRIB_TEMPO, ATTRIB_TEMPO_PITCH, ATTRIB_TEMPO_FREQ and ATTRIB_TEMPO_OPTION_* describe.
// Positions, lengths and seeks are in frames of the source: PositionFrames() is the source
// frame whose sound the next Read delivers (SoundTouch's backlog accounted for).
#pragma once

#include <memory>

#include "source.h"

namespace audio::detail {

// The tempo source pulls from `source` (shared: the source handle may stay alive on its own).
std::unique_ptr<Source> MakeTempoSource(std::shared_ptr<Source> source);

}  // namespace audio::detail
