// The gRPC completion-queue thread of the engine.
#pragma once

#include <grpcpp/completion_queue.h>
#include <ostrin/apt_task.h>

#include <string>

namespace Zeph {

// One host task whose thread blocks on the engine's single gRPC completion queue and
// hands every completion on to the engine's event processor, so that all stream work
// runs on that processor's thread and never on this one.
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
    static apt_bool_t RunTask(apt_task_t* task);
    static apt_bool_t TerminateTask(apt_task_t* task);
    static apt_bool_t SignalTaskMsg(apt_task_t* task, apt_task_msg_t* msg);
    static void OnStartComplete(apt_task_t* task);
    static void OnTerminateComplete(apt_task_t* task);

    std::string m_name;
    apt_task_t* m_task = nullptr;
    grpc::CompletionQueue m_completionQueue;
};

}  // namespace Zeph
