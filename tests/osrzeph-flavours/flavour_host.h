// A recognition as the channel runs it, for driving a streaming method of any flavour
// against dialogflow-sim without an MRCP server: the StreamHost state, a real event
// processor and a real completion-queue task, and the completion the method reports.
//
// Threads: the host's state is touched only on the processor's thread (Run() posts work
// there); Wait*() and the results are for the test's main thread and take the lock.
#pragma once

#include <apr_general.h>
#include <apr_pools.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include <ostedpf/OstEdpfSoftEventProcessor.h>

#include "../ostedpf/ostedpf_test_support.h"
#include "OsrGrammar.h"
#include "OsrZephDataChunk.h"
#include "OsrZephStreamHost.h"
#include "OsrZephStub.h"
#include "OsrZephTask.h"

namespace ZephFlavourTest {

// What RECOGNITION-COMPLETE would carry.
struct Completion {
    int cause = -1;
    std::string contentType;
    std::string body;
};

class TestHost : public Zeph::StreamHost {
public:
    explicit TestHost(OstEdpf::AsyncEventProcessor* processor) : m_processor(processor) {}

    // Runs `work` on the processor's thread and waits for it.
    void Run(const std::function<void()>& work) { OstEdpfTest::RunOn(*m_processor, work); }

    // Waits (bounded) for the completion and for the stream to have finished afterwards.
    bool WaitForCompletion(Completion& out) {
        std::unique_lock<std::mutex> lock(m_mutex);
        bool ok = m_changed.wait_for(lock, std::chrono::seconds(60),
                                     [&] { return m_completed && m_deferredDone; });
        out = m_completion;
        return ok;
    }

    std::shared_ptr<Zeph::MethodBase> m_method;  // processor thread
    int m_completions = 0;                       // processor thread, read after the wait

    // ---- Recognition state the test sets up --------------------------------------------------
    std::string m_projectId = "zeph-test-project";
    std::string m_dialogId = "call-1";
    std::string m_userProject;
    std::string m_sessionPath;
    const apt_pair_arr_t* m_queryParams = nullptr;  // the RECOGNIZE's vendor parameters
    Zeph::StreamingRecogSettings m_settings;
    Zeph::ResultsSettings m_results;
    int m_rate = 8000;
    float m_threshold = 0.5f;
    std::shared_ptr<const Zeph::GrammarRef> m_speech, m_dtmf, m_event;
    int m_inputMode = 0;
    bool m_speechStarted = false;
    bool m_inputComplete = false;
    std::string m_inputText;
    char m_finishDigit = '\0';
    int m_cause = 17;
    bool m_endOfUtterance = false;
    bool m_restart = false, m_finishAfterWrites = false, m_finalPending = false;
    std::list<Zeph::DataChunk> m_pending;
    std::string m_queryResultText;
    std::string m_noUri;
    std::string m_interim;
    bool m_done = false;  // RECOGNITION-COMPLETE went out

