#include "walks.h"

#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <unordered_map>

#include "app/frame_pipeline.h"
#include "app/mevo.h"
#include "app/startup_rules.h"
#include "classifier_eval.h"
#include "classify/classifier.h"
#include "common/log.h"
#include "count/track_buffer.h"
#include "image_io.h"
#include "track/tracker.h"
#include "train_common.h"

namespace mevo_eval {

namespace {

using mevo_train::Rng;

constexpr double CLOCK_START = 1767600000.0;
constexpr int GROUPS = mevo_train::GENDER_AGE_GROUPS;
const char *const GROUP_NAMES[GROUPS] = {"0-2", "3-12", "13-19", "20-59", "60+"};
// A box is on the face when it overlaps the pasted face square this much.
constexpr double FACE_IOU = 0.3;

struct Box {
    double cx, cy, side;  // centre and width of a square, pixels
};

// Everything random about one walk, drawn up front.
struct WalkPlan {
    int scene = 0;
    bool mirror = false;
    Box from{}, to{};
    double gain_from = 1, gain_to = 1, offset_from = 0, offset_to = 0;
    double face_contrast = 1;
};

WalkPlan plan_walk(Rng &rng, int scenes, int width, int height) {
    WalkPlan p;
    p.scene = rng.below(scenes);
    p.mirror = rng.below(2) == 1;
    const double unit = height / 360.0;  // sizes are drawn for a 640 x 360 frame
    const double side = rng.uniform(40, 120) * unit;
    const double left = rng.uniform(0.12, 0.35) * width, right = rng.uniform(0.65, 0.88) * width;
    const bool rightwards = rng.below(2) == 0;
    const double y = rng.uniform(0.3, 0.62) * height;
    p.from = {rightwards ? left : right, y, side};
    p.to = {rightwards ? right : left, y + rng.uniform(-0.08, 0.08) * height,
            side * rng.uniform(0.75, 1.35)};
    p.gain_from = rng.uniform(0.6, 1.3);
    p.gain_to = rng.uniform(0.6, 1.3);
    p.offset_from = rng.uniform(-20, 20);
    p.offset_to = rng.uniform(-20, 20);
    p.face_contrast = rng.uniform(0.8, 1.2);
    return p;
}

double lerp(double a, double b, double t) {
    return a + (b - a) * t;
}

uint8_t clamp_pixel(double v) {
    return uint8_t(std::clamp(int(std::lround(v)), 0, 255));
}

double sample(const Image &img, double u, double v) {
    u = std::clamp(u, 0.0, img.width - 1.0);
    v = std::clamp(v, 0.0, img.height - 1.0);
    int x = std::min(int(u), img.width - 2), y = std::min(int(v), img.height - 2);
    double fx = u - x, fy = v - y;
    const uint8_t *r0 = image_row(&img, y), *r1 = image_row(&img, y + 1);
    return (1 - fy) * ((1 - fx) * r0[x] + fx * r0[x + 1]) +
           fy * ((1 - fx) * r1[x] + fx * r1[x + 1]);
}

// The scene picture scaled to cover the frame, centred.
std::vector<uint8_t> cover(const Image &scene, int width, int height) {
    std::vector<uint8_t> out(size_t(width) * height);
    double k = std::max(double(width) / scene.width, double(height) / scene.height);
    double ox = (scene.width - width / k) / 2, oy = (scene.height - height / k) / 2;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            out[size_t(y) * width + x] = clamp_pixel(sample(scene, ox + x / k, oy + y / k));
    return out;
}

// Pastes the face picture so that its face square becomes `box`, blended in with a soft oval
// edge (forehead, hair and chin inside, the picture's corners outside).
void paste_face(const Image &face, const mevo_train::Box &square, const Box &box, bool mirror,
                double contrast, uint8_t *frame, int width, int height) {
    const double k = box.side / (square.right - square.left + 1);
    const double scx = (square.left + square.right + 1) / 2.0,
                 scy = (square.top + square.bottom + 1) / 2.0;
    const double ax = 0.6 * (square.right - square.left + 1),
                 ay = 0.68 * (square.bottom - square.top + 1);
    const int x0 = std::max(0, int(box.cx - ax * k)),
              x1 = std::min(width - 1, int(box.cx + ax * k));
    const int y0 = std::max(0, int(box.cy - ay * k)),
              y1 = std::min(height - 1, int(box.cy + ay * k));
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x) {
            double du = (x + 0.5 - box.cx) / k, dv = (y + 0.5 - box.cy) / k;
            double r = std::sqrt((du / ax) * (du / ax) + (dv / ay) * (dv / ay));
            double alpha = std::clamp((1.0 - r) / 0.15, 0.0, 1.0);
            if (alpha <= 0) continue;
            double u = scx + (mirror ? -du : du) - 0.5, v = scy + dv - 0.5;
            double p = 128 + contrast * (sample(face, u, v) - 128);
            uint8_t &out = frame[size_t(y) * width + x];
            out = clamp_pixel(alpha * p + (1 - alpha) * out);
        }
}

void light_and_noise(uint8_t *frame, size_t n, double gain, double offset, Rng &rng) {
    for (size_t i = 0; i < n; ++i) {
        // Sum of four uniforms: roughly normal sensor noise, sigma about 2 levels.
        double noise = (rng.uniform() + rng.uniform() + rng.uniform() + rng.uniform() - 2) * 3.5;
        frame[i] = clamp_pixel(frame[i] * gain + offset + noise);
    }
}

double box_iou(const Detection &d, const Box &b) {
    double l = std::max<double>(d.left, b.cx - b.side / 2),
           r = std::min<double>(d.right + 1, b.cx + b.side / 2);
    double t = std::max<double>(d.top, b.cy - b.side / 2),
           btm = std::min<double>(d.bottom + 1, b.cy + b.side / 2);
    if (r <= l || btm <= t) return 0;
    double inter = (r - l) * (btm - t);
    double a = double(d.right - d.left + 1) * (d.bottom - d.top + 1) + b.side * b.side;
    return inter / (a - inter);
}

// A track's frames so far: with its measurement on the walk's face, or elsewhere.
struct TrackStat {
    double time_start = 0;
    int on_face = 0, off_face = 0;
    int walk = -1;  // walk of the first frame on a face
};

bool on_face(const Track &t, const Box &face) {
    double w = std::exp(t.last_z);
    return std::fabs(t.last_x - face.cx) < 0.5 * face.side &&
           std::fabs(t.last_y - face.cy) < 0.5 * face.side && w > 0.5 * face.side &&
           w < 2 * face.side;
}

struct Walk {
    std::string name;
    int age = 0, gender = 0;  // labels; gender 0 = man, as in the file names
    double shown = 0;         // clock time of the first frame with the face
    double side_from = 0, side_to = 0;
    std::vector<track_record> counted;
};

struct SingleBoxes {
    long boxes = 0, gender_ok = 0, band_ok = 0, frames_with_face = 0, frames_found = 0;
    long off_face = 0;  // boxes handed to the tracker that lie on no face
    double age_error = 0;
};

// The application's parts the frame pipeline reads, set up as the start-up does with the
// factory settings (no detection region, no offsets, no gender bias).
struct App {
    std::unique_ptr<MevoApp> app = std::make_unique<MevoApp>();
    std::string dir;

