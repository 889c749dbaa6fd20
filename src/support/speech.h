// Announcements through the user's screen reader. Speak may be called from any thread.
#pragma once

#include <functional>
#include <string>

// Queues `text` for the screen reader; `interrupt` cuts off what is being said.
void Speak(const std::string& text, bool interrupt = true);

// Where announcements go. The program installs its speech output at start-up; tests install a
// recorder. Without a sink, announcements are dropped silently (as with no screen reader).
using SpeechSink = std::function<void(const std::string& text, bool interrupt)>;
void SetSpeechSink(SpeechSink sink);
