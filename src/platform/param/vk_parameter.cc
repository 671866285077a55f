// SQLite-backed parameter store shared by the application and setupctl.
#include "platform/param/vk_parameter.h"

#include <sqlite3.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/fileutil.h"
#include "common/paths.h"

namespace {

constexpr const char *kDbPath = "/etc/mevo-params.db";
constexpr const char *kAppGroupPrefix = "root.";
constexpr int kBusyTimeoutMs = 10000;
constexpr const char *kSerialKey = "change_serial";

struct Callback {
    std::string name;
    VkParameterCallback cb;
    void *user_data;
};

}  // namespace

struct VkParameter {
    sqlite3 *db = nullptr;
    std::string group;  // "root.<app>"
    std::mutex mutex;
    std::vector<Callback> callbacks;
};

GQuark vk_parameter_error_quark(void) {
    return g_quark_from_static_string("vk-parameter-error");
}

std::string vk_parameter_db_path(void) {
    return mevo_path(kDbPath);
}

std::string vk_parameter_set_aside_damaged(void) {
    std::string db = vk_parameter_db_path();
    std::string kept = db + ".damaged-" + std::to_string(static_cast<long long>(time(nullptr)));
    if (rename(db.c_str(), kept.c_str()) != 0) return "";
    // A journal belongs to the damaged file; replayed into a fresh database it would fail too.
    for (const char *suffix : {"-wal", "-shm"})
        if (rename((db + suffix).c_str(), (kept + suffix).c_str()) != 0)
            unlink((db + suffix).c_str());
    return kept;
}

