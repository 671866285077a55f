// setupctl: command-line client of the parameter store, used by people, scripts and the
// restore path while the application runs (the store is safe for both at once).
//
//   setupctl [--nosync] [--nocgi] getgroup GROUP [-]   one line per parameter: NAME="VALUE"
//   setupctl [--nosync] get NAME                       the value alone
//   setupctl [--nosync] set NAME VALUE
//   setupctl [--nosync] setparams FILE                 lines NAME="VALUE", as getgroup writes;
//                                                      all or nothing; camera parameters this
//                                                      camera does not have are skipped with
//                                                      one "skipped" line each on stdout
//   setupctl sync                                      marks the changes made so far
//
// Writes are synced (they mark a parameter change the application restarts for) unless
// --nosync is given. Names are full service names; "mevo.Counter0Name" is read as
// "root.mevo.Counter0Name". Exit status 0 on success, 1 on failure.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/param/vk_parameter.h"

namespace {

constexpr const char *kApp = "mevo";

void usage() {
    fprintf(stderr,
            "usage: setupctl [--nosync] [--nocgi] getgroup GROUP | get NAME | set NAME VALUE |"
            " setparams FILE | sync\n");
}

std::string full_name(const char *name) {
    std::string n = name;
    if (n == "root" || n.rfind("root.", 0) == 0) return n;
    return "root." + n;
}

int fail(const char *what, GError *error) {
    fprintf(stderr, "setupctl: %s: %s\n", what, error ? error->message : "failed");
    if (error) g_error_free(error);
    return 1;
}

int cmd_getgroup(VkParameter *h, const char *group) {
    GError *error = nullptr;
    char **names = vk_parameter_list(h, group, &error);
    if (!names) return fail(group, error);
    int rc = 0;
    for (char **n = names; *n; ++n) {
        char *value = vk_parameter_get(h, *n, &error);
        if (!value) {
            rc = fail(*n, error);
            error = nullptr;
            continue;
        }
        printf("%s=\"%s\"\n", *n, value);
        g_free(value);
    }
    g_strfreev(names);
    return rc;
}

int cmd_get(VkParameter *h, const char *name) {
    GError *error = nullptr;
    char *value = vk_parameter_get(h, full_name(name).c_str(), &error);
    if (!value) return fail(name, error);
    printf("%s\n", value);
    g_free(value);
    return 0;
}

int cmd_set(VkParameter *h, const char *name, const char *value, bool sync) {
    GError *error = nullptr;
    if (!vk_parameter_set(h, full_name(name).c_str(), value, sync, &error))
        return fail(name, error);
    return 0;
}

// A dump line: NAME="VALUE"; the value runs to the last double quote of the line, so values
// holding quotes survive a round trip.
bool parse_dump_line(std::string line, std::string &name, std::string &value) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    size_t eq = line.find('=');
    if (eq == std::string::npos || eq == 0) return false;
    size_t q1 = line.find('"', eq);
    size_t q2 = line.rfind('"');
    if (q1 == std::string::npos || q2 == q1) return false;
    name = line.substr(0, eq);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.pop_back();
    size_t start = name.find_first_not_of(" \t");
    if (start == std::string::npos) return false;
    name.erase(0, start);
    value = line.substr(q1 + 1, q2 - q1 - 1);
    return true;
}

bool blank(const std::string &line) {
    return line.find_first_not_of(" \t\r\n") == std::string::npos;
}

// A camera parameter (outside the application's group) that this camera does not have, as in
// a backup made on another model or firmware.
bool unknown_camera_parameter(VkParameter *h, const std::string &name) {
    if (name.rfind("root.mevo.", 0) == 0) return false;
    GError *error = nullptr;
    char *value = vk_parameter_get(h, name.c_str(), &error);
    bool unknown = !value && error && error->code == VK_PARAMETER_ERROR_NOT_FOUND;
    g_free(value);
    if (error) g_error_free(error);
    return unknown;
}

int cmd_setparams(VkParameter *h, const char *path, bool sync) {
    std::ifstream in(path);
    if (!in) {
        fprintf(stderr, "setupctl: cannot read %s\n", path);
        return 1;
    }
    std::vector<VkParameterValue> values;
    std::string line, name, value;
    for (int number = 1; std::getline(in, line); ++number) {
        if (blank(line)) continue;
        if (!parse_dump_line(line, name, value)) {
            fprintf(stderr, "setupctl: %s:%d: not a NAME=\"VALUE\" line; nothing was set\n", path,
                    number);
            return 1;
        }
        std::string full = full_name(name.c_str());
        if (unknown_camera_parameter(h, full)) {
            printf("skipped %s: not a parameter of this camera\n", full.c_str());
            continue;
        }
        values.push_back({full, value});
    }
    GError *error = nullptr;
    if (!vk_parameter_set_many(h, values, sync, &error)) return fail("setparams", error);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    bool sync = true;
    std::vector<const char *> args;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--nosync") == 0)
            sync = false;
        else if (strcmp(argv[i], "--nocgi") == 0)
            continue;  // accepted for compatibility; output is always plain
        else
            args.push_back(argv[i]);
    }
    if (args.empty()) {
        usage();
        return 1;
    }
    GError *error = nullptr;
    VkParameter *h = vk_parameter_new(kApp, &error);
    if (!h) return fail("cannot open the parameter store", error);
    std::string cmd = args[0];
    int rc;
    if (cmd == "getgroup" && args.size() >= 2) {
        rc = cmd_getgroup(h, args[1]);
    } else if (cmd == "get" && args.size() == 2) {
        rc = cmd_get(h, args[1]);
    } else if (cmd == "set" && args.size() == 3) {
        rc = cmd_set(h, args[1], args[2], sync);
    } else if (cmd == "setparams" && args.size() == 2) {
        rc = cmd_setparams(h, args[1], sync);
    } else if (cmd == "sync" && args.size() == 1) {
        rc = vk_parameter_sync(h, &error) ? 0 : fail("sync", error);
    } else {
        usage();
        rc = 1;
    }
    vk_parameter_free(h);
    return rc;
}
