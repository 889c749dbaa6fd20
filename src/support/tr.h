// Translation of the program's texts into English or French. Every text shown or spoken is
// written in English in the code, and that English text is the key of its translation.
//
// Contract: LoadTranslationTables runs once at start-up on the UI thread, before any other
// thread exists and before the settings choose the language; after that the tables are
// read-only and Tr may be called from any thread without a lock. SetLanguage runs on the UI
// thread only. Before the tables are loaded, Tr returns every key unchanged.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// ---- Lookup (any thread) ----

// The text of `key` in the current language; else in the other language; else the key itself.
// A key without an entry that needs more than 511 UTF-16 units, or is not valid UTF-8, gives
// the empty string; so does a null key. Callers look a format string up first and format
// afterwards, so numbers and names land inside the translated sentence.
std::string Tr(std::string_view key);
std::string Tr(const char* key);

// The same lookup under the name the UTF-8 callers use (all text of the program is UTF-8).
inline std::string TrUtf8(std::string_view key) { return Tr(key); }
inline std::string TrUtf8(const char* key) { return Tr(key); }

// ---- Language (UI thread) ----

// Makes French current when `code` is exactly "fr", else English. A null code changes nothing.
void SetLanguage(const char* code);
void SetLanguage(std::string_view code);

// "fr" or "en": the language in use. "en" until SetLanguage is called.
const char* CurrentLanguage();

// The language of the user's environment, for a settings file that names none: "fr" when the
// locale that decides message texts is French, else "en". As POSIX does, the first of LC_ALL,
// LC_MESSAGES and LANG that is set and non-empty decides.
std::string DetectUiLanguage();
// The same rule over given values (null for a variable that is not set).
std::string DetectUiLanguageFrom(const char* lc_all, const char* lc_messages, const char* lang);

// Start-up's choice of language from the [General] Language setting: a non-empty setting is kept
// as it is (only "fr" gives French; "de" gives English and stays "de"), an empty one becomes
// DetectUiLanguage(). The result is made current and is what the settings keep and write back at
// exit, so a detected language is stored after the first run. Start-up installs it as the
// settings' language applier: Settings().Language = ApplyLanguageSetting(code).
std::string ApplyLanguageSetting(std::string_view setting);

// ---- Tables (UI thread, at start-up) ----

// Adds `key` with `text` to the table of `language` ("en" or "fr"), or replaces the text of a
// key already there. Nothing happens when an argument is null or the language is another one.
void RegisterTranslation(const char* language, const char* key, const char* text);

// Registers every built-in entry, English and French, in the program's order. Called once at
// start-up; calling it again registers the same entries again.
void LoadTranslationTables();

// The text that `language`'s table holds for `key`, or null when it has none. For checks of the
// tables; the pointer stays valid for the rest of the process.
const std::string* FindTranslation(std::string_view language, std::string_view key);

// Every key of `language`'s table, in no particular order.
std::vector<std::string> TranslationKeys(std::string_view language);

// ---- Texts of controls and menu items (used by TranslateDialog and TranslateMenu) ----

// Longest text of a dialog control, and of a menu item, that is looked up, in UTF-16 units.
constexpr std::size_t kControlTextUnits = 511;
constexpr std::size_t kMenuTextUnits = 255;
// Longest UTF-8 form of such a text that is looked up, in bytes.
constexpr std::size_t kControlTextBytes = 1023;

// Decides whether a control or menu text is replaced: true, with `translated` set, when `text`
// is non-empty, at most `max_units` UTF-16 units and kControlTextBytes bytes long, and its
// translation differs from it. A translated text is not a key, so a second pass changes nothing.
bool TranslateControlText(std::string_view text, std::size_t max_units, std::string& translated);

// The key made of `text`, a tab and a shortcut name ("Seek &Backward\tLeft" for
// "Seek &Backward"), or empty when no key has that form. wx drops from a menu item's text a
// shortcut that GTK cannot bind (an arrow key without modifier); this finds the item's key again.
std::string MenuKeyWithShortcut(std::string_view text);
