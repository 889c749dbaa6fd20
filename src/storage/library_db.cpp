// The library database's connection: where the file lies, opening it (schema and the columns
// older layouts lack), closing it; remembered positions, bookmarks and the song history.
#include "library_db.h"

#include <sys/stat.h>

#include <ctime>

#include "library_db_sqlite.h"
#include "settings_file.h"

using librarydb::Connection;
using librarydb::Statement;

namespace {

constexpr const char* kDbFileName = "Sonderlane.db";

// ---- Schema, executed exactly as written ----

constexpr const char* kCreateFilePositions =
    "CREATE TABLE IF NOT EXISTS file_positions (  path TEXT PRIMARY KEY,  position REAL,  "
    "last_updated INTEGER);";
constexpr const char* kCreateBookmarks =
    "CREATE TABLE IF NOT EXISTS bookmarks (  id INTEGER PRIMARY KEY AUTOINCREMENT,  path TEXT NOT "
    "NULL,  position REAL NOT NULL,  created INTEGER NOT NULL);";
constexpr const char* kCreateRadioFavorites =
    "CREATE TABLE IF NOT EXISTS radio_favorites (  id INTEGER PRIMARY KEY AUTOINCREMENT,  name "
    "TEXT NOT NULL,  url TEXT NOT NULL,  created INTEGER NOT NULL);";
constexpr const char* kCreatePodcastSubscriptions =
    "CREATE TABLE IF NOT EXISTS podcast_subscriptions (  id INTEGER PRIMARY KEY AUTOINCREMENT,  "
    "name TEXT NOT NULL,  feed_url TEXT NOT NULL UNIQUE,  image_url TEXT,  last_updated INTEGER "
    "NOT NULL);";
constexpr const char* kCreateScheduledEvents =
    "CREATE TABLE IF NOT EXISTS scheduled_events (  id INTEGER PRIMARY KEY AUTOINCREMENT,  name "
    "TEXT NOT NULL,  action INTEGER NOT NULL,  source_type INTEGER NOT NULL,  source_path TEXT NOT "
    "NULL,  radio_station_id INTEGER DEFAULT 0,  scheduled_time INTEGER NOT NULL,  repeat_type "
    "INTEGER DEFAULT 0,  enabled INTEGER DEFAULT 1,  last_run INTEGER DEFAULT 0,  duration "
    "INTEGER DEFAULT 0,  stop_action INTEGER DEFAULT 0);";
constexpr const char* kCreateSongHistory =
    "CREATE TABLE IF NOT EXISTS song_history (id INTEGER PRIMARY KEY AUTOINCREMENT, title TEXT NOT "
    "NULL, timestamp INTEGER NOT NULL);";

// Columns later versions added, added at every start in this order.
constexpr const char* kAddColumns[] = {
    "ALTER TABLE scheduled_events ADD COLUMN duration INTEGER DEFAULT 0;",
    "ALTER TABLE scheduled_events ADD COLUMN stop_action INTEGER DEFAULT 0;",
    "ALTER TABLE radio_favorites ADD COLUMN sort_order INTEGER DEFAULT 0;",
    "ALTER TABLE podcast_subscriptions ADD COLUMN sort_order INTEGER DEFAULT 0;",
};

// ---- Statements of the operations in this file ----

constexpr const char* kSavePosition =
    "INSERT OR REPLACE INTO file_positions (path, position, last_updated) VALUES (?, ?, ?);";
constexpr const char* kLoadPosition = "SELECT position FROM file_positions WHERE path = ?;";
constexpr const char* kAddBookmark =
    "INSERT INTO bookmarks (path, position, created) VALUES (?, ?, ?);";
constexpr const char* kDeleteBookmark = "DELETE FROM bookmarks WHERE id = ?;";
constexpr const char* kListBookmarks =
    "SELECT id, path, position, created FROM bookmarks ORDER BY created DESC;";
constexpr const char* kNewestSong = "SELECT title FROM song_history ORDER BY id DESC LIMIT 1;";
constexpr const char* kAddSong = "INSERT INTO song_history (title, timestamp) VALUES (?, ?);";
constexpr const char* kTrimSongs =
    "DELETE FROM song_history WHERE id NOT IN (SELECT id FROM song_history ORDER BY id DESC "
    "LIMIT 100);";
constexpr const char* kListSongs =
    "SELECT id, title, timestamp FROM song_history ORDER BY id DESC LIMIT 100;";
constexpr const char* kClearSongs = "DELETE FROM song_history;";

int64_t SystemNow() { return static_cast<int64_t>(std::time(nullptr)); }

int Exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

bool FileHasData(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && st.st_size > 0;
}

// A file URI for `path` ('%', '?' and '#' escaped), with `query`.
std::string FileUri(const std::string& path, const char* query) {
  std::string uri = path.empty() || path[0] != '/' ? "file:" : "file://";
  for (char c : path) {
    if (c == '%')
      uri += "%25";
    else if (c == '?')
      uri += "%3f";
    else if (c == '#')
      uri += "%23";
    else
      uri += c;
  }
  return uri + "?" + query;
}

// Opens `path` read-write, creating it when missing. A file we may not write opens read-only;
// reading it the usual way would leave a read-only -shm and an empty -wal beside it (which
// then keeps the database read-only after the user gives write access back). When no journal
// holds changes the file alone is the whole database, so it is opened as an immutable file
// instead, which creates and locks nothing.
sqlite3* OpenConnection(const std::string& path) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK) {
    sqlite3_close_v2(db);
    return nullptr;
  }
  if (sqlite3_db_readonly(db, "main") == 1 && !FileHasData(path + "-wal") &&
      !FileHasData(path + "-journal")) {
    sqlite3_close_v2(db);
    db = nullptr;
    if (sqlite3_open_v2(FileUri(path, "immutable=1").c_str(), &db,
                        SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) != SQLITE_OK) {
      sqlite3_close_v2(db);
      return nullptr;
    }
  }
  return db;
}

}  // namespace

