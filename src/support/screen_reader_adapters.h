// The built-in rows of the screen-reader table, for screen_reader.cpp only.
#pragma once

#include "screen_reader.h"

// Row 0: Orca through its D-Bus remote controller (screen_reader_orca.cpp).
ScreenReaderEngine MakeOrcaServiceEngine();
// Row 1: Orca running without that service, through Speech Dispatcher (screen_reader_speechd.cpp).
ScreenReaderEngine MakeOrcaSpeechdEngine();
// Row 2: Speech Dispatcher alone (screen_reader_speechd.cpp).
ScreenReaderEngine MakeSpeechDispatcherEngine();

// Whether the next Speech Dispatcher connection may start a missing server (see
// screen_reader_testing::SetSpeechdAutospawn).
void SetSpeechdAutospawnAllowed(bool allowed);
