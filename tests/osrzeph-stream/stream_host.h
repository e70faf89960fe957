// A recognition host that does what the channel does for the calls a streaming method
// makes (input completion, stop, error, completion, deferred close), the log capture, and
// the reader of dialogflow-sim's record file: shared by the stream tests and the stream
// benchmark.
//
// Threads: everything of the host and the methods runs on the engine's event processor
// thread, as in the plugin.
#pragma once

#include <apr_general.h>
#include <grpcpp/grpcpp.h>
#include <rapidjson/document.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <future>
#include <list>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <ostedpf/OstEdpfSoftEventProcessor.h>
#include <ostrin/apt_log.h>
#include <ostrin/mrcp_message.h>

#include "OsrZephLog.h"
#include "OsrZephStream.h"
#include "OsrZephStreamHost.h"
#include "OsrZephStubSessionV2.h"
#include "OsrZephTask.h"
#include "mpf_sdi_util.h"
#include "sim_process.h"
#include "test_audio.h"

namespace ZephStreamTest {

using Zeph::DataChunk;
using Zeph::GrammarRef;
using Zeph::MethodBase;
using Zeph::StreamHost;
using Zeph::StreamingMethod;

constexpr int kUnknownCause = 17;

// Every log line, as the host's logger hands them to an observer.
class LogCapture {
public:
    void Install() { apt_log_handler_set(&LogCapture::OnLog, this); }
    void Remove() { apt_log_handler_set(nullptr, nullptr); }

    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }
    // Lines that contain `text`.
    int Count(const std::string& text) {
        int count = 0;
        for (const auto& line : Lines())
            count += line.find(text) != std::string::npos ? 1 : 0;
        return count;
    }
    bool Has(const std::string& text) { return Count(text) > 0; }
    // Runs `then` once, on the logging thread, right after a line containing `text`.
    void OnLine(const std::string& text, std::function<void()> then) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_hookText = text;
        m_hook = std::move(then);
    }
    std::string Dump() {
        std::string all;
        for (const auto& line : Lines())
            all += line + "\n";
        return all;
    }

private:
    static void OnLog(void* obj, const char*, int, const apt_log_source_t*, apt_log_priority_e,
                      const char* message) {
        auto* self = static_cast<LogCapture*>(obj);
        std::function<void()> hook;
        {
            std::lock_guard<std::mutex> lock(self->m_mutex);
            self->m_lines.emplace_back(message);
            if (self->m_hook && self->m_lines.back().find(self->m_hookText) != std::string::npos)
                hook = std::move(self->m_hook);
        }
        if (hook)
            hook();
    }
    std::mutex m_mutex;
    std::vector<std::string> m_lines;
    std::string m_hookText;
    std::function<void()> m_hook;
};

class FunctionEvent : public OstEdpf::AsyncEvent {
public:
    explicit FunctionEvent(std::function<void()> function) : m_function(std::move(function)) {}
    void Process() override { m_function(); }

private:
    std::function<void()> m_function;
};

// One recognition, as the channel keeps it.
class TestHost : public StreamHost {
public:
    TestHost(OstEdpf::SoftEventProcessor* processor, std::string id)
        : m_processor(processor), m_id(std::move(id)) {
        m_settings.m_resultTimeout = 35000;
    }

    // ---- What the test sets up ----
    OstEdpf::SoftEventProcessor* m_processor;
    std::string m_id;
    std::string m_projectId = "zeph-test-project";
    std::string m_dialogId = "call-1";
    std::string m_userProject;
    std::string m_sessionPath;
    const apt_pair_arr_t* m_queryParams = nullptr;
    Zeph::StreamingRecogSettings m_settings;
    Zeph::ResultsSettings m_results;
    int m_rate = 16000;
    float m_threshold = 0;
    std::shared_ptr<GrammarRef> m_speech, m_dtmf, m_event;
    std::shared_ptr<MethodBase> m_method;

    // ---- Recognition state ----
    int m_inputMode = MPF_SDI_MODE_NONE;
    bool m_speechStarted = false;
    bool m_inputComplete = false;
    std::string m_inputText;
    float m_confidence = 0;
    int m_cause = kUnknownCause;
    bool m_pendingStop = false;
    bool m_endOfUtterance = false;
    bool m_streamCreated = false;
    bool m_streamRestart = false;
    bool m_finishAfterWrites = false;
    bool m_finalResponsePending = false;
    std::list<DataChunk> m_pendingAudio;
    std::string m_queryResultText;
    std::string m_outputAudioUri;
    bool m_active = true;  // a RECOGNIZE is in progress
    bool m_detectorRunning = true;
    bool m_pendingClose = false;
    bool m_inputEndedAtCap = false;