LibraryDb& Library() {
  static LibraryDb db;
  return db;
}

std::string ResolveLibraryDbPath() {
  // The settings file's rule decides the folder (and creates it when installed).
  const std::string settings = ResolveSettingsPath();
  const std::size_t slash = settings.find_last_of('/');
  const std::string dir = slash == std::string::npos ? "." : settings.substr(0, slash);
  return dir + "/" + kDbFileName;
}

LibraryDb::LibraryDb() : now_(SystemNow) {}
LibraryDb::~LibraryDb() = default;

void LibraryDb::SetClockForTesting(int64_t (*now)()) { now_ = now ? now : SystemNow; }

bool LibraryDb::IsOpen() const { return conn_ != nullptr; }

bool LibraryDb::Open() {
  if (conn_) return true;
  return Open(ResolveLibraryDbPath());
}

bool LibraryDb::Open(const std::string& path) {
  if (conn_) return true;
  sqlite3* db = OpenConnection(path);
  if (!db) return false;
  auto conn = std::make_unique<Connection>(db);

  // Opening waits for another process's lock at most once: after a statement gave up waiting
  // (a file in the old rollback journal mode that is held locked, or an older file that needs
  // new columns while another process writes), the rest is tried without waiting, so opening
  // never hangs much beyond one busy timeout. Operations later wait the full time each.
  sqlite3_busy_timeout(db, librarydb::kBusyTimeoutMs);
  auto run = [db](const char* sql) {
    const int rc = Exec(db, sql);
    if (rc == SQLITE_BUSY) sqlite3_busy_timeout(db, 0);
    return rc;
  };
  run("PRAGMA journal_mode=WAL;");                           // result and error discarded
  if (run(kCreateFilePositions) != SQLITE_OK) return false;  // closes the connection
  for (const char* sql : {kCreateBookmarks, kCreateRadioFavorites, kCreatePodcastSubscriptions,
                          kCreateScheduledEvents})
    run(sql);  // an error leaves that table's operations failing, nothing more
  // Older files gain the columns later versions added, with their defaults; on a current file
  // each fails with "duplicate column name" while being prepared, taking no lock.
  for (const char* sql : kAddColumns) run(sql);
  run(kCreateSongHistory);
  sqlite3_busy_timeout(db, librarydb::kBusyTimeoutMs);

  conn_ = std::move(conn);
  return true;
}

