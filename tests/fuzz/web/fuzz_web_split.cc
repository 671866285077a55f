// Name/argument split: the name and the argument string together are the query (less one
// '=' at the end of the name), and the argument string is empty or starts with '&'.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "web/web_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string query(reinterpret_cast<const char *>(data), size);
    const char *q = query.c_str();
    std::string name;
    const char *args = nullptr;
    web_split_query(q, name, &args);
    size_t qlen = strlen(q);
    if (args < q || args > q + qlen) abort();
    if (*args != '\0' && *args != '&') abort();
    size_t name_part = static_cast<size_t>(args - q);
    if (name.size() != name_part && name.size() + 1 != name_part) abort();
    if (name.find('&') != std::string::npos) abort();
    return 0;
}
