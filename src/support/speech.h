// Announcements through the user's screen reader. Any thread queues a text with Speak; the main
// window speaks what is queued when it handles shell::kSpeakPending, on the UI thread.
//
// Lifecycle: before InitSpeech (and while no main window exists) Speak drops its text. InitSpeech
// is called once the main window exists; ShutdownSpeech while it is destroyed, after which every
// Speak is dropped again. Failures of speech are never reported: with no screen reader running the
// announcement is simply lost.
#pragma once

#include <string>

// Queues `text` (UTF-8) and posts shell::kSpeakPending to the main window. `interrupt` silences
// the screen reader before this text is said. Never blocks on speech; any thread.
void Speak(const std::string& text, bool interrupt = true);
void Speak(const char* text, bool interrupt = true);
// The same for UTF-16 text, converted to UTF-8 when queued (an unpaired surrogate becomes U+FFFD).
void Speak(const std::u16string& text, bool interrupt = true);
void Speak(const char16_t* text, bool interrupt = true);

// UI thread, once the main window exists: announcements are accepted from now on.
void InitSpeech();

// UI thread, on shell::kSpeakPending: takes everything queued, joins the texts with ", " into one
// utterance (so a burst of announcements does not cut itself off) and hands it to the screen reader
// with the interrupt flag of the oldest text, silencing the screen reader first when that flag is
// set. Returns the joined text, or "" when nothing was queued or speech is not active.
std::string FlushSpeechQueue();

// UI thread, while the main window is destroyed: silences the screen reader, drops whatever is
// still queued without speaking it, and stops accepting announcements.
void ShutdownSpeech();

// Tests: while set, FlushSpeechQueue and ShutdownSpeech leave the screen reader alone (the queue
// still fills, joins and empties as usual), so a test harness can record announcements without
// speaking them.
void SetSpeechSilentForTesting(bool silent);