    // ---- What the test checks ----
    int m_completions = 0;  // RECOGNITION-COMPLETE or STOP response sent
    bool m_stopAnswered = false;
    int m_completeCause = -1;
    std::string m_contentType, m_body;
    bool m_closeAnswered = false;
    std::vector<std::string> m_interims;
    std::vector<std::string> m_marks;
    size_t m_bytesSent = 0;
    std::string m_outputAudio;

    // ---- StreamHost ----
    const char* GetLogId() const override { return m_id.c_str(); }
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
    std::shared_ptr<const GrammarRef> GetSpeechGrammar() const override { return m_speech; }
    std::shared_ptr<const GrammarRef> GetDtmfGrammar() const override { return m_dtmf; }
    std::shared_ptr<const GrammarRef> GetEventGrammar() const override { return m_event; }
    int GetInputMode() const override { return m_inputMode; }
    bool IsSpeechInputStarted() const override { return m_speechStarted; }
    bool IsInputComplete() const override { return m_inputComplete; }
    void SetInputComplete() override { m_inputComplete = true; }
    const std::string& GetInputText() const override { return m_inputText; }
    void SetInputText(const std::string& text) override { m_inputText = text; }
    void SetConfidence(float confidence) override { m_confidence = confidence; }
    int GetCompletionCause() const override { return m_cause; }
    void SetCompletionCause(int cause) override { m_cause = cause; }
    bool HasPendingStop() const override { return m_pendingStop; }
    bool IsEndOfUtterance() const override { return m_endOfUtterance; }
    void SetEndOfUtterance() override { m_endOfUtterance = true; }
    void SetStreamCreated() override { m_streamCreated = true; }
    bool IsStreamRestart() const override { return m_streamRestart; }
    void SetStreamRestart(bool restart) override { m_streamRestart = restart; }
    bool IsFinishAfterWrites() const override { return m_finishAfterWrites; }
    void SetFinishAfterWrites(bool finish) override { m_finishAfterWrites = finish; }
    bool IsFinalResponsePending() const override { return m_finalResponsePending; }
    void SetFinalResponsePending(bool pending) override { m_finalResponsePending = pending; }
    std::list<DataChunk>& GetPendingAudio() override { return m_pendingAudio; }

    void ProcessError() override {
        if (m_cause == kUnknownCause)
            m_cause = RECOGNIZER_COMPLETION_CAUSE_ERROR;
        if (!m_inputComplete && !m_event)
            StopInput();
        else
            CompleteRecognition(m_cause, "", "");
    }
    void ProcessStop() override {
        CompleteInput();
        if (!m_method || !m_method->ProcessStop())
            CompleteRecognition(m_cause, "", "");
    }
    bool CompleteInput() override {
        if (m_inputComplete)
            return false;
        m_inputComplete = true;
        m_detectorRunning = false;
        return true;
    }
    bool CompleteRecognition(int cause, const std::string& contentType,
                             const std::string& body) override {
        if (!m_active)
            return false;
        if (m_method && m_method->m_readingTag.m_pending)
            return false;
        m_pendingAudio.clear();
        if (m_method && m_method->IsContextActive())
            m_method->Clear();
        m_active = false;
        ++m_completions;
        if (m_pendingStop) {
            m_stopAnswered = true;
            return true;
        }
        m_completeCause = cause;
        m_contentType = contentType;
        m_body = body;
        return true;
    }
    void ProcessInterimResult(const std::string& text) override { m_interims.push_back(text); }
    void ProcessOutputAudioData(const std::string& audio) override { m_outputAudio = audio; }
    void ProcessDeferred() override {
        if (m_pendingClose) {
            m_pendingClose = false;
            m_closeAnswered = true;
        }
    }
    // The detector's stop comes back as its own event, as on_stop does.
    void StopInput() override {
        if (!m_detectorRunning)
            return;
        m_detectorRunning = false;
        auto* event = new FunctionEvent([this] { ProcessStop(); });
        event->Ref();
        m_processor->PostEvent(event);
    }
    void EndInputAtCap() override {
        m_inputEndedAtCap = true;
        StopInput();
    }
    void StopInterResultTimer() override {}
    void WriteUtterance(const char*, size_t) override {}
    void CloseUtterance() override {}
    void MarkStream(StreamMark mark) override {
        static const char* const kNames[] = {"created", "config", "half-close", "restart"};
        m_marks.emplace_back(kNames[mark]);
    }
    void AddBytesSent(size_t size) override { m_bytesSent += size; }
    void SetQueryResultText(const std::string& json) override { m_queryResultText = json; }
    const std::string& GetQueryResultText() const override { return m_queryResultText; }
    const std::string& GetOutputAudioUri() const override { return m_outputAudioUri; }

