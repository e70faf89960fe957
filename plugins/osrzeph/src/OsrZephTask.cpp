#include "OsrZephTask.h"

#include <grpc/support/time.h>

#include "OsrZephLog.h"
#include "OsrZephStub.h"

namespace Zeph {

Task::Task(const std::string& name) : m_name(name) {}

Task::~Task() = default;

bool Task::Create(apr_pool_t* pool) {
    m_task = apt_task_create(this, nullptr, pool);
    if (!m_task)
        return false;
    apt_task_name_set(m_task, m_name.c_str());
    apt_task_vtable_t* vtable = apt_task_vtable_get(m_task);
    vtable->run = RunTask;
    // The thread ends only when the loop sees the queue shut down (Terminate()).
    vtable->terminate = TerminateTask;
    vtable->signal_msg = SignalTaskMsg;
    vtable->on_start_complete = OnStartComplete;
    vtable->on_terminate_complete = OnTerminateComplete;
    return true;
}

bool Task::Start() {
    if (!m_task)
        return false;
    return apt_task_start(m_task) == TRUE;
}

bool Task::Terminate() {
    if (!m_task)
        return false;
    m_completionQueue.Shutdown();
    apt_task_terminate(m_task, TRUE);
    return true;
}

void Task::Destroy() {
    if (!m_task)
        return;
    apt_task_destroy(m_task);
    m_task = nullptr;
}

void Task::Run() {
    void* tag = nullptr;
    bool ok = false;
    // Shutdown() lets every outstanding operation complete (ok = false) before the queue
    // reports SHUTDOWN, so no completion is lost.
    while (m_completionQueue.AsyncNext(&tag, &ok, gpr_inf_future(GPR_CLOCK_REALTIME)) !=
           grpc::CompletionQueue::SHUTDOWN) {
        // Every operation is started with the address of one of its method's Tags.
        auto* operation = static_cast<Zeph::Tag*>(tag);
        MethodBase* method = operation ? operation->GetMethod() : nullptr;
        if (method)
            method->SignalGrpcEvent(operation, ok);
    }
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Completion Queue Shutdown");
}

apt_bool_t Task::RunTask(apt_task_t* task) {
    static_cast<Task*>(apt_task_object_get(task))->Run();
    return TRUE;
}

apt_bool_t Task::TerminateTask(apt_task_t* /*task*/) {
    return TRUE;
}

apt_bool_t Task::SignalTaskMsg(apt_task_t* /*task*/, apt_task_msg_t* /*msg*/) {
    return TRUE;
}

void Task::OnStartComplete(apt_task_t* /*task*/) {}

void Task::OnTerminateComplete(apt_task_t* /*task*/) {}

}  // namespace Zeph
