// The adjustable sound parameters and the effect cycle: [ and ] walk the parameters that are
// switched on, Up and Down change the selected one, Backspace, Ctrl+Home and Ctrl+End set its
// default, minimum and maximum. Every value passes through SetEffectParam, which clamps it,
// stores it and applies it to the playing output stream. UI thread only.
#pragma once

#include <string>
#include <vector>

// Clamps, stores and applies a parameter (ids of the effect parameter table, 0..37).
void SetEffectParam(int id, float value);
// The current value of a parameter; 0 for an unknown id.
float GetEffectParam(int id);
// The ids available now, in table order.
std::vector<int> BuildEffectCycle();

void CycleEffect(int direction);
void AdjustCurrentEffect(int direction);
void ResetCurrentEffect();
void SetCurrentEffectToMin();
void SetCurrentEffectToMax();
// Puts Volume, Pitch, Tempo or Rate (0..3) into the cycle or takes it out, and says so.
void ToggleStreamEffectInCycle(int index);
// Speaks the current parameter and its value (when effect changes are spoken).
void SpeakCurrentEffect();
// The text SpeakCurrentEffect says for parameter `id`.
std::string EffectText(int id);
// The parameter the next Up or Down changes (0 at start).
int CurrentEffectId();
