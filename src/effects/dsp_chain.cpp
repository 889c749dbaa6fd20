// The effect chain of the output stream and its master volume stage.
#include "dsp_chain.h"

#include <atomic>

namespace {

// ---- UI thread ----
audio::HSTREAM g_stream = 0;   // the stream the chain is attached to
audio::HDSP g_volume_dsp = 0;
bool g_legacy = false;
float g_legacy_gain = 1.0f;    // the volume attribute's value with the legacy volume

// ---- shared with the mixing thread ----
std::atomic<float> g_gain{1.0f};

// Priority that puts the volume stage after every other stage.
constexpr int kVolumePriority = -2000000000;

// Mixing thread: multiplies every sample by the gain; 1.0 leaves the samples bit-identical.
void VolumeStage(audio::HDSP, audio::DWORD, void* buffer, audio::DWORD length, void*) {
  const float gain = g_gain.load(std::memory_order_relaxed);
  if (gain == 1.0f) return;
  auto* s = static_cast<float*>(buffer);
  const audio::DWORD n = length / sizeof(float);
  for (audio::DWORD i = 0; i < n; ++i) s[i] *= gain;
}

}  // namespace

void SetVolumeStage(float volume, bool muted, bool legacy) {
  g_legacy = legacy;
  float gain = muted ? 0.0f : volume * volume;
  if (legacy) {
    g_gain = 1.0f;
    g_legacy_gain = gain;
    if (g_stream) audio::ChannelSetAttribute(g_stream, audio::ATTRIB_VOL, gain);
  } else {
    g_gain = gain;
  }
}

void ApplyDspChain(audio::HSTREAM output) {
  if (!output) return;
  if (g_stream != output) {
    g_stream = output;
    g_volume_dsp = 0;
  }
  if (g_legacy) {
    audio::ChannelSetAttribute(output, audio::ATTRIB_VOL, g_legacy_gain);
    return;
  }
  if (!g_volume_dsp) {
    g_volume_dsp = audio::ChannelSetDSP(output, VolumeStage, nullptr, kVolumePriority);
  }
}

void RemoveDspChain() {
  if (g_stream && g_volume_dsp) audio::ChannelRemoveDSP(g_stream, g_volume_dsp);
  g_volume_dsp = 0;
  g_stream = 0;
}
