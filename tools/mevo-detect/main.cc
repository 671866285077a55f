// mevo-detect: runs the camera's face detection steps on still images and prints the faces.
//
//   mevo-detect [--model FILE]... [--min-rect N] [--cluster-score N] [--threads N]
//               [--draw DIR] [--list FILE] [IMAGE]...
//
// For each image: "PATH N" with the number of faces, then one "left right top bottom hits" line
// per face (inclusive pixels, widest first). The steps are the frame pipeline's: lbp_detect with
// the start shift that --min-rect implies, grouping, the width cut at --min-rect, hits = the raw
// detections behind a face; faces whose hits do not exceed --cluster-score are not listed (they
// would not be tracked). Exit status: 0, 1 when an image could not be read or drawn, 2 on a
// usage error or when no model loads.
#include <omp.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "common/fileutil.h"
#include "common/paths.h"
#include "detect/detection.h"
#include "detect/detector.h"
#include "detect/scan.h"
#include "image/image.h"
#include "image_io.h"

namespace {

constexpr const char *kModelNames[] = {"face16.dat", "face20.dat", "face25.dat"};
constexpr const char *kModelFolder = "/modules/lbpdetect/stable/";
constexpr int kMaxModels = 16;
// The application's parameter defaults.
constexpr int kDefaultMinRect = 20;
constexpr int kDefaultClusterScore = 2;
// Octaves the start shift may skip.
constexpr int kShiftOctaves = 3;
constexpr uint8_t kBoxInk = 255;
constexpr uint8_t kBoxEdge = 0;
constexpr int kDrawQuality = 90;

struct Options {
    std::vector<std::string> models;
    std::vector<std::string> images;
    int min_rect = kDefaultMinRect;
    int cluster_score = kDefaultClusterScore;
    int threads = 0;  // 0: the OpenMP default
    std::string draw_dir;
};

void usage(FILE *out) {
    std::fputs(
        "usage: mevo-detect [options] IMAGE...\n"
        "  --model FILE         detector model (repeatable; default: the package's face16.dat,\n"
        "                       face20.dat and face25.dat)\n"
        "  --min-rect N         smallest face width kept, pixels (default 20)\n"
        "  --cluster-score N    list faces whose hits exceed N (default 2; -1 lists all)\n"
        "  --threads N          OpenMP threads for the scan (default: the runtime's)\n"
        "  --draw DIR           write each image with its faces drawn to DIR as JPEG\n"
        "  --list FILE          read image paths from FILE, one per line ('#' comments)\n"
        "Images: JPEG, PNG or PGM, converted to grey.\n",
        out);
}

bool parse_int(const char *text, int *out) {
    errno = 0;
    char *end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < INT_MIN || v > INT_MAX) return false;
    *out = static_cast<int>(v);
    return true;
}

bool read_list(const std::string &path, std::vector<std::string> *images) {
    std::ifstream in(path);
    if (!in) return false;
    std::string line;
    while (std::getline(in, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        images->push_back(line);
    }
    return true;
}

// Returns 0, or 2 after printing why.
int parse_args(int argc, char **argv, Options *o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char *name) -> const char * {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "mevo-detect: %s needs a value\n", name);
                return nullptr;
            }
            return argv[++i];
        };
        auto number = [&](const char *name, int *out, int min) {
            const char *v = value(name);
            if (v == nullptr) return false;
            if (!parse_int(v, out) || *out < min) {
                std::fprintf(stderr, "mevo-detect: %s: not a valid number: %s\n", name, v);
                return false;
            }
            return true;
        };
        if (arg == "-h" || arg == "--help") {
            usage(stdout);
            std::exit(0);
        } else if (arg == "--model") {
            const char *v = value("--model");
            if (v == nullptr) return 2;
            o->models.push_back(v);
        } else if (arg == "--min-rect") {
            if (!number("--min-rect", &o->min_rect, 0)) return 2;
        } else if (arg == "--cluster-score") {
            if (!number("--cluster-score", &o->cluster_score, -1)) return 2;
        } else if (arg == "--threads") {
            if (!number("--threads", &o->threads, 1)) return 2;
        } else if (arg == "--draw") {
            const char *v = value("--draw");
            if (v == nullptr) return 2;
            o->draw_dir = v;
        } else if (arg == "--list") {
            const char *v = value("--list");
            if (v == nullptr) return 2;
            if (!read_list(v, &o->images)) {
                std::fprintf(stderr, "mevo-detect: cannot read list %s\n", v);
                return 2;
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            std::fprintf(stderr, "mevo-detect: unknown option %s\n", arg.c_str());
            usage(stderr);
            return 2;
        } else {
            o->images.push_back(arg);
        }
    }
    if (o->images.empty()) {
        std::fputs("mevo-detect: no image given\n", stderr);
        usage(stderr);
        return 2;
    }
    if (static_cast<int>(o->models.size()) > kMaxModels) {
        std::fprintf(stderr, "mevo-detect: at most %d models\n", kMaxModels);
        return 2;
    }
    return 0;
}

// The package's models: under the package directory when it has them, else in the source tree.
std::vector<std::string> default_models() {
    std::vector<std::string> dirs = {mevo_package_dir()};
#ifdef MEVO_SOURCE_PACKAGE_DIR
    dirs.push_back(MEVO_SOURCE_PACKAGE_DIR);
#endif
    for (const std::string &dir : dirs) {
        std::vector<std::string> found;
        for (const char *name : kModelNames) {
            const std::string path = dir + kModelFolder + name;
            if (file_exists(path)) found.push_back(path);
        }
        if (!found.empty()) return found;
    }
    return {};
}

