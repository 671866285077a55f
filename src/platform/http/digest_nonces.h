// Nonces of the HTTP Digest logins (RFC 7616) and the nonce count last used with each, so that
// a captured request cannot be sent again. A nonce names one slot of a fixed ring and carries a
// MAC under a secret drawn at start, so the book-keeping takes the same memory whatever clients
// do: a nonce whose slot was issued again since (many challenges later) is treated as expired.
// One thread at a time.
#pragma once

#include <glib.h>

#include <cstddef>
#include <string>

inline constexpr size_t VK_DIGEST_NONCE_SLOTS = 1024;
inline constexpr gint64 VK_DIGEST_NONCE_LIFETIME_US = 300 * G_USEC_PER_SEC;

struct VkDigestNonces;

// Null when no secret could be drawn (logged).
VkDigestNonces *vk_digest_nonces_new();
void vk_digest_nonces_free(VkDigestNonces *book);

// A fresh nonce for a challenge; `now_us` is monotonic time.
std::string vk_digest_nonce_issue(VkDigestNonces *book, gint64 now_us);

enum class VkNonceUse {
    kAccepted,  // issued here, alive, and `nc` above every count used with it before
    kExpired,   // issued here but past its lifetime or its slot reissued
    kReplayed,  // alive, but `nc` is not above the last count used (a replay)
    kUnknown,   // not issued by this process (malformed, forged, or from before a restart)
};

// Records the use of `nonce` with nonce count `nc` (8 hex digits). Call only once the
// request's digest proved the password, so that forged requests cannot use up counts.
VkNonceUse vk_digest_nonce_use(VkDigestNonces *book, const std::string &nonce,
                               const std::string &nc, gint64 now_us);
