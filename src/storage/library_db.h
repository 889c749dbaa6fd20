// LibraryDb: the one SQLite database holding what the user collects — remembered positions,
// bookmarks, radio favorites, podcast subscriptions, scheduled events and the song history.
//
// Contract:
// - One process-wide object, `Library()`, used on the UI thread only; nothing inside locks.
// - Open when the main window is created, Close when it is destroyed (after the last position
//   was saved). When Open fails the program runs on without a database.
// - With no open database every operation is a quiet failure: adds return -1, updates and
//   deletes false, lists an empty vector, LoadPosition 0, the rest do nothing.
// - Failures are results only; no SQLite error text leaves this file. Text is UTF-8 throughout.
// - Another process holding a write lock (a second instance of the player) is waited for up to
//   5000 ms per statement; reads are not blocked by it (the file is in WAL mode).
// - A file we may not write (mode 0444) opens for reading: lists and positions read, every
//   write fails, and nothing is left beside the file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace librarydb {
struct Connection;  // the SQLite handle and its prepared statements (library_db_sqlite.h)
}

// ---- Records handed to callers (plain values, owned by the caller) ----

struct BookmarkRecord {
  int id = 0;
  std::string path;
  double position = 0;  // seconds
  std::string display;  // "name @ m:ss" or "name @ h:mm:ss", see BookmarkDisplayLine
  int64_t created = 0;  // Unix seconds
};

struct RadioFavorite {
  int id = 0;
  std::string name;
  std::string url;
  int64_t created = 0;
  int sort_order = 0;  // 0 = never ordered by the user
};

struct PodcastSubscription {
  int id = 0;
  std::string name;
  std::string feed_url;
  std::string image_url;
  int64_t last_updated = 0;
  int sort_order = 0;
};

struct ScheduledEvent {
  int id = 0;
  std::string name;
  int action = 0;       // 0 play, 1 record, 2 play and record
  int source_type = 0;  // 0 file, 1 radio station
  std::string source_path;
  int radio_station_id = 0;    // radio_favorites id for a station source, else 0
  int64_t scheduled_time = 0;  // next due time, Unix seconds
  int repeat_type = 0;         // 0 once, 1 daily, 2 weekly, 3 weekdays, 4 weekends, 5 monthly
  bool enabled = true;
  int64_t last_run = 0;  // Unix seconds of the last firing, 0 = never
  int duration = 0;      // minutes, 0 = no limit
  int stop_action = 0;   // 0 stop both, 1 playback only, 2 recording only
  std::string display;   // filled by ListScheduledEvents only, see ScheduledEventDisplayLine
};

struct SongHistoryEntry {
  int id = 0;
  std::string title;
  int64_t timestamp = 0;
};

// ---- The database ----

class LibraryDb {
 public:
  LibraryDb();
  ~LibraryDb();
  LibraryDb(const LibraryDb&) = delete;
  LibraryDb& operator=(const LibraryDb&) = delete;

  // Opens (creating when missing) the file at ResolveLibraryDbPath(), or at `path`; creates the
  // tables and adds the columns of older layouts. True when open, also when it already was.
  // False when the file cannot be opened or is no database, or it is locked by another
  // process in a way that keeps even its tables from being read (waits about 5 s then).
  bool Open();
  bool Open(const std::string& path);
  void Close();
  bool IsOpen() const;

  // Updates and deletes below return true when their statement completed, also when no row
  // has the id; lists are empty when reading failed part-way.

  // ---- Positions (one per path, case-sensitive key) ----
  // True when the row was written; callers may ignore the result.
  bool SavePosition(const std::string& path, double seconds);
  double LoadPosition(const std::string& path);  // 0 when unknown or on any failure

  // ---- Bookmarks ----
  int AddBookmark(const std::string& path, double seconds);  // new id or -1
  bool DeleteBookmark(int id);
  std::vector<BookmarkRecord> ListBookmarks();  // newest first, with display lines

  // ---- Radio favorites (order: sort_order, then name without regard to case) ----
  int AddRadioFavorite(const std::string& name, const std::string& url);
  bool UpdateRadioFavorite(int id, const std::string& name, const std::string& url);
  bool DeleteRadioFavorite(int id);
  std::vector<RadioFavorite> ListRadioFavorites();
  // Writes 1, 2, 3 ... in the order of `list` (one UPDATE per entry, step results ignored);
  // true once the statement was prepared.
  bool SaveRadioFavoriteOrder(const std::vector<RadioFavorite>& list);
  bool ResetRadioFavoriteOrder();  // every sort_order 0: alphabetical again

  // ---- Podcast subscriptions (ordered like the favorites) ----
  // -1 also when the feed URL is already subscribed.
  int AddPodcastSubscription(const std::string& name, const std::string& feed_url,
                             const std::string& image_url);
  bool DeletePodcastSubscription(int id);
  bool TouchPodcastSubscription(int id);  // last_updated = now
  std::vector<PodcastSubscription> ListPodcastSubscriptions();
  bool SavePodcastSubscriptionOrder(const std::vector<PodcastSubscription>& list);
  bool ResetPodcastSubscriptionOrder();

  // ---- Scheduled events ----
  int AddScheduledEvent(const ScheduledEvent& event);      // last_run starts at 0
  bool UpdateScheduledEvent(const ScheduledEvent& event);  // by event.id; last_run kept
  bool DeleteScheduledEvent(int id);
  bool SetScheduledEventEnabled(int id, bool enabled);
  bool SetScheduledEventLastRun(int id, int64_t time);
  bool SetScheduledEventTime(int id, int64_t time);
  std::vector<ScheduledEvent> ListScheduledEvents();  // earliest first, with display lines
  // Enabled, scheduled_time <= now, last_run < scheduled_time; earliest first, no display.
  std::vector<ScheduledEvent> ListDueScheduledEvents();

  // ---- Song history (the 100 newest titles) ----
  // Ignores an empty title and a title equal to the newest one.
  void AddSongHistory(const std::string& title);
  std::vector<SongHistoryEntry> ListSongHistory();  // at most 100, newest first
  void ClearSongHistory();

  // Tests: the clock every "now" is read from (Unix seconds); null restores the system clock.
  void SetClockForTesting(int64_t (*now)());

 private:
  std::unique_ptr<librarydb::Connection> conn_;  // null while closed
  int64_t (*now_)();
};

// The process-wide database object.
LibraryDb& Library();

// Where the database lies: Sonderlane.db beside the settings file, by the same installed.txt
// rule ($XDG_CONFIG_HOME/Sonderlane/ when installed, the folder created when missing; beside
// the executable otherwise).
std::string ResolveLibraryDbPath();

// The list line of a bookmark: the name (after the last '/' or '\'; a URL whole), " @ ", and
// the whole seconds as "m:ss", or "h:mm:ss" from one hour on.
std::string BookmarkDisplayLine(const std::string& path, double seconds);

// The list line of a scheduled event, for example
// "[On] Morning news - Play @ 2026-01-05 07:30 (Weekdays) [15 min]" (local time; the words are
// not translated).
std::string ScheduledEventDisplayLine(const ScheduledEvent& event);
