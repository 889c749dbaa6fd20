// The library database on real files: schema and migration of older files, every operation's
// results, the order of favorites and subscriptions, song history, due events, list lines, and
// files that are not databases, read-only, locked by another process, or written when the
// process is killed.
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "library_db.h"
#include "media.h"
#include "settings_file.h"

namespace fs = std::filesystem;
using testsupport::TempDir;

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

std::string Slurp(const std::string& path) {
  auto bytes = testsupport::ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

// ---- A second, plain SQLite connection to look at (and prepare) files ----

// Runs `sql` on `path` and returns each row's columns joined with '|'; NULL reads "NULL".
// "ERROR: ..." as the only row when it failed.
std::vector<std::string> Rows(const std::string& path, const std::string& sql) {
  std::vector<std::string> rows;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) ==
      SQLITE_OK) {
    sqlite3_busy_timeout(db, 2000);
    char* err = nullptr;
    auto collect = [](void* out, int n, char** values, char**) {
      std::string row;
      for (int i = 0; i < n; ++i)
        row += (i ? "|" : "") + std::string(values[i] ? values[i] : "NULL");
      static_cast<std::vector<std::string>*>(out)->push_back(row);
      return 0;
    };
    if (sqlite3_exec(db, sql.c_str(), collect, &rows, &err) != SQLITE_OK)
      rows = {"ERROR: " + std::string(err ? err : "?")};
    sqlite3_free(err);
  } else {
    rows = {"ERROR: cannot open"};
  }
  sqlite3_close_v2(db);
  return rows;
}

std::string One(const std::string& path, const std::string& sql) {
  auto rows = Rows(path, sql);
  return rows.empty() ? "" : rows[0];
}

// Every row of every table, in rowid order, for before/after comparisons.
std::vector<std::string> Dump(const std::string& path) {
  std::vector<std::string> all;
  for (const std::string& table :
       Rows(path, "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name;")) {
    all.push_back("[" + table + "]");
    for (const std::string& row : Rows(path, "SELECT * FROM " + table + " ORDER BY rowid;"))
      all.push_back(row);
  }
  return all;
}

bool HasColumn(const std::string& path, const std::string& table, const std::string& column) {
  return One(path, "SELECT count(*) FROM pragma_table_info('" + table + "') WHERE name = '" +
                       column + "';") == "1";
}

// ---- Child processes ----

// Starts `fn` in a forked child. With `as_nobody` while running as root, the child first
// becomes the user "nobody" (root ignores file modes).
pid_t StartChild(const std::function<int()>& fn, bool as_nobody = false) {
  pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (as_nobody && ::geteuid() == 0) {
      struct passwd* nobody = ::getpwnam("nobody");
      if (::setgid(nobody ? nobody->pw_gid : 65534) != 0 ||
          ::setuid(nobody ? nobody->pw_uid : 65534) != 0)
        ::_exit(125);
    }
    ::_exit(fn());
  }
  return pid;
}

// What the child's `fn` returned (0..100); -1 when it could not run as asked or died.
int WaitChild(pid_t pid) {
  int status = 0;
  if (pid <= 0 || ::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) && WEXITSTATUS(status) <= 100 ? WEXITSTATUS(status) : -1;
}

int RunInChild(const std::function<int()>& fn, bool as_nobody = false) {
  return WaitChild(StartChild(fn, as_nobody));
}

// Another process holding an exclusive transaction on a file until the object goes away.
class Locker {
 public:
  explicit Locker(const std::string& path) {
    int ready[2];
    if (::pipe(ready) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::close(ready[0]);
      sqlite3* db = nullptr;
      sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
      sqlite3_busy_timeout(db, 5000);
      const bool locked = sqlite3_exec(db, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr) == 0;
      (void)!::write(ready[1], locked ? "y" : "n", 1);
      for (;;) ::pause();
    }
    ::close(ready[1]);
    char c = 0;
    struct pollfd pfd = {ready[0], POLLIN, 0};
    locked_ = ::poll(&pfd, 1, 10000) == 1 && ::read(ready[0], &c, 1) == 1 && c == 'y';
    ::close(ready[0]);
  }
  ~Locker() { Release(); }
  bool locked() const { return locked_; }
  void Release() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = 0;
  }

 private:
  pid_t pid_ = 0;
  bool locked_ = false;
};

// ---- The clock the database reads ----

int64_t g_now = 1'700'000'000;
int64_t FakeNow() { return g_now; }

class LibraryDbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Library().Close();
    g_now = 1'700'000'000;
    Library().SetClockForTesting(FakeNow);
  }
  void TearDown() override {
    Library().Close();
    Library().SetClockForTesting(nullptr);
  }
  std::string db() const { return dir_.file("Sonderlane.db"); }

  TempDir dir_;
};

ScheduledEvent Event(const std::string& name, int64_t when, bool enabled = true) {
  ScheduledEvent e;
  e.name = name;
  e.source_path = "/music/" + name + ".mp3";
  e.scheduled_time = when;
  e.enabled = enabled;
  return e;
}

std::vector<std::string> Names(const std::vector<RadioFavorite>& list) {
  std::vector<std::string> names;
  for (const auto& f : list) names.push_back(f.name);
  return names;
}

// ---- Schema and location ----

