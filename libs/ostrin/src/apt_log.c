/* Host log: one process-wide logger, one line per record, serialised by one mutex. */
#include "ostrin/apt_log.h"

#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>

#include <apr_strings.h>

#define APT_LOG_SOURCE_NAME_MAX 63
/* Messages up to this size are formatted on the stack; longer ones on the heap. */
#define APT_LOG_STACK_BUFFER 2048

struct apt_log_source_t {
    char name[APT_LOG_SOURCE_NAME_MAX + 1];
    apt_log_source_t* next;
};

struct apt_logger_t {
    int output_mask;
    apt_log_priority_e max_priority;
    FILE* file;
};

static const char* const priority_names[APT_PRIO_COUNT] = {
    "EMERGENCY", "ALERT", "CRITICAL", "ERROR", "WARNING", "NOTICE", "INFO", "DEBUG"};

/* Everything below is guarded by log_mutex. */
static pthread_mutex_t log_mutex = PTHREAD_MUTEX_INITIALIZER;
static apt_logger_t* current_logger;
/* Used while no logger exists: stderr, up to INFO. */
static apt_logger_t fallback_logger = {APT_LOG_OUTPUT_CONSOLE, APT_PRIO_INFO, NULL};
static apt_log_source_t builtin_source = {"OSTRIN", NULL};
static apt_log_source_t* default_source = &builtin_source;
/* Sources live until the process ends: callers keep the pointers in globals. */
static apt_log_source_t* source_list;
static apt_log_handler_f log_handler;
static void* log_handler_obj;

static apt_logger_t* active_logger(void) {
    return current_logger ? current_logger : &fallback_logger;
}

static void record_write(apt_logger_t* logger, const char* source_name, apt_log_priority_e priority,
                         const char* message) {
    struct timeval now;
    struct tm local;
    gettimeofday(&now, NULL);
    time_t seconds = now.tv_sec;
    localtime_r(&seconds, &local);
    char stamp[96]; /* room for any int the compiler cannot rule out */
    snprintf(stamp, sizeof(stamp), "%04d-%02d-%02d %02d:%02d:%02d.%06ld", local.tm_year + 1900,
             local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
             (long)now.tv_usec);
    if (logger->output_mask & APT_LOG_OUTPUT_CONSOLE) {
        fprintf(stderr, "%s [%s] [%s] %s\n", stamp, priority_names[priority], source_name, message);
    }
    if ((logger->output_mask & APT_LOG_OUTPUT_FILE) && logger->file) {
        fprintf(logger->file, "%s [%s] [%s] %s\n", stamp, priority_names[priority], source_name,
                message);
        fflush(logger->file);
    }
}

apt_bool_t apt_log(apt_log_source_t* source, const char* file, int line,
                   apt_log_priority_e priority, const char* format, ...) {
    if ((int)priority < 0 || priority >= APT_PRIO_COUNT || !format) {
        return FALSE;
    }
    pthread_mutex_lock(&log_mutex);
    apt_bool_t wanted = priority <= active_logger()->max_priority;
    if (!source) {
        source = default_source;
    }
    pthread_mutex_unlock(&log_mutex);
    if (!wanted) {
        return FALSE;
    }

    char stack_buffer[APT_LOG_STACK_BUFFER];
    char* message = stack_buffer;
    va_list args;
    va_start(args, format);
    int length = vsnprintf(stack_buffer, sizeof(stack_buffer), format, args);
    va_end(args);
    if (length < 0) {
        return FALSE;
    }
    if ((size_t)length >= sizeof(stack_buffer)) {
        message = malloc((size_t)length + 1);
        if (!message) {
            return FALSE;
        }
        va_start(args, format);
        vsnprintf(message, (size_t)length + 1, format, args);
        va_end(args);
    }

    pthread_mutex_lock(&log_mutex);
    record_write(active_logger(), source->name, priority, message);
    if (log_handler) {
        log_handler(log_handler_obj, file, line, source, priority, message);
    }
    pthread_mutex_unlock(&log_mutex);

    if (message != stack_buffer) {
        free(message);
    }
    return TRUE;
}

apt_bool_t apt_log_source_assign(const char* name, apt_log_source_t** source) {
    if (!name || !*name || !source || strlen(name) > APT_LOG_SOURCE_NAME_MAX) {
        return FALSE;
    }
    pthread_mutex_lock(&log_mutex);
    apt_log_source_t* found = strcmp(name, builtin_source.name) == 0 ? &builtin_source : NULL;
    for (apt_log_source_t* it = source_list; it && !found; it = it->next) {
        if (strcmp(it->name, name) == 0) {
            found = it;
        }
    }
    if (!found) {
        found = calloc(1, sizeof(*found));
        if (found) {
            strcpy(found->name, name);
            found->next = source_list;
            source_list = found;
        }
    }
    pthread_mutex_unlock(&log_mutex);
    *source = found;
    return found != NULL;
}

