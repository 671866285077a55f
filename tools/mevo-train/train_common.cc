#include "train_common.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace mevo_train {

namespace {
// Brow-to-chin square of an aligned 200 x 200 faces-utk picture and the same square in a
// 36 x 36 faces-caltech crop (checked by eye on a montage of both).
constexpr int UTK_SIZE = 200;
constexpr Box UTK_BOX = {25, 174, 30, 179};
constexpr int CALTECH_SIZE = 36;
constexpr Box CALTECH_BOX = {5, 31, 6, 32};

Box scaled_box(const Box &b, int size, int width, int height) {
    auto sx = [&](int v) { return v * width / size; };
    auto sy = [&](int v) { return v * height / size; };
    return {sx(b.left), sx(b.right + 1) - 1, sy(b.top), sy(b.bottom + 1) - 1};
}
constexpr uint32_t VALIDATION_BUCKETS = 5;
}  // namespace

Box utk_face_box(int width, int height) {
    return scaled_box(UTK_BOX, UTK_SIZE, width, height);
}
Box caltech_face_box(int width, int height) {
    return scaled_box(CALTECH_BOX, CALTECH_SIZE, width, height);
}

uint64_t Rng::next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}
double Rng::uniform() {
    return double(next() >> 11) * (1.0 / 9007199254740992.0);
}
double Rng::uniform(double a, double b) {
    return a + (b - a) * uniform();
}
int Rng::below(int n) {
    return n <= 0 ? 0 : int(next() % uint64_t(n));
}

uint32_t name_hash(const std::string &name) {
    uint32_t h = 2166136261u;
    for (unsigned char c : name) {
        h ^= c;
        h *= 16777619u;
    }
    return h;
}

bool is_validation_name(const std::string &name) {
    return name_hash(name) % VALIDATION_BUCKETS == 0;
}

static bool has_image_suffix(const std::string &n) {
    auto ends = [&](const char *s) {
        size_t l = strlen(s);
        return n.size() > l && strcasecmp(n.c_str() + n.size() - l, s) == 0;
    };
    return ends(".jpg") || ends(".jpeg") || ends(".png") || ends(".pgm");
}

std::vector<std::string> list_images(const std::string &dir) {
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (!d) return names;
    while (dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n[0] != '.' && has_image_suffix(n)) names.push_back(n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> utk_subset(std::vector<std::string> names, int limit) {
    if (limit <= 0 || names.size() <= size_t(limit)) return names;
    std::stable_sort(names.begin(), names.end(), [](const std::string &a, const std::string &b) {
        return name_hash(a) < name_hash(b);
    });
    names.resize(size_t(limit));
    std::sort(names.begin(), names.end());
    return names;
}

bool utk_labels(const std::string &name, int *age, int *gender) {
    int a = -1, g = -1, r = -1;
    char rest[64];
    if (sscanf(name.c_str(), "%d_%d_%d_%63s", &a, &g, &r, rest) != 4) return false;
    if (a < 0 || a > 116 || (g != 0 && g != 1)) return false;
    *age = a;
    *gender = g;
    return true;
}

int pad_replicate(const Image *src, int pad, Image *out) {
    int w = src->width + 2 * pad, h = src->height + 2 * pad;
    int rc = image_create(out, PIXEL_GRAY8, 1, w, h, IMAGE_INTERLEAVED, IMAGE_ORIGIN_TOP);
    if (rc != 0) return rc;
    for (int y = 0; y < h; ++y) {
        int sy = std::clamp(y - pad, 0, src->height - 1);
        const uint8_t *s = image_row(src, sy);
        uint8_t *d = image_row(out, y);
        for (int x = 0; x < w; ++x) d[x] = s[std::clamp(x - pad, 0, src->width - 1)];
    }
    return 0;
}

bool dir_exists(const std::string &dir) {
    struct stat st;
    return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace mevo_train