namespace {

void set_db_error(GError **error, sqlite3 *db, const char *what) {
    int code = db ? sqlite3_errcode(db) : SQLITE_ERROR;
    // A file that is not a database (random bytes, cut short) is told apart, so that its owner
    // can set it aside and start again from the defaults instead of failing forever.
    bool damaged = code == SQLITE_NOTADB || code == SQLITE_CORRUPT;
    g_set_error(error, VK_PARAMETER_ERROR,
                damaged ? VK_PARAMETER_ERROR_DAMAGED : VK_PARAMETER_ERROR_FAILED, "%s: %s", what,
                db ? sqlite3_errmsg(db) : "no database");
}

int exec(sqlite3 *db, const char *sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

// RAII wrapper for one prepared statement.
class Stmt {
  public:
    Stmt(sqlite3 *db, const char *sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Stmt() { sqlite3_finalize(stmt_); }
    Stmt(const Stmt &) = delete;
    Stmt &operator=(const Stmt &) = delete;
    bool ok() const { return rc_ == SQLITE_OK && stmt_ != nullptr; }
    void bind(int i, std::string_view text) {
        sqlite3_bind_text(stmt_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    void bind(int i, int64_t v) { sqlite3_bind_int64(stmt_, i, v); }
    int step() { return sqlite3_step(stmt_); }
    void reset() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    const char *text(int col) {
        return reinterpret_cast<const char *>(sqlite3_column_text(stmt_, col));
    }
    int64_t int64(int col) { return sqlite3_column_int64(stmt_, col); }

  private:
    sqlite3_stmt *stmt_ = nullptr;
    int rc_ = SQLITE_ERROR;
};

// One "name = "value" [type = ...]" line of a defaults or profile file: the name runs up to
// the first blank or '=', the value is the text between the first two double quotes after it.
bool parse_seed_line(const std::string &raw, std::string &name, std::string &value) {
    std::string line = raw;
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' ' ||
                             line.back() == '\t'))
        line.pop_back();
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') return false;
    line.erase(0, start);
    size_t type_at = line.find("type =");
    if (type_at == std::string::npos) type_at = line.find("type=");
    if (type_at != std::string::npos) line.erase(type_at);
    size_t name_end = line.find_first_of(" \t=");
    if (name_end == std::string::npos || name_end == 0) return false;
    name = line.substr(0, name_end);
    size_t q1 = line.find('"', name_end);
    if (q1 == std::string::npos) return false;
    size_t q2 = line.find('"', q1 + 1);
    if (q2 == std::string::npos) return false;
    value = line.substr(q1 + 1, q2 - q1 - 1);
    return true;
}

// Reads `path`; names without the "root." prefix belong to `group` and have the form
// "Group0Key" already.
std::vector<std::pair<std::string, std::string>> read_seed_file(const std::string &path,
                                                                const std::string &group) {
    std::vector<std::pair<std::string, std::string>> out;
    std::ifstream in(path);
    if (!in) return out;
    std::string line, name, value;
    while (std::getline(in, line)) {
        if (!parse_seed_line(line, name, value)) continue;
        if (name.rfind(kAppGroupPrefix, 0) != 0) name = group + "." + name;
        out.emplace_back(name, value);
    }
    return out;
}

// Adds every parameter of the defaults and the camera profile that the store does not hold
// yet; existing values are kept.
int seed(sqlite3 *db, const std::string &group) {
    std::string pkg = mevo_package_dir();
    auto rows = read_seed_file(pkg + "/param.conf.default", group);
    auto camera = read_seed_file(pkg + "/host/camera-profile.conf", group);
    rows.insert(rows.end(), camera.begin(), camera.end());
    if (exec(db, "BEGIN IMMEDIATE") != SQLITE_OK) return -1;
    Stmt ins(db, "INSERT OR IGNORE INTO params(name, value) VALUES(?1, ?2)");
    if (!ins.ok()) {
        exec(db, "ROLLBACK");
        return -1;
    }
    for (const auto &[name, value] : rows) {
        ins.bind(1, name);
        ins.bind(2, value);
        if (ins.step() != SQLITE_DONE) {
            exec(db, "ROLLBACK");
            return -1;
        }
        ins.reset();
    }
    return exec(db, "COMMIT") == SQLITE_OK ? 0 : -1;
}

bool quick_check_fails(sqlite3 *db) {
    Stmt st(db, "PRAGMA quick_check");
    if (!st.ok())
        return sqlite3_errcode(db) == SQLITE_NOTADB || sqlite3_errcode(db) == SQLITE_CORRUPT;
    int rc = st.step();
    if (rc != SQLITE_ROW) return rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT;
    return st.text(0) == nullptr || strcmp(st.text(0), "ok") != 0;
}

bool open_db(VkParameter *h, GError **error) {
    std::string path = vk_parameter_db_path();
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) file_mkdir_p(path.substr(0, slash));
    if (sqlite3_open_v2(path.c_str(), &h->db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        set_db_error(error, h->db, "open");
        return false;
    }
    sqlite3_busy_timeout(h->db, kBusyTimeoutMs);
    if (exec(h->db, "PRAGMA journal_mode=WAL") != SQLITE_OK ||
        exec(h->db, "PRAGMA synchronous=NORMAL") != SQLITE_OK ||
        exec(h->db,
             "CREATE TABLE IF NOT EXISTS params(name TEXT PRIMARY KEY, value TEXT NOT NULL);"
             "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value INTEGER NOT NULL);"
             "INSERT OR IGNORE INTO meta(key, value) VALUES('change_serial', 0);") != SQLITE_OK) {
        set_db_error(error, h->db, "schema");
        return false;
    }
    // A database cut short can still open and answer the schema statements; the check reads
    // every page.
    if (quick_check_fails(h->db)) {
        g_set_error(error, VK_PARAMETER_ERROR, VK_PARAMETER_ERROR_DAMAGED,
                    "check: database disk image is malformed");
        return false;
    }
    if (seed(h->db, h->group) != 0) {
        set_db_error(error, h->db, "seed");
        return false;
    }
    return true;
}

// "mevo" -> "root.mevo"; "root.Time" stays; "root" stays.
std::string full_group(const char *group) {
    std::string g = group ? group : "";
    while (!g.empty() && g.back() == '.') g.pop_back();
    if (g == "root" || g.rfind(kAppGroupPrefix, 0) == 0) return g;
    return std::string(kAppGroupPrefix) + g;
}

bool bump_serial(sqlite3 *db) {
    Stmt st(db, "UPDATE meta SET value = value + 1 WHERE key = ?1");
    if (!st.ok()) return false;
    st.bind(1, std::string_view(kSerialKey));
    return st.step() == SQLITE_DONE;
}

}  // namespace

VkParameter *vk_parameter_new(const char *app_name, GError **error) {
    if (!app_name || !*app_name || strchr(app_name, '.')) {
        g_set_error(error, VK_PARAMETER_ERROR, VK_PARAMETER_ERROR_INVALID,
                    "invalid application name");
        return nullptr;
    }
    auto *h = new VkParameter;
    h->group = std::string(kAppGroupPrefix) + app_name;
    if (!open_db(h, error)) {
        vk_parameter_free(h);
        return nullptr;
    }
    return h;
}

void vk_parameter_free(VkParameter *handle) {
    if (!handle) return;
    sqlite3_close(handle->db);
    delete handle;
}

char *vk_parameter_get(VkParameter *h, const char *name, GError **error) {
    if (!h || !name) {
        g_set_error(error, VK_PARAMETER_ERROR, VK_PARAMETER_ERROR_INVALID, "invalid argument");
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(h->mutex);
    Stmt st(h->db, "SELECT value FROM params WHERE name = ?1");
    if (!st.ok()) {
        set_db_error(error, h->db, "get");
        return nullptr;
    }
    st.bind(1, std::string_view(name));
    int rc = st.step();
    if (rc == SQLITE_ROW) return g_strdup(st.text(0) ? st.text(0) : "");
    if (rc == SQLITE_DONE) {
        g_set_error(error, VK_PARAMETER_ERROR, VK_PARAMETER_ERROR_NOT_FOUND,
                    "No such parameter: %s", name);
    } else {
        set_db_error(error, h->db, "get");
    }
    return nullptr;
}

namespace {

bool own_group_name(const VkParameter *h, const char *name) {
    return strncmp(name, h->group.c_str(), h->group.size()) == 0 && name[h->group.size()] == '.' &&
           name[h->group.size() + 1] != '\0';
}

// One write inside the caller's transaction. The application may add parameters to its own
// group; the camera's are fixed.
bool write_locked(VkParameter *h, const std::string &name, const std::string &value,
                  GError **error) {
    bool own_group = own_group_name(h, name.c_str());
    const char *sql = own_group ? "INSERT INTO params(name, value) VALUES(?1, ?2) "
                                  "ON CONFLICT(name) DO UPDATE SET value = excluded.value"
                                : "UPDATE params SET value = ?2 WHERE name = ?1";
    Stmt st(h->db, sql);
    bool ok = st.ok();
    if (ok) {
        st.bind(1, std::string_view(name));
        st.bind(2, std::string_view(value));
        ok = st.step() == SQLITE_DONE;
    }
    if (!ok) {
        set_db_error(error, h->db, "set");
        return false;
    }
    if (!own_group && sqlite3_changes(h->db) == 0) {
        g_set_error(error, VK_PARAMETER_ERROR, VK_PARAMETER_ERROR_NOT_FOUND,
                    "No such parameter: %s", name.c_str());
        return false;
    }
    return true;
}

// Writes `values` in one transaction; the callbacks to run afterwards go to `to_call`.
bool write_all_locked(VkParameter *h, const std::vector<VkParameterValue> &values, bool sync,
                      std::vector<std::pair<Callback, const VkParameterValue *>> &to_call,
                      GError **error) {
    if (exec(h->db, "BEGIN IMMEDIATE") != SQLITE_OK) {
        set_db_error(error, h->db, "set");
        return false;
    }
    for (const auto &v : values) {
        if (!write_locked(h, v.name, v.value, error)) {
            exec(h->db, "ROLLBACK");
            return false;
        }
    }
    if ((sync && !bump_serial(h->db)) || exec(h->db, "COMMIT") != SQLITE_OK) {
        set_db_error(error, h->db, "set");
        exec(h->db, "ROLLBACK");
        return false;
    }
    for (const auto &v : values)
        for (const auto &c : h->callbacks)
            if (c.name == v.name) to_call.emplace_back(c, &v);
    return true;
}

gboolean set_values(VkParameter *h, const std::vector<VkParameterValue> &values, gboolean sync,
                    GError **error) {
    std::vector<std::pair<Callback, const VkParameterValue *>> to_call;
    {
        std::lock_guard<std::mutex> lock(h->mutex);
        if (!write_all_locked(h, values, sync, to_call, error)) return FALSE;
    }
    // Outside the handle's lock, so a callback may use the handle.
    for (const auto &[c, v] : to_call) c.cb(v->name.c_str(), v->value.c_str(), c.user_data);
    return TRUE;
}

}  // namespace

gboolean vk_parameter_set(VkParameter *h, const char *name, const char *value, gboolean sync,
                          GError **error) {
    if (!h || !name || !value || !*name) {
        g_set_error(error, VK_PARAMETER_ERROR, VK_PARAMETER_ERROR_INVALID, "invalid argument");
        return FALSE;
    }
    return set_values(h, {{name, value}}, sync, error);
}

gboolean vk_parameter_set_many(VkParameter *h, const std::vector<VkParameterValue> &values,
                               gboolean sync, GError **error) {
    if (!h) {
        g_set_error(error, VK_PARAMETER_ERROR, VK_PARAMETER_ERROR_INVALID, "invalid argument");
        return FALSE;
    }
    for (const auto &v : values) {
        if (v.name.empty()) {
            g_set_error(error, VK_PARAMETER_ERROR, VK_PARAMETER_ERROR_INVALID, "empty name");
            return FALSE;
        }
    }
    return set_values(h, values, sync, error);
}

gboolean vk_parameter_remove(VkParameter *h, const char *name, GError **error) {
    if (!h || !name || !own_group_name(h, name)) {
        g_set_error(error, VK_PARAMETER_ERROR, VK_PARAMETER_ERROR_INVALID, "invalid argument");
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(h->mutex);
    Stmt st(h->db, "DELETE FROM params WHERE name = ?1");
    if (!st.ok()) {
        set_db_error(error, h->db, "remove");
        return FALSE;
    }
    st.bind(1, std::string_view(name));
    if (st.step() != SQLITE_DONE) {
        set_db_error(error, h->db, "remove");
        return FALSE;
    }
    return TRUE;
}

char **vk_parameter_list(VkParameter *h, const char *group, GError **error) {
    if (!h || !group) {
        g_set_error(error, VK_PARAMETER_ERROR, VK_PARAMETER_ERROR_INVALID, "invalid argument");
        return nullptr;
    }
    std::string prefix = full_group(group) + ".";
    std::lock_guard<std::mutex> lock(h->mutex);
    Stmt st(h->db, "SELECT name FROM params WHERE substr(name, 1, length(?1)) = ?1 ORDER BY name");
    if (!st.ok()) {
        set_db_error(error, h->db, "list");
        return nullptr;
    }
    st.bind(1, std::string_view(prefix));
    GPtrArray *names = g_ptr_array_new();
    int rc;
    while ((rc = st.step()) == SQLITE_ROW) g_ptr_array_add(names, g_strdup(st.text(0)));
    if (rc != SQLITE_DONE) {
        set_db_error(error, h->db, "list");
        g_ptr_array_free(names, TRUE);
        return nullptr;
    }
    if (names->len == 0) {
        g_ptr_array_free(names, TRUE);
        g_set_error(error, VK_PARAMETER_ERROR, VK_PARAMETER_ERROR_NOT_FOUND, "No such group: %s",
                    group);
        return nullptr;
    }
    g_ptr_array_add(names, nullptr);
    return reinterpret_cast<char **>(g_ptr_array_free(names, FALSE));
}

gboolean vk_parameter_register_callback(VkParameter *h, const char *name, VkParameterCallback cb,
                                        void *user_data, GError **error) {
    if (!h || !name || !cb) {
        g_set_error(error, VK_PARAMETER_ERROR, VK_PARAMETER_ERROR_INVALID, "invalid argument");
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(h->mutex);
    h->callbacks.push_back({name, cb, user_data});
    return TRUE;
}

gboolean vk_parameter_sync(VkParameter *h, GError **error) {
    if (!h) {
        g_set_error(error, VK_PARAMETER_ERROR, VK_PARAMETER_ERROR_INVALID, "invalid argument");
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(h->mutex);
    if (!bump_serial(h->db)) {
        set_db_error(error, h->db, "sync");
        return FALSE;
    }
    return TRUE;
}

int64_t vk_parameter_change_serial(VkParameter *h, GError **error) {
    if (!h) {
        g_set_error(error, VK_PARAMETER_ERROR, VK_PARAMETER_ERROR_INVALID, "invalid argument");
        return -1;
    }
    std::lock_guard<std::mutex> lock(h->mutex);
    Stmt st(h->db, "SELECT value FROM meta WHERE key = ?1");
    if (!st.ok()) {
        set_db_error(error, h->db, "serial");
        return -1;
    }
    st.bind(1, std::string_view(kSerialKey));
    if (st.step() != SQLITE_ROW) {
        set_db_error(error, h->db, "serial");
        return -1;
    }
    return st.int64(0);
}
