#include "platform/http/digest_nonces.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/log.h"

namespace {

constexpr const char *kTag = "vk_http";
constexpr size_t kSecretBytes = 32;
constexpr size_t kIndexDigits = 16;
constexpr size_t kMacDigits = 64;  // hex SHA-256
constexpr size_t kNcDigits = 8;

struct Slot {
    guint64 index = 0;  // which issue owns the slot; 0: none yet
    gint64 issued_us = 0;
    guint32 last_nc = 0;
};

}  // namespace

struct VkDigestNonces {
    unsigned char secret[kSecretBytes] = {};
    guint64 next_index = 1;
    Slot slots[VK_DIGEST_NONCE_SLOTS];
};

namespace {

std::string mac_of(const VkDigestNonces *book, const std::string &index_hex) {
    gchar *mac =
        g_compute_hmac_for_string(G_CHECKSUM_SHA256, book->secret, sizeof book->secret,
                                  index_hex.c_str(), static_cast<gssize>(index_hex.size()));
    std::string out = mac;
    g_free(mac);
    return out;
}

bool all_hex(const std::string &text) {
    for (char ch : text) {
        if (!g_ascii_isxdigit(ch)) return false;
    }
    return !text.empty();
}

bool same_in_constant_time(const std::string &a, const std::string &b) {
    if (a.size() != b.size()) return false;
    unsigned diff = 0;
    for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned>(a[i] ^ b[i]);
    return diff == 0;
}

}  // namespace

VkDigestNonces *vk_digest_nonces_new() {
    auto *book = new VkDigestNonces;
    if (getrandom(book->secret, sizeof book->secret, 0) != static_cast<ssize_t>(kSecretBytes)) {
        log_message(kTag, "cannot draw the nonce secret: %s", strerror(errno));
        delete book;
        return nullptr;
    }
    return book;
}

void vk_digest_nonces_free(VkDigestNonces *book) {
    delete book;
}

std::string vk_digest_nonce_issue(VkDigestNonces *book, gint64 now_us) {
    guint64 index = book->next_index++;
    Slot &slot = book->slots[index % VK_DIGEST_NONCE_SLOTS];
    slot = Slot{index, now_us, 0};
    char hex[kIndexDigits + 1];
    snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(index));
    return std::string(hex) + mac_of(book, hex);
}

VkNonceUse vk_digest_nonce_use(VkDigestNonces *book, const std::string &nonce,
                               const std::string &nc, gint64 now_us) {
    if (nonce.size() != kIndexDigits + kMacDigits) return VkNonceUse::kUnknown;
    std::string index_hex = nonce.substr(0, kIndexDigits);
    if (!all_hex(index_hex) ||
        !same_in_constant_time(mac_of(book, index_hex), nonce.substr(kIndexDigits))) {
        return VkNonceUse::kUnknown;
    }
    guint64 index = strtoull(index_hex.c_str(), nullptr, 16);
    Slot &slot = book->slots[index % VK_DIGEST_NONCE_SLOTS];
    if (slot.index != index || now_us - slot.issued_us > VK_DIGEST_NONCE_LIFETIME_US) {
        return VkNonceUse::kExpired;
    }
    if (nc.size() != kNcDigits || !all_hex(nc)) return VkNonceUse::kReplayed;
    auto count = static_cast<guint32>(strtoul(nc.c_str(), nullptr, 16));
    if (count <= slot.last_nc) return VkNonceUse::kReplayed;
    slot.last_nc = count;
    return VkNonceUse::kAccepted;
}