// A file written before scheduled events had a duration and a stop action and before the
// lists had a user order (no song history either), with a row in every table.
constexpr const char* kOlderLayout =
    "CREATE TABLE file_positions (  path TEXT PRIMARY KEY,  position REAL,  last_updated "
    "INTEGER);"
    "CREATE TABLE bookmarks (  id INTEGER PRIMARY KEY AUTOINCREMENT,  path TEXT NOT NULL,  "
    "position REAL NOT NULL,  created INTEGER NOT NULL);"
    "CREATE TABLE radio_favorites (  id INTEGER PRIMARY KEY AUTOINCREMENT,  name TEXT NOT NULL,  "
    "url TEXT NOT NULL,  created INTEGER NOT NULL);"
    "CREATE TABLE podcast_subscriptions (  id INTEGER PRIMARY KEY AUTOINCREMENT,  name TEXT NOT "
    "NULL,  feed_url TEXT NOT NULL UNIQUE,  image_url TEXT,  last_updated INTEGER NOT NULL);"
    "CREATE TABLE scheduled_events (  id INTEGER PRIMARY KEY AUTOINCREMENT,  name TEXT NOT "
    "NULL,  action INTEGER NOT NULL,  source_type INTEGER NOT NULL,  source_path TEXT NOT NULL,  "
    "radio_station_id INTEGER DEFAULT 0,  scheduled_time INTEGER NOT NULL,  repeat_type INTEGER "
    "DEFAULT 0,  enabled INTEGER DEFAULT 1,  last_run INTEGER DEFAULT 0);"
    "INSERT INTO file_positions VALUES ('/m/long.mp3', 754.5, 1600000000);"
    "INSERT INTO bookmarks (path, position, created) VALUES ('/m/long.mp3', 60, 1600000001);"
    "INSERT INTO radio_favorites (name, url, created) VALUES ('zeta', 'http://z', 1), ('Alpha', "
    "'http://a', 2);"
    "INSERT INTO podcast_subscriptions (name, feed_url, image_url, last_updated) VALUES ('Pod', "
    "'http://p/feed', NULL, 5);"
    "INSERT INTO scheduled_events (name, action, source_type, source_path, scheduled_time, "
    "repeat_type, last_run) VALUES ('Old', 2, 1, 'http://z', 1600000100, 1, 1600000000);";

TEST_F(LibraryDbTest, NewDatabaseHasEveryTableInWalMode) {
  ASSERT_TRUE(Library().Open(db()));
  EXPECT_TRUE(Library().Open(db()));  // already open
  EXPECT_EQ(Rows(db(),
                 "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE "
                 "'sqlite_%' ORDER BY name;"),
            (std::vector<std::string>{"bookmarks", "file_positions", "podcast_subscriptions",
                                      "radio_favorites", "scheduled_events", "song_history"}));
  EXPECT_TRUE(HasColumn(db(), "radio_favorites", "sort_order"));
  EXPECT_TRUE(HasColumn(db(), "podcast_subscriptions", "sort_order"));
  EXPECT_EQ(One(db(), "SELECT count(*) FROM pragma_table_info('scheduled_events');"), "12");
  EXPECT_EQ(One(db(), "PRAGMA journal_mode;"), "wal");

  // Data survives closing and opening again.
  EXPECT_GT(Library().AddRadioFavorite("Jazz", "http://127.0.0.1/jazz"), 0);
  Library().Close();
  EXPECT_FALSE(Library().IsOpen());
  ASSERT_TRUE(Library().Open(db()));
  EXPECT_EQ(Library().ListRadioFavorites().size(), 1u);
}

TEST_F(LibraryDbTest, DefaultLocationFollowsTheSettingsFile) {
  const std::optional<std::string> old_config =
      std::getenv("XDG_CONFIG_HOME") ? std::optional<std::string>(std::getenv("XDG_CONFIG_HOME"))
                                     : std::nullopt;
  fs::create_directories(dir_.file("app"));
  ::setenv("XDG_CONFIG_HOME", dir_.file("config").c_str(), 1);
  SetExecutableDirForTesting(dir_.file("app"));

  EXPECT_EQ(ResolveLibraryDbPath(), dir_.file("app/Sonderlane.db"));
  ASSERT_TRUE(Library().Open());
  EXPECT_TRUE(fs::exists(dir_.file("app/Sonderlane.db")));
  Library().Close();

  testsupport::WriteFileBytes(dir_.file("app/installed.txt"), "");
  EXPECT_EQ(ResolveLibraryDbPath(), dir_.file("config/Sonderlane/Sonderlane.db"));
  EXPECT_TRUE(fs::is_directory(dir_.file("config/Sonderlane")));
  ASSERT_TRUE(Library().Open());
  EXPECT_TRUE(fs::exists(dir_.file("config/Sonderlane/Sonderlane.db")));

  SetExecutableDirForTesting("");
  if (old_config)
    ::setenv("XDG_CONFIG_HOME", old_config->c_str(), 1);
  else
    ::unsetenv("XDG_CONFIG_HOME");
}

