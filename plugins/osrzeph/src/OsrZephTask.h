// The gRPC completion-queue thread of the engine.
#pragma once

#include <grpcpp/completion_queue.h>
#include <ostrin/apt_task.h>

#include <string>
#include <utility>
#include <vector>

#include "OsrZephStub.h"

namespace Zeph {

// One host task whose thread blocks on the engine's single gRPC completion queue and
// hands every completion on to the engine's event processor, so that all stream work
// runs on that processor's thread and never on this one.
//
// Completions are handed on in batches: after the first completion the loop takes every
// further one that is ready without waiting (up to kMaxBatch), and each processor gets the
// batch as one GrpcEventBatch post. A processor that is busy with the previous batch gets no
// new post, the new completions join the batch still waiting. The processor runs them in
// the order the queue returned them, so the completions of one call keep their order.
//
// Threads: Create(), Start(), Terminate(), Destroy() and destruction belong to the
// engine's event processor thread (the engine creates and removes the task there);
// Run() is the task's own thread. The completion queue may be used from any thread to
// start operations until Terminate() shuts it down.
class Task {
public:
    explicit Task(const std::string& name);
    ~Task();
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;

    // Creates the host task on pool; FALSE when the host gives none.
    bool Create(apr_pool_t* pool);
    // FALSE without a task.
    bool Start();
    // Shuts the queue down and waits for the thread to drain it and end; FALSE without a
    // task.
    bool Terminate();
    void Destroy();

    // The completion-queue loop, on the task's thread.
    void Run();

    const std::string& GetName() const { return m_name; }
    grpc::CompletionQueue* GetCompletionQueue() { return &m_completionQueue; }

private:
    // Most completions taken from the queue before they are handed on.
    static constexpr int kMaxBatch = 64;

    // The completions of one drain for one processor, and the event that carries them.
    struct Outbox {
        OstEdpf::AsyncEventProcessor* m_processor = nullptr;
        GrpcEventBatch* m_batch = nullptr;  // one reference held by the task
        std::vector<GrpcEvent> m_drained;
    };

    // Task thread: routes one completion to the outbox of its method's processor.
    void Take(void* tag, bool ok);
    // Task thread: posts every outbox that took completions.
    void HandOn();

    static apt_bool_t RunTask(apt_task_t* task);
    static apt_bool_t TerminateTask(apt_task_t* task);
    static apt_bool_t SignalTaskMsg(apt_task_t* task, apt_task_msg_t* msg);
    static void OnStartComplete(apt_task_t* task);
    static void OnTerminateComplete(apt_task_t* task);

    std::string m_name;
    apt_task_t* m_task = nullptr;
    grpc::CompletionQueue m_completionQueue;
    // Task thread only (and destruction): one per processor seen, normally the engine's.
    std::vector<Outbox> m_outboxes;
};

}  // namespace Zeph
