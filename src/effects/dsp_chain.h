// The chain of effects on the output stream, ending with the master volume stage. The
// switchable effects join the chain with their own module; the volume stage is always last.
// UI thread, except the stages themselves, which run on the audio mixing thread.
#pragma once

#include "audio.h"

// Attaches what is enabled and not attached yet to `output`, then the volume stage.
void ApplyDspChain(audio::HSTREAM output);
// Removes everything attached to the stream it was applied to.
void RemoveDspChain();

// The master volume (0..4) and mute, as the volume stage applies them: gain volume², 0 muted.
// With `legacy` the gain is set as the output stream's volume attribute instead.
void SetVolumeStage(float volume, bool muted, bool legacy);
