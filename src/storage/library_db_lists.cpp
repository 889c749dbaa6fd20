// The user's lists in the library database: radio favorites and podcast subscriptions (with
// their user order) and scheduled events (with the due set the scheduler reads).
#include <sqlite3.h>

#include "library_db.h"
#include "library_db_sqlite.h"

using librarydb::Statement;

namespace {

// ---- Radio favorites ----

constexpr const char* kAddFavorite =
    "INSERT INTO radio_favorites (name, url, created, sort_order) VALUES (?, ?, ?, (SELECT CASE "
    "WHEN MAX(sort_order) > 0 THEN MAX(sort_order) + 1 ELSE 0 END FROM radio_favorites));";
constexpr const char* kUpdateFavorite =
    "UPDATE radio_favorites SET name = ?, url = ? WHERE id = ?;";
constexpr const char* kDeleteFavorite = "DELETE FROM radio_favorites WHERE id = ?;";
constexpr const char* kListFavorites =
    "SELECT id, name, url, created, sort_order FROM radio_favorites ORDER BY sort_order ASC, name "
    "COLLATE NOCASE ASC;";
constexpr const char* kOrderFavorite = "UPDATE radio_favorites SET sort_order = ? WHERE id = ?;";
constexpr const char* kResetFavoriteOrder = "UPDATE radio_favorites SET sort_order = 0;";

// ---- Podcast subscriptions ----

constexpr const char* kAddSubscription =
    "INSERT INTO podcast_subscriptions (name, feed_url, image_url, last_updated, sort_order) "
    "VALUES (?, ?, ?, ?, (SELECT CASE WHEN MAX(sort_order) > 0 THEN MAX(sort_order) + 1 ELSE 0 "
    "END FROM podcast_subscriptions));";
constexpr const char* kDeleteSubscription = "DELETE FROM podcast_subscriptions WHERE id = ?;";
constexpr const char* kTouchSubscription =
    "UPDATE podcast_subscriptions SET last_updated = ? WHERE id = ?;";
constexpr const char* kListSubscriptions =
    "SELECT id, name, feed_url, image_url, last_updated, sort_order FROM podcast_subscriptions "
    "ORDER BY sort_order ASC, name COLLATE NOCASE ASC;";
constexpr const char* kOrderSubscription =
    "UPDATE podcast_subscriptions SET sort_order = ? WHERE id = ?;";
constexpr const char* kResetSubscriptionOrder = "UPDATE podcast_subscriptions SET sort_order = 0;";

// ---- Scheduled events ----

constexpr const char* kAddEvent =
    "INSERT INTO scheduled_events (name, action, source_type, source_path, radio_station_id, "
    "scheduled_time, repeat_type, enabled, last_run, duration, stop_action) VALUES (?, ?, ?, ?, ?, "
    "?, ?, ?, 0, ?, ?);";
constexpr const char* kUpdateEvent =
    "UPDATE scheduled_events SET name = ?, action = ?, source_type = ?, source_path = ?, "
    "radio_station_id = ?, scheduled_time = ?, repeat_type = ?, enabled = ?, duration = ?, "
    "stop_action = ? WHERE id = ?;";
constexpr const char* kDeleteEvent = "DELETE FROM scheduled_events WHERE id = ?;";
constexpr const char* kEnableEvent = "UPDATE scheduled_events SET enabled = ? WHERE id = ?;";
constexpr const char* kEventLastRun = "UPDATE scheduled_events SET last_run = ? WHERE id = ?;";
constexpr const char* kEventTime = "UPDATE scheduled_events SET scheduled_time = ? WHERE id = ?;";
constexpr const char* kListEvents =
    "SELECT id, name, action, source_type, source_path, radio_station_id, scheduled_time, "
    "repeat_type, enabled, last_run, duration, stop_action FROM scheduled_events ORDER BY "
    "scheduled_time ASC;";
constexpr const char* kListDueEvents =
    "SELECT id, name, action, source_type, source_path, radio_station_id, scheduled_time, "
    "repeat_type, enabled, last_run, duration, stop_action FROM scheduled_events WHERE enabled = 1 "
    "AND scheduled_time <= ? AND last_run < scheduled_time ORDER BY scheduled_time ASC;";

// The ten values an add and an update bind, in their order, from position 1.
void BindEventValues(Statement& st, const ScheduledEvent& e) {
  st.Bind(1, e.name)
      .Bind(2, e.action)
      .Bind(3, e.source_type)
      .Bind(4, e.source_path)
      .Bind(5, e.radio_station_id)
      .Bind(6, e.scheduled_time)
      .Bind(7, e.repeat_type)
      .Bind(8, e.enabled ? 1 : 0)
      .Bind(9, e.duration)
      .Bind(10, e.stop_action);
}

ScheduledEvent ReadEvent(const Statement& st) {
  ScheduledEvent e;
  e.id = st.Int(0);
  e.name = st.Text(1);
  e.action = st.Int(2);
  e.source_type = st.Int(3);
  e.source_path = st.Text(4);
  e.radio_station_id = st.Int(5);
  e.scheduled_time = st.Int64(6);
  e.repeat_type = st.Int(7);
  e.enabled = st.Int(8) != 0;
  e.last_run = st.Int64(9);
  e.duration = st.Int(10);
  e.stop_action = st.Int(11);
  return e;
}

// Steps `st` to its end, reading each row with `read`; empty when a step fails.
template <typename Record, typename Read>
std::vector<Record> ReadAll(Statement& st, Read read) {
  std::vector<Record> list;
  int rc;
  while ((rc = st.Step()) == SQLITE_ROW) list.push_back(read(st));
  if (rc != SQLITE_DONE) list.clear();
  return list;
}

// Writes 1, 2, 3 ... in list order, one row at a time with the same statement; no transaction,
// step results ignored. True once the statement was prepared.
template <typename Record>
bool SaveOrder(librarydb::Connection& c, const char* sql, const std::vector<Record>& list) {
  Statement st(c, sql);
  if (!st.ok()) return false;
  int position = 1;
  for (const Record& r : list) {
    st.Bind(1, position++).Bind(2, r.id);
    st.Step();
    st.Reset();
  }
  return true;
}

bool StepDone(librarydb::Connection& c, const char* sql) {
  Statement st(c, sql);
  return st.ok() && st.Step() == SQLITE_DONE;
}

}  // namespace

