// The method framework shared by every Dialogflow API flavour: completion-queue tags, the
// event that carries one completion to the engine's event processor, the abstract session
// stub and the abstract method object of one recognition.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include <ostedpf/OstEdpfAsyncEvent.h>

#include "OsrZephDataChunk.h"

namespace Zeph {

class Channel;
class MethodBase;

// One kind of stream operation of a method. The completion-queue tag of an operation is
// the address of its Tag, so the completion-queue loop finds the method from the tag alone.
// At most one operation of each kind is in flight; `m_pending` is the proof of it.
//
// Threads: m_pending and m_hold are written on the event processor thread before the
// operation starts (BeginOperation); once the operation is started only the completion-queue
// thread touches m_hold (TakeCompletion moves it into the completion), and the event processor
// clears m_pending when it processes the completion. m_name and m_method never change.
struct Tag {
    Tag(const char* name, MethodBase* method) : m_name(name), m_method(method) {}
    Tag(const Tag&) = delete;
    Tag& operator=(const Tag&) = delete;

    // Completion-queue thread: the owning method, after acquiring what the event
    // processor released when it started the operation (see BeginOperation).
    MethodBase* GetMethod() const;

    bool m_pending = false;
    // For log lines only.
    const std::string m_name;
    // The owning method: where the completion-queue loop routes the completion.
    MethodBase* const m_method;
    // Keeps the method alive while the operation is in flight (see MethodBase).
    std::shared_ptr<MethodBase> m_hold;
};

// One completion (tag, ok) on its way from the completion-queue thread to the engine's event
// processor, one item of a GrpcEventBatch (OsrZephTask.h). Holds the method, so the method outlives
// the processing of its last completion; a completion dropped unprocessed (the processor refused
// it) releases the method when it is destroyed, so a completion is accounted for whether or
// not it was processed.
//
// Threads: built by whichever thread took the completion from the queue (the task's, or the
// processor's in Task::TakeReady); Process() on the event processor thread; destroyed on
// either.
class GrpcEvent {
public:
    GrpcEvent(std::shared_ptr<MethodBase> method, Tag* tag, bool ok);
    GrpcEvent(GrpcEvent&& other) noexcept;
    GrpcEvent& operator=(GrpcEvent&& other) noexcept;
    ~GrpcEvent();

    // Clears the tag's pending flag, then runs the method's ProcessGrpcEvent(tag, ok).
    void Process();

    Tag* GetTag() const { return m_tag; }
    bool IsOk() const { return m_ok; }

private:
    void Release();

    std::shared_ptr<MethodBase> m_method;
    Tag* m_tag;
    bool m_ok;
};

// The session stub of one API flavour; a channel holds one, created at open.
//
// Threads: event processor thread only.
class StubBase {
public:
    explicit StubBase(Channel* channel) : m_channel(channel) {}
    virtual ~StubBase() = default;
    StubBase(const StubBase&) = delete;
    StubBase& operator=(const StubBase&) = delete;

    // Creates the flavour's generated stub on the channel's gRPC channel. FALSE (logged)
    // when none results.
    virtual bool CreateGrpcStub() = 0;
    // A new streaming detect-intent method of this flavour for the channel's next
    // recognition, or null.
    virtual std::shared_ptr<MethodBase> CreateStreamingDetectIntentMethod() = 0;

    Channel* GetChannel() const { return m_channel; }

protected:
    Channel* m_channel;
};

// The method object of one recognition: one streaming call to the service.
//
// Lifetime. Methods are created by StubBase::CreateStreamingDetectIntentMethod and held by
// std::shared_ptr. A method lives until every operation it started has completed and the
// event of that completion has been processed (or dropped):
//   - the method calls BeginOperation(tag) on the event processor thread immediately before
//     it starts an operation with that tag; this sets the pending flag and makes the tag
//     hold a reference to the method;
//   - the completion-queue loop calls TakeCompletion(tag, ok), which moves that reference
//     into the GrpcEvent it hands on; the GrpcEvent releases it when it is destroyed, after
//     Process() or when the processor refused it.
// So the channel may let go of its method at any time: a new RECOGNIZE replaces it, and the
// channel's destruction calls DetachChannel() and Cancel() and then releases it; a method
// with operations in flight then lives on, detached, until the last of them has come back.
// A detached method (GetChannel() null) must not reach for its channel again: its handlers
// only finish what is in flight.
//
// Threads: everything on the engine's event processor thread, except TakeCompletion and
// GetProcessor (the completion-queue thread), GetOperationsInFlight and GetLiveCount (any thread).
class MethodBase : public std::enable_shared_from_this<MethodBase> {
public:
    explicit MethodBase(Channel* channel);
    // With the processor given: also without a channel (a method driven by tests).
    MethodBase(Channel* channel, OstEdpf::AsyncEventProcessor* processor);
    virtual ~MethodBase();
    MethodBase(const MethodBase&) = delete;
    MethodBase& operator=(const MethodBase&) = delete;