    // ---- StreamHost --------------------------------------------------------------------------
    const char* GetLogId() const override { return "flv1"; }
    const std::string& GetProjectId() const override { return m_projectId; }
    const std::string& GetDialogId() const override { return m_dialogId; }
    const std::string& GetUserProject() const override { return m_userProject; }
    const std::string& GetSessionPath() const override { return m_sessionPath; }
    const apt_pair_arr_t* GetQueryParams() const override { return m_queryParams; }
    void SetSessionPath(const std::string& path) override { m_sessionPath = path; }
    Zeph::StreamingRecogSettings& GetStreamingSettings() override { return m_settings; }
    const Zeph::ResultsSettings& GetResultsSettings() const override { return m_results; }
    int GetSamplingRate() const override { return m_rate; }
    float GetConfidenceThreshold() const override { return m_threshold; }
    std::shared_ptr<const Zeph::GrammarRef> GetSpeechGrammar() const override { return m_speech; }
    std::shared_ptr<const Zeph::GrammarRef> GetDtmfGrammar() const override { return m_dtmf; }
    std::shared_ptr<const Zeph::GrammarRef> GetEventGrammar() const override { return m_event; }
    int GetInputMode() const override { return m_inputMode; }
    bool IsSpeechInputStarted() const override { return m_speechStarted; }
    bool IsInputComplete() const override { return m_inputComplete; }
    void SetInputComplete() override { m_inputComplete = true; }
    const std::string& GetInputText() const override { return m_inputText; }
    char GetDtmfFinishDigit() const override { return m_finishDigit; }
    void SetInputText(const std::string& text) override { m_inputText = text; }
    void SetConfidence(float) override {}
    int GetCompletionCause() const override { return m_cause; }
    void SetCompletionCause(int cause) override { m_cause = cause; }
    bool HasPendingStop() const override { return false; }
    bool IsEndOfUtterance() const override { return m_endOfUtterance; }
    void SetEndOfUtterance() override { m_endOfUtterance = true; }
    void SetStreamCreated() override {}
    bool IsStreamRestart() const override { return m_restart; }
    void SetStreamRestart(bool restart) override { m_restart = restart; }
    bool IsFinishAfterWrites() const override { return m_finishAfterWrites; }
    void SetFinishAfterWrites(bool finish) override { m_finishAfterWrites = finish; }
    bool IsFinalResponsePending() const override { return m_finalPending; }
    void SetFinalResponsePending(bool pending) override { m_finalPending = pending; }
    std::list<Zeph::DataChunk>& GetPendingAudio() override { return m_pending; }
    // As the channel does: a cause decided before the failure stands.
    void ProcessError() override {
        if (m_done)
            return;
        if (m_cause == 17)
            m_cause = 6;
        CompleteRecognition(m_cause, std::string(), std::string());
    }
    void ProcessStop() override {}
    bool CompleteInput() override {
        if (m_inputComplete)
            return false;
        m_inputComplete = true;
        return true;
    }
    // As the channel does: once per recognition, after the read in flight has come back;
    // then the method lets the stream go.
    bool CompleteRecognition(int cause, const std::string& contentType,
                             const std::string& body) override {
        if (m_done || (m_method && m_method->m_readingTag.m_pending))
            return false;
        m_done = true;
        ++m_completions;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_completed)
                m_completion = {cause, contentType, body};
            m_completed = true;
        }
        if (m_method)
            m_method->Clear();
        if (m_method && !m_method->IsContextActive())
            ProcessDeferred();
        return true;
    }
    void ProcessInterimResult(const std::string& text) override { m_interim = text; }
    void ProcessOutputAudioData(const std::string&) override {}
    void ProcessDeferred() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_deferredDone = m_completed;
        m_changed.notify_all();
    }
    // The detector stops: what it held back arrives as the last block.
    void StopInput() override {
        if (m_inputComplete || !m_method)
            return;
        std::shared_ptr<Zeph::MethodBase> method = m_method;
        OstEdpfTest::Post(*m_processor, [method] {
            Zeph::DataChunk none;
            method->ProcessSpeechInput(none, true);
        });
    }
    void EndInputAtCap() override { StopInput(); }
    void StopInterResultTimer() override {}
    void WriteUtterance(const char*, size_t) override {}
    void CloseUtterance() override {}
    void MarkStream(StreamMark) override {}
    void AddBytesSent(size_t) override {}
    void SetQueryResultText(const std::string& json) override { m_queryResultText = json; }
    const std::string& GetQueryResultText() const override { return m_queryResultText; }
    const std::string& GetOutputAudioUri() const override { return m_noUri; }

private:
    OstEdpf::AsyncEventProcessor* m_processor;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_completed = false;
    bool m_deferredDone = false;
    Completion m_completion;
};

// A grammar as the channel keeps it.
inline std::shared_ptr<Zeph::GrammarRef> MakeGrammar(uint32_t type, const std::string& name) {
    auto grammar = std::make_shared<Zeph::GrammarRef>();
    grammar->m_type = type;
    grammar->m_id = name;
    grammar->m_name = name;
    grammar->m_source = Zeph::GrammarRef::SOURCE_BUILTIN;
    grammar->m_typePath = type == Zeph::GrammarRef::TYPE_DTMF    ? "dtmf/"
                          : type == Zeph::GrammarRef::TYPE_EVENT ? "event/"
                                                                 : "speech/";
    return grammar;
}

// The engine's processor and completion-queue task, started and stopped around a test.
class Engine {
public:
    Engine() : m_task("GRPC") {
        apr_initialize();
        apr_pool_create(&m_pool, nullptr);
        m_processor.Start();
        m_started = m_task.Create(m_pool) && m_task.Start();
    }
    ~Engine() {
        m_processor.Shutdown(true);
        if (m_started)
            m_task.Terminate();
        m_task.Destroy();
        apr_pool_destroy(m_pool);
        apr_terminate();
    }
    bool IsStarted() const { return m_started; }
    OstEdpf::SoftEventProcessor* GetProcessor() { return &m_processor; }
    grpc::CompletionQueue* GetQueue() { return m_task.GetCompletionQueue(); }

private:
    apr_pool_t* m_pool = nullptr;
    OstEdpf::SoftEventProcessor m_processor;
    Zeph::Task m_task;
    bool m_started = false;
};

}  // namespace ZephFlavourTest