    ~App() {
        MevoApp &a = *app;
        tracker_free(a.tracker);
        track_buffer_free(a.tracks);
        detector_free(a.detectors, a.detector_count);
        image_free(&a.detection_image);
        pipeline_state_free(&a.pipeline);
        if (a.classifier_open) classifier_model_free(&a.classifier);
        if (!dir.empty()) {
            unlink((dir + "/tracks.buf").c_str());
            unlink((dir + "/tracks.mirror").c_str());
            rmdir(dir.c_str());
        }
    }

    bool open(const WalksOptions &o) {
        MevoApp &a = *app;
        for (const char *n : {"face16.dat", "face20.dat", "face25.dat"}) {
            Detector *slot = &a.detectors[a.detector_count];
            if (detector_load(slot, (o.models + "/" + n).c_str()) != 0) continue;
            detector_set_options(slot, slot->cumulative, slot->scale_type, DETECTOR_STEP_MS);
            a.detector_widths[a.detector_count++] = slot->width;
        }
        a.width = o.width;
        a.height = o.height;
        a.cluster_score = o.cluster_score;
        a.min_rect = o.min_rect;
        detector_scale_levels(a.detector_widths, a.detector_count, a.min_rect, &a.biggest_det_scale,
                              &a.start_shift);
        a.classifier_open = classifier_model_open(&a.classifier) == CLASSIFIER_MODEL_OK;
        a.face_threshold_internal = INT32_MIN;  // only the live view reads it
        // The start-up's tracker values (see tracker_new).
        a.tracker = tracker_new(1, 1920, 1, 1080, 12692.0, 75.0, 6000.0, 40.0, 10.0);
        char tmpl[] = "/tmp/mevo-walks-XXXXXX";
        if (mkdtemp(tmpl)) dir = tmpl;
        a.tracks = track_buffer_init_at(100000, (dir + "/tracks.buf").c_str(),
                                        (dir + "/tracks.mirror").c_str());
        return a.detector_count > 0 && a.classifier_open && a.tracker && !dir.empty() && a.tracks &&
               a.tracks->ready && pipeline_state_init(&a.pipeline) == 0 &&
               image_create(&a.detection_image, PIXEL_GRAY8, 1, o.width, o.height, IMAGE_PLANAR,
                            IMAGE_ORIGIN_TOP) == IMAGE_OK;
    }
};

class Runner {
  public:
    Runner(const WalksOptions &o, App &app) : o_(o), app_(*app.app) {
        pixels_.resize(size_t(o.width) * o.height);
        image_setup_auto_stride(&frame_, PIXEL_GRAY8, 1, o.width, o.height, IMAGE_PLANAR,
                                IMAGE_ORIGIN_TOP);
        frame_.stride = o.width;
        frame_.data = frame_.base = pixels_.data();
    }

