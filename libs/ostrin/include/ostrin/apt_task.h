/*
 * Ostrin host interface: tasks, a thread with a table of handlers.
 *
 * apt_task_start starts the task's thread. On that thread the task calls, in order:
 * on_start_complete, run (when set; otherwise it waits until terminated), and
 * on_terminate_complete when run has returned.
 *
 * apt_task_terminate(task, wait) calls the terminate handler on the caller's thread (it
 * must make run return), then with wait joins the task's thread. Without a run handler the
 * task's own wait ends. apt_task_msg_signal calls the signal_msg handler on the caller's
 * thread; a task with a queue of its own posts the message there.
 *
 * Threads: create, vtable_get, start, terminate and destroy belong to the thread that owns
 * the task; the handlers run as described above. Set the handlers (through
 * apt_task_vtable_get) before apt_task_start.
 *
 * Memory: the task and its thread live in the pool given to apt_task_create;
 * apt_task_destroy terminates (waiting) a task still running. The pool must outlive the
 * task.
 */
#ifndef OSTRIN_APT_TASK_H
#define OSTRIN_APT_TASK_H

#include <ostrin/apt.h>

APT_BEGIN_EXTERN_C

typedef struct apt_task_t apt_task_t;

/** A message for a task; its meaning belongs to the task. */
typedef struct apt_task_msg_t {
    int type;
    int sub_type;
    void* data;
} apt_task_msg_t;

/** Handlers of a task; any may be null. */
typedef struct apt_task_vtable_t {
    /** The task's work, on the task's thread. */
    apt_bool_t (*run)(apt_task_t* task);
    /** Asks run to return; on the thread calling apt_task_terminate. */
    apt_bool_t (*terminate)(apt_task_t* task);
    /** A message for the task; on the thread calling apt_task_msg_signal. */
    apt_bool_t (*signal_msg)(apt_task_t* task, apt_task_msg_t* msg);
    /** On the task's thread, before run. */
    void (*on_start_complete)(apt_task_t* task);
    /** On the task's thread, after run returned. */
    void (*on_terminate_complete)(apt_task_t* task);
} apt_task_vtable_t;

/** Creates a task for obj; vtable may be null (an empty table is used). Null on failure. */
APT_DECLARE(apt_task_t*)
apt_task_create(void* obj, const apt_task_vtable_t* vtable, apr_pool_t* pool);
/** The task's own handler table, to be filled before apt_task_start. */
APT_DECLARE(apt_task_vtable_t*) apt_task_vtable_get(apt_task_t* task);
/** Starts the thread; FALSE when already started or the thread cannot be created. */
APT_DECLARE(apt_bool_t) apt_task_start(apt_task_t* task);
/** See above; FALSE when the task is not running. */
APT_DECLARE(apt_bool_t) apt_task_terminate(apt_task_t* task, apt_bool_t wait);
/** Waits for the task's thread to end; FALSE when it was never started. */
APT_DECLARE(apt_bool_t) apt_task_wait_till_complete(apt_task_t* task);
/** Terminates a running task (waiting) and releases its thread. */
APT_DECLARE(apt_bool_t) apt_task_destroy(apt_task_t* task);
APT_DECLARE(void*) apt_task_object_get(const apt_task_t* task);
APT_DECLARE(apr_pool_t*) apt_task_pool_get(const apt_task_t* task);
/** A name for log lines (copied into the task's pool). */
APT_DECLARE(void) apt_task_name_set(apt_task_t* task, const char* name);
APT_DECLARE(const char*) apt_task_name_get(const apt_task_t* task);
/** Calls the signal_msg handler; FALSE without one. */
APT_DECLARE(apt_bool_t) apt_task_msg_signal(apt_task_t* task, apt_task_msg_t* msg);

APT_END_EXTERN_C

#endif /* OSTRIN_APT_TASK_H */