TEST_F(LibraryDbTest, OlderFileGainsTheNewColumnsAndKeepsItsRows) {
  ASSERT_TRUE(Rows(db(), kOlderLayout).empty());

  for (int start = 0; start < 2; ++start) {  // the second start finds every column in place
    SCOPED_TRACE("start " + std::to_string(start));
    ASSERT_TRUE(Library().Open(db()));
    EXPECT_DOUBLE_EQ(Library().LoadPosition("/m/long.mp3"), 754.5);
    ASSERT_EQ(Library().ListBookmarks().size(), 1u);
    auto favorites = Library().ListRadioFavorites();
    EXPECT_EQ(Names(favorites), (std::vector<std::string>{"Alpha", "zeta"}));
    for (const auto& f : favorites) EXPECT_EQ(f.sort_order, 0);
    auto subs = Library().ListPodcastSubscriptions();
    ASSERT_EQ(subs.size(), 1u);
    EXPECT_EQ(subs[0].image_url, "");  // NULL reads as empty
    EXPECT_EQ(subs[0].sort_order, 0);
    auto events = Library().ListScheduledEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].name, "Old");
    EXPECT_EQ(events[0].action, 2);
    EXPECT_EQ(events[0].last_run, 1600000000);
    EXPECT_EQ(events[0].duration, 0);
    EXPECT_EQ(events[0].stop_action, 0);
    Library().AddSongHistory("First title");  // the history table is new
    Library().Close();
  }
  EXPECT_EQ(One(db(), "SELECT duration || ',' || stop_action FROM scheduled_events;"), "0,0");
  EXPECT_EQ(One(db(), "SELECT count(*) FROM song_history;"), "1");
}

// ---- Positions and bookmarks ----

TEST_F(LibraryDbTest, PositionsAreOnePerExactPath) {
  ASSERT_TRUE(Library().Open(db()));
  EXPECT_EQ(Library().LoadPosition("/never/seen.mp3"), 0.0);
  EXPECT_TRUE(Library().SavePosition("/m/Talk.mp3", 61.25));
  g_now += 10;
  EXPECT_TRUE(Library().SavePosition("/m/Talk.mp3", 3725.75));
  EXPECT_EQ(Library().LoadPosition("/m/Talk.mp3"), 3725.75);
  EXPECT_EQ(Library().LoadPosition("/m/talk.mp3"), 0.0);  // case-sensitive
  EXPECT_EQ(Rows(db(), "SELECT path, position, last_updated FROM file_positions;"),
            (std::vector<std::string>{"/m/Talk.mp3|3725.75|1700000010"}));

  const std::string utf8 = "/música/Ünïcode ☃ 日本.flac";
  EXPECT_TRUE(Library().SavePosition(utf8, 42.5));
  EXPECT_EQ(Library().LoadPosition(utf8), 42.5);
  EXPECT_TRUE(Library().SavePosition("http://127.0.0.1:8000/live?x=1", 0.0));
  EXPECT_EQ(One(db(), "SELECT count(*) FROM file_positions;"), "3");
}

TEST_F(LibraryDbTest, BookmarksListNewestFirstWithTheirLines) {
  ASSERT_TRUE(Library().Open(db()));
  const int first = Library().AddBookmark("/music/talk.mp3", 3725.9);
  g_now += 5;
  const int second = Library().AddBookmark("http://127.0.0.1/stream.mp3", 59.9);
  ASSERT_GT(first, 0);
  ASSERT_GT(second, first);
  auto list = Library().ListBookmarks();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].id, second);
  EXPECT_EQ(list[0].display, "http://127.0.0.1/stream.mp3 @ 0:59");
  EXPECT_EQ(list[0].created, 1700000005);
  EXPECT_EQ(list[1].path, "/music/talk.mp3");
  EXPECT_DOUBLE_EQ(list[1].position, 3725.9);
  EXPECT_EQ(list[1].display, "talk.mp3 @ 1:02:05");

  EXPECT_TRUE(Library().DeleteBookmark(first));
  EXPECT_TRUE(Library().DeleteBookmark(9999));  // no such row: still completes
  ASSERT_EQ(Library().ListBookmarks().size(), 1u);
}

TEST(BookmarkLine, ShowsNameAndTime) {
  struct Case {
    const char* path;
    double seconds;
    const char* line;
  } cases[] = {
      {"/m/a.mp3", 0, "a.mp3 @ 0:00"},
      {"/m/a.mp3", 59.9, "a.mp3 @ 0:59"},
      {"/m/a.mp3", 60, "a.mp3 @ 1:00"},
      {"/m/a.mp3", 3599.99, "a.mp3 @ 59:59"},
      {"/m/a.mp3", 3600, "a.mp3 @ 1:00:00"},
      {"/m/a.mp3", 36000 * 10 + 61, "a.mp3 @ 100:01:01"},
      {"C:\\Music\\talk.mp3", 3725.9, "talk.mp3 @ 1:02:05"},  // a Windows playlist's path
      {"HTTPS://127.0.0.1/a/b.mp3", 5, "HTTPS://127.0.0.1/a/b.mp3 @ 0:05"},
      {"ftp://127.0.0.1/x.ogg", 5, "ftp://127.0.0.1/x.ogg @ 0:05"},
      {"plain.wav", 5, "plain.wav @ 0:05"},
      {"/m/dir/", 5, " @ 0:05"},
      {"/m/a.mp3", -3, "a.mp3 @ 0:00"},
      {"/m/a.mp3", std::numeric_limits<double>::quiet_NaN(), "a.mp3 @ 0:00"},
      {"/m/a.mp3", std::numeric_limits<double>::infinity(), "a.mp3 @ 0:00"},
  };
  for (const Case& c : cases) EXPECT_EQ(BookmarkDisplayLine(c.path, c.seconds), c.line) << c.path;
}

// ---- Favorites and subscriptions ----