    // One frame of the scene, with the face at `face` when it is given.
    void frame(const std::vector<uint8_t> &scene, const Image *face, const WalkPlan &p, double t,
               const Box *box, int walk, Rng &rng) {
        std::copy(scene.begin(), scene.end(), pixels_.begin());
        if (face)
            paste_face(*face, mevo_train::utk_face_box(face->width, face->height), *box, p.mirror,
                       p.face_contrast, pixels_.data(), o_.width, o_.height);
        light_and_noise(pixels_.data(), pixels_.size(), lerp(p.gain_from, p.gain_to, t),
                        lerp(p.offset_from, p.offset_to, t), rng);
        double now = CLOCK_START + double(number_) / o_.fps;
        ++number_;
        AppFrame f = {
            &frame_, {time_t(now), suseconds_t((now - std::floor(now)) * 1e6)}, int32_t(number_)};
        auto t0 = std::chrono::steady_clock::now();
        int faces = frame_pipeline_run(&app_, &f);
        seconds_ += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        single_boxes(faces, box);
        follow_tracks(box, walk, double(f.time.tv_sec) + double(f.time.tv_usec) / 1e6);
    }

    int frames() const { return number_; }
    double next_time() const { return CLOCK_START + double(number_) / o_.fps; }
    double seconds() const { return seconds_; }
    const SingleBoxes &boxes() const { return boxes_; }
    int gender_of_walk = 0, age_of_walk = 0;

    const TrackStat *stat_of(int32_t id) const {
        auto it = by_id_.find(id);
        return it == by_id_.end() ? nullptr : &it->second;
    }

