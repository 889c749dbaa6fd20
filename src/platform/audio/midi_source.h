// Inside the audio layer: MIDI files rendered by FluidSynth with soundfonts.
// Soundfont handles live in a registry of their own (MidiFontInit / MidiFontFree in audio.h,
// implemented in midi_source.cpp together with DefaultSoundFontPath).
#pragma once

#include <memory>
#include <string>

#include "source.h"

namespace audio::detail {

class MidiSource : public Source {
 public:
  // Replaces the stream's fonts; false with *error set when a font handle is unknown.
  virtual bool SetFonts(const MidiFont* fonts, DWORD count, int* error) = 0;
};

// Opens a Standard MIDI File (also RIFF RMID and .kar). `freq` 0 means 44100. The stream starts
// with the default fonts (MidiStreamSetFonts on handle 0), or the Debian soundfont when no
// default was set, so it is never silent while a soundfont is installed. MIDI_SINCINTER in
// `flags` selects the synthesiser's highest-quality interpolation. Voices come from
// CONFIG_MIDI_VOICES. Errors: ERROR_FILEOPEN, ERROR_FILEFORM (not a MIDI file).
std::unique_ptr<MidiSource> OpenMidiFile(const std::string& path, DWORD flags, DWORD freq,
                                         int* error);

// Sets the default fonts for streams opened later (handle 0 of MidiStreamSetFonts).
bool SetDefaultMidiFonts(const MidiFont* fonts, DWORD count, int* error);

}  // namespace audio::detail
