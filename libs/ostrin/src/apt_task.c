/* Tasks: one APR thread running a table of handlers. */
#include "ostrin/apt_task.h"

#include <apr_strings.h>
#include <apr_thread_cond.h>
#include <apr_thread_mutex.h>
#include <apr_thread_proc.h>

struct apt_task_t {
    void* obj;
    apt_task_vtable_t vtable;
    apr_pool_t* pool;
    const char* name;
    /* Owner thread only. */
    apr_thread_t* thread;
    apt_bool_t started;
    apt_bool_t joined;
    /* Guarded by mutex: ends the built-in wait of a task without a run handler. */
    apr_thread_mutex_t* mutex;
    apr_thread_cond_t* cond;
    apt_bool_t terminate_requested;
};

static void* APR_THREAD_FUNC task_main(apr_thread_t* thread, void* data) {
    apt_task_t* task = data;
    if (task->vtable.on_start_complete) {
        task->vtable.on_start_complete(task);
    }
    if (task->vtable.run) {
        task->vtable.run(task);
    } else {
        apr_thread_mutex_lock(task->mutex);
        while (!task->terminate_requested) {
            apr_thread_cond_wait(task->cond, task->mutex);
        }
        apr_thread_mutex_unlock(task->mutex);
    }
    if (task->vtable.on_terminate_complete) {
        task->vtable.on_terminate_complete(task);
    }
    apr_thread_exit(thread, APR_SUCCESS);
    return NULL;
}

apt_task_t* apt_task_create(void* obj, const apt_task_vtable_t* vtable, apr_pool_t* pool) {
    if (!pool) {
        return NULL;
    }
    apt_task_t* task = apr_pcalloc(pool, sizeof(*task));
    task->obj = obj;
    task->pool = pool;
    task->name = "Task";
    if (vtable) {
        task->vtable = *vtable;
    }
    if (apr_thread_mutex_create(&task->mutex, APR_THREAD_MUTEX_DEFAULT, pool) != APR_SUCCESS ||
        apr_thread_cond_create(&task->cond, pool) != APR_SUCCESS) {
        return NULL;
    }
    return task;
}

apt_task_vtable_t* apt_task_vtable_get(apt_task_t* task) {
    return task ? &task->vtable : NULL;
}

apt_bool_t apt_task_start(apt_task_t* task) {
    if (!task || task->started) {
        return FALSE;
    }
    task->terminate_requested = FALSE;
    if (apr_thread_create(&task->thread, NULL, task_main, task, task->pool) != APR_SUCCESS) {
        return FALSE;
    }
    task->started = TRUE;
    task->joined = FALSE;
    return TRUE;
}

apt_bool_t apt_task_wait_till_complete(apt_task_t* task) {
    if (!task || !task->started) {
        return FALSE;
    }
    if (!task->joined) {
        apr_status_t thread_status;
        apr_thread_join(&thread_status, task->thread);
        task->joined = TRUE;
    }
    return TRUE;
}

apt_bool_t apt_task_terminate(apt_task_t* task, apt_bool_t wait) {
    if (!task || !task->started || task->joined) {
        return FALSE;
    }
    apr_thread_mutex_lock(task->mutex);
    task->terminate_requested = TRUE;
    apr_thread_cond_signal(task->cond);
    apr_thread_mutex_unlock(task->mutex);
    if (task->vtable.terminate) {
        task->vtable.terminate(task);
    }
    if (wait) {
        apt_task_wait_till_complete(task);
    }
    return TRUE;
}

apt_bool_t apt_task_destroy(apt_task_t* task) {
    if (!task) {
        return FALSE;
    }
    if (task->started && !task->joined) {
        apt_task_terminate(task, TRUE);
    }
    if (task->cond) {
        apr_thread_cond_destroy(task->cond);
        task->cond = NULL;
    }
    if (task->mutex) {
        apr_thread_mutex_destroy(task->mutex);
        task->mutex = NULL;
    }
    return TRUE;
}

void* apt_task_object_get(const apt_task_t* task) {
    return task ? task->obj : NULL;
}

apr_pool_t* apt_task_pool_get(const apt_task_t* task) {
    return task ? task->pool : NULL;
}

void apt_task_name_set(apt_task_t* task, const char* name) {
    if (task && name) {
        task->name = apr_pstrdup(task->pool, name);
    }
}

const char* apt_task_name_get(const apt_task_t* task) {
    return task ? task->name : NULL;
}

apt_bool_t apt_task_msg_signal(apt_task_t* task, apt_task_msg_t* msg) {
    if (!task || !task->vtable.signal_msg) {
        return FALSE;
    }
    return task->vtable.signal_msg(task, msg);
}