    // Checks what the recognition needs before anything is started; FALSE fails the
    // RECOGNIZE (406).
    virtual bool Validate() = 0;
    // Starts the streaming call; FALSE fails the RECOGNIZE (407).
    virtual bool Invoke() = 0;
    // The recognition is complete: drop what belongs to it.
    virtual void Clear() = 0;
    // No-input timeout, after the channel completed the input. TRUE promises that the
    // method completes the recognition itself; FALSE lets the channel complete it at once.
    // Default: Cancel() while a context is active, else FALSE.
    virtual bool ProcessNoInput();
    // The detector carried out a stop; the promise as for ProcessNoInput, same default.
    virtual bool ProcessStop();
    // Speech input started while the stream exists. Default: FALSE.
    virtual bool ProcessStartOfSpeechInput();
    // One block of speech; the method takes the chunk over. Default: a non-empty chunk
    // goes to the channel's pending-audio list; the last one completes the input. TRUE.
    virtual bool ProcessSpeechInput(DataChunk& chunk, bool last);
    // DTMF collection is complete. Default: the digits are stored in the channel. TRUE.
    virtual bool ProcessDtmfInput(const std::string& digits, bool matched);
    // One DTMF digit. Default: appended to the channel's stored digits. TRUE.
    virtual bool ProcessDtmfDigit(char digit);
    // One completion of an operation started with `tag`; its pending flag is already clear.
    virtual bool ProcessGrpcEvent(Tag* tag, bool ok) = 0;
    virtual std::string GetName() const = 0;
    // Default: the context is no longer active.
    virtual void ClearContext();
    // Cancels the call in progress; TRUE when the recognition will be completed by the
    // completions that follow.
    virtual bool Cancel() = 0;
    // Calls started again for this recognition after the service refused one at its start.
    // Default: none.
    virtual int GetStreamRetries() const { return 0; }

    // Completion-queue thread: the completion of the operation started with `tag`, holding
    // the method; it goes to GetProcessor().
    GrpcEvent TakeCompletion(Tag* tag, bool ok);
    // Where completions go; the engine's processor, fixed at construction so that the
    // completion-queue thread never reads the channel.
    OstEdpf::AsyncEventProcessor* GetProcessor() const { return m_processor; }

    // Event processor thread: called immediately before starting an operation with `tag`.
    void BeginOperation(Tag& tag);

    // The channel lets go of the method for good (its destruction).
    void DetachChannel() { m_channel = nullptr; }
    Channel* GetChannel() const { return m_channel; }
    bool IsContextActive() const { return m_contextActive; }

    // Operations started and not yet accounted for (their event processed or dropped).
    uint32_t GetOperationsInFlight() const { return m_inFlight.load(); }
    // Method objects alive in the process: a test ends by checking that none is left.
    static long GetLiveCount() { return sm_LiveCount.load(); }

    // The first component of every Dialogflow resource name.
    static const char* const sm_ProjectPrefix;

    // Operations started by any method. Starting one releases what the event processor
    // wrote into the method and its tag; the completion-queue loop acquires it before it
    // reads a tag. The completion queue orders the two as well, but its synchronisation is
    // invisible to race checkers (gRPC is not built with them).
    static std::atomic<uint64_t> sm_OperationsStarted;

protected:
    friend class GrpcEvent;

    // Not owned; null once detached.
    Channel* m_channel;

public:
    // The five kinds of operation, in this order.
    Tag m_createStreamTag{"create stream", this};
    Tag m_writingTag{"writing", this};
    Tag m_writesDoneTag{"writes done", this};
    Tag m_readingTag{"reading", this};
    Tag m_finishingTag{"finishing", this};

protected:
    // A stream context exists for the current recognition (set by the concrete method).
    bool m_contextActive = false;

private:
    // See GetProcessor().
    OstEdpf::AsyncEventProcessor* m_processor;
    std::atomic<uint32_t> m_inFlight{0};
    static std::atomic<long> sm_LiveCount;
};

}  // namespace Zeph
