// The settings file Sonderlane.ini: where it lies, reading it into AppSettings with the
// normalisation of each key, writing AppSettings back, the playback state of the previous run,
// the yt-dlp program's location and the entries of the Recent Files menu.
//
// Order at start-up: ReadAllowMultipleInstances (before anything else), LoadSettings (before
// the main window), LoadEffectSettings (while the window is created, after the effect values
// were reset to the table's defaults), RestorePlaybackState (after the window is shown).
// At exit: SavePlaybackState, then SaveSettings. UI thread only.
//
// Failures: reading never fails (a missing file or key gives the defaults); a write that fails
// returns false and changes nothing else, and the program goes on with the values in memory.
#pragma once

#include <string>
#include <vector>

#include "settings.h"

// ---- Location ----

// The folder of the running executable (from /proc/self/exe), without a trailing '/'.
std::string ExecutableDir();
// Tests: makes ExecutableDir() return `dir`; empty returns to /proc/self/exe.
void SetExecutableDirForTesting(const std::string& dir);

// The settings file by the location rule. With `installed.txt` beside the executable:
// $XDG_CONFIG_HOME/Sonderlane/Sonderlane.ini (default ~/.config), the folder created when
// missing; when no such folder can be named, or without `installed.txt`: Sonderlane.ini beside
// the executable.
std::string ResolveSettingsPath();

// The single-instance switch ([Playback] AllowMultipleInstances), read from the file at the
// path of the rule before the settings are loaded.
bool ReadAllowMultipleInstances();

// The yt-dlp program: the first existing file of $XDG_DATA_HOME/Sonderlane/yt-dlp,
// <executable folder>/lib/yt-dlp, <executable folder>/yt-dlp, else an executable yt-dlp on
// PATH; empty when there is none.
std::string FindYtDlp();

// ---- The settings ----

// Resolves the path into Settings().Path, reads [Playback] .. [General] into Settings() with
// the normalisation of each key, finds yt-dlp, and hands the language to the applier below.
void LoadSettings();
// Reads [DSPEffects], [DSPParams] (each value clamped by the parameter table; missing or empty
// gives the table's default) and [RecentFiles] into Settings().
void LoadEffectSettings();
// Writes every section of AppSettings (not [State] and [Playlist]) in one atomic write; other
// sections and lines of the file stay. False when the file could not be written.
bool SaveSettings();

// The language hook: LoadSettings passes [General] Language (possibly empty) to this function
// when one is set. Start-up installs it before LoadSettings with the localization's
// ApplyLanguageSetting, which applies the code, or chooses a language when it is empty; a code
// the program does not know ("de") is kept as written so the next save writes it back.
using LanguageApplier = void (*)(const std::string& code);
void SetLanguageApplier(LanguageApplier apply);

// ---- The playback state of the previous run ----

// Writes [State] and [Playlist] at exit: with RememberState the entries, the current index
// (may be -1) and, when it names an entry, that entry and `position_seconds`; without
// RememberState an empty state. False when the file could not be written.
bool SavePlaybackState(const std::vector<std::string>& entries, int current,
                       double position_seconds);

// What the previous run left to open. `entries` is empty when there is nothing to restore.
struct RestoredPlayback {
  std::vector<std::string> entries;  // the new playlist
  int current = -1;                  // index of the entry to open
  double position_seconds = 0;       // where to seek once it opened, when not live and above 0
};
// Reads the stored state (only with RememberState): the stored playlist with its current
// index (0 when out of range), or else the last file alone.
RestoredPlayback RestorePlaybackState();

// ---- The Recent Files menu ----

inline constexpr int kRecentFileCommandBase = 6000;  // command id of entry i: 6000 + i

struct RecentMenuEntry {
  int command_id;     // 6000 + i; 0 for the "(Empty)" item
  std::string label;  // the menu text, with its access key; English "(Empty)" goes through Tr
  bool enabled;
};
// The items of the Recent Files submenu: "&1 name" .. "&0 name" for up to ten entries (the name
// after the last '/' or '\', '&' doubled so it shows as written), or one greyed "(Empty)".
std::vector<RecentMenuEntry> BuildRecentFilesMenu(const std::vector<std::string>& recent_files);
