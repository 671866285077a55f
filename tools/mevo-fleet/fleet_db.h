// The SQL engines behind the fleet store: SQLite (one file, the default) and PostgreSQL
// (libpq, for fleets). Both run the same SQL text: placeholders are "$1", "$2", ... numbered
// in the order they first appear, and only syntax both engines share is used
// (INSERT ... ON CONFLICT DO NOTHING, integer division of BIGINT columns).
//
// Threads: one connection per object; an object is used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct SqlParam {
    bool is_int = false;
    int64_t i = 0;
    std::string s;
    SqlParam(int64_t v) : is_int(true), i(v) {}   // NOLINT: implicit on purpose (param lists)
    SqlParam(int v) : is_int(true), i(v) {}       // NOLINT
    SqlParam(std::string v) : s(std::move(v)) {}  // NOLINT
    SqlParam(const char *v) : s(v) {}             // NOLINT
};

// Result rows as text; SQL NULL reads as "".
using SqlRows = std::vector<std::vector<std::string>>;

class FleetDb {
  public:
    virtual ~FleetDb() = default;
    // "sqlite" or "postgresql"; the migrations pick their one dialect word by it.
    virtual const char *engine() const = 0;
    // Runs one statement. Returns the number of rows it changed (0 for queries), or -1 with
    // the engine's message in error(). Rows of a query go to `rows` when given.
    virtual int64_t exec(const std::string &sql, const std::vector<SqlParam> &params = {},
                         SqlRows *rows = nullptr) = 0;
    const std::string &error() const { return error_; }

  protected:
    std::string error_;
};

// The two engines: a database file (created when missing), and a libpq connection string or
// URI. Null with the reason in *error.
std::unique_ptr<FleetDb> fleet_db_open_sqlite(const std::string &path, std::string *error);
std::unique_ptr<FleetDb> fleet_db_open_postgres(const std::string &conninfo, std::string *error);

// Opens "sqlite:PATH" (created when missing) or "postgresql:CONNINFO" (a libpq connection
// string or URI). Null with the reason in *error.
std::unique_ptr<FleetDb> fleet_db_open(const std::string &uri, std::string *error);
