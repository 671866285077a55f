#include <libpq-fe.h>

#include "fleet_db.h"

namespace {
class PostgresDb : public FleetDb {
  public:
    explicit PostgresDb(PGconn *conn) : conn_(conn) {}
    ~PostgresDb() override { PQfinish(conn_); }
    const char *engine() const override { return "postgresql"; }

    int64_t exec(const std::string &sql, const std::vector<SqlParam> &params,
                 SqlRows *rows) override {
        // A server restarted under us: one reconnect, then the statement fails as usual (the
        // camera sends again later).
        if (PQstatus(conn_) != CONNECTION_OK) PQreset(conn_);
        std::vector<std::string> text(params.size());
        std::vector<const char *> values(params.size());
        for (size_t k = 0; k < params.size(); ++k) {
            text[k] = params[k].is_int ? std::to_string(params[k].i) : params[k].s;
            values[k] = text[k].c_str();
        }
        PGresult *res = PQexecParams(conn_, sql.c_str(), int(params.size()), nullptr, values.data(),
                                     nullptr, nullptr, 0);
        ExecStatusType status = PQresultStatus(res);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
            error_ = PQresultErrorMessage(res);
            if (error_.empty()) error_ = PQerrorMessage(conn_);
            PQclear(res);
            return -1;
        }
        if (rows && status == PGRES_TUPLES_OK) {
            for (int r = 0; r < PQntuples(res); ++r) {
                std::vector<std::string> row;
                for (int c = 0; c < PQnfields(res); ++c) row.emplace_back(PQgetvalue(res, r, c));
                rows->push_back(std::move(row));
            }
        }
        const char *changed = PQcmdTuples(res);
        int64_t n = changed && *changed ? std::stoll(changed) : 0;
        PQclear(res);
        return status == PGRES_TUPLES_OK ? 0 : n;
    }

  private:
    PGconn *conn_;
};

// Notices ("relation already exists, skipping") are not errors; keep them off stderr.
void quiet(void *, const char *) {}
}  // namespace

std::unique_ptr<FleetDb> fleet_db_open_postgres(const std::string &conninfo, std::string *error) {
    PGconn *conn = PQconnectdb(conninfo.c_str());
    if (PQstatus(conn) != CONNECTION_OK) {
        *error = conn ? PQerrorMessage(conn) : "out of memory";
        PQfinish(conn);
        return nullptr;
    }
    PQsetNoticeProcessor(conn, quiet, nullptr);
    return std::make_unique<PostgresDb>(conn);
}
