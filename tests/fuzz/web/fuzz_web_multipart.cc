// Multipart boundary and frame extraction on arbitrary upload bodies: the part found lies
// inside the buffer and starts with the gzip magic.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "web/web_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // An exact-size copy, so any read past the end is caught.
    std::vector<char> body(data, data + size);
    std::string boundary;
    if (web_extract_boundary(body.data(), body.size(), boundary) != 0) return 0;
    if (boundary.size() < 3 || boundary.compare(0, 2, "--") != 0) abort();
    size_t offset = 0, length = 0;
    int rc = web_extract_frame(body.data(), body.size(), boundary, &offset, &length);
    if (rc != WEB_FRAME_OK) return 0;
    if (offset > body.size() || length > body.size() - offset || length < 2) abort();
    if (static_cast<unsigned char>(body[offset]) != 0x1F ||
        static_cast<unsigned char>(body[offset + 1]) != 0x8B) {
        abort();
    }
    return 0;
}
