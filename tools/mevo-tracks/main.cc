// mevo-tracks: lists the ended tracks (counted people) kept in a root's track buffer, oldest
// first, with a summary by gender. Reads the flash copy; safe while mevo runs (read-only).
//
//   mevo-tracks [--root DIR]      DIR defaults to $MEVO_ROOT
//
// One line per track: "start end gender age box id" (times in UTC seconds, gender M or F, age
// in years, box the mean face width in pixels), then "tracks N men M women W".
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "count/track_buffer.h"

namespace {

void usage() {
    std::fprintf(stderr, "usage: mevo-tracks [--root DIR]   (default: $MEVO_ROOT)\n");
}

// The mapped file, validated against its own header; null with a message when unusable.
const unsigned char *map_buffer(const std::string &path, size_t *size) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "mevo-tracks: cannot open %s: %s\n", path.c_str(), strerror(errno));
        return nullptr;
    }
    struct stat st;
    void *map = MAP_FAILED;
    if (fstat(fd, &st) == 0 && size_t(st.st_size) >= TRACK_BUFFER_HEADER_BYTES)
        map = mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED) {
        std::fprintf(stderr, "mevo-tracks: %s is not a track buffer\n", path.c_str());
        return nullptr;
    }
    *size = size_t(st.st_size);
    return static_cast<const unsigned char *>(map);
}

}  // namespace

int main(int argc, char **argv) {
    const char *root = std::getenv("MEVO_ROOT");
    if (argc == 3 && std::strcmp(argv[1], "--root") == 0) {
        root = argv[2];
    } else if (argc != 1) {
        usage();
        return 2;
    }
    if (!root || !*root) {
        usage();
        return 2;
    }
    std::string path = std::string(root) + TRACK_BUFFER_FLASH_PATH;
    size_t size = 0;
    const unsigned char *file = map_buffer(path, &size);
    if (!file) return 1;
    int32_t header[3];
    std::memcpy(header, file, sizeof header);
    const int32_t length = header[0], index = header[1], wrapped = header[2];
    if (length <= 0 || index < 0 || index >= length ||
        size < TRACK_BUFFER_HEADER_BYTES + size_t(length) * sizeof(track_record)) {
        std::fprintf(stderr, "mevo-tracks: %s has a damaged header\n", path.c_str());
        return 1;
    }
    int count = wrapped ? length : index, first = wrapped ? index : 0, men = 0, women = 0;
    for (int i = 0; i < count; ++i) {
        track_record r;
        std::memcpy(&r, file + TRACK_BUFFER_HEADER_BYTES + size_t((first + i) % length) * sizeof r,
                    sizeof r);
        std::printf("%.6f %.6f %c %d %d %d\n", r.t_start, r.t_end, r.gender > 0 ? 'M' : 'F', r.age,
                    r.avg_boxsize, r.trackid);
        (r.gender > 0 ? men : women)++;
    }
    std::printf("tracks %d men %d women %d\n", count, men, women);
    munmap(const_cast<unsigned char *>(file), size);
    return 0;
}