  private:
    void single_boxes(int faces, const Box *box) {
        bool found = false;
        for (int i = 0; i < faces; ++i) {
            const Detection &d = app_.pipeline.detections[i];
            if (d.hits <= app_.cluster_score) continue;  // not handed to the tracker
            if (!box || box_iou(d, *box) < FACE_IOU) {
                ++boxes_.off_face;
                continue;
            }
            found = true;
            ++boxes_.boxes;
            int age = int(classifier_age_value(d.age, d.gender, {0, 0, 0}));
            boxes_.gender_ok += d.gender != 0 && (d.gender > 0) == (gender_of_walk == 0);
            boxes_.age_error += std::fabs(double(age) - age_of_walk);
            boxes_.band_ok += age_band(age) == age_band(age_of_walk);
        }
        if (box) {
            ++boxes_.frames_with_face;
            boxes_.frames_found += found;
        }
    }

    // Tracks updated in this frame: on the face or not. Keyed by pointer while live (a freed
    // track's memory may come back for a new one: the start time tells them apart), and by id
    // once confirmed, which is what the track buffer records.
    void follow_tracks(const Box *box, int walk, double t) {
        std::unordered_map<const Track *, TrackStat> live;
        const Tracker *tr = app_.tracker;
        for (int i = 0; i < tr->track_count; ++i) {
            const Track *track = tr->tracks[i];
            TrackStat s;
            auto it = live_.find(track);
            if (it != live_.end() && it->second.time_start == track->time_start) s = it->second;
            s.time_start = track->time_start;
            if (track->time_end == t) {
                bool on = box && on_face(*track, *box);
                s.on_face += on;
                s.off_face += !on;
                if (on && s.walk < 0) s.walk = walk;
            }
            if (track->id > 0) by_id_[track->id] = s;
            live[track] = s;
        }
        live_.swap(live);
    }

    const WalksOptions &o_;
    MevoApp &app_;
    std::vector<uint8_t> pixels_;
    Image frame_{};
    int number_ = 0;
    double seconds_ = 0;
    SingleBoxes boxes_;
    std::unordered_map<const Track *, TrackStat> live_;
    std::map<int32_t, TrackStat> by_id_;
};

bool read_picture(const std::string &path, Image *out) {
    std::string err;
    if (imageio_read_grey(path, out, &err) == 0) return true;
    fprintf(stderr, "mevo-eval: %s\n", err.c_str());
    return false;
}

// Per group (and overall in the last slot) of walks.
struct Tally {
    long walks = 0, once = 0, missed = 0, more = 0, together = 0, after = 0;
    long persons = 0, gender_ok = 0, band_ok = 0;
    double age_error = 0;
    void add(const Walk &w) {
        ++walks;
        size_t n = w.counted.size();
        once += n == 1;
        missed += n == 0;
        more += n > 1;
        if (n > 1) {
            // Two tracks at once on one face, or one after the other (a broken track).
            bool overlap = false;
            for (size_t i = 0; i < n; ++i)
                for (size_t j = i + 1; j < n; ++j)
                    overlap |= std::max(w.counted[i].t_start, w.counted[j].t_start) <
                               std::min(w.counted[i].t_end, w.counted[j].t_end);
            together += overlap;
            after += !overlap;
        }
        for (const track_record &r : w.counted) {
            ++persons;
            gender_ok += (r.gender > 0) == (w.gender == 0);
            age_error += std::fabs(double(r.age) - w.age);
            band_ok += age_band(r.age) == age_band(w.age);
        }
    }
};

double pct(long a, long b) {
    return b ? 100.0 * double(a) / double(b) : 0.0;
}

void print_tallies(const Tally *t, const char *const *names, int rows) {
    printf(
        "| walks of | walks | counted once | missed | counted more than once (at once / one "
        "after the other) | counted persons | gender | age MAE | age band |\n"
        "|---|---|---|---|---|---|---|---|---|\n");
    for (int g = 0; g < rows; ++g)
        printf(
            "| %s | %ld | %ld (%.1f%%) | %ld | %ld (%ld / %ld) | %ld | %.1f%% | %.2f | %.1f%% |\n",
            names[g], t[g].walks, t[g].once, pct(t[g].once, t[g].walks), t[g].missed, t[g].more,
            t[g].together, t[g].after, t[g].persons, pct(t[g].gender_ok, t[g].persons),
            t[g].persons ? t[g].age_error / double(t[g].persons) : 0.0,
            pct(t[g].band_ok, t[g].persons));
}

void print_record(const track_record &r, double shown) {
    printf(" [%+.2f s, %.2f s long, %d px, %c %d]", r.t_start - shown, r.t_end - r.t_start,
           r.avg_boxsize, r.gender > 0 ? 'M' : 'F', r.age);
}

// The walks not counted exactly once and the false visitors, with their tracks (start relative
// to the face's first frame, length, mean width, gender and age).
void list_misses(const std::vector<Walk> &walks, const std::vector<track_record> &false_visitors) {
    printf("\nWalks not counted exactly once:\n");
    for (const Walk &w : walks) {
        if (w.counted.size() == 1) continue;
        printf("- %s (face %.0f to %.0f px):", w.name.c_str(), w.side_from, w.side_to);
        for (const track_record &r : w.counted) print_record(r, w.shown);
        printf("%s\n", w.counted.empty() ? " missed" : "");
    }
    printf("\nFalse visitors (start relative to the nearest walk's face):\n");
    for (const track_record &r : false_visitors) {
        const Walk *near = nullptr;
        for (const Walk &w : walks)
            if (w.shown <= r.t_end + 1.5) near = &w;
        printf("- near %s:", near ? near->name.c_str() : "(none)");
        print_record(r, near ? near->shown : CLOCK_START);
        printf("\n");
    }
}

}  // namespace

