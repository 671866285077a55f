// The live confirmed tracks as JSON, for the "tracks-live.json" and
// "tracks-live-and-ended.json" replies. Runs on the HTTP thread; takes the tracker's lock only
// to copy the few fields it prints, so the frame loop never waits for a slow client.
#pragma once

#include "platform/json/json_print.h"
#include "track/tracker.h"

// Writes the member "live": {"tracks": [...]} into the object currently open on `printer`:
// one object per live track with id > 0, in list order, with "time_start", "time_end"
// (seconds, 6 decimals), "gender_average" (1 or -1), "age_average", "boxsize_average" (pixels),
// "gender_last", "age_last" and "boxsize_last" (pixels). The caller must not hold the
// tracker's lock. Returns JSON_PRINT_OK or the printer's error code.
int tracker_print_live_json(Tracker *tracker, JsonPrinter *printer);

// The whole "tracks-live.json" body {"live": {...}} in the pretty layout, written through
// `callback(user, ...)` (for example the web layer's stream sink). When the printer cannot be
// set up it logs "Failed (%d) to init json printer for web stream", writes nothing and returns
// -1; otherwise returns tracker_print_live_json's result.
int tracker_write_live_json(Tracker *tracker, JsonPrintCallback callback, void *user);
