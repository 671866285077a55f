// "setparams" argument parsing: every item has a non-empty key without '&' and starting with
// something other than '='.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "params/param_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string args(reinterpret_cast<const char *>(data), size);
    for (const auto &item : ov_param_parse_items(args.c_str())) {
        if (item.key.empty() || item.key[0] == '=') abort();
        if (item.key.find('&') != std::string::npos) abort();
        if (item.key.find('=') != std::string::npos) abort();
        if (item.value.find('&') != std::string::npos) abort();
    }
    return 0;
}
