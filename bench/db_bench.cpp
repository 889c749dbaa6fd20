// Saving and loading a remembered position in the library database with 100 000 positions
// stored, against the same statements through a bare SQLite handle measured in the same run:
// prepared afresh for every call on the same file, and cached on an in-memory database (the
// cost of the SQL alone, without the file and its fsync).
//   bench_db [FOLDER]   (default: a new folder under $TMPDIR or /tmp, removed afterwards)
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "library_db.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRows = 100000;
constexpr int kSaves = 2000;
constexpr int kLoads = 50000;

const char* const kSaveSql =
    "INSERT OR REPLACE INTO file_positions (path, position, last_updated) VALUES (?, ?, ?);";
const char* const kLoadSql = "SELECT position FROM file_positions WHERE path = ?;";

std::string Key(int i) { return "/home/user/Music/Audiobooks/Book " + std::to_string(i) + ".m4b"; }

// Microseconds per call of `op(i)` over `n` calls, best of three runs.
double MicrosPerOp(int n, const std::function<void(int)>& op) {
  double best = 1e30;
  for (int run = 0; run < 3; ++run) {
    auto t0 = Clock::now();
    for (int i = 0; i < n; ++i) op(i);
    best = std::min(best, std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / n);
  }
  return best;
}

// A bare connection with the program's settings (WAL, busy timeout) and the table filled.
sqlite3* OpenBare(const std::string& path) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK)
    return nullptr;
  sqlite3_busy_timeout(db, 5000);
  sqlite3_exec(db, "PRAGMA journal_mode=WAL;", nullptr, nullptr, nullptr);
  sqlite3_exec(db,
               "CREATE TABLE IF NOT EXISTS file_positions (  path TEXT PRIMARY KEY,  position "
               "REAL,  last_updated INTEGER);",
               nullptr, nullptr, nullptr);
  return db;
}

bool Fill(sqlite3* db) {
  sqlite3_stmt* st = nullptr;
  if (sqlite3_exec(db, "BEGIN;", nullptr, nullptr, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(db, kSaveSql, -1, &st, nullptr) != SQLITE_OK)
    return false;
  for (int i = 0; i < kRows; ++i) {
    const std::string key = Key(i);
    sqlite3_bind_text(st, 1, key.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_double(st, 2, i * 0.5);
    sqlite3_bind_int64(st, 3, 1700000000 + i);
    sqlite3_step(st);
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  return sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr) == SQLITE_OK;
}

void BareSave(sqlite3* db, sqlite3_stmt* cached, const std::string& key, double seconds) {
  sqlite3_stmt* st = cached;
  if (!st) sqlite3_prepare_v2(db, kSaveSql, -1, &st, nullptr);
  sqlite3_bind_text(st, 1, key.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_double(st, 2, seconds);
  sqlite3_bind_int64(st, 3, static_cast<sqlite3_int64>(std::time(nullptr)));
  sqlite3_step(st);
  if (cached)
    sqlite3_reset(st);
  else
    sqlite3_finalize(st);
}

double BareLoad(sqlite3* db, sqlite3_stmt* cached, const std::string& key) {
  sqlite3_stmt* st = cached;
  if (!st) sqlite3_prepare_v2(db, kLoadSql, -1, &st, nullptr);
  sqlite3_bind_text(st, 1, key.c_str(), -1, SQLITE_TRANSIENT);
  const double v = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_double(st, 0) : 0;
  if (cached)
    sqlite3_reset(st);
  else
    sqlite3_finalize(st);
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::string folder;
  bool remove_folder = false;
  if (argc > 1) {
    folder = argv[1];
  } else {
    const char* tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/sonderlane-bench-XXXXXX";
    if (!::mkdtemp(tmpl.data())) return 1;
    folder = tmpl;
    remove_folder = true;
  }
  const std::string ours_path = folder + "/ours.db", bare_path = folder + "/bare.db";
  for (const std::string& p : {ours_path, bare_path})
    for (const char* extra : {"", "-wal", "-shm"}) fs::remove(p + extra);

  // Both files hold the same 100 000 rows before timing starts.
  for (const std::string& p : {ours_path, bare_path}) {
    sqlite3* db = OpenBare(p);
    if (!db || !Fill(db)) {
      std::fprintf(stderr, "cannot fill %s\n", p.c_str());
      return 1;
    }
    sqlite3_close_v2(db);
  }
  sqlite3* mem = OpenBare(":memory:");
  if (!mem || !Fill(mem)) return 1;
  if (!Library().Open(ours_path)) {
    std::fprintf(stderr, "cannot open %s\n", ours_path.c_str());
    return 1;
  }
  sqlite3* bare = OpenBare(bare_path);

  std::mt19937 rng(42);
  std::vector<int> keys(std::max(kSaves, kLoads));
  for (int& k : keys) k = static_cast<int>(rng() % kRows);
  std::vector<std::string> names(keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) names[i] = Key(keys[i]);

  sqlite3_stmt *mem_save = nullptr, *mem_load = nullptr;
  sqlite3_prepare_v2(mem, kSaveSql, -1, &mem_save, nullptr);
  sqlite3_prepare_v2(mem, kLoadSql, -1, &mem_load, nullptr);

  volatile double sink = 0;
  const double ours_save = MicrosPerOp(kSaves, [&](int i) { Library().SavePosition(names[i], i); });
  const double bare_save =
      MicrosPerOp(kSaves, [&](int i) { BareSave(bare, nullptr, names[i], i); });
  const double mem_save_us =
      MicrosPerOp(kSaves, [&](int i) { BareSave(mem, mem_save, names[i], i); });
  const double ours_load =
      MicrosPerOp(kLoads, [&](int i) { sink = sink + Library().LoadPosition(names[i]); });
  const double bare_load =
      MicrosPerOp(kLoads, [&](int i) { sink = sink + BareLoad(bare, nullptr, names[i]); });
  const double mem_load_us =
      MicrosPerOp(kLoads, [&](int i) { sink = sink + BareLoad(mem, mem_load, names[i]); });

  // The two files must agree after the same work.
  const bool same = Library().LoadPosition(names[0]) == BareLoad(bare, nullptr, names[0]);

  std::printf("Library database, %d positions stored (WAL, default synchronous=FULL)\n", kRows);
  std::printf("%-6s %12s %10s | %20s %7s | %16s %7s\n", "", "ours us/op", "ops/s",
              "fresh prepare us/op", "ratio", "in-memory us/op", "ratio");
  auto row = [](const char* what, double ours, double fresh, double memory) {
    std::printf("%-6s %12.2f %10.0f | %20.2f %7.2f | %16.2f %7.2f\n", what, ours, 1e6 / ours, fresh,
                ours / fresh, memory, ours / memory);
  };
  row("save", ours_save, bare_save, mem_save_us);
  row("load", ours_load, bare_load, mem_load_us);
  std::printf("ratio = ours / reference (below 1: ours is faster). Goal: save under 1000 us: %s\n",
              ours_save < 1000 ? "met" : "NOT met");
  if (!same) std::printf("warning: the two files disagree\n");

  sqlite3_finalize(mem_save);
  sqlite3_finalize(mem_load);
  sqlite3_close_v2(mem);
  sqlite3_close_v2(bare);
  Library().Close();
  if (remove_folder) fs::remove_all(folder);
  return 0;
}
