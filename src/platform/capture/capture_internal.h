// Shared between the capture stand-in's own files; not part of the public interface.
#pragma once

#include <cstdint>
#include <vector>

struct CaptureNative;

// Opens `source` (same forms as MEVO_SOURCE). A snapshot reader loops, never raises SIGTERM,
// never sets the source clock and is not offered to snapshots itself.
CaptureNative *capture_native_open_source(const char *source, int width, int height, bool snapshot);

// Copies the newest frame of the capture the main loop uses; false when there is none yet.
bool capture_native_copy_latest(std::vector<uint8_t> &pixels, int &width, int &height);
