// The table of the 38 adjustable effect parameters: ids 0-3 are the stream effects (volume,
// pitch, tempo, rate), ids 4-37 belong to the DSP effects and are stored in [DSPParams].
// Data only: no audio, no settings, no state.
#pragma once

#include <array>

inline constexpr int kEffectParamCount = 38;
inline constexpr int kFirstDspParam = 4;  // ids below are the stream effects

// One row of the table. `group` is -1 for a stream effect, else the owning DSP effect 0-7
// (0 reverb, 1 echo, 2 EQ, 3 compressor, 4 stereo width, 5 centre cancel, 6 convolution,
// 7 3D audio). `settings_key` is the key in [DSPParams] for ids 4-37; for ids 0-3 the key of
// [Playback]. `unit` is appended to the spoken value without a space unless it begins with one.
struct EffectParamInfo {
  int id;
  const char* name;
  const char* unit;
  float min;
  float max;
  float step;
  float default_value;
  int group;
  const char* settings_key;
};

// The table, in id order (index == id).
extern const std::array<EffectParamInfo, kEffectParamCount> kEffectParams;

// The row of `id`, or nullptr for an id outside 0-37.
const EffectParamInfo* FindEffectParam(int id);

// `value` limited to the table's range of `id`: the minimum when below it, else at most the
// maximum. A NaN gives the default. The volume row's maximum here is the table's 4.0; the
// caller applies the lower bound of 1.0 when amplification is off. Unknown ids give `value`.
float ClampEffectParam(int id, float value);
