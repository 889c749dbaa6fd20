// The effect parameters, the cycle through them, and the stream effects applied to the output.
#include "stream_effects.h"

#include <algorithm>
#include <cstdio>

#include "audio.h"
#include "dsp_chain.h"
#include "effect_params.h"
#include "player.h"
#include "settings.h"
#include "speech.h"
#include "tempo.h"
#include "tr.h"

namespace {

int g_current = 0;  // UI thread: the selected parameter; Volume at every start

// A semitone as a rate factor: twelve steps double the rate.
constexpr float kSemitone = 1.0594631f;

float VolumeBound() { return Settings().AllowAmplify ? 4.0f : 1.0f; }

float UpperBound(const EffectParamInfo& p) { return p.id == 0 ? VolumeBound() : p.max; }

bool StreamEffectInCycle(int id) {
  const AppSettings& s = Settings();
  const bool flags[4] = {s.EffectsVolume, s.EffectsPitch, s.EffectsTempo, s.EffectsRate};
  return id >= 0 && id < 4 && flags[id];
}

// Ids of each reverb algorithm (1 Freeverb, 2 DX8, 3 I3DL2).
bool InSelectedReverb(int id) {
  switch (Settings().ReverbAlgorithm) {
    case 1: return id >= 4 && id <= 6;
    case 2: return id >= 7 && id <= 9;
    case 3: return id >= 10 && id <= 13;
    default: return false;
  }
}

bool PlayingLive() { return Player().output && Player().live; }

// The current parameter after the cycle is rebuilt; -1 when the cycle is empty.
int CurrentInCycle() {
  std::vector<int> cycle = BuildEffectCycle();
  if (cycle.empty()) return -1;
  if (std::find(cycle.begin(), cycle.end(), g_current) == cycle.end()) g_current = cycle.front();
  return g_current;
}

// Tempo and rate cannot change a live stream.
bool RefusedForLive(int id) {
  if ((id == 2 || id == 3) && PlayingLive()) {
    Speak(Tr("Not available for live streams"));
    return true;
  }
  return false;
}

// Runs `pick` (returning the new value) on the current parameter, then announces it.
template <typename Pick>
void SetCurrent(Pick pick) {
  int id = CurrentInCycle();
  if (id < 0 || RefusedForLive(id)) return;
  SetEffectParam(id, pick(*FindEffectParam(id)));
  SpeakCurrentEffect();
}

}  // namespace

float GetEffectParam(int id) {
  const AppSettings& s = Settings();
  switch (id) {  // the stream effects live in their own fields; the array mirrors them
    case 0: return s.Volume;
    case 1: return s.Pitch;
    case 2: return s.Tempo;
    case 3: return s.Rate;
    default: return FindEffectParam(id) ? s.EffectParams[static_cast<size_t>(id)] : 0.0f;
  }
}

void SetEffectParam(int id, float x) {
  const EffectParamInfo* p = FindEffectParam(id);
  if (!p) return;
  AppSettings& s = Settings();
  const float v = x < p->min ? p->min : std::min(x, UpperBound(*p));
  s.EffectParams[static_cast<size_t>(id)] = v;
  PlayerState& player = Player();
  TempoProcessor* tp = CurrentTempoProcessor();
  switch (id) {
    case 0:
      s.Volume = v;
      SetVolumeStage(v, player.muted, s.LegacyVolume);
      break;
    case 1:
      s.Pitch = v;
      if (player.output && tp->IsActive()) tp->SetPitch(v);
      break;
    case 2:
      s.Tempo = v;
      if (player.output && !player.live && tp->IsActive()) tp->SetTempo(v);
      break;
    case 3:
      s.Rate = v;
      if (player.output && !player.live) {
        audio::ChannelSetAttribute(player.output, audio::ATTRIB_FREQ, v * player.source_rate);
      }
      break;
    default:
      // The DSP effects read their values when they are attached and on every block.
      break;
  }
}

