// Host stand-in for the camera's parameter service: an SQLite database in the root
// (mevo_path("/etc/mevo-params.db"), WAL mode), shared by the application and the setupctl
// tool, which may use it at the same time.
//
// Names are full service names ("root.mevo.Counter0Name", "root.Brand.ProdNbr"). The group
// root.mevo is seeded on first use from the package's param.conf.default, the camera's own
// parameters from the host camera profile (package/host/camera-profile.conf); existing values
// are never overwritten by seeding.
//
// A "synced" write (sync = TRUE, or vk_parameter_sync) increments a change serial kept in the
// database, so that another process can tell that parameters were changed for good.
//
// Errors are GErrors of domain VK_PARAMETER_ERROR. Every call is thread-safe (one connection
// per handle, guarded by the handle's mutex).
#pragma once

#include <glib.h>

#include <cstdint>
#include <string>
#include <vector>

#define VK_PARAMETER_ERROR (vk_parameter_error_quark())
GQuark vk_parameter_error_quark(void);

enum VkParameterError {
    VK_PARAMETER_ERROR_FAILED = 1,     // database failure
    VK_PARAMETER_ERROR_NOT_FOUND = 2,  // no such parameter or group
    VK_PARAMETER_ERROR_INVALID = 3,    // bad argument
    VK_PARAMETER_ERROR_DAMAGED = 4,    // the database file is not a database, or is corrupt
};

struct VkParameter;

// Called with the parameter's full name and new value after a set through this handle.
typedef void (*VkParameterCallback)(const char *name, const char *value, void *user_data);

// Opens (and on first use creates and seeds) the store for application `app_name`.
VkParameter *vk_parameter_new(const char *app_name, GError **error);
void vk_parameter_free(VkParameter *handle);

// Current value as a newly allocated text (g_free), or null with an error.
char *vk_parameter_get(VkParameter *handle, const char *name, GError **error);

// Stores `value`, creating the parameter when it is new. With sync the change serial grows.
gboolean vk_parameter_set(VkParameter *handle, const char *name, const char *value, gboolean sync,
                          GError **error);

// Full names of the parameters in `group` ("root.mevo" or "mevo", "root.Time", "root" for
// all), sorted; a null-terminated array (g_strfreev), or null with an error. An unknown
// group gives NOT_FOUND.
char **vk_parameter_list(VkParameter *handle, const char *group, GError **error);

// One name and value of vk_parameter_set_many.
struct VkParameterValue {
    std::string name;
    std::string value;
};

// Stores all `values` in one transaction: either every one is stored or none is (FALSE with
// an error naming the first that failed). With sync the change serial grows once.
gboolean vk_parameter_set_many(VkParameter *handle, const std::vector<VkParameterValue> &values,
                               gboolean sync, GError **error);

// Removes a parameter of the application's own group; TRUE also when it did not exist.
gboolean vk_parameter_remove(VkParameter *handle, const char *name, GError **error);

// Registers `cb` for changes of `name` made through this handle.
gboolean vk_parameter_register_callback(VkParameter *handle, const char *name,
                                        VkParameterCallback cb, void *user_data, GError **error);

// Marks everything written so far as a change (increments the change serial).
gboolean vk_parameter_sync(VkParameter *handle, GError **error);

// The change serial, or -1 with an error.
int64_t vk_parameter_change_serial(VkParameter *handle, GError **error);

// The database file in the root.
std::string vk_parameter_db_path(void);

// Moves a damaged database (and its WAL and shared-memory files) aside as
// "<db>.damaged-<epoch seconds>", so that the next vk_parameter_new builds a fresh one from
// the defaults and the camera profile. Returns the kept file's path, or "" when the move failed.
std::string vk_parameter_set_aside_damaged(void);
