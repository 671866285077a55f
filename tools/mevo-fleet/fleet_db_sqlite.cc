#include <sqlite3.h>

#include <map>

#include "fleet_db.h"

namespace {
constexpr int BUSY_TIMEOUT_MS = 10000;

class SqliteDb : public FleetDb {
  public:
    explicit SqliteDb(sqlite3 *db) : db_(db) {}
    ~SqliteDb() override {
        for (auto &[sql, stmt] : cache_) sqlite3_finalize(stmt);
        sqlite3_close(db_);
    }
    const char *engine() const override { return "sqlite"; }

    int64_t exec(const std::string &sql, const std::vector<SqlParam> &params,
                 SqlRows *rows) override {
        sqlite3_stmt *stmt = prepare(sql);
        if (!stmt) return -1;
        for (size_t k = 0; k < params.size(); ++k) {
            const SqlParam &p = params[k];
            int rc = p.is_int ? sqlite3_bind_int64(stmt, int(k + 1), p.i)
                              : sqlite3_bind_text(stmt, int(k + 1), p.s.data(), int(p.s.size()),
                                                  SQLITE_TRANSIENT);
            if (rc != SQLITE_OK) return fail(stmt);
        }
        int rc;
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
            if (!rows) continue;
            std::vector<std::string> row;
            for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
                const unsigned char *text = sqlite3_column_text(stmt, c);
                row.emplace_back(text ? reinterpret_cast<const char *>(text) : "");
            }
            rows->push_back(std::move(row));
        }
        if (rc != SQLITE_DONE) return fail(stmt);
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
        return sqlite3_changes64(db_);
    }

  private:
    // Statements are kept: an upload runs the same insert many times.
    sqlite3_stmt *prepare(const std::string &sql) {
        auto it = cache_.find(sql);
        if (it != cache_.end()) return it->second;
        sqlite3_stmt *stmt = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), int(sql.size()), &stmt, nullptr) != SQLITE_OK) {
            error_ = sqlite3_errmsg(db_);
            return nullptr;
        }
        cache_[sql] = stmt;
        return stmt;
    }
    int64_t fail(sqlite3_stmt *stmt) {
        error_ = sqlite3_errmsg(db_);
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
        return -1;
    }

    sqlite3 *db_;
    std::map<std::string, sqlite3_stmt *> cache_;
};
}  // namespace

std::unique_ptr<FleetDb> fleet_db_open_sqlite(const std::string &path, std::string *error) {
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        *error = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, BUSY_TIMEOUT_MS);
    // WAL lets reports read while an upload writes. NORMAL loses at most the newest commits on
    // a power cut, never the file, and a lost commit is sent again: the cameras upload
    // everything after the last saved time the server answers.
    for (const char *pragma :
         {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=NORMAL", "PRAGMA foreign_keys=ON"}) {
        char *msg = nullptr;
        if (sqlite3_exec(db, pragma, nullptr, nullptr, &msg) != SQLITE_OK) {
            *error = msg ? msg : "pragma failed";
            sqlite3_free(msg);
            sqlite3_close(db);
            return nullptr;
        }
    }
    return std::make_unique<SqliteDb>(db);
}
