// mevo-fleet's HTTP service (libsoup, GLib main loop):
//
//   /api/?method=NAME[&encrypted=true]   the uploader's protocol, for the cameras:
//       version.get                         {"version":"4.0"} (no account needed)
//       demographics.getLastSavedDataTime   newest stored visit end of the camera, "%.6f"
//       demographics.getSettingsFlag        1 while the camera's settings are not stored, else 0
//       demographics.settings               stores the settings document; "ok"
//       demographics.add                    stores the visits (a re-sent one is a no-op); "ok"
//     The body is the enciphered Base64 payload "user##pass##camera name##serial[##document]";
//     user and password must be an uploader account (realm FLEET_UPLOAD_REALM). A refused
//     call gets 400/403/500 with a text that does not begin with "ok", which the camera counts
//     as a failed pass and retries later.
//   /fleet/...                            Digest login (realm FLEET_REALM, users file):
//       /fleet/                             the fleet page (files of the html folder)
//       /fleet/api/cameras.json             cameras, last upload and saved time, today's counts
//       /fleet/api/stale.json[?hours=N]     cameras without an upload for N hours (default:
//                                           stale_hours)
//       /fleet/api/export-csv, export-json  the camera's export formats and arguments (date=,
//                                           res=, callback=) for camera=SERIAL, group=NAME or
//                                           all cameras; tz= overrides the time zone
//
// Threads: everything runs on the thread that runs the default main context.
#pragma once

#include <string>
#include <utility>
#include <vector>

inline constexpr const char *FLEET_REALM = "mevo-fleet";
inline constexpr const char *FLEET_UPLOAD_REALM = "mevo-fleet-upload";
inline constexpr const char *FLEET_SERVER_VERSION = "4.0";

struct FleetConfig {
    std::string listen = "127.0.0.1:8090";
    std::string database = "sqlite:fleet.db";
    std::string users;      // htdigest file of report readers (realm FLEET_REALM)
    std::string uploaders;  // htdigest file of camera accounts (realm FLEET_UPLOAD_REALM)
    std::string html;       // folder of the fleet page
    std::string timezone;   // of group and fleet reports; empty = the process's TZ
    std::string tls_cert, tls_key;
    std::string port_file;  // where the port actually used is written (port 0 picks one)
    int stale_hours = 24;
    std::vector<std::pair<std::string, std::string>> groups;  // (group, serial)
};

// Reads "key = value" lines ('#' starts a comment): listen, database, users, uploaders, html,
// timezone, tls_cert, tls_key, port_file, stale_hours, and "group.NAME = SERIAL,SERIAL...".
// Returns 0, or -1 with the line at fault in *error.
int fleet_config_read(const std::string &path, FleetConfig *cfg, std::string *error);
// One of those keys; -1 for an unknown key.
int fleet_config_set(FleetConfig *cfg, const std::string &key, const std::string &value);

// Opens the store, listens and serves until SIGTERM or SIGINT. Returns the exit status.
int fleet_server_run(const FleetConfig &cfg);
