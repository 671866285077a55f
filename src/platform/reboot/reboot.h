// Camera reboot. On the camera this reboots the device. On a host it never touches the
// machine: it leaves a request file in the root that the application host (mevo-host) acts on
// when the application has exited, by simulating a camera reboot (the root's tmp/ is emptied,
// as a real reboot loses /tmp, and the application is started again).
//
// Request file: /var/run/mevo-reboot-request under the root (not under /tmp, which the
// simulated reboot wipes). Its content is "PID EPOCH\n" of the requesting process, for logs.
// Any thread may call these functions.
#pragma once

#include <string>

// Asks for a reboot. Returns 0, or -1 when the request could not be written (logged).
int platform_reboot(void);

// Path of the request file (under the root).
std::string platform_reboot_request_path(void);

// For the application host: true when a request is pending; clearing removes it.
bool platform_reboot_requested(void);
void platform_reboot_clear(void);
