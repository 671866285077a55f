// Internals of the parameter layer shared between its source files and its tests.
// Not for other modules: use params/param.h.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "params/param.h"

inline constexpr int OV_STATUS_SLOTS = 10;
inline constexpr size_t OV_ERRORS_REPLY_MAX = 8192;

// Secrets store helpers.
size_t ov_secret_store_size(const ov_secret_store *store);
// The text a save would write.
std::string ov_secret_store_serialize(const ov_secret_store *store);

// Splits at every ';' keeping empty items ("" gives one empty item).
std::vector<std::string> ov_param_split_list(const std::string &list);

// Restores the masked ("****") items of `new_cred` from `old_cred`, matching items by their
// address (cut at the first '?'). Returns 1 with the restored list in `out`, 0 when `new_cred`
// holds no mask, -1 when the new or the old lists differ in length.
int ov_param_restore_credentials(const std::string &new_cred, const std::string &old_cred,
                                 const std::string &new_addr, const std::string &old_addr,
                                 std::string &out);
// Every non-empty item replaced by "****".
std::string ov_param_mask_credentials(const std::string &list);

// One parsed "setparams" item.
struct OvParamItem {
    std::string key;
    std::string value;
};
// Splits an argument string ("&k=v&k2=v2") into items: leading '=' skipped, empty items and
// items without '=' dropped, split at the first '='.
std::vector<OvParamItem> ov_param_parse_items(const char *args);

// The endpoint bodies (each returns the reply; the handlers keep it alive for the layer).
std::string ov_param_setparams(const char *args, int sync);
std::string ov_param_factory_defaults(void);
std::string ov_param_errors_json(void);
std::string ov_param_rhos_json(void);

// The status slots as (key, message) pairs in slot order.
std::vector<std::pair<std::string, std::string>> ov_param_status_snapshot(void);

// Service-handle access for the document builder (takes ov_param_lock itself).
// Stored names and values of root.mevo, sorted by name; false without a service.
bool ov_param_list_group(std::vector<std::pair<std::string, std::string>> &out);

// Empties the process secrets store and removes its file.
void ov_param_secrets_delete_all(void);

// Forgets the cached camera properties.
void ov_param_reset_cached_properties_for_tests(void);
