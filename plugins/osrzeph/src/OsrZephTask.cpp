#include "OsrZephTask.h"

#include <grpc/support/time.h>

#include "OsrZephLog.h"
#include "OsrZephStub.h"

namespace Zeph {

Task::Task(const std::string& name) : m_name(name) {}

Task::~Task() {
    // A batch still queued on its processor lives on until the processor has run or
    // released it, without the task.
    for (Outbox& outbox : m_outboxes) {
        outbox.m_batch->DetachTask();
        outbox.m_batch->Unref();
    }
}

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
    // The processor calls this and so handles nothing until the thread has ended.
    m_terminating.store(true);
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
    // Shutdown() lets every outstanding operation complete (ok = false) before the queue
    // reports SHUTDOWN, so no completion is lost.
    bool shutDown = false;
    while (!shutDown) {
        {
            std::lock_guard<std::mutex> lock(m_pollMutex);
            void* tag = nullptr;
            bool ok = false;
            grpc::CompletionQueue::NextStatus status =
                m_completionQueue.AsyncNext(&tag, &ok, gpr_inf_future(GPR_CLOCK_REALTIME));
            if (status == grpc::CompletionQueue::SHUTDOWN)
                break;
            if (status != grpc::CompletionQueue::GOT_EVENT)
                continue;
            Take(tag, ok);
            shutDown = TakeWithoutWaiting(1);
            HandOn(nullptr);
        }
        if (!m_terminating.load())
            AwaitHandOn();
    }
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Completion Queue Shutdown");
}

bool Task::TakeWithoutWaiting(int taken) {
    const gpr_timespec now = gpr_time_0(GPR_CLOCK_MONOTONIC);
    for (; taken < kMaxBatch; ++taken) {
        void* tag = nullptr;
        bool ok = false;
        grpc::CompletionQueue::NextStatus status = m_completionQueue.AsyncNext(&tag, &ok, now);
        if (status == grpc::CompletionQueue::SHUTDOWN)
            return true;
        if (status != grpc::CompletionQueue::GOT_EVENT)
            break;
        Take(tag, ok);
    }
    return false;
}

bool Task::TakeReady(GrpcEventBatch* batch) {
    // The task's thread polls: what completes now wakes it anyway.
    std::unique_lock<std::mutex> lock(m_pollMutex, std::try_to_lock);
    if (!lock.owns_lock())
        return false;
    TakeWithoutWaiting(0);
    bool taken = false;
    for (const Outbox& outbox : m_outboxes)
        taken = taken || (outbox.m_batch == batch && !outbox.m_drained.empty());
    HandOn(batch);
    return taken;
}

void Task::Take(void* tag, bool ok) {
    // Every operation is started with the address of one of its method's Tags.
    auto* operation = static_cast<Zeph::Tag*>(tag);
    MethodBase* method = operation ? operation->GetMethod() : nullptr;
    if (!method)
        return;
    OstEdpf::AsyncEventProcessor* processor = method->GetProcessor();
    auto outbox = m_outboxes.begin();
    while (outbox != m_outboxes.end() && outbox->m_processor != processor)
        ++outbox;
    if (outbox == m_outboxes.end()) {
        Outbox added;
        added.m_processor = processor;
        added.m_batch = new GrpcEventBatch(this, processor);
        added.m_batch->Ref();
        added.m_drained.reserve(kMaxBatch);
        m_outboxes.push_back(std::move(added));
        outbox = m_outboxes.end() - 1;
    }
    outbox->m_drained.push_back(method->TakeCompletion(operation, ok));
}

void Task::HandOn(const GrpcEventBatch* running) {
    if (!running)
        m_awaited.clear();
    for (Outbox& outbox : m_outboxes) {
        if (outbox.m_drained.empty())
            continue;
        if (!running)
            m_awaited.push_back(outbox.m_batch);
        outbox.m_batch->AppendAll(outbox.m_drained);
        // Refused (the processor has stopped): the completions are released unprocessed.
        if (outbox.m_batch != running)
            outbox.m_batch->Post(outbox.m_processor);
    }
}

void Task::AwaitHandOn() {
    for (GrpcEventBatch* batch : m_awaited) {
        if (!batch->WaitUntilHandled(kHandOnWait))
            return;
    }
}

void GrpcEventBatch::Process() {
    // What completed while these were handled is handled with them.
    do
        HandleWaiting();
    while (m_task && !m_processor->HasQueuedEvents() && m_task->TakeReady(this));
    NotifyHandled();
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
