#include "maint/track_recorder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "common/fileutil.h"
#include "common/log.h"
#include "common/paths.h"
#include "params/param.h"
#include "web/web.h"

namespace {
constexpr const char *TAG = "track_recorder";
constexpr const char *HTML_LINKS = "/usr/local/packages/mevo/html/demographics/";
constexpr double PICTURE_SPACING_S = 2.0;
constexpr size_t ALL_TRACKS_REPLY = 3000;

struct Recorder {
    Tracker *tracker = nullptr;
    double slot_time[RECORDER_SLOTS] = {};
    int slot_count[RECORDER_SLOTS] = {};
    std::mutex lock;
};

int g_activation = -1;  // -1 undecided, 0 off, 1 on
Recorder *g_recorder = nullptr;

std::string slot_dir(int slot) {
    return mevo_path(RECORDER_TMP_ROOT) + std::to_string(slot);
}
std::string permanent_dir(int id) {
    return mevo_path(RECORDER_PERMANENT_ROOT) + std::to_string(id);
}

bool decide_activation() {
    if (g_activation >= 0) return g_activation == 1;
    int truth = atoi(ov_param_get("Debug.Truth"));
    bool on = false;
    if (truth != 0) {
        std::string probe = mevo_path(RECORDER_SD_PROBE);
        int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0) {
            close(fd);
            unlink(probe.c_str());
            on = true;
        } else {
            log_message(TAG, "Disabled track recorder, there is no SD card mounted.");
        }
    }
    log_message(TAG, "Track recorder is %s!", on ? "RUNNING" : "NOT RUNNING");
    if (on && truth == 1) chmod(mevo_path("/var/spool/storage/SD_DISK/").c_str(), 0775);
    g_activation = on ? 1 : 0;
    return on;
}

void empty_folder(const std::string &dir) {
    file_remove_tree(dir);
    file_mkdir_p(dir);
}

bool read_snapshot(const std::string &dir, RecordedTrack *out) {
    std::string data;
    if (file_read_all(dir + "/track_1.struct", data) != 0 || data.size() != sizeof *out)
        return false;
    memcpy(out, data.data(), sizeof *out);
    return out->version == RECORDED_TRACK_VERSION;
}

// The permanent id saved for a slot, or 0.
int permanent_id(int slot) {
    std::string data;
    if (file_read_all(slot_dir(slot) + "/permanent", data) != 0 || data.size() != sizeof(int32_t))
        return 0;
    int32_t id;
    memcpy(&id, data.data(), sizeof id);
    return id;
}

RecordedTrack snapshot_of(const Track *t) {
    return {RECORDED_TRACK_VERSION,
            t->id,
            t->weight_sum,
            t->gender_sum,
            t->age_sum,
            t->last_x,
            t->last_y,
            t->last_z,
            t->gender_last,
            t->age_last,
            t->time_start,
            t->time_end};
}

int jpeg_quality(int width) {
    if (width <= 150) return 85;
    if (width <= 250) return 50;
    if (width <= 350) return 30;
    return 10;
}

// Skip rules of the picture step; also stamps the slot time when a picture is considered.
bool picture_allowed(Recorder *r, int slot, int half, double t) {
    int count = r->slot_count[slot];
    if (t - r->slot_time[slot] < PICTURE_SPACING_S && count > 2) return false;
    r->slot_time[slot] = t;
    if (half < 10) return false;
    if (half > 200 && half <= 300 && count > 10) return false;
    if (half > 300 && count > 5) return false;
    return true;
}

std::string metadata(const Track *t, int n, int left, int right, int top, int bottom) {
    double w = std::exp(t->last_z);
    double ws = t->weight_sum > 0 ? t->weight_sum : 1;
    char buf[1024];
    snprintf(buf, sizeof buf,
             "{\"id\":%d,\"crop_left\":%d,\"crop_right\":%d,\"crop_top\":%d,\"crop_bottom\":%d,"
             "\"crop_width\":%d,\"crop_height\":%d,\"box_left\":%d,\"box_right\":%d,"
             "\"box_top\":%d,\"box_bottom\":%d,\"gender_last_observed\":%g,"
             "\"age_last_observed\":%g,\"gender\":%g,\"age\":%g,\"count\":%g,\"picture\":%d}",
             t->id, left, right, top, bottom, right - left + 1, bottom - top + 1,
             int(t->last_x - w / 2), int(t->last_x + w / 2), int(t->last_y - w / 2),
             int(t->last_y + w / 2), t->gender_last, t->age_last, t->gender_sum / ws,
             t->age_sum / ws, t->weight_sum, n);
    return buf;
}