// The same ordering scenario through the favorite and the subscription operations.
struct OrderedList {
  const char* name;
  std::function<int(const std::string&)> add;
  std::function<std::vector<std::pair<std::string, int>>()> list;   // name, sort_order
  std::function<bool(const std::vector<std::string>&)> save_order;  // by names
  std::function<bool()> reset;
};

std::vector<OrderedList> OrderedLists() {
  auto favorites = [] {
    std::vector<std::pair<std::string, int>> out;
    for (const auto& f : Library().ListRadioFavorites()) out.emplace_back(f.name, f.sort_order);
    return out;
  };
  auto subscriptions = [] {
    std::vector<std::pair<std::string, int>> out;
    for (const auto& s : Library().ListPodcastSubscriptions())
      out.emplace_back(s.name, s.sort_order);
    return out;
  };
  return {
      {"radio favorites",
       [](const std::string& n) { return Library().AddRadioFavorite(n, "http://127.0.0.1/" + n); },
       favorites,
       [](const std::vector<std::string>& names) {
         auto all = Library().ListRadioFavorites();
         std::vector<RadioFavorite> ordered;
         for (const auto& n : names)
           for (const auto& f : all)
             if (f.name == n) ordered.push_back(f);
         return Library().SaveRadioFavoriteOrder(ordered);
       },
       [] { return Library().ResetRadioFavoriteOrder(); }},
      {"podcast subscriptions",
       [](const std::string& n) {
         return Library().AddPodcastSubscription(n, "http://127.0.0.1/" + n + ".xml", "");
       },
       subscriptions,
       [](const std::vector<std::string>& names) {
         auto all = Library().ListPodcastSubscriptions();
         std::vector<PodcastSubscription> ordered;
         for (const auto& n : names)
           for (const auto& s : all)
             if (s.name == n) ordered.push_back(s);
         return Library().SavePodcastSubscriptionOrder(ordered);
       },
       [] { return Library().ResetPodcastSubscriptionOrder(); }},
  };
}

using Ordered = std::vector<std::pair<std::string, int>>;

TEST_F(LibraryDbTest, FavoritesAndSubscriptionsKeepTheUsersOrder) {
  ASSERT_TRUE(Library().Open(db()));
  for (const OrderedList& l : OrderedLists()) {
    SCOPED_TRACE(l.name);
    for (const char* n : {"b", "A", "c"}) EXPECT_GT(l.add(n), 0);
    EXPECT_EQ(l.list(), (Ordered{{"A", 0}, {"b", 0}, {"c", 0}}));  // alphabetical, any case
    EXPECT_TRUE(l.save_order({"c", "A", "b"}));
    EXPECT_EQ(l.list(), (Ordered{{"c", 1}, {"A", 2}, {"b", 3}}));
    EXPECT_GT(l.add("a fourth"), 0);
    EXPECT_EQ(l.list(), (Ordered{{"c", 1}, {"A", 2}, {"b", 3}, {"a fourth", 4}}));
    EXPECT_TRUE(l.reset());
    EXPECT_EQ(l.list(), (Ordered{{"A", 0}, {"a fourth", 0}, {"b", 0}, {"c", 0}}));
    EXPECT_GT(l.add("B2"), 0);  // after a reset new rows get 0 too
    EXPECT_EQ(l.list(), (Ordered{{"A", 0}, {"a fourth", 0}, {"b", 0}, {"B2", 0}, {"c", 0}}));
  }
}

TEST_F(LibraryDbTest, FavoriteAndSubscriptionRecords) {
  ASSERT_TRUE(Library().Open(db()));
  const int id = Library().AddRadioFavorite("Jazz", "http://127.0.0.1/jazz");
  ASSERT_GT(id, 0);
  EXPECT_TRUE(Library().UpdateRadioFavorite(id, "Jazz FM", "http://127.0.0.1/jazz2"));
  EXPECT_TRUE(Library().UpdateRadioFavorite(id + 100, "ghost", "x"));  // completes, no row
  auto favorites = Library().ListRadioFavorites();
  ASSERT_EQ(favorites.size(), 1u);
  EXPECT_EQ(favorites[0].id, id);
  EXPECT_EQ(favorites[0].name, "Jazz FM");
  EXPECT_EQ(favorites[0].url, "http://127.0.0.1/jazz2");
  EXPECT_EQ(favorites[0].created, 1700000000);
  EXPECT_TRUE(Library().DeleteRadioFavorite(id));
  EXPECT_TRUE(Library().ListRadioFavorites().empty());

  const int sub = Library().AddPodcastSubscription("Pod", "http://127.0.0.1/feed.xml", "img");
  ASSERT_GT(sub, 0);
  EXPECT_EQ(Library().AddPodcastSubscription("Pod again", "http://127.0.0.1/feed.xml", ""), -1);
  g_now += 3600;
  EXPECT_TRUE(Library().TouchPodcastSubscription(sub));
  auto subs = Library().ListPodcastSubscriptions();
  ASSERT_EQ(subs.size(), 1u);
  EXPECT_EQ(subs[0].name, "Pod");
  EXPECT_EQ(subs[0].feed_url, "http://127.0.0.1/feed.xml");
  EXPECT_EQ(subs[0].image_url, "img");
  EXPECT_EQ(subs[0].last_updated, 1700003600);
  EXPECT_TRUE(Library().DeletePodcastSubscription(sub));
  // Once deleted the address can be subscribed again.
  EXPECT_GT(Library().AddPodcastSubscription("Pod", "http://127.0.0.1/feed.xml", ""), sub);
}

