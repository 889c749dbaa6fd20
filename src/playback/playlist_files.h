// Playlist files and folders on disk: which files the player takes, folder scans, reading M3U,
// M3U8 and PLS playlists, writing M3U, and the entries taken from pasted text.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// True when the file name's extension (from its last '.', without regard to case) is one of
// the 17 audio types the player takes from folders, folder loading and pasted file lists.
bool IsSupportedExtension(std::string_view path);

// True when the extension, without regard to case, is ".m3u", ".m3u8" or ".pls".
bool IsPlaylistFile(std::string_view path);

// Appends every supported file under `folder` as folder + "/" + name, in the order the file
// system lists them, descending into subfolders; symbolic links are skipped (they could loop).
// Does nothing when depth is above 32 or the folder cannot be listed. Callers pass depth 0.
void ScanFolder(const std::string& folder, std::vector<std::string>& list, int depth = 0);

// Replaces `list` by the supported files of the folder holding `path` (no recursion, file-system
// order) and returns the index of the entry whose file name equals path's without regard to
// ASCII case, or 0 when there is none. A path without '/' or whose folder cannot be listed
// becomes the only entry (index 0).
int LoadFolderOf(const std::string& path, std::vector<std::string>& list);

// The entries of a playlist file: ".pls" files are read as PLS, all others as M3U. Relative
// lines are resolved against the playlist's folder; URLs, absolute paths and Windows paths (drive
// letter or backslashes) are kept as written; a line naming a folder adds that folder's supported
// files. Lines that are not UTF-8 are read as Windows-1252. A missing file gives no entries.
std::vector<std::string> ReadPlaylistFile(const std::string& path);

// Writes `entries` as an M3U file: UTF-8 with a byte-order mark, CR LF line ends, "#EXTM3U" then
// one entry per line. False when the file could not be created or written.
bool WriteM3u(const std::string& path, const std::vector<std::string>& entries);

// The entries taken from a pasted list of file names: existing folders are scanned, existing
// files with a supported extension are taken, everything else is skipped.
std::vector<std::string> EntriesFromPastedFiles(const std::vector<std::string>& names);

// The entries taken from pasted text: each non-empty line, trimmed of spaces and tabs, is taken
// unchanged when it begins with "http://", "https://", "mms://" or "rtsp://" (exact case);
// otherwise an existing folder is scanned and an existing supported file taken.
std::vector<std::string> EntriesFromPastedText(std::string_view text);