// Writes picture n of track `t` into `dir`; false (count taken back by the caller) on failure.
bool write_picture(const Image *frame, const Track *t, int half, const std::string &dir, int n,
                   int slot, bool permanent) {
    int left = std::max(0, int(t->last_x) - half),
        right = std::min(frame->width - 1, int(t->last_x) + half);
    int top = std::max(0, int(t->last_y) - half);
    int bottom = std::min(frame->height - 1, int(t->last_y) + 2 * half);
    if (left > right || top > bottom) return false;
    ScopedImage crop;
    if (image_create(crop.get(), PIXEL_GRAY8, 1, 2 * half + 1, 3 * half + 1, IMAGE_INTERLEAVED,
                     IMAGE_ORIGIN_TOP) != IMAGE_OK ||
        image_crop(crop.get(), frame, left, right, top, bottom) != IMAGE_OK)
        return false;
    std::string jpg = dir + "/track_" + std::to_string(n) + ".jpg";
    int rc = jpeg_write_file(crop.get(), jpg.c_str(), jpeg_quality(2 * half + 1));
    if (rc != 0) {
        log_message(TAG, "Could not save JPEG, too large image? (ret=%d)", rc);
        return false;
    }
    if (permanent) {
        std::string copy = slot_dir(slot) + "/track_" + std::to_string(n) + ".jpg";
        file_copy(jpg, copy);
        chmod(copy.c_str(), 0775);
    }
    std::string raw;
    for (int y = 0; y < crop->height; ++y)
        raw.append(reinterpret_cast<const char *>(image_row(crop.get(), y)), size_t(crop->width));
    std::string raw_path = dir + "/track_" + std::to_string(n) + ".raw";
    if (file_write_atomic(raw_path, raw.data(), raw.size()) != 0) {
        log_message(TAG, "Could not write %s.", raw_path.c_str());
        return false;
    }
    std::string meta = metadata(t, n, left, right, top, bottom);
    file_write_atomic(dir + "/meta_" + std::to_string(n) + ".json", meta.data(), meta.size());
    return true;
}

void record_track(Recorder *r, const Image *frame, const Track *t, double time) {
    int slot = t->id % RECORDER_SLOTS;
    RecordedTrack held;
    if (!read_snapshot(slot_dir(slot), &held) || held.id != t->id) {
        empty_folder(slot_dir(slot));
        r->slot_count[slot] = 0;
        r->slot_time[slot] = 0;
    } else if (r->slot_count[slot] > RECORDER_MAX_PICTURES) {
        return;
    }
    int perm = permanent_id(slot);
    std::string dir = perm ? permanent_dir(perm) : slot_dir(slot);
    int n = r->slot_count[slot] + 1;
    RecordedTrack snap = snapshot_of(t);
    std::string path = dir + "/track_" + std::to_string(n) + ".struct";
    if (file_write_atomic(path, &snap, sizeof snap) != 0) {
        log_message(TAG, "Could not write to file %s.", path.c_str());
        return;
    }
    if (perm) file_copy(path, slot_dir(slot) + "/track_" + std::to_string(n) + ".struct");
    int half = int(std::exp(t->last_z) * 0.5 * 1.5);
    if (!picture_allowed(r, slot, half, time)) return;
    r->slot_count[slot] += 1;
    if (!write_picture(frame, t, half, dir, n, slot, perm != 0)) r->slot_count[slot] -= 1;
}

std::string arg(const char *args, const char *key) {
    std::string needle = std::string(key) + "=";
    const char *p = args ? strstr(args, needle.c_str()) : nullptr;
    if (!p) return {};
    p += needle.size();
    const char *end = strchr(p, '&');
    return end ? std::string(p, end) : std::string(p);
}

// A track id argument: digits only, within int range; -1 otherwise.
long parse_id(const std::string &text) {
    if (text.empty() || text.size() > 9) return -1;
    for (char c : text)
        if (c < '0' || c > '9') return -1;
    return strtol(text.c_str(), nullptr, 10);
}

const char *reply_text(int *length, const std::string &text) {
    static std::string reply;
    reply = text;
    *length = int(reply.size());
    return reply.c_str();
}

int copy_tree(const std::string &from, const std::string &to) {
    if (file_mkdir_p(to) != 0) return -1;
    DIR *dir = opendir(from.c_str());
    if (!dir) return -1;
    int rc = 0;
    while (struct dirent *e = readdir(dir)) {
        if (e->d_type != DT_REG) continue;  // the slot holds plain files only
        if (file_copy(from + "/" + e->d_name, to + "/" + e->d_name) != 0) rc = -1;
    }
    closedir(dir);
    return rc;
}
}  // namespace

bool track_recorder_active(void) {
    return g_recorder != nullptr;
}

void track_recorder_reset_for_tests(void) {
    track_recorder_stop();
    g_activation = -1;
}

