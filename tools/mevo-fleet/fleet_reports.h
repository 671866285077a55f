// Fleet reports: the camera's own exports ("export-csv", "export-json", with their argument
// grammar, column names and formats) built from the stored visits of one camera, a group or
// all cameras, and the camera list with last uploads and today's counts.
//
// A visit counts in the interval in which its track ended. The camera counts a person when the
// tracker gives the track up, a moment after its end, so a visit ending within that moment of
// an interval boundary lands in the neighbouring interval of the camera's own export.
//
// Local days and times follow `timezone` (a TZ value such as "CET-1CEST,M3.5.0,M10.5.0/3");
// the process time zone is switched for the duration of a report, so reports run on one
// thread (the server's main loop) and nothing else of the process may read local time then.
#pragma once

#include <string>
#include <vector>

#include "count/exports.h"
#include "fleet_store.h"

struct FleetReportScope {
    std::vector<std::string> serials;  // empty = all cameras
    std::string serial_field;          // the export's "Camera serial number"
    std::string name_field;            // the export's "Counter name"
    std::string timezone;              // empty = the process's own
};

// Builds an export for `args` (the query, "&date=...&res=..." as the camera takes it).
// Returns 200 with the reply, 400 with the camera's error text ("illegal argument", ...), or
// 500 when the store failed.
int fleet_export(FleetStore *store, ExportKind kind, const FleetReportScope &scope,
                 const std::string &args, std::string *body);

struct FleetReportConfig {
    std::string timezone;  // for the fleet's own day (today's counts); empty = the process's
    int stale_seconds = 86400;
};

// {"now":..,"cameras":[{"serial","name","timezone","group","first_seen","last_upload",
// "last_saved","stale","today":{"men","women","total"}}],"today":{...}} — last_saved is the
// newest stored visit end (what the camera is told), stale = no upload for stale_seconds.
int fleet_cameras_json(FleetStore *store, const FleetReportConfig &cfg,
                       const std::vector<std::pair<std::string, std::string>> &groups, int64_t now,
                       bool stale_only, std::string *body);
