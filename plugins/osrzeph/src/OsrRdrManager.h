// Recognition details records: the per-recognition state a channel shares with its
// streaming method, saved at completion as a small JSON record, and the manager that names
// these records and keeps their folder bounded.
//
// Threads: the engine creates the manager on its event processor thread (after the gRPC
// task) and destroys it there; every call, the records' filling and saving, and the
// folder's expiration timers run on that thread.
#pragma once

#include <cstdint>
#include <string>

#include <apr_pools.h>
#include <apr_time.h>
#include <ostedpf/OstEdpfFileManager.h>
#include <ostedpf/OstEdpfLogger.h>
#include <ostrin/mrcp_message.h>

#include <google/cloud/dialogflow/cx/v3beta1/session.pb.h>
#include <google/cloud/dialogflow/v2/session.pb.h>
#include <google/cloud/dialogflow/v2beta1/session.pb.h>

#include "OsrZephSettings.h"
#include "OsrZephTurnTiming.h"
#include "mpf_sdi_util.h"

namespace Zeph {

// A file manager over the record folder, so the folder stays bounded by count and age.
class RdrManager : public OstEdpf::FileManager {
public:
    using Settings = RdrManagerSettings;

    // One recognition of a channel: its settings, its progress and what is saved as its
    // record. The channel resets it at each RECOGNIZE; the streaming method fills the stream
    // times and results.
    class RecognitionDetails {
    public:
        RecognitionDetails() { Reset(); }

        // Everything back to the start of a recognition: times 0, counts 0, texts empty,
        // settings at their defaults (the channel copies the engine's afterwards), completion
        // cause "unknown" (17), query result messages cleared.
        void Reset();
        // Before a stream restart: the seven times, the end-of-utterance flag and the query
        // results text.
        void PartialReset();

        // Writes the record as JSON to `path` (created or truncated). FALSE (logged at
        // WARNING) when the file cannot be opened; write errors are not reported.
        bool Save(const std::string& path, const OstEdpf::LogFacility* facility = nullptr) const;

        // (time - start time) in whole ms as a signed decimal, e.g. "250". FALSE, and
        // `text` empty, when `time` is 0 (never happened).
        bool GetTimestampStr(apr_time_t time, std::string& text) const;
        // 1 "speech", 2 "dtmf"; FALSE for anything else.
        static bool GetInputTypeStr(int type, std::string& text);

        // ---- Saved in the record ----
        // Write a record at completion (copied from the manager's save flag at RECOGNIZE).
        bool m_enabled;
        // File name of the record, composed at RECOGNIZE with ComposeName.
        std::string m_name;
        // The host channel and the Dialogflow session the recognition belongs to.
        std::string m_channelId;
        std::string m_sessionId;
        mrcp_version_e m_mrcpVersion;
        // Of the received audio, Hz.
        int m_samplingRate;
        // The record's "language" and "max-alternatives" are those of m_streamingSettings.

        // Origin of every time in the record: when the recognition started.
        apr_time_t m_startTime;
        apr_time_t m_startOfInputTime;
        // Input complete.
        apr_time_t m_endOfInputTime;
        // Set by the streaming method.
        apr_time_t m_streamCreationTime;
        apr_time_t m_startOfStreamingTime;
        apr_time_t m_endOfStreamingTime;
        apr_time_t m_completionTime;
        // Audio bytes written to the stream.
        std::uint64_t m_bytesSent;
        // MPF_SDI_MODE_SPEECH or MPF_SDI_MODE_DTMF once input has started, else NONE: the
        // record's input type.
        mpf_sdi_mode_e m_inputMode;
        // The detector's completion cause, duration (ms) and size (bytes) of the input.
        mpf_sdi_stats_t m_inputStats;
        // The service reported the end of the caller's utterance (set by the method).
        bool m_endOfUtterance;
        mrcp_recog_completion_cause_e m_completionCause;
        // Why it failed (the Completion-Reason); empty when it did not.
        std::string m_completionReason;
        // DTMF digits or recognized text: the record's "transcript".
        std::string m_inputText;
        // 0 when no confidence is known (the service's own "not set").
        float m_confidence;
        // The service's query result as JSON text; empty when there is none.
        std::string m_queryResults;
        // The turn's moments in ms from the RECOGNIZE (kept across stream restarts); the
        // record's "timeline".
        TurnTimeline m_timeline;
        // Attempts gRPC made again after the service refused a stream at its start.
        int m_streamRetries;

        // ---- Shared by channel and method, not saved ----
        // The request's Confidence-Threshold, or 0.
        float m_confidenceThreshold;
        // Copies of the engine's settings, changed by request headers and grammar parameters.
        StreamingRecogSettings m_streamingSettings;
        ResultsSettings m_resultsSettings;
        // From the request's Logging-Tag or a grammar parameter, as the client sent it.
        std::string m_loggingTag;
        // What names this recognition's files in place of the bare channel id: the channel
        // id and the start time in UTC ("ab12-20260101T093000250Z"), so that neither runs nor
        // servers that reuse a channel id overwrite each other's files.
        std::string m_fileId;
        bool m_speechInputStarted;
        bool m_dtmfInputStarted;
        bool m_startOfInputSent;
        bool m_inputComplete;
        // The method has created its stream.
        bool m_streamCreated;
        // The last query result of each API flavour.
        google::cloud::dialogflow::v2::QueryResult m_queryResultV2;
        google::cloud::dialogflow::v2beta1::QueryResult m_queryResultV2beta1;
        google::cloud::dialogflow::cx::v3beta1::QueryResult m_queryResultV3beta1;
    };

    // Sets directory, prefix, extension, limits and purge-existing from `settings` and the
    // facility "RDRM" at its level. The caller then sets the timer processor and calls
    // LoadFileEntries().
    explicit RdrManager(const Settings& settings);
    ~RdrManager() override;
    RdrManager(const RdrManager&) = delete;
    RdrManager& operator=(const RdrManager&) = delete;

    // prefix + channel id + "-" + request id [+ "-" + logging tag] + extension. The tag is
    // reduced to a safe set of characters first (UtteranceManager::SanitizeLoggingTag).
    bool ComposeName(std::string& name, const char* channelId, std::uint32_t requestId,
                     const std::string& loggingTag, apr_pool_t* pool) const;
    // The record's path in the folder.
    bool ComposePath(std::string& path, const std::string& name, apr_pool_t* pool) const;
    // At completion: when `details` is enabled, sets its completion time to now, saves it
    // under its name and enters the file in the folder. FALSE when nothing was saved.
    bool SaveRecord(RecognitionDetails& details, apr_pool_t* pool);

    bool GetSaveRecords() const { return m_saveRecords; }
    const OstEdpf::LogFacility& GetLogFacility() const { return m_logFacility; }

private:
    OstEdpf::LogFacility m_logFacility;
    bool m_saveRecords;
    bool m_useLoggingTag;
};

}  // namespace Zeph
