// The gRPC completion-queue thread of the engine.
#pragma once

#include <grpcpp/completion_queue.h>
#include <ostedpf/OstEdpfBatchEvent.h>
#include <ostrin/apt_task.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "OsrZephStub.h"

namespace Zeph {

class Task;

// The completions carried to one processor by one post (see OstEdpf::BatchEvent), processed
// in the order they were taken from the queue. Having processed them, a processor with no
// other event waiting takes what else the queue holds ready before it lets the task's thread
// poll again (see Task); with events waiting it leaves the completions behind them, as they
// were posted first.
//
// Threads: Process() on the processor's thread; DetachTask() by the task's destructor, which
// runs on that thread or after it has stopped.
class GrpcEventBatch : public OstEdpf::BatchEvent<GrpcEvent> {
public:
    GrpcEventBatch(Task* task, OstEdpf::AsyncEventProcessor* processor)
        : m_task(task), m_processor(processor) {}
    void DetachTask() { m_task = nullptr; }
    void Process() override;

protected:
    void Handle(GrpcEvent& completion) override { completion.Process(); }

private:
    Task* m_task;
    OstEdpf::AsyncEventProcessor* m_processor;
};

// One host task whose thread blocks on the engine's single gRPC completion queue and
// hands every completion on to the engine's event processor, so that all stream work
// runs on that processor's thread and never on this one.
//
// Hand-off in batches. After a completion the loop takes every further one that is ready
// without waiting (up to kMaxBatch); each processor gets them as one GrpcEventBatch post,
// which wakes it at most once (a batch still queued takes the new completions in). The loop
// then waits, at most kHandOnWait, until the processor has handled the batch, and meanwhile
// does not poll: the writes the processor starts (a tick's audio goes out in one burst)
// complete into the queue without waking this thread, and the processor takes them itself
// once it has handled the batch (TakeReady). Only one thread polls at a time (m_pollMutex, held
// from a poll until what it returned is appended to its batch), and completions are appended in the
// order the queue returns them, so a processor handles them in that order.
//
// Threads: Create(), Start(), Terminate(), Destroy() and destruction belong to the
// engine's event processor thread (the engine creates and removes the task there), or to
// its owner once that processor has stopped; Run() is the task's own thread; TakeReady()
// the processors' threads. The completion queue may be used from any thread to start
// operations until Terminate() shuts it down.
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

    // A processor's thread, having handled `batch`: appends the completions that are ready
    // to their batches (`batch` itself is not posted again); TRUE when `batch` took any.
    // Takes nothing while the task's thread polls.
    bool TakeReady(GrpcEventBatch* batch);

    const std::string& GetName() const { return m_name; }
    grpc::CompletionQueue* GetCompletionQueue() { return &m_completionQueue; }

private:
    // Most completions taken from the queue in one pass.
    static constexpr int kMaxBatch = 64;
    // Longest wait for a processor to handle a batch before the queue is polled again.
    static constexpr std::chrono::milliseconds kHandOnWait{5};

    // The completions of one pass for one processor, and the event that carries them.
    struct Outbox {
        OstEdpf::AsyncEventProcessor* m_processor = nullptr;
        GrpcEventBatch* m_batch = nullptr;  // one reference held by the task
        std::vector<GrpcEvent> m_drained;
    };

    // m_pollMutex held: takes what is ready without waiting, until `taken` (those already
    // taken in this pass) reaches kMaxBatch; TRUE when the queue has shut down.
    bool TakeWithoutWaiting(int taken);
    // m_pollMutex held: routes one completion to the outbox of its method's processor.
    void Take(void* tag, bool ok);
    // m_pollMutex held: appends every outbox's completions to its batch and posts the batch,
    // but for `running` (the batch being processed).
    void HandOn(const GrpcEventBatch* running);
    // Task thread: waits (at most kHandOnWait) until the batches in m_awaited are handled.
    void AwaitHandOn();

    static apt_bool_t RunTask(apt_task_t* task);
    static apt_bool_t TerminateTask(apt_task_t* task);
    static apt_bool_t SignalTaskMsg(apt_task_t* task, apt_task_msg_t* msg);
    static void OnStartComplete(apt_task_t* task);
    static void OnTerminateComplete(apt_task_t* task);

    std::string m_name;
    apt_task_t* m_task = nullptr;
    grpc::CompletionQueue m_completionQueue;
    // Whoever polls the queue or routes what it returned holds it.
    std::mutex m_pollMutex;
    // Guarded by m_pollMutex: one per processor seen, normally the engine's.
    std::vector<Outbox> m_outboxes;
    std::atomic<bool> m_terminating{false};
    // Task thread: the batches the last pass appended to.
    std::vector<GrpcEventBatch*> m_awaited;
};

}  // namespace Zeph
