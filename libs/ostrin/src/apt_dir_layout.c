/* The server's directory layout. */
#include "ostrin/apt_dir_layout.h"

#include <apr_file_info.h>
#include <apr_strings.h>

struct apt_dir_layout_t {
    const char* paths[APT_LAYOUT_DIR_COUNT]; /* null: not set */
};

static apt_bool_t label_valid(apt_dir_entry_id label) {
    return (int)label >= 0 && label < APT_LAYOUT_DIR_COUNT;
}

apt_dir_layout_t* apt_dir_layout_create(apr_pool_t* pool) {
    return pool ? apr_pcalloc(pool, sizeof(apt_dir_layout_t)) : NULL;
}

apt_dir_layout_t* apt_dir_layout_defaults_create(const char* root_dir, apr_pool_t* pool) {
    static const char* const sub_dirs[APT_LAYOUT_DIR_COUNT] = {"conf", "log", "plugin", "data",
                                                               "var"};
    apt_dir_layout_t* layout = apt_dir_layout_create(pool);
    if (!layout || !root_dir) {
        return layout;
    }
    for (int i = 0; i < APT_LAYOUT_DIR_COUNT; i++) {
        layout->paths[i] = apr_pstrcat(pool, root_dir, "/", sub_dirs[i], NULL);
    }
    return layout;
}

apt_bool_t apt_dir_layout_path_set(apt_dir_layout_t* layout, apt_dir_entry_id label,
                                   const char* path, apr_pool_t* pool) {
    if (!layout || !label_valid(label)) {
        return FALSE;
    }
    layout->paths[label] = (path && *path) ? apr_pstrdup(pool, path) : NULL;
    return TRUE;
}

char* apt_dir_layout_path_get(const apt_dir_layout_t* layout, apt_dir_entry_id label,
                              apr_pool_t* pool) {
    if (!layout || !label_valid(label) || !layout->paths[label]) {
        return NULL;
    }
    return apr_pstrdup(pool, layout->paths[label]);
}

char* apt_dir_layout_filepath_get(const apt_dir_layout_t* layout, apt_dir_entry_id label,
                                  const char* file_name, apr_pool_t* pool) {
    if (!layout || !label_valid(label) || !layout->paths[label] || !file_name || !*file_name) {
        return NULL;
    }
    char* path = NULL;
    /* An absolute name stays as it is; a relative one goes below the directory. */
    if (apr_filepath_merge(&path, layout->paths[label], file_name, 0, pool) != APR_SUCCESS) {
        return NULL;
    }
    return path;
}

char* apt_confdir_filepath_get(const apt_dir_layout_t* layout, const char* file_name,
                               apr_pool_t* pool) {
    return apt_dir_layout_filepath_get(layout, APT_LAYOUT_CONF_DIR, file_name, pool);
}

char* apt_vardir_filepath_get(const apt_dir_layout_t* layout, const char* file_name,
                              apr_pool_t* pool) {
    return apt_dir_layout_filepath_get(layout, APT_LAYOUT_VAR_DIR, file_name, pool);
}

char* apt_datadir_filepath_get(const apt_dir_layout_t* layout, const char* file_name,
                               apr_pool_t* pool) {
    return apt_dir_layout_filepath_get(layout, APT_LAYOUT_DATA_DIR, file_name, pool);
}
