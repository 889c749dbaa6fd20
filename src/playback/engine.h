// The audio engine: starting the audio library on the chosen output device, buffering and
// network configuration, the format modules and their report, the default MIDI soundfont,
// switching output devices, and shutting down. UI thread only.
#pragma once

#include <string>
#include <vector>

// Starts the audio library. False (after an error message box) when no output can be started.
bool InitAudioEngine();
// The device number whose name equals `name` exactly, or -1 (the default device).
int FindOutputDevice(const std::string& name);
// The name of device `number`; empty for a number <= 0 or one the library does not know.
std::string OutputDeviceName(int number);
// The device in use: -1 for the system default, 0 for the no-sound output.
int CurrentOutputDevice();
// Lists the format modules into the loaded and failed lists.
void LoadFormatPlugins();
// "Loaded: a, b" and "Failed: c" lines ("(none)" for an empty list).
std::string LoadedPluginsReport();
const std::vector<std::string>& LoadedPlugins();
const std::vector<std::string>& FailedPlugins();
// Restarts the library on device `number`, reopening what played at the same position.
bool SwitchOutputDevice(int number);
// Frees the streams and the library.
void ShutdownAudioEngine();
