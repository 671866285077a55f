// Query unescaping: never reads past the terminator, never grows the text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "web/web.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    size_t before = strlen(text.c_str());
    web_unescape_query(text.data());
    if (strlen(text.c_str()) > before) abort();
    return 0;
}
