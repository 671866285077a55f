#include "platform/reboot/reboot.h"

#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "common/fileutil.h"
#include "common/log.h"
#include "common/paths.h"

namespace {
constexpr const char *kRequestPath = "/var/run/mevo-reboot-request";
constexpr const char *kRunDir = "/var/run";
}  // namespace

std::string platform_reboot_request_path(void) {
    return mevo_path(kRequestPath);
}

int platform_reboot(void) {
    char text[64];
    int len = std::snprintf(text, sizeof text, "%d %lld\n", int(getpid()),
                            static_cast<long long>(time(nullptr)));
    if (file_mkdir_p(mevo_path(kRunDir)) != 0 ||
        file_write_atomic(platform_reboot_request_path(), text, size_t(len)) != 0) {
        log_message("platform", "could not write the reboot request");
        return -1;
    }
    return 0;
}

bool platform_reboot_requested(void) {
    return file_exists(platform_reboot_request_path());
}

void platform_reboot_clear(void) {
    unlink(platform_reboot_request_path().c_str());
}