void LibraryDb::Close() { conn_.reset(); }

// ---- Positions ----

bool LibraryDb::SavePosition(const std::string& path, double seconds) {
  if (!conn_) return false;
  Statement st(*conn_, kSavePosition);
  if (!st.ok()) return false;
  st.Bind(1, path).Bind(2, seconds).Bind(3, now_());
  return st.Step() == SQLITE_DONE;
}

double LibraryDb::LoadPosition(const std::string& path) {
  if (!conn_) return 0;
  Statement st(*conn_, kLoadPosition);
  if (!st.ok()) return 0;
  st.Bind(1, path);
  return st.Step() == SQLITE_ROW ? st.Double(0) : 0;
}

// ---- Bookmarks ----

int LibraryDb::AddBookmark(const std::string& path, double seconds) {
  if (!conn_) return -1;
  Statement st(*conn_, kAddBookmark);
  if (!st.ok()) return -1;
  st.Bind(1, path).Bind(2, seconds).Bind(3, now_());
  if (st.Step() != SQLITE_DONE) return -1;
  return static_cast<int>(sqlite3_last_insert_rowid(conn_->db));
}

bool LibraryDb::DeleteBookmark(int id) {
  if (!conn_) return false;
  Statement st(*conn_, kDeleteBookmark);
  if (!st.ok()) return false;
  st.Bind(1, id);
  return st.Step() == SQLITE_DONE;
}

std::vector<BookmarkRecord> LibraryDb::ListBookmarks() {
  std::vector<BookmarkRecord> list;
  if (!conn_) return list;
  Statement st(*conn_, kListBookmarks);
  if (!st.ok()) return list;
  int rc;
  while ((rc = st.Step()) == SQLITE_ROW) {
    BookmarkRecord b;
    b.id = st.Int(0);
    b.path = st.Text(1);
    b.position = st.Double(2);
    b.created = st.Int64(3);
    b.display = BookmarkDisplayLine(b.path, b.position);
    list.push_back(std::move(b));
  }
  if (rc != SQLITE_DONE) list.clear();  // a list cut short is a failure
  return list;
}

// ---- Song history ----

void LibraryDb::AddSongHistory(const std::string& title) {
  if (!conn_ || title.empty()) return;
  {
    // The same title is never stored twice in a row. A newest title that cannot be read does
    // not stop the insert.
    Statement newest(*conn_, kNewestSong);
    if (newest.ok() && newest.Step() == SQLITE_ROW && newest.Text(0) == title) return;
  }
  {
    Statement add(*conn_, kAddSong);
    if (add.ok()) {
      add.Bind(1, title).Bind(2, now_());
      add.Step();
    }
  }
  Statement trim(*conn_, kTrimSongs);
  if (trim.ok()) trim.Step();
}

std::vector<SongHistoryEntry> LibraryDb::ListSongHistory() {
  std::vector<SongHistoryEntry> list;
  if (!conn_) return list;
  Statement st(*conn_, kListSongs);
  if (!st.ok()) return list;
  int rc;
  while ((rc = st.Step()) == SQLITE_ROW) list.push_back({st.Int(0), st.Text(1), st.Int64(2)});
  if (rc != SQLITE_DONE) list.clear();
  return list;
}

void LibraryDb::ClearSongHistory() {
  if (!conn_) return;
  Statement st(*conn_, kClearSongs);
  if (st.ok()) st.Step();
}