std::vector<int> BuildEffectCycle() {
  const AppSettings& s = Settings();
  std::vector<int> cycle;
  for (const EffectParamInfo& p : kEffectParams) {
    bool in = false;
    if (p.group < 0) {
      in = StreamEffectInCycle(p.id);
    } else if (p.group == 0) {
      in = InSelectedReverb(p.id);
    } else {
      in = s.DspEnabled[static_cast<size_t>(p.group)];
    }
    if (in) cycle.push_back(p.id);
  }
  return cycle;
}

int CurrentEffectId() { return g_current; }

void CycleEffect(int direction) {
  std::vector<int> cycle = BuildEffectCycle();
  if (cycle.empty()) {
    Speak(Tr("No parameters available"));
    return;
  }
  auto it = std::find(cycle.begin(), cycle.end(), g_current);
  if (it == cycle.end()) {
    g_current = cycle.front();
  } else {
    int i = static_cast<int>(it - cycle.begin()) + direction;
    g_current = cycle[static_cast<size_t>(std::clamp(i, 0, static_cast<int>(cycle.size()) - 1))];
  }
  SpeakCurrentEffect();
}

void AdjustCurrentEffect(int direction) {
  SetCurrent([direction](const EffectParamInfo& p) {
    float v = GetEffectParam(p.id);
    if (p.id == 3 && Settings().RateStepMode == 1) {
      v = direction > 0 ? v * kSemitone : v / kSemitone;
      return std::clamp(v, p.min, p.max);
    }
    const float step = p.id == 0 ? Settings().VolumeStep : p.step;
    v += direction * step;
    if (p.id == 32) {  // rotation wraps around the circle
      while (v > p.max) v -= p.max - p.min;
      while (v < p.min) v += p.max - p.min;
      return v;
    }
    if (p.id == 33 || p.id == 34) {  // two-state switches toggle with either key
      const float period = p.max - p.min + p.step;
      while (v > p.max) v -= period;
      while (v < p.min) v += period;
      return v;
    }
    return std::clamp(v, p.min, UpperBound(p));
  });
}

void ResetCurrentEffect() {
  SetCurrent([](const EffectParamInfo& p) { return p.default_value; });
}

void SetCurrentEffectToMin() {
  SetCurrent([](const EffectParamInfo& p) { return p.min; });
}

void SetCurrentEffectToMax() {
  SetCurrent([](const EffectParamInfo& p) { return UpperBound(p); });
}

void ToggleStreamEffectInCycle(int index) {
  AppSettings& s = Settings();
  bool* flags[4] = {&s.EffectsVolume, &s.EffectsPitch, &s.EffectsTempo, &s.EffectsRate};
  if (index < 0 || index > 3) return;
  *flags[index] = !*flags[index];
  Speak(Tr(kEffectParams[static_cast<size_t>(index)].name) +
        (*flags[index] ? " enabled" : " disabled"));
}

std::string EffectText(int id) {
  const EffectParamInfo* p = FindEffectParam(id);
  if (!p) return {};
  const float v = GetEffectParam(id);
  const std::string name = Tr(p->name);
  char text[64];
  switch (id) {
    case 0:
      std::snprintf(text, sizeof text, "%s %d%s", name.c_str(), static_cast<int>(v * 100 + 0.5f), p->unit);
      break;
    case 1: case 18: case 19: case 20:
      std::snprintf(text, sizeof text, "%s %+.0f%s", name.c_str(), v, p->unit);
      break;
    case 3:
      std::snprintf(text, sizeof text, "%s %.2f%s", name.c_str(), v, p->unit);
      break;
    case 33:
      std::snprintf(text, sizeof text, "3D Mode: %s", v >= 0.5f ? "5.1 Surround" : "Binaural");
      break;
    case 34:
      std::snprintf(text, sizeof text, "3D Rear Speaker: %s", v >= 0.5f ? "On" : "Off");
      break;
    default:
      std::snprintf(text, sizeof text, "%s %.0f%s", name.c_str(), v, p->unit);
  }
  return text;
}

void SpeakCurrentEffect() {
  if (!Settings().SpeechEffect) return;
  Speak(EffectText(g_current));
}
