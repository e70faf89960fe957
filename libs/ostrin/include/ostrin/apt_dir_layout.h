/*
 * Ostrin host interface: the server's directory layout.
 *
 * Five directories, each optional: configuration, log, plugin, data and var (the var
 * directory holds run-time state such as the "status" folder). A path that is not set
 * makes every look-up under it return null.
 *
 * Memory: paths are copied into the pool given to apt_dir_layout_path_set; results of the
 * look-ups come from the pool passed to them. Threads: set the layout up before other
 * threads use it; afterwards it is read-only and may be read from any thread.
 */
#ifndef OSTRIN_APT_DIR_LAYOUT_H
#define OSTRIN_APT_DIR_LAYOUT_H

#include <ostrin/apt.h>

APT_BEGIN_EXTERN_C

typedef enum {
    APT_LAYOUT_CONF_DIR = 0,
    APT_LAYOUT_LOG_DIR = 1,
    APT_LAYOUT_PLUGIN_DIR = 2,
    APT_LAYOUT_DATA_DIR = 3,
    APT_LAYOUT_VAR_DIR = 4,
    APT_LAYOUT_DIR_COUNT
} apt_dir_entry_id;

typedef struct apt_dir_layout_t apt_dir_layout_t;

/** A layout with no directory set. */
APT_DECLARE(apt_dir_layout_t*) apt_dir_layout_create(apr_pool_t* pool);
/** A layout with root_dir/conf, /log, /plugin, /data and /var. */
APT_DECLARE(apt_dir_layout_t*)
apt_dir_layout_defaults_create(const char* root_dir, apr_pool_t* pool);
/** Sets (path non-null) or clears (null) one directory; FALSE for a bad label. */
APT_DECLARE(apt_bool_t)
apt_dir_layout_path_set(apt_dir_layout_t* layout, apt_dir_entry_id label, const char* path,
                        apr_pool_t* pool);
/** The directory's path, copied into pool, or null. */
APT_DECLARE(char*)
apt_dir_layout_path_get(const apt_dir_layout_t* layout, apt_dir_entry_id label, apr_pool_t* pool);
/** dir/file_name for one directory, or null when it is not set or the name is empty. */
APT_DECLARE(char*)
apt_dir_layout_filepath_get(const apt_dir_layout_t* layout, apt_dir_entry_id label,
                            const char* file_name, apr_pool_t* pool);
APT_DECLARE(char*)
apt_confdir_filepath_get(const apt_dir_layout_t* layout, const char* file_name, apr_pool_t* pool);
APT_DECLARE(char*)
apt_vardir_filepath_get(const apt_dir_layout_t* layout, const char* file_name, apr_pool_t* pool);
APT_DECLARE(char*)
apt_datadir_filepath_get(const apt_dir_layout_t* layout, const char* file_name, apr_pool_t* pool);

APT_END_EXTERN_C

#endif /* OSTRIN_APT_DIR_LAYOUT_H */