int eval_walks(const WalksOptions &o) {
    std::vector<std::string> scenes = mevo_train::list_images(o.negatives);
    if (scenes.empty()) {
        fprintf(stderr, "mevo-eval: no scene pictures in %s\n", o.negatives.c_str());
        return 1;
    }
    log_set_stderr(false);  // the pipeline logs every lost track
    App app;
    if (!app.open(o)) {
        fprintf(stderr, "mevo-eval: cannot set up the pipeline (models in %s)\n", o.models.c_str());
        return 1;
    }
    Runner run(o, app);
    std::vector<Walk> walks;
    const int lead = int(std::lround(o.lead_seconds * o.fps)),
              steps = std::max(2, int(std::lround(o.walk_seconds * o.fps))),
              gap = int(std::lround(o.gap_seconds * o.fps));
    for (size_t w = 0; w < o.faces.size(); ++w) {
        std::string name = o.faces[w].substr(o.faces[w].find_last_of('/') + 1);
        Walk walk;
        walk.name = name;
        Image face{}, scene_picture{};
        if (!mevo_train::utk_labels(name, &walk.age, &walk.gender) ||
            !read_picture(o.faces[w], &face))
            continue;
        Rng rng(o.seed * 1000003u + w);
        WalkPlan p = plan_walk(rng, int(scenes.size()), o.width, o.height);
        if (!read_picture(o.negatives + "/" + scenes[size_t(p.scene)], &scene_picture)) {
            image_free(&face);
            continue;
        }
        std::vector<uint8_t> scene = cover(scene_picture, o.width, o.height);
        image_free(&scene_picture);
        walk.shown = run.next_time() + double(lead) / o.fps;
        walk.side_from = p.from.side;
        walk.side_to = p.to.side;
        run.gender_of_walk = walk.gender;
        run.age_of_walk = walk.age;
        const int total = lead + steps + gap;
        for (int i = 0; i < total; ++i) {
            double t = double(i) / (total - 1);
            bool visible = i >= lead && i < lead + steps;
            double s = visible ? double(i - lead) / (steps - 1) : 0;
            Box box = {lerp(p.from.cx, p.to.cx, s), lerp(p.from.cy, p.to.cy, s),
                       lerp(p.from.side, p.to.side, s)};
            run.frame(scene, visible ? &face : nullptr, p, t, visible ? &box : nullptr,
                      int(walks.size()), rng);
        }
        image_free(&face);
        walks.push_back(walk);
    }
    // An empty tail, so that every track still open ends and is counted.
    std::vector<uint8_t> grey(size_t(o.width) * o.height, 128);
    Rng tail_rng(o.seed);
    for (int i = 0; i < int(5 * o.fps); ++i)
        run.frame(grey, nullptr, WalkPlan{}, 0, nullptr, -1, tail_rng);

    // Counted persons to walks.
    std::vector<track_record> false_visitors;
    track_buffer *tb = app.app->tracks;
    for (int i = 0; i < track_buffer_count(tb); ++i) {
        track_record r;
        if (track_buffer_get(tb, i, &r) != 0) continue;
        const TrackStat *s = run.stat_of(r.trackid);
        if (s && s->walk >= 0 && s->on_face >= s->off_face && size_t(s->walk) < walks.size())
            walks[size_t(s->walk)].counted.push_back(r);
        else
            false_visitors.push_back(r);
    }

    Tally tally[GROUPS + 1];
    for (const Walk &w : walks) {
        tally[mevo_train::gender_age_group(w.age)].add(w);
        tally[GROUPS].add(w);
    }
    const char *names[GROUPS + 1];
    for (int g = 0; g < GROUPS; ++g) names[g] = GROUP_NAMES[g];
    names[GROUPS] = "all";
    printf(
        "Walks: %zu faces of %s..., scenes from %s, %dx%d at %.0f fps, %.1f s in view, "
        "Detector.ClusterScore %d, Detector.MinRect %d, seed %llu; %d frames, %.1f ms per "
        "frame in the pipeline\n\n",
        walks.size(), o.faces.empty() ? "" : o.faces[0].substr(0, o.faces[0].rfind('/')).c_str(),
        o.negatives.c_str(), o.width, o.height, o.fps, o.walk_seconds, o.cluster_score, o.min_rect,
        (unsigned long long)o.seed, run.frames(),
        run.frames() ? 1000 * run.seconds() / run.frames() : 0.0);
    print_tallies(tally, names, GROUPS + 1);
    double visitor_seconds = 0;
    for (const track_record &r : false_visitors) visitor_seconds += r.t_end - r.t_start;
    printf(
        "\nCounted persons on no face (false visitors): %zu (%.1f per 100 walks; %.1f s in view "
        "on average)\n",
        false_visitors.size(), pct(long(false_visitors.size()), long(walks.size())),
        false_visitors.empty() ? 0.0 : visitor_seconds / double(false_visitors.size()));

    if (o.list) list_misses(walks, false_visitors);

    const SingleBoxes &b = run.boxes();
    printf(
        "\nSingle boxes handed to the tracker on the walking face (IoU >= %.1f with its "
        "square): %ld in %ld of %ld frames with the face (%.1f%%); gender %.2f%%, age MAE "
        "%.2f, age band %.2f%%; boxes on no face: %ld (%.3f per frame)\n",
        FACE_IOU, b.boxes, b.frames_found, b.frames_with_face,
        pct(b.frames_found, b.frames_with_face), pct(b.gender_ok, b.boxes),
        b.boxes ? b.age_error / double(b.boxes) : 0.0, pct(b.band_ok, b.boxes), b.off_face,
        run.frames() ? double(b.off_face) / run.frames() : 0.0);
    printf("\nThe same faces on their known square (face square and its 8 jitter boxes):\n\n");
    mevo_train::print_classifier_scores(
        stdout, mevo_train::classifier_evaluate(o.faces, app.app->classifier));
    return 0;
}

}  // namespace mevo_eval