int track_recorder_start(Tracker *tracker) {
    if (!decide_activation()) return 0;
    g_recorder = new Recorder;
    g_recorder->tracker = tracker;
    web_register("truth_all_tracks.json", truth_all_tracks_handler, nullptr, "application/json",
                 WEB_ACCESS_BY_NAME);
    web_register("truth_save_track", truth_save_track_handler, nullptr, "application/json",
                 WEB_ACCESS_BY_NAME);
    web_register("truth_update_track", truth_update_track_handler, nullptr, "application/json",
                 WEB_ACCESS_BY_NAME);
    std::string links = mevo_path(HTML_LINKS);
    file_mkdir_p(links);
    unlink((links + "permanent_tracks").c_str());
    unlink((links + "temporary_tracks").c_str());
    symlink(mevo_path(RECORDER_PERMANENT_ROOT).c_str(), (links + "permanent_tracks").c_str());
    symlink(mevo_path(RECORDER_TMP_ROOT).c_str(), (links + "temporary_tracks").c_str());
    file_mkdir_p(mevo_path(RECORDER_PERMANENT_ROOT));
    for (int s = 0; s < RECORDER_SLOTS; ++s) empty_folder(slot_dir(s));
    return 1;
}

void track_recorder_record(const Image *frame, double t) {
    Recorder *r = g_recorder;
    if (!r || !frame) return;
    std::lock_guard<std::mutex> guard(r->lock);
    Tracker *tracker = r->tracker;
    for (int i = 0; i < tracker->track_count; ++i) {
        const Track *track = tracker->tracks[i];
        if (track->id != 0 && track->time_end == t) record_track(r, frame, track, t);
    }
}

void track_recorder_stop(void) {
    delete g_recorder;
    g_recorder = nullptr;
}

const char *truth_all_tracks_handler(void *, const char *, int *length) {
    Recorder *r = g_recorder;
    if (!r) return reply_text(length, "");
    std::lock_guard<std::mutex> guard(r->lock);
    std::string out = "{\"tracks\":[";
    for (int s = 0; s < RECORDER_SLOTS; ++s) {
        RecordedTrack t;
        int id = read_snapshot(slot_dir(s), &t) ? t.id : -1;
        char item[256];
        if (id > 0) {
            double ws = t.weight_sum > 0 ? t.weight_sum : 1;
            snprintf(item, sizeof item,
                     "{\"id\":%d,\"permanent\":%d,\"guess_gender\":%g,\"guess_age\":%g,"
                     "\"file_id\":%d,\"images\":%d}",
                     id, permanent_id(s), t.gender_sum / ws, t.age_sum / ws, s, r->slot_count[s]);
        } else {
            snprintf(item, sizeof item, "{\"id\":%d}", id);
        }
        out += (s ? "," : "") + std::string(item);
    }
    out += "]}";
    if (out.size() >= ALL_TRACKS_REPLY) out = "{\"tracks\":[]}";
    return reply_text(length, out);
}

const char *truth_save_track_handler(void *, const char *args, int *length) {
    long id = parse_id(arg(args, "id"));
    if (id < 0) return reply_text(length, "No id.");
    Recorder *r = g_recorder;
    if (!r) return reply_text(length, "not active");
    int slot = int(id % RECORDER_SLOTS);
    std::lock_guard<std::mutex> guard(r->lock);
    if (permanent_id(slot)) return reply_text(length, "{\"error\":\"already exists\"}");
    int32_t p = int32_t(rand() % 10 + (time(nullptr) % 1000000) * 10);
    if (p < RECORDER_MIN_ID) p += RECORDER_MIN_ID;  // ids below that are refused on update
    if (copy_tree(slot_dir(slot), permanent_dir(p)) != 0 ||
        file_write_atomic(slot_dir(slot) + "/permanent", &p, sizeof p) != 0)
        return reply_text(length, "{\"error\":\"copy failed\"}");
    return reply_text(length, "{ \"id\": " + std::to_string(p) + " }");
}

const char *truth_update_track_handler(void *, const char *args, int *length) {
    if (!g_recorder) return reply_text(length, "not active");
    std::string action = arg(args, "action");
    if (action != "update" && action != "delete") return reply_text(length, "no action");
    long id = parse_id(arg(args, "id"));
    if (id < RECORDER_MIN_ID) return reply_text(length, "Bad id");
    if (action == "delete") {
        file_remove_tree(permanent_dir(int(id)));
        return reply_text(length, "{\"status\": \"ok\"}");
    }
    std::string gender = arg(args, "gender"), age = arg(args, "age");
    if ((gender != "male" && gender != "female") || parse_id(age) < 0)
        return reply_text(length, "missing info");
    std::string dir = permanent_dir(int(id));
    if (!file_exists(dir)) return reply_text(length, "{\"status\": \"failed\"}");
    char truth[128];
    snprintf(truth, sizeof truth, "{\"age\":%ld,\"gender\": \"%s\"}", parse_id(age),
             gender.c_str());
    if (file_write_atomic(dir + "/truth.json", truth, strlen(truth)) != 0)
        return reply_text(length, "{\"status\": \"failed\"}");
    return reply_text(length, "{\"status\": \"ok\"}");
}
