// Secrets store: password-like parameters kept out of the parameter service, in a scrambled
// file of fixed 256-byte records (128-byte name, 128-byte value, both NUL-padded).
#include <glib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/fileutil.h"
#include "common/hashmap.h"
#include "common/log.h"
#include "params/param.h"
#include "params/param_internal.h"

namespace {

constexpr const char *kTag = "ov_secret";
constexpr size_t kInitialBuckets = 10;
constexpr size_t kReadStep = 2000;

// The cipher key is assembled at run time so it does not sit in the binary as one string.
void build_key(unsigned char key[OV_CIPHER_KEY_SIZE]) {
    static const unsigned char kMask[OV_CIPHER_KEY_SIZE] = {
        0x3d, 0xa1, 0x5e, 0x77, 0x0c, 0xe9, 0x42, 0x98, 0x1b, 0xc4, 0x6f,
        0x23, 0xb0, 0x8a, 0x55, 0xd7, 0x31, 0x0e, 0xfa, 0x64, 0x9c};
    for (size_t i = 0; i < OV_CIPHER_KEY_SIZE; ++i)
        key[i] = static_cast<unsigned char>(kMask[i] ^ ((i * 73u + 0x2bu) & 0xffu));
}

struct SecretRecord {
    char name[OV_SECRET_FIELD_SIZE];
    char value[OV_SECRET_FIELD_SIZE];
};
static_assert(sizeof(SecretRecord) == OV_SECRET_RECORD_SIZE);

// Copies at most field-1 characters and NUL-pads the rest.
void put_field(char *field, const char *text) {
    memset(field, 0, OV_SECRET_FIELD_SIZE);
    strncpy(field, text, OV_SECRET_FIELD_SIZE - 1);
}

// A Base64 text of the standard alphabet with '=' only as final padding; trailing line ends
// are tolerated (an editor may add one).
bool valid_base64(const std::string &text, size_t &len) {
    len = text.size();
    while (len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\r')) --len;
    if (len % 4 != 0) return false;
    size_t pad = 0;
    for (size_t i = 0; i < len; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '=') {
            ++pad;
            continue;
        }
        if (pad > 0) return false;
        if (!g_ascii_isalnum(c) && c != '+' && c != '/') return false;
    }
    return pad <= 2;
}

}  // namespace

struct ov_secret_store {
    Hashmap map;
};

void ov_cipher_apply(unsigned char *data, size_t len) {
    unsigned char key[OV_CIPHER_KEY_SIZE];
    build_key(key);
    unsigned char s[256];
    for (int i = 0; i < 256; ++i) s[i] = static_cast<unsigned char>(i);
    unsigned j = 255;
    for (int n = 255; n >= 0; --n) {
        j = (j + s[n] + key[n % OV_CIPHER_KEY_SIZE]) & 0xffu;
        std::swap(s[n], s[j]);
    }
    unsigned i = 0;
    j = 0;
    for (size_t k = 0; k < len; ++k) {
        i = (i + 1) & 0xffu;
        j = (j + s[i]) & 0xffu;
        std::swap(s[i], s[j]);
        data[k] ^= s[(s[i] + s[j]) & 0xffu];
    }
}

std::string ov_payload_encode(std::string_view plain) {
    std::vector<unsigned char> buf(plain.begin(), plain.end());
    ov_cipher_apply(buf.data(), buf.size());
    gchar *b64 = g_base64_encode(buf.data(), buf.size());
    std::string out(b64);
    g_free(b64);
    return out;
}

ov_secret_store *ov_secret_store_new(void) {
    auto *store = new ov_secret_store;
    if (hashmap_init(&store->map, hashmap_hash_string, hashmap_compare_string, kInitialBuckets) !=
        0) {
        delete store;
        return nullptr;
    }
    hashmap_set_key_alloc_funcs(&store->map, hashmap_copy_string, hashmap_free_string);
    return store;
}

void ov_secret_store_clear(ov_secret_store *store) {
    if (!store) return;
    for (HashmapSlot *s = hashmap_iter(&store->map); s; s = hashmap_iter_next(&store->map, s))
        free(hashmap_iter_get_data(s));
    hashmap_clear(&store->map);
}

void ov_secret_store_free(ov_secret_store *store) {
    if (!store) return;
    ov_secret_store_clear(store);
    hashmap_destroy(&store->map);
    delete store;
}

