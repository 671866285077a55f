// The parameter endpoints: "setparams"/"nosyncsetparams" with credential-list restoration,
// "factory-defaults", "errors.json", "rhos.json" and the "params.json" document.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/fileutil.h"
#include "common/log.h"
#include "common/paths.h"
#include "params/param.h"
#include "params/param_internal.h"

namespace {

constexpr const char *kTag = "param";
constexpr const char *kCredTag = "ov_param";
constexpr const char *kMask = "****";
constexpr const char *kDefaultsFile = "/usr/local/packages/mevo/param.conf.default";
constexpr const char *kEventsFile = "/usr/local/packages/mevo/events.json";
constexpr const char *kProductName = "VEKA Audience Profiler";
constexpr const char *kVersion = "1.6.2";
constexpr const char *kBuild = "";
constexpr const char *kBuildDate = "2018-10-03";
constexpr int kStaticMaxWidth = 1920;
constexpr int kStaticMaxHeight = 1080;

struct CredentialPair {
    const char *cred;
    const char *addr;
};
constexpr CredentialPair kCredentialPairs[] = {
    {"Counter.OccCoCounterCred", "Counter.OccCoCounterAddress"},
    {"Counter.SlavePass", "Counter.SlaveAddress"},
};

// Plain secret passwords that "params.json" shows as "****": the page sends the mask back
// when the user did not touch the field, and it must not replace the real password.
constexpr const char *kMaskedPasswords[] = {"WebReportUpload.Pass", "WebReportUpload.ProxyPass",
                                            "Environment.SysPwd", "Httppost.Pass"};

bool is_masked_password(const std::string &key) {
    for (const char *k : kMaskedPasswords)
        if (key == k) return true;
    return false;
}

std::string cut_at_query(const std::string &addr) {
    return addr.substr(0, addr.find('?'));
}

// JSON string body: quotes and slashes escaped as the page expects, and backslashes and
// control characters too so the document always parses.
std::string json_escape(const std::string &s) {
    std::string out;
    for (unsigned char c : s) {
        if (c == '"' || c == '/' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char tmp[8];
            snprintf(tmp, sizeof tmp, "\\u%04x", c);
            out += tmp;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string quoted(const std::string &s) {
    return "\"" + json_escape(s) + "\"";
}

// The cached "Static" width and height: the resolution capped at 1920 x 1080.
void static_size(int &w, int &h) {
    static std::once_flag once;
    static int cw = kStaticMaxWidth, ch = kStaticMaxHeight;
    std::call_once(once, [] {
        int rw, rh;
        ov_param_get_resolution(&rw, &rh);
        cw = rw < kStaticMaxWidth ? rw : kStaticMaxWidth;
        ch = rh < kStaticMaxHeight ? rh : kStaticMaxHeight;
    });
    w = cw;
    h = ch;
}

std::string fmt_double(double v) {
    char tmp[64];
    snprintf(tmp, sizeof tmp, "%g", v);
    return tmp;
}

}  // namespace

// ---- credential lists ----

std::vector<std::string> ov_param_split_list(const std::string &list) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t semi = list.find(';', start);
        if (semi == std::string::npos) {
            out.push_back(list.substr(start));
            return out;
        }
        out.push_back(list.substr(start, semi - start));
        start = semi + 1;
    }
}

int ov_param_restore_credentials(const std::string &new_cred, const std::string &old_cred,
                                 const std::string &new_addr, const std::string &old_addr,
                                 std::string &out) {
    out.clear();
    if (new_cred.find(kMask) == std::string::npos) return 0;
    auto nc = ov_param_split_list(new_cred), oc = ov_param_split_list(old_cred);
    auto na = ov_param_split_list(new_addr), oa = ov_param_split_list(old_addr);
    if (nc.size() != na.size() || oc.size() != oa.size()) {
        log_message(kCredTag, "Uneven length of arrays - exiting preemtively");
        return -1;
    }
    for (size_t i = 0; i < nc.size(); ++i) {
        if (nc[i].find(kMask) == std::string::npos) continue;
        std::string want = cut_at_query(na[i]);
        for (size_t k = 0; k < oa.size(); ++k) {
            if (cut_at_query(oa[k]) == want) {
                nc[i] = oc[k];
                break;
            }
        }
    }
    for (size_t i = 0; i < nc.size(); ++i) {
        if (i) out += ';';
        out += nc[i];
    }
    return 1;
}

std::string ov_param_mask_credentials(const std::string &list) {
    if (list.empty()) return "";
    std::string out;
    auto items = ov_param_split_list(list);
    for (size_t i = 0; i < items.size(); ++i) {
        if (i) out += ';';
        if (!items[i].empty()) out += kMask;
    }
    return out;
}

// ---- setparams ----

std::vector<OvParamItem> ov_param_parse_items(const char *args) {
    std::vector<OvParamItem> items;
    if (!args) return items;
    std::string s = args;
    size_t start = 0;
    while (start <= s.size()) {
        size_t amp = s.find('&', start);
        std::string item =
            s.substr(start, amp == std::string::npos ? std::string::npos : amp - start);
        size_t lead = item.find_first_not_of('=');
        if (lead != std::string::npos) {
            item.erase(0, lead);
            size_t eq = item.find('=');
            if (eq != std::string::npos) items.push_back({item.substr(0, eq), item.substr(eq + 1)});
        }
        if (amp == std::string::npos) break;
        start = amp + 1;
    }
    return items;
}

std::string ov_param_setparams(const char *args, int sync) {
    if (!args || !strchr(args, '=')) return "need arguments";
    std::map<std::string, std::string> old;
    for (const auto &p : kCredentialPairs) {
        old[p.cred] = ov_param_get(p.cred);
        old[p.addr] = ov_param_get(p.addr);
    }
    bool changed = false;
    for (const auto &item : ov_param_parse_items(args)) {
        if (is_masked_password(item.key) && item.value == kMask) continue;
        if (ov_param_set_ex(item.key.c_str(), item.value.c_str(), 0) == OV_PARAM_OK) changed = true;
    }
    for (const auto &p : kCredentialPairs) {
        std::string new_cred = ov_param_get(p.cred), new_addr = ov_param_get(p.addr), restored;
        if (ov_param_restore_credentials(new_cred, old[p.cred], new_addr, old[p.addr], restored) !=
            1)
            continue;
        if (ov_param_set_ex(p.cred, restored.c_str(), 0) == OV_PARAM_OK) changed = true;
    }
    if (changed && sync) ov_param_set_ex("sync", "1", 1);
    return changed ? "OK\n" : "No params were changed.\n";
}

// ---- factory defaults ----

std::string ov_param_factory_defaults(void) {
    std::ifstream in(mevo_path(kDefaultsFile));
    std::string line;
    while (std::getline(in, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' '))
            line.pop_back();
        if (line.empty()) continue;
        size_t type_at = line.find("type =");
        if (type_at == std::string::npos) type_at = line.find("type=");
        if (type_at != std::string::npos) line.erase(type_at);
        std::string name = line.substr(0, line.find_first_of(" ="));
        size_t zero = name.find('0');
        if (zero == std::string::npos) {
            log_message(kTag, "could not determine group");
            continue;
        }
        name[zero] = '.';
        size_t q1 = line.find('"', name.size());
        size_t q2 = q1 == std::string::npos ? q1 : line.find('"', q1 + 1);
        if (q2 == std::string::npos) {
            log_message(kTag, "could not determine value");
            continue;
        }
        ov_param_set_ex(name.c_str(), line.substr(q1 + 1, q2 - q1 - 1).c_str(), 0);
    }
    ov_param_secrets_save();
    ov_param_mark_changed();
    ov_param_secrets_delete_all();
    file_remove_tree(mevo_path(kEventsFile));
    return "OK\n";
}

