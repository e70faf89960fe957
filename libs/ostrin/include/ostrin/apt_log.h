/*
 * Ostrin host interface: logging.
 *
 * Every record goes through apt_log(). The host owns one process-wide logger (created with
 * apt_log_instance_create by the host runtime, handed to plugins through
 * apt_log_instance_set). Each record is written as one line
 *
 *     2024-05-01 12:34:56.123456 [NOTICE] [SOURCE] message
 *
 * with the local time, the priority name, the log source's name and the formatted message,
 * to stderr and/or to a file in the log directory. Records whose priority is numerically
 * above the logger's maximum priority are dropped before they are formatted.
 *
 * Threads: every function here may be called from any thread. Writing a record is
 * serialised by the logger's mutex, so lines never interleave. apt_log_instance_create,
 * apt_log_instance_destroy, apt_log_file_open and apt_log_file_close are for the host
 * runtime at start-up and shutdown, while no other thread logs.
 *
 * Memory: log sources are allocated once per name and live until the process ends; a
 * pointer obtained from apt_log_source_assign stays valid for the life of the process.
 * Without a logger instance, records go to stderr with maximum priority INFO.
 */
#ifndef OSTRIN_APT_LOG_H
#define OSTRIN_APT_LOG_H

#include <ostrin/apt.h>

APT_BEGIN_EXTERN_C

/** Log priorities, most severe first. The numbers are fixed (0 to 7). */
typedef enum {
    APT_PRIO_EMERGENCY = 0,
    APT_PRIO_ALERT,
    APT_PRIO_CRITICAL,
    APT_PRIO_ERROR,
    APT_PRIO_WARNING,
    APT_PRIO_NOTICE,
    APT_PRIO_INFO,
    APT_PRIO_DEBUG,
    APT_PRIO_COUNT
} apt_log_priority_e;

/** Where the host logger writes (a bit set). */
typedef enum {
    APT_LOG_OUTPUT_NONE = 0x0,
    APT_LOG_OUTPUT_CONSOLE = 0x1, /**< stderr */
    APT_LOG_OUTPUT_FILE = 0x2     /**< the file opened by apt_log_file_open */
} apt_log_output_e;

/** A named source of log records (opaque; names are at most 63 characters). */
typedef struct apt_log_source_t apt_log_source_t;
/** The host logger (opaque). */
typedef struct apt_logger_t apt_logger_t;

/** Source file and line of the caller, for the second and third arguments of apt_log. */
#define APT_LOG_MARK __FILE__, __LINE__
/** The host's default log source. */
#define APT_LOG_SOURCE_DEFAULT apt_def_log_source_get()

/**
 * Writes one record. source may be null (the default source is used). Returns FALSE when
 * the record was filtered out or could not be written.
 */
APT_DECLARE(apt_bool_t)
apt_log(apt_log_source_t* source, const char* file, int line, apt_log_priority_e priority,
        const char* format, ...) __attribute__((format(printf, 5, 6)));

/** Finds or creates the source named name; the same name always gives the same source. */
APT_DECLARE(apt_bool_t) apt_log_source_assign(const char* name, apt_log_source_t** source);
/** Name of a source ("" for null). */
APT_DECLARE(const char*) apt_log_source_name_get(const apt_log_source_t* source);
/** Sets the default source; null restores the built-in one, named "OSTRIN". */
APT_DECLARE(void) apt_def_log_source_set(apt_log_source_t* source);
/** The default source; never null. */
APT_DECLARE(apt_log_source_t*) apt_def_log_source_get(void);

/**
 * Makes logger the process's logger. The host hands its logger to a plugin with this
 * (the plugin's mrcp_plugin_logger_set). The logger stays owned by the host.
 */
APT_DECLARE(apt_bool_t) apt_log_instance_set(apt_logger_t* logger);
/** The process's logger, or null when none was created. */
APT_DECLARE(apt_logger_t*) apt_log_instance_get(void);

/** "EMERGENCY", "ALERT", "CRITICAL", "ERROR", "WARNING", "NOTICE", "INFO", "DEBUG" (exact
 * case) to 0 to 7; any other text gives APT_PRIO_DEBUG. */
APT_DECLARE(apt_log_priority_e) apt_log_priority_translate(const char* str);
/** The name of a priority, or "UNKNOWN". */
APT_DECLARE(const char*) apt_log_priority_name_get(apt_log_priority_e priority);

/* ---- Host side: creation and configuration of the logger ---- */

/**
 * Creates the process's logger with an output bit set (apt_log_output_e) and a maximum
 * priority, and makes it current. The logger lives in pool; destroy it before the pool.
 * Returns null when a logger already exists.
 */
APT_DECLARE(apt_logger_t*)
apt_log_instance_create(int output_mask, apt_log_priority_e max_priority, apr_pool_t* pool);
/** Closes the log file and forgets the logger (records then go to stderr again). */
APT_DECLARE(apt_bool_t) apt_log_instance_destroy(void);
/** Opens (appends to) dir_path/file_name as the log file; FALSE if it cannot be opened. */
APT_DECLARE(apt_bool_t)
apt_log_file_open(const char* dir_path, const char* file_name, apr_pool_t* pool);
APT_DECLARE(apt_bool_t) apt_log_file_close(void);
/** Maximum priority written; records with a greater number are dropped. */
APT_DECLARE(void) apt_log_priority_set(apt_log_priority_e max_priority);
APT_DECLARE(apt_log_priority_e) apt_log_priority_get(void);
APT_DECLARE(void) apt_log_output_mode_set(int output_mask);

/**
 * Optional observer called for every record that passes the priority filter, after it was
 * written, with the formatted message (no timestamp, no newline). Called on the logging
 * thread while the logger's mutex is held: it must not call apt_log. Null removes it.
 * Tests use this to check what was logged.
 */
typedef void (*apt_log_handler_f)(void* obj, const char* file, int line,
                                  const apt_log_source_t* source, apt_log_priority_e priority,
                                  const char* message);
APT_DECLARE(void) apt_log_handler_set(apt_log_handler_f handler, void* obj);

APT_END_EXTERN_C

#endif /* OSTRIN_APT_LOG_H */
