#include "fleet_upload.h"

#include <glib.h>
#include <yajl/yajl_tree.h>

#include <cmath>
#include <cstring>

#include "params/param.h"

namespace {
constexpr const char *SEPARATOR = "##";
constexpr const char *NAME_SUFFIX = " demographics";

// Column order when a document has no "data_struct".
constexpr const char *COLUMNS[] = {"t_start", "t_end", "gender", "age", "avg_boxsize", "trackid"};
constexpr int COLUMN_COUNT = 6;

std::string text_of(yajl_val doc, const char *key) {
    const char *path[] = {key, nullptr};
    yajl_val v = yajl_tree_get(doc, path, yajl_t_string);
    return v ? YAJL_GET_STRING(v) : "";
}

bool number_of(yajl_val v, double *out) {
    if (!YAJL_IS_NUMBER(v)) return false;
    *out = YAJL_IS_INTEGER(v) ? double(YAJL_GET_INTEGER(v)) : YAJL_GET_DOUBLE(v);
    return std::isfinite(*out);
}

// Index of each known column in the rows, from "data_struct".
bool column_map(yajl_val doc, int index[COLUMN_COUNT]) {
    for (int c = 0; c < COLUMN_COUNT; ++c) index[c] = c;
    const char *path[] = {"data_struct", nullptr};
    yajl_val names = yajl_tree_get(doc, path, yajl_t_array);
    if (!names) return true;
    for (int c = 0; c < COLUMN_COUNT; ++c) {
        index[c] = -1;
        for (size_t k = 0; k < YAJL_GET_ARRAY(names)->len; ++k) {
            yajl_val name = YAJL_GET_ARRAY(names)->values[k];
            if (YAJL_IS_STRING(name) && strcmp(YAJL_GET_STRING(name), COLUMNS[c]) == 0)
                index[c] = int(k);
        }
        if (index[c] < 0) return false;
    }
    return true;
}

bool visit_of(yajl_val row, const int index[COLUMN_COUNT], FleetVisit *v) {
    if (!YAJL_IS_ARRAY(row)) return false;
    double x[COLUMN_COUNT];
    for (int c = 0; c < COLUMN_COUNT; ++c) {
        if (size_t(index[c]) >= YAJL_GET_ARRAY(row)->len) return false;
        if (!number_of(YAJL_GET_ARRAY(row)->values[index[c]], &x[c])) return false;
    }
    if ((x[2] != 1 && x[2] != -1) || x[3] < 0 || x[3] > 127 || x[0] < 0 || x[1] < x[0])
        return false;
    // Times come as "%f" text: whole microseconds, so a re-sent row gives the same key.
    v->t_start_us = std::llround(x[0] * 1e6);
    v->t_end_us = std::llround(x[1] * 1e6);
    v->gender = int(x[2]);
    v->age = int(x[3]);
    v->boxsize = int(x[4]);
    v->trackid = int(x[5]);
    return true;
}
}  // namespace

bool fleet_decipher(const std::string &body, std::string *plain) {
    if (body.empty()) return false;
    for (char ch : body)
        if (!g_ascii_isalnum(ch) && ch != '+' && ch != '/' && ch != '=') return false;
    gsize len = 0;
    guchar *raw = g_base64_decode(body.c_str(), &len);
    if (!raw) return false;
    ov_cipher_apply(raw, len);
    plain->assign(reinterpret_cast<char *>(raw), len);
    g_free(raw);
    return true;
}

bool fleet_split_identity(const std::string &plain, FleetIdentity *identity,
                          std::string *document) {
    std::string *fields[] = {&identity->user, &identity->pass, &identity->camera_name,
                             &identity->serial};
    size_t pos = 0;
    document->clear();
    for (int k = 0; k < 4; ++k) {
        size_t sep = plain.find(SEPARATOR, pos);
        if (sep == std::string::npos) {
            if (k < 3) return false;
            *fields[k] = plain.substr(pos);
            return !identity->serial.empty();
        }
        *fields[k] = plain.substr(pos, sep - pos);
        pos = sep + strlen(SEPARATOR);
    }
    *document = plain.substr(pos);
    return !identity->serial.empty();
}

std::string fleet_counter_name(const std::string &camera_name) {
    size_t n = strlen(NAME_SUFFIX);
    if (camera_name.size() >= n && camera_name.compare(camera_name.size() - n, n, NAME_SUFFIX) == 0)
        return camera_name.substr(0, camera_name.size() - n);
    return camera_name;
}

bool fleet_parse_upload(const std::string &document, FleetUpload *upload, int *skipped,
                        std::string *why) {
    char message[256] = "";
    yajl_val doc = yajl_tree_parse(document.c_str(), message, sizeof message);
    if (!doc || !YAJL_IS_OBJECT(doc)) {
        *why = std::string("not a JSON object: ") + message;
        if (doc) yajl_tree_free(doc);
        return false;
    }
    upload->serial = text_of(doc, "camera_serial");
    upload->name = fleet_counter_name(text_of(doc, "camera_name"));
    upload->timezone = text_of(doc, "timezone");
    upload->visits.clear();
    *skipped = 0;
    int index[COLUMN_COUNT];
    const char *path[] = {"data", nullptr};
    yajl_val data = yajl_tree_get(doc, path, yajl_t_array);
    bool ok = data && column_map(doc, index);
    if (!ok) *why = "no \"data\" rows with the known columns";
    for (size_t k = 0; ok && k < YAJL_GET_ARRAY(data)->len; ++k) {
        FleetVisit v;
        if (visit_of(YAJL_GET_ARRAY(data)->values[k], index, &v))
            upload->visits.push_back(v);
        else
            ++*skipped;
    }
    yajl_tree_free(doc);
    return ok;
}