// ---- Song history ----

TEST_F(LibraryDbTest, SongHistoryDropsRepeatsAndKeepsTheNewestHundred) {
  ASSERT_TRUE(Library().Open(db()));
  Library().AddSongHistory("Artist - Song");
  Library().AddSongHistory("Artist - Song");
  Library().AddSongHistory("");
  EXPECT_EQ(Library().ListSongHistory().size(), 1u);
  Library().AddSongHistory("artist - song");  // differs in bytes
  Library().AddSongHistory("Artist - Song");  // may come back after another title
  EXPECT_EQ(Library().ListSongHistory().size(), 3u);

  Library().ClearSongHistory();
  EXPECT_TRUE(Library().ListSongHistory().empty());
  for (int i = 1; i <= 101; ++i) {
    g_now = 1'700'000'000 + i;
    Library().AddSongHistory("Title " + std::to_string(i));
  }
  auto history = Library().ListSongHistory();
  ASSERT_EQ(history.size(), 100u);
  EXPECT_EQ(history.front().title, "Title 101");
  EXPECT_EQ(history.front().timestamp, 1700000101);
  EXPECT_EQ(history.back().title, "Title 2");
  EXPECT_GT(history.front().id, history.back().id);
  EXPECT_EQ(One(db(), "SELECT count(*) FROM song_history;"), "100");
}

// ---- Scheduled events ----

