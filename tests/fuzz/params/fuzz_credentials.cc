// Credential-list restoration: the result has as many items as the new list, and items that
// were not masked pass unchanged.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/log.h"
#include "params/param_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    log_set_stderr(false);
    // Four lists separated by NUL bytes: new credentials, old credentials, new and old addresses.
    std::string in(reinterpret_cast<const char *>(data), size);
    std::vector<std::string> parts;
    size_t start = 0;
    for (int i = 0; i < 3; ++i) {
        size_t z = in.find('\0', start);
        if (z == std::string::npos) return 0;
        parts.push_back(in.substr(start, z - start));
        start = z + 1;
    }
    parts.push_back(in.substr(start));
    std::string out;
    int rc = ov_param_restore_credentials(parts[0], parts[1], parts[2], parts[3], out);
    if (rc != 1) return 0;
    auto before = ov_param_split_list(parts[0]);
    auto after = ov_param_split_list(out);
    if (before.size() != after.size()) abort();
    for (size_t i = 0; i < before.size(); ++i)
        if (before[i].find("****") == std::string::npos && before[i] != after[i]) abort();
    if (ov_param_mask_credentials(out).size() > 4 * out.size() + 4) abort();
    return 0;
}