    // The channel's close: held back while the call is active, as the channel does; the
    // recognition is ended like a STOP.
    void Close() {
        if (m_method && m_method->IsContextActive()) {
            m_pendingClose = true;
            if (m_active) {
                m_cause = RECOGNIZER_COMPLETION_CAUSE_CANCELLED;
                ProcessStop();
            }
            return;
        }
        m_closeAnswered = true;
    }
};

// Grammars as the grammar set builds them.
inline std::shared_ptr<GrammarRef> SpeechGrammar(const std::string& name = "transcribe") {
    auto grammar = std::make_shared<GrammarRef>();
    grammar->m_id = name;
    grammar->m_name = name;
    grammar->m_typePath = "speech/";
    grammar->m_type = GrammarRef::TYPE_SPEECH;
    grammar->m_source = GrammarRef::SOURCE_BUILTIN;
    return grammar;
}

inline std::shared_ptr<GrammarRef> DtmfGrammar(const Zeph::BuiltinGrammar* builtin) {
    auto grammar = std::make_shared<GrammarRef>();
    grammar->m_id = "digits";
    grammar->m_name = "digits";
    grammar->m_typePath = "dtmf/";
    grammar->m_type = GrammarRef::TYPE_DTMF;
    grammar->m_source = GrammarRef::SOURCE_BUILTIN;
    grammar->m_builtinGrammar = builtin;
    return grammar;
}

inline std::shared_ptr<GrammarRef> EventGrammar(const std::string& name,
                                                const Zeph::GrammarParams& params) {
    auto grammar = std::make_shared<GrammarRef>();
    grammar->m_id = name;
    grammar->m_name = name;
    grammar->m_namePrefix = "event_";
    grammar->m_typePath = "grammar/";
    grammar->m_type = GrammarRef::TYPE_EVENT;
    grammar->m_source = GrammarRef::SOURCE_BUILTIN;
    grammar->m_params = params;
    return grammar;
}

// One line of the sim's record file.
struct StreamRecord {
    std::string session;
    std::string firstRequest;  // JSON text
    rapidjson::Document first;
    int audioRequests = 0;
    long audioBytes = 0;
    bool halfClose = false;
    bool cancelled = false;
    int statusCode = -1;
    std::string userProject;
};

inline std::vector<std::shared_ptr<StreamRecord>> ReadRecords(const std::string& path) {
    std::vector<std::shared_ptr<StreamRecord>> records;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        rapidjson::Document doc;
        doc.Parse(line.c_str());
        if (doc.HasParseError() || !doc.IsObject())
            continue;
        auto record = std::make_shared<StreamRecord>();
        if (doc.HasMember("session") && doc["session"].IsString())
            record->session = doc["session"].GetString();
        if (doc.HasMember("first_request") && doc["first_request"].IsObject())
            record->first.CopyFrom(doc["first_request"], record->first.GetAllocator());
        if (doc.HasMember("audio_requests"))
            record->audioRequests = doc["audio_requests"].GetInt();
        if (doc.HasMember("audio_bytes"))
            record->audioBytes = doc["audio_bytes"].GetInt64();
        if (doc.HasMember("half_close"))
            record->halfClose = doc["half_close"].GetBool();
        if (doc.HasMember("cancelled"))
            record->cancelled = doc["cancelled"].GetBool();
        if (doc.HasMember("status") && doc["status"].IsObject())
            record->statusCode = doc["status"]["code"].GetInt();
        if (doc.HasMember("user_project") && doc["user_project"].IsString())
            record->userProject = doc["user_project"].GetString();
        records.push_back(record);
    }
    return records;
}

}  // namespace ZephStreamTest