TEST_F(LibraryDbTest, ScheduledEventsRoundTripAndUpdateKeepsLastRun) {
  ASSERT_TRUE(Library().Open(db()));
  ScheduledEvent e = Event("Morning", 1'800'000'000);
  e.action = 2;
  e.source_type = 1;
  e.source_path = "http://127.0.0.1/radio";
  e.radio_station_id = 7;
  e.repeat_type = 3;
  e.duration = 15;
  e.stop_action = 2;
  e.id = Library().AddScheduledEvent(e);
  ASSERT_GT(e.id, 0);
  EXPECT_GT(Library().AddScheduledEvent(Event("Earlier", 1'750'000'000, false)), e.id);
  EXPECT_TRUE(Library().SetScheduledEventLastRun(e.id, 1'700'000'123));

  e.name = "Morning news";
  e.scheduled_time = 1'800'086'400;
  EXPECT_TRUE(Library().UpdateScheduledEvent(e));
  auto list = Library().ListScheduledEvents();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].name, "Earlier");  // earliest first
  EXPECT_FALSE(list[0].enabled);
  const ScheduledEvent& got = list[1];
  EXPECT_EQ(got.id, e.id);
  EXPECT_EQ(got.name, "Morning news");
  EXPECT_EQ(got.action, 2);
  EXPECT_EQ(got.source_type, 1);
  EXPECT_EQ(got.source_path, "http://127.0.0.1/radio");
  EXPECT_EQ(got.radio_station_id, 7);
  EXPECT_EQ(got.scheduled_time, 1'800'086'400);
  EXPECT_EQ(got.repeat_type, 3);
  EXPECT_TRUE(got.enabled);
  EXPECT_EQ(got.last_run, 1'700'000'123);  // kept by the update
  EXPECT_EQ(got.duration, 15);
  EXPECT_EQ(got.stop_action, 2);
  EXPECT_FALSE(got.display.empty());

  EXPECT_TRUE(Library().SetScheduledEventTime(e.id, 1'900'000'000));
  EXPECT_TRUE(Library().SetScheduledEventEnabled(e.id, false));
  EXPECT_EQ(One(db(), "SELECT scheduled_time || ',' || enabled FROM scheduled_events WHERE id = " +
                          std::to_string(e.id)),
            "1900000000,0");
  // Any non-zero stored value reads as enabled.
  Rows(db(), "UPDATE scheduled_events SET enabled = 5 WHERE id = " + std::to_string(e.id));
  EXPECT_TRUE(Library().ListScheduledEvents()[1].enabled);
  EXPECT_TRUE(Library().DeleteScheduledEvent(e.id));
  EXPECT_EQ(Library().ListScheduledEvents().size(), 1u);
}

TEST_F(LibraryDbTest, DueEventsAreEnabledPastAndNotYetRun) {
  ASSERT_TRUE(Library().Open(db()));
  const int64_t now = g_now;
  struct Case {
    const char* name;
    int64_t when;
    bool enabled;
    int64_t last_run;
    bool due;
  } cases[] = {
      {"exactly now", now, true, 0, true},
      {"an hour ago", now - 3600, true, 0, true},
      {"ran before this time", now - 60, true, now - 86400, true},
      {"ran at this time", now - 60, true, now - 60, false},
      {"ran after this time", now - 60, true, now - 30, false},
      {"disabled", now - 60, false, 0, false},
      {"one second ahead", now + 1, true, 0, false},
  };
  for (const Case& c : cases) {
    const int id = Library().AddScheduledEvent(Event(c.name, c.when, c.enabled));
    ASSERT_GT(id, 0);
    if (c.last_run) {
      ASSERT_TRUE(Library().SetScheduledEventLastRun(id, c.last_run));
    }
  }
  std::vector<std::pair<int64_t, std::string>> expected;  // earliest first
  for (const Case& c : cases)
    if (c.due) expected.emplace_back(c.when, c.name);
  std::stable_sort(expected.begin(), expected.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::pair<int64_t, std::string>> due;
  for (const auto& e : Library().ListDueScheduledEvents()) {
    due.emplace_back(e.scheduled_time, e.name);
    EXPECT_TRUE(e.display.empty());
  }
  EXPECT_EQ(due, expected);

  // Firing moves an event out of the due set.
  const int id = Library().ListDueScheduledEvents()[0].id;
  ASSERT_TRUE(Library().SetScheduledEventLastRun(id, now));
  EXPECT_EQ(Library().ListDueScheduledEvents().size(), 2u);
  ++g_now;  // a second later the event ahead is due
  EXPECT_EQ(Library().ListDueScheduledEvents().size(), 3u);
}

TEST(ScheduledEventLine, ShowsTheEventInLocalTime) {
  const char* old = std::getenv("TZ");
  const std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
  struct Case {
    const char* tz;
    int action, repeat, duration;
    bool enabled;
    const char* line;
  } cases[] = {
      {"UTC0", 0, 3, 15, true, "[On] Morning news - Play @ 2026-01-05 07:30 (Weekdays) [15 min]"},
      {"CET-1", 1, 5, 0, false, "[Off] Morning news - Record @ 2026-01-05 08:30 (Monthly)"},
      {"UTC0", 2, 0, 1, true, "[On] Morning news - Play+Record @ 2026-01-05 07:30 (Once) [1 min]"},
      {"UTC0", 7, 6, -5, true, "[On] Morning news - Unknown @ 2026-01-05 07:30 (Unknown)"},
      {"UTC0", -1, -1, 0, true, "[On] Morning news - Unknown @ 2026-01-05 07:30 (Unknown)"},
  };
  for (const Case& c : cases) {
    ::setenv("TZ", c.tz, 1);
    ::tzset();
    ScheduledEvent e = Event("Morning news", 1767598200);  // 2026-01-05 07:30 UTC
    e.action = c.action;
    e.repeat_type = c.repeat;
    e.duration = c.duration;
    e.enabled = c.enabled;
    EXPECT_EQ(ScheduledEventDisplayLine(e), c.line);
  }
  if (saved)
    ::setenv("TZ", saved->c_str(), 1);
  else
    ::unsetenv("TZ");
  ::tzset();
}

// ---- Without a database ----

void ExpectEveryOperationFailsQuietly() {
  EXPECT_FALSE(Library().SavePosition("/a.mp3", 5));
  EXPECT_EQ(Library().LoadPosition("/a.mp3"), 0.0);
  EXPECT_EQ(Library().AddBookmark("/a.mp3", 5), -1);
  EXPECT_FALSE(Library().DeleteBookmark(1));
  EXPECT_TRUE(Library().ListBookmarks().empty());
  EXPECT_EQ(Library().AddRadioFavorite("n", "u"), -1);
  EXPECT_FALSE(Library().UpdateRadioFavorite(1, "n", "u"));
  EXPECT_FALSE(Library().DeleteRadioFavorite(1));
  EXPECT_TRUE(Library().ListRadioFavorites().empty());
  EXPECT_FALSE(Library().SaveRadioFavoriteOrder({RadioFavorite{}}));
  EXPECT_FALSE(Library().ResetRadioFavoriteOrder());
  EXPECT_EQ(Library().AddPodcastSubscription("n", "u", ""), -1);
  EXPECT_FALSE(Library().DeletePodcastSubscription(1));
  EXPECT_FALSE(Library().TouchPodcastSubscription(1));
  EXPECT_TRUE(Library().ListPodcastSubscriptions().empty());
  EXPECT_FALSE(Library().SavePodcastSubscriptionOrder({PodcastSubscription{}}));
  EXPECT_FALSE(Library().ResetPodcastSubscriptionOrder());
  EXPECT_EQ(Library().AddScheduledEvent(Event("x", 1)), -1);
  EXPECT_FALSE(Library().UpdateScheduledEvent(Event("x", 1)));
  EXPECT_FALSE(Library().DeleteScheduledEvent(1));
  EXPECT_FALSE(Library().SetScheduledEventEnabled(1, true));
  EXPECT_FALSE(Library().SetScheduledEventLastRun(1, 1));
  EXPECT_FALSE(Library().SetScheduledEventTime(1, 1));
  EXPECT_TRUE(Library().ListScheduledEvents().empty());
  EXPECT_TRUE(Library().ListDueScheduledEvents().empty());
  Library().AddSongHistory("t");
  EXPECT_TRUE(Library().ListSongHistory().empty());
  Library().ClearSongHistory();
}

TEST_F(LibraryDbTest, WithoutADatabaseEveryOperationFailsQuietly) {
  ExpectEveryOperationFailsQuietly();  // never opened
  EXPECT_FALSE(Library().Open(dir_.file("missing/folder/Sonderlane.db")));
  EXPECT_FALSE(Library().Open(dir_.path().string()));  // a folder
  EXPECT_FALSE(Library().IsOpen());
  ExpectEveryOperationFailsQuietly();
  EXPECT_FALSE(fs::exists(dir_.file("missing")));
}

TEST_F(LibraryDbTest, FileThatIsNoDatabaseIsLeftAsItWas) {
  std::mt19937 rng(7);
  std::string noise(64 * 1024, '\0');
  for (char& c : noise) c = static_cast<char>(rng());
  const std::vector<std::pair<const char*, std::string>> files = {
      {"text", "[Playback]\nVolume=80\n"},
      {"random bytes", noise},
      {"a lone header", std::string("SQLite format 3\0", 16)},
      {"a header, then noise", std::string("SQLite format 3\0", 16) + noise},
  };
  for (const auto& [what, bytes] : files) {
    SCOPED_TRACE(what);
    testsupport::WriteFileBytes(db(), bytes);
    EXPECT_FALSE(Library().Open(db()));
    ExpectEveryOperationFailsQuietly();
    EXPECT_EQ(Slurp(db()), bytes);
    EXPECT_FALSE(fs::exists(db() + "-wal"));
    EXPECT_FALSE(fs::exists(db() + "-shm"));
    EXPECT_FALSE(fs::exists(db() + "-journal"));
  }
}

TEST_F(LibraryDbTest, DamagedPagesGiveFailuresNotCrashes) {
  ASSERT_TRUE(Library().Open(db()));
  for (int i = 0; i < 300; ++i) {
    Library().SavePosition("/m/" + std::to_string(i) + std::string(200, 'x'), i);
    Library().AddRadioFavorite("Station " + std::to_string(i),
                               "http://127.0.0.1/" + std::to_string(i));
  }
  Library().Close();
  const std::string good = Slurp(db());
  ASSERT_GT(good.size(), 8u * 4096);
  std::mt19937 rng(11);
  for (int round = 0; round < 8; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::string bad = good;
    // Scribble over a few pages past the first (the first holds the schema).
    for (int k = 0; k < 3; ++k) {
      const std::size_t at = 4096 + rng() % (bad.size() - 4096 - 512);
      for (int j = 0; j < 512; ++j) bad[at + j] = static_cast<char>(rng());
    }
    testsupport::WriteFileBytes(db(), bad);
    if (Library().Open(db())) {
      Library().LoadPosition("/m/7" + std::string(200, 'x'));
      Library().ListRadioFavorites();
      Library().SavePosition("/m/new", 1);
      Library().AddRadioFavorite("New", "http://127.0.0.1/new");
      Library().ListScheduledEvents();
      Library().Close();
    }
  }
}

// ---- Files we may not write, and other processes ----

TEST_F(LibraryDbTest, ReadOnlyFileReadsFailsWritesAndLeavesNothingBehind) {
  ASSERT_TRUE(Library().Open(db()));
  Library().SavePosition("/m/long.mp3", 754.5);
  Library().AddRadioFavorite("Jazz", "http://127.0.0.1/jazz");
  Library().AddSongHistory("Song");
  Library().Close();
  // The folder and file belong to the user who runs the player below.
  if (::geteuid() == 0) {
    struct passwd* nobody = ::getpwnam("nobody");
    const uid_t uid = nobody ? nobody->pw_uid : 65534;
    const gid_t gid = nobody ? nobody->pw_gid : 65534;
    ASSERT_EQ(::chown(dir_.path().c_str(), uid, gid), 0);
    ASSERT_EQ(::chown(db().c_str(), uid, gid), 0);
  }
  ASSERT_EQ(::chmod(db().c_str(), 0444), 0);
  const std::string before = Slurp(db());

  const int result = RunInChild(
      [&] {
        if (::access(db().c_str(), W_OK) == 0) return 99;  // modes are not in force here
        if (!Library().Open(db())) return 1;
        if (Library().LoadPosition("/m/long.mp3") != 754.5) return 2;
        if (Library().ListRadioFavorites().size() != 1) return 3;
        if (Library().ListSongHistory().size() != 1) return 4;
        if (Library().SavePosition("/m/long.mp3", 1.0)) return 5;
        if (Library().AddBookmark("/m/long.mp3", 1.0) != -1) return 6;
        if (Library().UpdateRadioFavorite(1, "x", "y")) return 7;
        if (Library().ResetRadioFavoriteOrder()) return 8;
        Library().AddSongHistory("Another");
        if (Library().ListSongHistory().size() != 1) return 9;
        if (Library().LoadPosition("/m/long.mp3") != 754.5) return 10;
        Library().Close();
        return 0;
      },
      /*as_nobody=*/true);
  if (result == 99 || result < 0) GTEST_SKIP() << "file modes cannot be tried as this user here";
  EXPECT_EQ(result, 0) << "the check that failed, in the child's order";
  EXPECT_EQ(Slurp(db()), before);
  for (const char* extra : {"-wal", "-shm", "-journal"})
    EXPECT_FALSE(fs::exists(db() + extra)) << extra;

  // Given write access back, the user's next start writes as before.
  ASSERT_EQ(::chmod(db().c_str(), 0644), 0);
  EXPECT_EQ(RunInChild(
                [&] {
                  if (!Library().Open(db())) return 1;
                  if (!Library().SavePosition("/m/long.mp3", 800.0)) return 2;
                  Library().Close();
                  return 0;
                },
                true),
            0);
  ASSERT_TRUE(Library().Open(db()));
  EXPECT_EQ(Library().LoadPosition("/m/long.mp3"), 800.0);
}

// A second process holding an exclusive transaction for longer than the busy timeout: with the
// file in WAL mode (as the program leaves it) reads go on and each write fails after about
// 5 s; with a file in the old rollback mode nothing can be read and Open fails after about 5 s;
// an older file that needs new columns opens after one wait, without them until the next
// start. Nothing is lost either way. The three cases run at the same time.
TEST_F(LibraryDbTest, FileLockedByAnotherProcessWaitsThenFails) {
  const std::string rollback = dir_.file("rollback.db"), older = dir_.file("older.db");
  ASSERT_TRUE(Rows(older, std::string("PRAGMA journal_mode=WAL;") + kOlderLayout).size() == 1);
  for (const std::string& path : {db(), rollback}) {
    ASSERT_TRUE(Library().Open(path));
    Library().SavePosition("/m/long.mp3", 754.5);
    Library().AddRadioFavorite("Jazz", "http://127.0.0.1/jazz");
    Library().AddRadioFavorite("Blues", "http://127.0.0.1/blues");
    Library().AddBookmark("/m/long.mp3", 60);
    Library().Close();
  }
  ASSERT_EQ(One(rollback, "PRAGMA journal_mode=DELETE;"), "delete");
  const auto wal_rows = Dump(db()), rollback_rows = Dump(rollback), older_rows = Dump(older);
  ASSERT_GT(wal_rows.size(), 8u);

  Locker wal_lock(db()), rollback_lock(rollback), older_lock(older);
  ASSERT_TRUE(wal_lock.locked());
  ASSERT_TRUE(rollback_lock.locked());
  ASSERT_TRUE(older_lock.locked());

  // The rollback-mode file, in a second process at the same time as the WAL file here.
  const pid_t rollback_case = StartChild([&] {
    const auto t0 = Clock::now();
    if (Library().Open(rollback)) return 1;
    const double waited = SecondsSince(t0);
    return waited >= 4.5 && waited < 8.0 ? 0 : 2;
  });
  const pid_t older_case = StartChild([&] {
    const auto t0 = Clock::now();
    if (!Library().Open(older)) return 1;
    const double waited = SecondsSince(t0);
    if (waited < 4.5 || waited >= 8.0) return 2;
    return Library().LoadPosition("/m/long.mp3") == 754.5 ? 0 : 3;
  });

  auto t0 = Clock::now();
  ASSERT_TRUE(Library().Open(db()));
  EXPECT_LT(SecondsSince(t0), 2.0);  // opening a current file waits for no lock
  EXPECT_EQ(Library().LoadPosition("/m/long.mp3"), 754.5);
  EXPECT_EQ(Library().ListRadioFavorites().size(), 2u);
  t0 = Clock::now();
  EXPECT_EQ(Library().AddBookmark("/m/long.mp3", 90), -1);
  const double waited = SecondsSince(t0);
  EXPECT_GE(waited, 4.5);
  EXPECT_LT(waited, 8.0);
  EXPECT_EQ(WaitChild(rollback_case), 0)
      << "1: opened a locked rollback-mode file; 2: waited too short or too long";

  EXPECT_EQ(WaitChild(older_case), 0)
      << "1: did not open; 2: waited too short or too long; 3: could not read";

  wal_lock.Release();
  rollback_lock.Release();
  older_lock.Release();
  EXPECT_EQ(Dump(db()), wal_rows);
  EXPECT_EQ(Dump(rollback), rollback_rows);
  EXPECT_EQ(Dump(older), older_rows);
  // Once the other process is gone, writing works again on the same connection.
  EXPECT_GT(Library().AddBookmark("/m/long.mp3", 90), 0);
  Library().Close();
  ASSERT_TRUE(Library().Open(rollback));
  EXPECT_EQ(Library().ListBookmarks().size(), 1u);
  Library().Close();
  ASSERT_TRUE(Library().Open(older));
  EXPECT_TRUE(HasColumn(older, "radio_favorites", "sort_order"));
  EXPECT_EQ(Library().ListScheduledEvents().size(), 1u);
}

// The process is killed at random moments while it saves positions: the file stays sound and
// every save that had returned is there.
TEST_F(LibraryDbTest, KilledWhileSavingKeepsEverySavedPosition) {
  ASSERT_TRUE(Library().Open(db()));
  Library().Close();
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> delay_us(0, 6000);
  const int kRounds = 32;
  std::size_t total_saved = 0;
  for (int round = 0; round < kRounds; ++round) {
    int saved[2];
    ASSERT_EQ(::pipe(saved), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::close(saved[0]);
      if (!Library().Open(db())) ::_exit(2);
      for (int32_t key = (round + 1) * 1'000'000;; ++key) {
        if (Library().SavePosition("/music/" + std::to_string(key) + ".mp3", key + 0.25))
          (void)!::write(saved[1], &key, sizeof key);
      }
    }
    ::close(saved[1]);
    struct pollfd pfd = {saved[0], POLLIN, 0};
    const bool started = ::poll(&pfd, 1, 20000) == 1;
    if (started) std::this_thread::sleep_for(std::chrono::microseconds(delay_us(rng)));
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    std::vector<int32_t> keys;
    int32_t key;
    while (::read(saved[0], &key, sizeof key) == static_cast<ssize_t>(sizeof key))
      keys.push_back(key);
    ::close(saved[0]);
    ASSERT_TRUE(started) << "round " << round << ": the child saved nothing";

    ASSERT_EQ(One(db(), "PRAGMA integrity_check;"), "ok") << "round " << round;
    ASSERT_TRUE(Library().Open(db()));
    for (int32_t k : keys)
      ASSERT_EQ(Library().LoadPosition("/music/" + std::to_string(k) + ".mp3"), k + 0.25)
          << "round " << round << ", key " << k;
    Library().Close();
    total_saved += keys.size();
  }
  std::printf("[ info ] %d kills, %zu positions reported saved, all present\n", kRounds,
              total_saved);
}

}  // namespace