// Octaves whose widest window is still narrower than min_rect are skipped, as the camera does.
int start_shift_for(const Detector *detectors, int count, int min_rect) {
    int biggest = -1;
    int shift = 0;
    for (int s = 0; s < kShiftOctaves; ++s) {
        for (int i = 0; i < count; ++i) biggest = std::max(biggest, detectors[i].width << s);
        if (min_rect > biggest) ++shift;
    }
    return shift;
}

// Grouped faces, widest first, cut at min_rect, with hits set; returns their number.
int find_faces(const Image *grey, Detector *detectors, int count, int start_shift, int min_rect,
               std::vector<Detection> *dets) {
    ScopedImage work;
    if (image_create(work.get(), PIXEL_GRAY8, 1, grey->width, grey->height, IMAGE_INTERLEAVED,
                     IMAGE_ORIGIN_TOP) != IMAGE_OK ||
        image_to_gray(work.get(), grey) != IMAGE_OK)
        return -1;
    dets->assign(DETECTION_CAPACITY, Detection{});
    const int raw = lbp_detect(dets->data(), DETECTION_CAPACITY, work.get(), detectors, count,
                               nullptr, nullptr, start_shift);
    if (raw < 0) return -1;
    int faces = group_detections(dets->data(), raw);
    detections_sort_by_width(dets->data(), faces);
    int kept = 0;
    while (kept < faces && (*dets)[kept].right - (*dets)[kept].left >= min_rect) ++kept;
    for (int i = 0; i < kept; ++i) {
        Detection &d = (*dets)[i];
        d.gender = d.face_score = d.age = 0;
        d.votes = 1;
        d.hits = d.weight;
    }
    return kept;
}

void draw_box(Image *img, const Detection &d) {
    auto put = [&](int x, int y, uint8_t v) {
        if (x >= 0 && y >= 0 && x < img->width && y < img->height) image_row(img, y)[x] = v;
    };
    // A light line with a dark line outside it shows on bright and dark pictures alike.
    for (int ring = 0; ring < 2; ++ring) {
        const uint8_t v = ring == 0 ? kBoxInk : kBoxEdge;
        const int l = d.left - ring, r = d.right + ring, t = d.top - ring, b = d.bottom + ring;
        for (int x = l; x <= r; ++x) {
            put(x, t, v);
            put(x, b, v);
        }
        for (int y = t; y <= b; ++y) {
            put(l, y, v);
            put(r, y, v);
        }
    }
}

std::string draw_name(const std::string &path, std::set<std::string> *used) {
    std::string base = path.substr(path.find_last_of('/') + 1);
    const size_t dot = base.find_last_of('.');
    if (dot != std::string::npos && dot > 0) base.resize(dot);
    std::string name = base + ".jpg";
    for (int n = 2; used->count(name) != 0; ++n) name = base + "-" + std::to_string(n) + ".jpg";
    used->insert(name);
    return name;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    if (const int status = parse_args(argc, argv, &o); status != 0) return status;
    if (o.models.empty()) o.models = default_models();
    if (o.models.empty()) {
        std::fputs("mevo-detect: no model given and none found in the package\n", stderr);
        return 2;
    }
    std::vector<Detector> detectors(o.models.size());
    int loaded = 0;
    for (const std::string &path : o.models) {
        if (detector_load(&detectors[static_cast<size_t>(loaded)], path.c_str()) != 0) {
            std::fprintf(stderr, "mevo-detect: cannot load model %s\n", path.c_str());
            continue;
        }
        detector_set_options(&detectors[static_cast<size_t>(loaded)], 0, DETECTOR_SCALE_OCTAVE,
                             DETECTOR_STEP_MS);
        ++loaded;
    }
    if (loaded == 0) {
        std::fputs("mevo-detect: no model could be loaded\n", stderr);
        return 2;
    }
    if (!o.draw_dir.empty() && file_mkdir_p(o.draw_dir) != 0) {
        std::fprintf(stderr, "mevo-detect: cannot create %s\n", o.draw_dir.c_str());
        detector_free(detectors.data(), loaded);
        return 2;
    }
    if (o.threads > 0) omp_set_num_threads(o.threads);
    const int shift = start_shift_for(detectors.data(), loaded, o.min_rect);

    int status = 0;
    std::vector<Detection> dets;
    std::set<std::string> drawn;
    for (const std::string &path : o.images) {
        ScopedImage grey;
        std::string error;
        if (imageio_read_grey(path, grey.get(), &error) != 0) {
            std::fprintf(stderr, "mevo-detect: %s: %s\n", path.c_str(), error.c_str());
            status = 1;
            continue;
        }
        const int faces =
            find_faces(grey.get(), detectors.data(), loaded, shift, o.min_rect, &dets);
        if (faces < 0) {
            std::fprintf(stderr, "mevo-detect: %s: detection failed\n", path.c_str());
            status = 1;
            continue;
        }
        std::vector<const Detection *> listed;
        for (int i = 0; i < faces; ++i)
            if (dets[static_cast<size_t>(i)].hits > o.cluster_score) listed.push_back(&dets[i]);
        std::printf("%s %zu\n", path.c_str(), listed.size());
        for (const Detection *d : listed)
            std::printf("%d %d %d %d %d\n", d->left, d->right, d->top, d->bottom, d->hits);
        std::fflush(stdout);
        if (!o.draw_dir.empty()) {
            for (const Detection *d : listed) draw_box(grey.get(), *d);
            const std::string out = o.draw_dir + "/" + draw_name(path, &drawn);
            if (jpeg_write_file(grey.get(), out.c_str(), kDrawQuality) != 0) {
                std::fprintf(stderr, "mevo-detect: cannot write %s\n", out.c_str());
                status = 1;
            }
        }
    }
    detector_free(detectors.data(), loaded);
    return status;
}
