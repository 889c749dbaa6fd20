// Inside the audio layer: the tempo stream on SoundTouch. Wraps a decoding Source and changes
// tempo (speed without pitch), pitch (without speed) and rate (both), as the attributes
// ATTRIB_TEMPO, ATTRIB_TEMPO_PITCH, ATTRIB_TEMPO_FREQ and ATTRIB_TEMPO_OPTION_* describe.
// Positions, lengths and seeks are in frames of the source: PositionFrames() is the source
// frame whose sound the next Read delivers (SoundTouch's backlog accounted for).
//
// Contract
// - Output format = the source's (rate and channels); the rate change happens inside.
// - Identity settings (tempo 0, pitch 0, TEMPO_FREQ = the source rate) pass the source through
//   bit-exactly with no latency. Other settings add SoundTouch's latency (about 0.1 s of input).
// - Moving between identity and processing, toggling PREVENT_CLICK or changing an option while
//   processing is spliced with an 8 ms crossfade at the matching source frame: nothing read is
//   dropped or repeated beyond that.
// - ATTRIB_TEMPO_OPTION_PREVENT_CLICK: SoundTouch alone clicks when its effective rate (pitch ×
//   rate) reaches or crosses 1.0; with this option SoundTouch only stretches time and the layer's
//   own resampler transposes after it, so no change clicks (the AA filter options then do not
//   apply). Costs about 1.5 % of a core for stereo 44.1 kHz.
// - SEQUENCE_MS and SEEKWINDOW_MS of 0 let SoundTouch choose them from the tempo; OVERLAP_MS of
//   0 gives its shortest overlap; AA_FILTER_LENGTH is rounded to a multiple of 8 (8..128).
// - Read allocates nothing once SoundTouch's buffers have grown (except when an option changes).
//   A stall of the source (0 frames, not ended) returns what is ready, not ended. At the source's
//   end the SoundTouch tail is delivered, then the end is reported.
// - Settings may be set and read from any thread; they take effect at the next Read.
// - Returns nullptr for a null source or an empty format. Formats SoundTouch cannot take (more
//   than 16 channels, above 192 kHz) only pass through: non-identity settings are refused.
#pragma once

#include <memory>

#include "source.h"

namespace audio::detail {

// The tempo source pulls from `source` (shared: the source handle may stay alive on its own).
std::unique_ptr<Source> MakeTempoSource(std::shared_ptr<Source> source);

}  // namespace audio::detail
