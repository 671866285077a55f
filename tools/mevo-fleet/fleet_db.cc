#include "fleet_db.h"

std::unique_ptr<FleetDb> fleet_db_open(const std::string &uri, std::string *error) {
    if (uri.rfind("sqlite:", 0) == 0) return fleet_db_open_sqlite(uri.substr(7), error);
    if (uri.rfind("postgresql:", 0) == 0) return fleet_db_open_postgres(uri.substr(11), error);
    *error = "database must be sqlite:PATH or postgresql:CONNINFO";
    return nullptr;
}
