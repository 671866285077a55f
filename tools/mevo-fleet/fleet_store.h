// The fleet's storage: cameras and their visits in one schema on either SQL engine.
//
//   cameras  one row per camera serial: name, time zone, first and last upload, settings
//   visits   one row per uploaded track: camera, start and end time (UTC microseconds),
//            gender (1 man, -1 woman), age, age band, face size, track number. The primary
//            key (camera, end, start, track number) makes a re-sent row a no-op.
// The schema is versioned (table schema_version); fleet_store_open applies what is missing.
//
// Threads: a store is used by one thread at a time (the server's main loop).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fleet_db.h"

inline constexpr int FLEET_SCHEMA_VERSION = 2;

struct FleetVisit {
    int64_t t_start_us = 0;
    int64_t t_end_us = 0;
    int gender = 0;  // 1 man, -1 woman
    int age = 0;     // years
    int boxsize = 0;
    int trackid = 0;
};

struct FleetUpload {
    std::string serial, name, timezone;
    std::vector<FleetVisit> visits;
};

struct FleetCamera {
    std::string serial, name, timezone;
    int64_t first_seen = 0, last_upload = 0;  // UTC seconds; last_upload 0 = never uploaded
    int64_t last_end_us = 0;                  // newest stored visit end, 0 when none
    bool has_settings = false;
};

// Visits of one 15-minute (or other) interval by gender and age band.
struct FleetSlotCount {
    int64_t start = 0;  // UTC seconds, a multiple of the interval
    int gender = 0;
    int band = 0;
    int64_t count = 0;
};

struct FleetGenderCount {
    std::string serial;
    int gender = 0;
    int64_t count = 0;
};

class FleetStore {
  public:
    explicit FleetStore(std::unique_ptr<FleetDb> db) : db_(std::move(db)) {}
    const char *engine() const { return db_->engine(); }
    const std::string &error() const { return error_; }

    // Brings the schema to FLEET_SCHEMA_VERSION. Returns 0, or -1 (also for a database of a
    // newer program).
    int migrate();
    int schema_version(int *version);

    // Stores an upload in one transaction: the camera's row (created or refreshed, last upload
    // = now) and every visit not stored yet. *stored = the visits that were new.
    int add_upload(const FleetUpload &upload, int64_t now, int64_t *stored);
    // Settings document of a camera (creates the camera's row when it has never uploaded).
    int save_settings(const std::string &serial, const std::string &name,
                      const std::string &document, int64_t now);
    // Whether the camera's settings are stored (false for an unknown camera).
    int has_settings(const std::string &serial, bool *stored);

    // Newest visit end of a camera in microseconds; 0 when it has none.
    int last_end_us(const std::string &serial, int64_t *t);
    int cameras(std::vector<FleetCamera> *out);
    // Visits ending in [from_s, to_s) by interval, gender and band, for the given cameras
    // (empty = all cameras).
    int slot_counts(const std::vector<std::string> &serials, int64_t from_s, int64_t to_s,
                    int interval_s, std::vector<FleetSlotCount> *out);
    // Visits ending in [from_s, to_s) per camera and gender.
    int gender_counts(int64_t from_s, int64_t to_s, std::vector<FleetGenderCount> *out);
    // Oldest visit end (UTC seconds) of the given cameras (empty = all); 0 when none.
    int oldest_end(const std::vector<std::string> &serials, int64_t *t);
    int visit_count(int64_t *n);

  private:
    int64_t run(const std::string &sql, const std::vector<SqlParam> &params = {},
                SqlRows *rows = nullptr);
    int scalar(const std::string &sql, const std::vector<SqlParam> &params, int64_t *value);
    int insert_visits(int64_t camera_id, const std::vector<FleetVisit> &visits, int64_t *stored);
    std::string camera_filter(const std::vector<std::string> &serials, size_t first_param,
                              std::vector<SqlParam> *params) const;

    std::unique_ptr<FleetDb> db_;
    std::string error_;
};

// Opens the database ("sqlite:PATH" or "postgresql:CONNINFO") and migrates it. Null with the
// reason in *error.
std::unique_ptr<FleetStore> fleet_store_open(const std::string &uri, std::string *error);