// ---- Radio favorites ----

int LibraryDb::AddRadioFavorite(const std::string& name, const std::string& url) {
  if (!conn_) return -1;
  Statement st(*conn_, kAddFavorite);
  if (!st.ok()) return -1;
  st.Bind(1, name).Bind(2, url).Bind(3, now_());
  if (st.Step() != SQLITE_DONE) return -1;
  return static_cast<int>(sqlite3_last_insert_rowid(conn_->db));
}

bool LibraryDb::UpdateRadioFavorite(int id, const std::string& name, const std::string& url) {
  if (!conn_) return false;
  Statement st(*conn_, kUpdateFavorite);
  if (!st.ok()) return false;
  st.Bind(1, name).Bind(2, url).Bind(3, id);
  return st.Step() == SQLITE_DONE;
}

bool LibraryDb::DeleteRadioFavorite(int id) {
  if (!conn_) return false;
  Statement st(*conn_, kDeleteFavorite);
  if (!st.ok()) return false;
  st.Bind(1, id);
  return st.Step() == SQLITE_DONE;
}

std::vector<RadioFavorite> LibraryDb::ListRadioFavorites() {
  if (!conn_) return {};
  Statement st(*conn_, kListFavorites);
  if (!st.ok()) return {};
  return ReadAll<RadioFavorite>(st, [](const Statement& s) {
    return RadioFavorite{s.Int(0), s.Text(1), s.Text(2), s.Int64(3), s.Int(4)};
  });
}

bool LibraryDb::SaveRadioFavoriteOrder(const std::vector<RadioFavorite>& list) {
  return conn_ && SaveOrder(*conn_, kOrderFavorite, list);
}

bool LibraryDb::ResetRadioFavoriteOrder() { return conn_ && StepDone(*conn_, kResetFavoriteOrder); }

// ---- Podcast subscriptions ----

int LibraryDb::AddPodcastSubscription(const std::string& name, const std::string& feed_url,
                                      const std::string& image_url) {
  if (!conn_) return -1;
  Statement st(*conn_, kAddSubscription);
  if (!st.ok()) return -1;
  st.Bind(1, name).Bind(2, feed_url).Bind(3, image_url).Bind(4, now_());
  // A feed URL already subscribed violates the UNIQUE constraint and ends here.
  if (st.Step() != SQLITE_DONE) return -1;
  return static_cast<int>(sqlite3_last_insert_rowid(conn_->db));
}