// ---- errors.json and rhos.json ----

std::string ov_param_errors_json(void) {
    char head[64];
    snprintf(head, sizeof head, "{\"timestamp\":\"%d\",\"errors\":{",
             static_cast<int>(clock_now()));
    const std::string tail = "}}\n";
    std::string out = head;
    bool first = true;
    for (const auto &[key, message] : ov_param_status_snapshot()) {
        std::string item = (first ? "" : ",") + quoted(key) + ":" + quoted(message);
        // Items that would not fit are left out whole, so the reply stays valid JSON.
        if (out.size() + item.size() + tail.size() > OV_ERRORS_REPLY_MAX) break;
        out += item;
        first = false;
    }
    return out + tail;
}

std::string ov_param_rhos_json(void) {
    std::string account = ov_param_sys_account();
    if (account != OV_SERVICE_ACCOUNT) return "";
    // The current password, not the start-up copy: the privacy lock changes it at run time.
    return "{\"user\": " + quoted(account) +
           ",\"password\": " + quoted(ov_param_service_password()) + "}";
}

// ---- params.json ----

std::string ov_param_settings_document(const char *variable) {
    std::vector<std::pair<std::string, std::string>> stored;
    if (!ov_param_list_group(stored)) log_message(kTag, "gen_allparams_page(): popen\n");

    // group -> ordered (key, JSON value) members
    std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> groups;
    auto group_of = [&groups](const std::string &g) -> auto & {
        for (auto &entry : groups)
            if (entry.first == g) return entry.second;
        groups.push_back({g, {}});
        return groups.back().second;
    };
    const std::string prefix = "root.mevo.";
    for (const auto &[full, value] : stored) {
        if (ov_param_is_secret_stored_name(full)) continue;  // shown once, masked, below
        std::string name =
            full.compare(0, prefix.size(), prefix) == 0 ? full.substr(prefix.size()) : full;
        size_t zero = name.find('0');
        if (zero == std::string::npos || zero == 0) {
            log_message(kTag, "gen_allparams_page(): incorrect parameter format\n");
            continue;
        }
        std::string group = name.substr(0, zero);
        if (group.rfind("Build", 0) == 0) continue;
        group_of(group).push_back({name.substr(zero + 1), quoted(value)});
    }
    auto pwd_shown = [](const char *secret) { return quoted(*ov_param_get(secret) ? kMask : ""); };
    group_of("Environment").push_back({"SysPwd", pwd_shown("Environment.SysPwd")});
    group_of("WebReportUpload").push_back({"Pass", pwd_shown("WebReportUpload.Pass")});
    group_of("WebReportUpload").push_back({"ProxyPass", pwd_shown("WebReportUpload.ProxyPass")});
    group_of("Httppost").push_back({"Pass", pwd_shown("Httppost.Pass")});
    group_of("Counter").push_back(
        {"SlavePass", quoted(ov_param_mask_credentials(ov_param_get("Counter.SlavePass")))});
    group_of("Counter").push_back(
        {"OccCoCounterCred",
         quoted(ov_param_mask_credentials(ov_param_get("Counter.OccCoCounterCred")))});

    std::string out;
    if (variable) out += std::string("var ") + variable + " = ";
    out += "{\n";
    auto object = [&out](const std::string &name,
                         const std::vector<std::pair<std::string, std::string>> &members) {
        out += "\t" + quoted(name) + ": {";
        for (size_t i = 0; i < members.size(); ++i)
            out += std::string(i ? ",\n\t\t" : "\n\t\t") + quoted(members[i].first) + ": " +
                   members[i].second;
        out += "\n\t},\n";
    };
    for (const auto &[name, members] : groups) object(name, members);

    object("Build", {{"Name", quoted(kProductName)},
                     {"Version", quoted(kVersion)},
                     {"Build", quoted(kBuild)},
                     {"BuildDate", quoted(kBuildDate)}});

    int sw, sh, rw, rh;
    static_size(sw, sh);
    ov_param_get_resolution(&rw, &rh);
    char res[48];
    snprintf(res, sizeof res, "%dx%d", rw, rh);
    time_t now = clock_now();
    struct tm tm_local;
    localtime_r(&now, &tm_local);
    char stamp[64];
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm_local);
    int zoom = atoi(ov_param_get("Counter.DigitalZoom"));
    std::vector<std::pair<std::string, std::string>> statics = {
        {"Width", std::to_string(sw)},
        {"Height", std::to_string(sh)},
        {"Overlapping", quoted(ov_param_get("Counter.Overlapping"))},
        {"Manufacturer", quoted("Veka")},
        {"ModelName", quoted(ov_param_get("root.Brand.ProdNbr"))},
        {"CaptureModeResolution", quoted(res)},
        {"Serial", quoted(ov_param_get_serial())},
        {"Lens", quoted(ov_param_model_lens())},
        {"LensLambda", fmt_double(ov_param_model_lens_lambda())},
        {"Ccdw", fmt_double(ov_param_model_ccdw())},
        {"DigitalZoomFactor", fmt_double(ov_param_get_dzoom_factor(zoom))},
        {"Timestamp", quoted(stamp)},
        {"UsingRHOS", ov_param_remote_service_enabled() ? "1" : "0"},
        {"Anonymous", ov_param_privacy_locked() ? "1" : "0"},
        {"FirmwareVersion", quoted(ov_param_get("root.Properties.Firmware.Version"))},
    };
    object("Static", statics);
    auto status = ov_param_status_snapshot();
    if (!status.empty()) {
        std::vector<std::pair<std::string, std::string>> errors;
        for (const auto &[key, message] : status) errors.push_back({key, quoted(message)});
        object("Errors", errors);
    }
    // The last object ends without a comma.
    out.erase(out.size() - 2, 1);
    out += "}\n";
    return out;
}