int ov_secret_store_set(ov_secret_store *store, const char *name, const char *value) {
    if (!store || !name || !*name || strlen(name) >= OV_SECRET_FIELD_SIZE) return -1;
    auto *rec = static_cast<SecretRecord *>(hashmap_get(&store->map, name));
    if (!rec) {
        rec = static_cast<SecretRecord *>(calloc(1, sizeof(SecretRecord)));
        if (!rec) return -1;
        put_field(rec->name, name);
        if (hashmap_put(&store->map, name, rec) != rec) {
            free(rec);
            return -1;
        }
    }
    put_field(rec->value, value ? value : "");
    return 0;
}

const char *ov_secret_store_get(const ov_secret_store *store, const char *name) {
    if (!store || !name) return nullptr;
    auto *rec = static_cast<const SecretRecord *>(hashmap_get(&store->map, name));
    return rec ? rec->value : nullptr;
}

size_t ov_secret_store_size(const ov_secret_store *store) {
    return store ? hashmap_size(&store->map) : 0;
}

int ov_secret_store_load_text(ov_secret_store *store, const std::string &text, const char *origin) {
    size_t len = 0;
    if (!valid_base64(text, len)) {
        log_message(kTag, "Could not decode: %d", -1);
        return -1;
    }
    std::string trimmed = text.substr(0, len);
    gsize decoded_len = 0;
    guchar *decoded = g_base64_decode(trimmed.c_str(), &decoded_len);
    if (decoded_len % OV_SECRET_RECORD_SIZE != 0) {
        log_message(kTag, "Wrong length of decoded content");
        g_free(decoded);
        return -1;
    }
    ov_cipher_apply(decoded, decoded_len);
    // Check every record first, so a damaged file changes nothing rather than half the store.
    std::vector<std::pair<std::string, std::string>> records;
    for (size_t off = 0; off < decoded_len; off += OV_SECRET_RECORD_SIZE) {
        const char *rec = reinterpret_cast<const char *>(decoded + off);
        std::string name(rec, strnlen(rec, OV_SECRET_FIELD_SIZE - 1));
        const char *value = rec + OV_SECRET_FIELD_SIZE;
        records.emplace_back(name, std::string(value, strnlen(value, OV_SECRET_FIELD_SIZE - 1)));
    }
    g_free(decoded);
    for (const auto &[name, value] : records) {
        if (name.empty()) continue;
        if (ov_secret_store_set(store, name.c_str(), value.c_str()) != 0)
            log_message(kTag, "Failed to load file %s\n", origin);
    }
    return 0;
}

int ov_secret_store_load(ov_secret_store *store, const char *path) {
    if (!store || !path) return -1;
    FILE *f = fopen(path, "rb");
    if (!f) {
        log_message(kTag, "Failed to load %s\n", path);
        return -1;
    }
    std::string text;
    char chunk[kReadStep];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
    fclose(f);
    return ov_secret_store_load_text(store, text, path);
}

std::string ov_secret_store_serialize(const ov_secret_store *store) {
    std::vector<const SecretRecord *> recs;
    auto *map = const_cast<Hashmap *>(&store->map);
    for (HashmapSlot *s = hashmap_iter(map); s; s = hashmap_iter_next(map, s))
        recs.push_back(static_cast<const SecretRecord *>(hashmap_iter_get_data(s)));
    // Sorted by name, so the same secrets always give the same file.
    std::sort(recs.begin(), recs.end(), [](const SecretRecord *a, const SecretRecord *b) {
        return strncmp(a->name, b->name, OV_SECRET_FIELD_SIZE) < 0;
    });
    std::vector<unsigned char> block(recs.size() * OV_SECRET_RECORD_SIZE);
    for (size_t i = 0; i < recs.size(); ++i)
        memcpy(block.data() + i * OV_SECRET_RECORD_SIZE, recs[i], OV_SECRET_RECORD_SIZE);
    ov_cipher_apply(block.data(), block.size());
    gchar *b64 = g_base64_encode(block.data(), block.size());
    std::string out(b64);
    g_free(b64);
    return out;
}

int ov_secret_store_save(const ov_secret_store *store, const char *path) {
    if (!store || !path) return -1;
    std::string text = ov_secret_store_serialize(store);
    if (file_write_atomic(path, text.data(), text.size(), 0600) != 0) {
        log_message(kTag, "Failed to save %s\n", path);
        return -1;
    }
    return 0;
}