bool LibraryDb::DeletePodcastSubscription(int id) {
  if (!conn_) return false;
  Statement st(*conn_, kDeleteSubscription);
  if (!st.ok()) return false;
  st.Bind(1, id);
  return st.Step() == SQLITE_DONE;
}

bool LibraryDb::TouchPodcastSubscription(int id) {
  if (!conn_) return false;
  Statement st(*conn_, kTouchSubscription);
  if (!st.ok()) return false;
  st.Bind(1, now_()).Bind(2, id);
  return st.Step() == SQLITE_DONE;
}

std::vector<PodcastSubscription> LibraryDb::ListPodcastSubscriptions() {
  if (!conn_) return {};
  Statement st(*conn_, kListSubscriptions);
  if (!st.ok()) return {};
  return ReadAll<PodcastSubscription>(st, [](const Statement& s) {
    return PodcastSubscription{s.Int(0), s.Text(1), s.Text(2), s.Text(3), s.Int64(4), s.Int(5)};
  });
}

bool LibraryDb::SavePodcastSubscriptionOrder(const std::vector<PodcastSubscription>& list) {
  return conn_ && SaveOrder(*conn_, kOrderSubscription, list);
}

bool LibraryDb::ResetPodcastSubscriptionOrder() {
  return conn_ && StepDone(*conn_, kResetSubscriptionOrder);
}

// ---- Scheduled events ----

int LibraryDb::AddScheduledEvent(const ScheduledEvent& event) {
  if (!conn_) return -1;
  Statement st(*conn_, kAddEvent);
  if (!st.ok()) return -1;
  BindEventValues(st, event);
  if (st.Step() != SQLITE_DONE) return -1;
  return static_cast<int>(sqlite3_last_insert_rowid(conn_->db));
}

bool LibraryDb::UpdateScheduledEvent(const ScheduledEvent& event) {
  if (!conn_) return false;
  Statement st(*conn_, kUpdateEvent);
  if (!st.ok()) return false;
  BindEventValues(st, event);
  st.Bind(11, event.id);
  return st.Step() == SQLITE_DONE;
}

bool LibraryDb::DeleteScheduledEvent(int id) {
  if (!conn_) return false;
  Statement st(*conn_, kDeleteEvent);
  if (!st.ok()) return false;
  st.Bind(1, id);
  return st.Step() == SQLITE_DONE;
}

bool LibraryDb::SetScheduledEventEnabled(int id, bool enabled) {
  if (!conn_) return false;
  Statement st(*conn_, kEnableEvent);
  if (!st.ok()) return false;
  st.Bind(1, enabled ? 1 : 0).Bind(2, id);
  return st.Step() == SQLITE_DONE;
}

bool LibraryDb::SetScheduledEventLastRun(int id, int64_t time) {
  if (!conn_) return false;
  Statement st(*conn_, kEventLastRun);
  if (!st.ok()) return false;
  st.Bind(1, time).Bind(2, id);
  return st.Step() == SQLITE_DONE;
}

bool LibraryDb::SetScheduledEventTime(int id, int64_t time) {
  if (!conn_) return false;
  Statement st(*conn_, kEventTime);
  if (!st.ok()) return false;
  st.Bind(1, time).Bind(2, id);
  return st.Step() == SQLITE_DONE;
}

std::vector<ScheduledEvent> LibraryDb::ListScheduledEvents() {
  if (!conn_) return {};
  Statement st(*conn_, kListEvents);
  if (!st.ok()) return {};
  return ReadAll<ScheduledEvent>(st, [](const Statement& s) {
    ScheduledEvent e = ReadEvent(s);
    e.display = ScheduledEventDisplayLine(e);
    return e;
  });
}

std::vector<ScheduledEvent> LibraryDb::ListDueScheduledEvents() {
  if (!conn_) return {};
  Statement st(*conn_, kListDueEvents);
  if (!st.ok()) return {};
  st.Bind(1, now_());
  return ReadAll<ScheduledEvent>(st, ReadEvent);
}
