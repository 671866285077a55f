// Secrets-file loader: any text either loads whole records or leaves the store unchanged.
#include <glib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/log.h"
#include "params/param.h"
#include "params/param_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    log_set_stderr(false);
    ov_secret_store *store = ov_secret_store_new();
    ov_secret_store_set(store, "Httppost.Pass", "keep");
    std::string text(reinterpret_cast<const char *>(data), size);
    // Inputs starting with 'R' are raw records: encipher and encode them first, so the record
    // parsing behind the Base64 and length checks is reached too.
    if (size > 0 && data[0] == 'R') {
        std::string raw(text.substr(1));
        ov_cipher_apply(reinterpret_cast<unsigned char *>(raw.data()), raw.size());
        gchar *b64 = g_base64_encode(reinterpret_cast<const guchar *>(raw.data()), raw.size());
        text = b64;
        g_free(b64);
    }
    int rc = ov_secret_store_load_text(store, text, "fuzz");
    const char *kept = ov_secret_store_get(store, "Httppost.Pass");
    if (rc != 0 && (!kept || strcmp(kept, "keep") != 0)) abort();
    if (rc != 0 && ov_secret_store_size(store) != 1) abort();
    // Whatever loaded must survive a save and load unchanged.
    std::string saved = ov_secret_store_serialize(store);
    ov_secret_store *again = ov_secret_store_new();
    if (ov_secret_store_load_text(again, saved, "fuzz") != 0) abort();
    if (ov_secret_store_size(again) != ov_secret_store_size(store)) abort();
    if (ov_secret_store_serialize(again) != saved) abort();
    ov_secret_store_free(again);
    ov_secret_store_free(store);
    return 0;
}