const char* apt_log_source_name_get(const apt_log_source_t* source) {
    return source ? source->name : "";
}

void apt_def_log_source_set(apt_log_source_t* source) {
    pthread_mutex_lock(&log_mutex);
    default_source = source ? source : &builtin_source;
    pthread_mutex_unlock(&log_mutex);
}

apt_log_source_t* apt_def_log_source_get(void) {
    pthread_mutex_lock(&log_mutex);
    apt_log_source_t* source = default_source;
    pthread_mutex_unlock(&log_mutex);
    return source;
}

apt_bool_t apt_log_instance_set(apt_logger_t* logger) {
    if (!logger) {
        return FALSE;
    }
    pthread_mutex_lock(&log_mutex);
    current_logger = logger;
    pthread_mutex_unlock(&log_mutex);
    return TRUE;
}

apt_logger_t* apt_log_instance_get(void) {
    pthread_mutex_lock(&log_mutex);
    apt_logger_t* logger = current_logger;
    pthread_mutex_unlock(&log_mutex);
    return logger;
}

apt_log_priority_e apt_log_priority_translate(const char* str) {
    for (int i = 0; str && i < APT_PRIO_COUNT; i++) {
        if (strcmp(str, priority_names[i]) == 0) {
            return (apt_log_priority_e)i;
        }
    }
    return APT_PRIO_DEBUG;
}

const char* apt_log_priority_name_get(apt_log_priority_e priority) {
    return ((int)priority >= 0 && priority < APT_PRIO_COUNT) ? priority_names[priority] : "UNKNOWN";
}

apt_logger_t* apt_log_instance_create(int output_mask, apt_log_priority_e max_priority,
                                      apr_pool_t* pool) {
    pthread_mutex_lock(&log_mutex);
    apt_logger_t* logger = NULL;
    if (!current_logger && pool) {
        logger = apr_pcalloc(pool, sizeof(*logger));
        logger->output_mask = output_mask;
        logger->max_priority = max_priority;
        current_logger = logger;
    }
    pthread_mutex_unlock(&log_mutex);
    return logger;
}

static void file_close_locked(apt_logger_t* logger) {
    if (logger && logger->file) {
        fclose(logger->file);
        logger->file = NULL;
    }
}

apt_bool_t apt_log_instance_destroy(void) {
    pthread_mutex_lock(&log_mutex);
    apt_bool_t existed = current_logger != NULL;
    file_close_locked(current_logger);
    current_logger = NULL;
    pthread_mutex_unlock(&log_mutex);
    return existed;
}

apt_bool_t apt_log_file_open(const char* dir_path, const char* file_name, apr_pool_t* pool) {
    if (!dir_path || !file_name || !pool) {
        return FALSE;
    }
    const char* path = apr_pstrcat(pool, dir_path, "/", file_name, NULL);
    FILE* file = fopen(path, "a");
    if (!file) {
        return FALSE;
    }
    pthread_mutex_lock(&log_mutex);
    apt_bool_t ok = current_logger != NULL;
    if (ok) {
        file_close_locked(current_logger);
        current_logger->file = file;
    }
    pthread_mutex_unlock(&log_mutex);
    if (!ok) {
        fclose(file);
    }
    return ok;
}

apt_bool_t apt_log_file_close(void) {
    pthread_mutex_lock(&log_mutex);
    apt_bool_t had_file = current_logger && current_logger->file;
    file_close_locked(current_logger);
    pthread_mutex_unlock(&log_mutex);
    return had_file;
}

void apt_log_priority_set(apt_log_priority_e max_priority) {
    pthread_mutex_lock(&log_mutex);
    active_logger()->max_priority = max_priority;
    pthread_mutex_unlock(&log_mutex);
}

apt_log_priority_e apt_log_priority_get(void) {
    pthread_mutex_lock(&log_mutex);
    apt_log_priority_e priority = active_logger()->max_priority;
    pthread_mutex_unlock(&log_mutex);
    return priority;
}

void apt_log_output_mode_set(int output_mask) {
    pthread_mutex_lock(&log_mutex);
    active_logger()->output_mask = output_mask;
    pthread_mutex_unlock(&log_mutex);
}

void apt_log_handler_set(apt_log_handler_f handler, void* obj) {
    pthread_mutex_lock(&log_mutex);
    log_handler = handler;
    log_handler_obj = obj;
    pthread_mutex_unlock(&log_mutex);
}
