// What a camera's uploader sends, decoded: the Base64 body deciphered with the payload key,
// the identity "user##pass##camera name##serial", and for an upload the JSON document with
// its rows ("data_struct" names the columns of "data").
#pragma once

#include <string>

#include "fleet_store.h"

struct FleetIdentity {
    std::string user, pass, camera_name, serial;
};

// Base64 then the payload cipher. False when the body is not Base64.
bool fleet_decipher(const std::string &body, std::string *plain);

// Splits "user##pass##camera name##serial" and, when present, "##document". False when a
// field is missing or the serial is empty.
bool fleet_split_identity(const std::string &plain, FleetIdentity *identity, std::string *document);

// The counter name inside the camera name the uploader sends ("NAME demographics").
std::string fleet_counter_name(const std::string &camera_name);

// Parses an upload document into `upload` (serial, name, time zone, visits). Rows that are
// not six numbers with a gender of 1 or -1 are skipped and counted in *skipped. False (with
// the reason) when the document is not JSON or has no data.
bool fleet_parse_upload(const std::string &document, FleetUpload *upload, int *skipped,
                        std::string *why);
