// The 38-row effect parameter table: names, units, ranges, steps, defaults and settings keys.
#include "effect_params.h"

#include <cmath>

const std::array<EffectParamInfo, kEffectParamCount> kEffectParams = {{
    // id, name, unit, min, max, step, default, group, settings key
    {0, "Volume", "%", 0.0f, 4.0f, 0.02f, 1.0f, -1, "Volume"},
    {1, "Pitch", " semitones", -12.0f, 12.0f, 1.0f, 0.0f, -1, "Pitch"},
    {2, "Tempo", "%", -75.0f, 200.0f, 5.0f, 0.0f, -1, "Tempo"},
    {3, "Rate", "x", 0.25f, 4.0f, 0.01f, 1.0f, -1, "Rate"},
    {4, "Reverb Mix", "%", 0.0f, 100.0f, 5.0f, 30.0f, 0, "ReverbMix"},
    {5, "Reverb Room", "%", 0.0f, 100.0f, 5.0f, 50.0f, 0, "ReverbRoom"},
    {6, "Reverb Damp", "%", 0.0f, 100.0f, 5.0f, 50.0f, 0, "ReverbDamp"},
    {7, "DX8 Reverb Time", "ms", 1.0f, 3000.0f, 100.0f, 1000.0f, 0, "DX8ReverbTime"},
    {8, "DX8 HF Ratio", "", 0.001f, 0.999f, 0.1f, 0.5f, 0, "DX8ReverbHFRatio"},
    {9, "DX8 Reverb Mix", "dB", -96.0f, 0.0f, 3.0f, -10.0f, 0, "DX8ReverbMix"},
    {10, "I3DL2 Room", "mB", -10000.0f, 0.0f, 500.0f, -1000.0f, 0, "I3DL2Room"},
    {11, "I3DL2 Decay", "s", 0.1f, 20.0f, 0.5f, 1.49f, 0, "I3DL2DecayTime"},
    {12, "I3DL2 Diffusion", "%", 0.0f, 100.0f, 5.0f, 100.0f, 0, "I3DL2Diffusion"},
    {13, "I3DL2 Density", "%", 0.0f, 100.0f, 5.0f, 100.0f, 0, "I3DL2Density"},
    {14, "Echo Delay", "ms", 10.0f, 2000.0f, 50.0f, 300.0f, 1, "EchoDelay"},
    {15, "Echo Feedback", "%", 0.0f, 90.0f, 5.0f, 40.0f, 1, "EchoFeedback"},
    {16, "Echo Mix", "%", 0.0f, 100.0f, 5.0f, 30.0f, 1, "EchoMix"},
    {17, "EQ Preamp", "dB", -15.0f, 0.0f, 1.0f, 0.0f, 2, "EQPreamp"},
    {18, "EQ Bass", "dB", -15.0f, 15.0f, 1.0f, 0.0f, 2, "EQBass"},
    {19, "EQ Mid", "dB", -15.0f, 15.0f, 1.0f, 0.0f, 2, "EQMid"},
    {20, "EQ Treble", "dB", -15.0f, 15.0f, 1.0f, 0.0f, 2, "EQTreble"},
    {21, "Comp Threshold", "dB", -60.0f, 0.0f, 3.0f, -20.0f, 3, "CompThreshold"},
    {22, "Comp Ratio", ":1", 1.0f, 20.0f, 1.0f, 4.0f, 3, "CompRatio"},
    {23, "Comp Attack", "ms", 0.01f, 500.0f, 10.0f, 20.0f, 3, "CompAttack"},
    {24, "Comp Release", "ms", 10.0f, 2000.0f, 50.0f, 200.0f, 3, "CompRelease"},
    {25, "Comp Gain", "dB", -20.0f, 20.0f, 1.0f, 0.0f, 3, "CompGain"},
    {26, "Stereo Width", "%", 0.0f, 200.0f, 10.0f, 100.0f, 4, "StereoWidth"},
    {27, "Center Cancel", "%", -100.0f, 100.0f, 10.0f, 0.0f, 5, "CenterCancel"},
    {28, "Conv Mix", "%", 0.0f, 100.0f, 5.0f, 50.0f, 6, "ConvolutionMix"},
    {29, "Conv Gain", "dB", -20.0f, 20.0f, 1.0f, 0.0f, 6, "ConvolutionGain"},
    {30, "3D Blend", "%", 0.0f, 100.0f, 5.0f, 100.0f, 7, "SpatialBlend"},
    {31, "3D Width", " deg", 15.0f, 90.0f, 5.0f, 45.0f, 7, "SpatialWidth"},
    {32, "3D Rotation", " deg", -180.0f, 180.0f, 5.0f, 0.0f, 7, "SpatialRotation"},
    {33, "3D Mode", "", 0.0f, 1.0f, 1.0f, 0.0f, 7, "SpatialMode"},
    {34, "3D Rear Speaker", "", 0.0f, 1.0f, 1.0f, 1.0f, 7, "SpatialRearCenter"},
    {35, "3D Listener X", "", -50.0f, 50.0f, 1.0f, 0.0f, 7, "SpatialX"},
    {36, "3D Listener Y", "", -50.0f, 50.0f, 1.0f, 0.0f, 7, "SpatialY"},
    {37, "3D Listener Z", "", -50.0f, 50.0f, 1.0f, 0.0f, 7, "SpatialZ"},
}};

const EffectParamInfo* FindEffectParam(int id) {
  if (id < 0 || id >= kEffectParamCount) return nullptr;
  return &kEffectParams[static_cast<size_t>(id)];
}

float ClampEffectParam(int id, float value) {
  const EffectParamInfo* p = FindEffectParam(id);
  if (!p) return value;
  if (std::isnan(value)) return p->default_value;
  if (value < p->min) return p->min;
  return value < p->max ? value : p->max;
}
