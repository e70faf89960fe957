// What a streaming method needs from the recognition it serves: the channel's
// recognition state it reads and writes, and the channel operations it calls.
//
// The channel provides it for its current recognition; tests provide their own to drive a
// method against the service without an MRCP server.
//
// Threads: the engine's event processor thread only.
#pragma once

#include <cstddef>
#include <list>
#include <memory>
#include <string>

#include <ostrin/apt_text_stream.h>

#include "OsrGrammar.h"
#include "OsrZephSettings.h"

namespace Zeph {

struct DataChunk;

class StreamHost {
public:
    // Moments of a stream kept in the recognition-details record.
    enum StreamMark {
        MARK_STREAM_CREATED,
        MARK_CONFIG_SENT,
        MARK_INPUT_COMPLETE_SENT,
        MARK_STREAM_RESTARTED  // the record's partial reset and the new stream's start
    };

    virtual ~StreamHost() = default;

    // ---- Identity and session ---------------------------------------------------------------
    // The host channel id, for the " <%s@%s>" suffix of log lines.
    virtual const char* GetLogId() const = 0;
    virtual const std::string& GetProjectId() const = 0;
    virtual const std::string& GetDialogId() const = 0;
    // Value of the "x-goog-user-project" metadata; empty: none.
    virtual const std::string& GetUserProject() const = 0;
    virtual const std::string& GetSessionPath() const = 0;
    // The RECOGNIZE request's Vendor-Specific-Parameters, or null.
    virtual const apt_pair_arr_t* GetQueryParams() const = 0;
    virtual void SetSessionPath(const std::string& path) = 0;

    // ---- Settings and grammars of the recognition -------------------------------------------
    // The recognition's copy; the speech context's language replaces "language" in it.
    virtual StreamingRecogSettings& GetStreamingSettings() = 0;
    virtual const ResultsSettings& GetResultsSettings() const = 0;
    virtual int GetSamplingRate() const = 0;
    virtual float GetConfidenceThreshold() const = 0;
    // The active grammars (null when there is none). The method keeps them alive.
    virtual std::shared_ptr<const GrammarRef> GetSpeechGrammar() const = 0;
    virtual std::shared_ptr<const GrammarRef> GetDtmfGrammar() const = 0;
    virtual std::shared_ptr<const GrammarRef> GetEventGrammar() const = 0;

    // ---- Input progress ---------------------------------------------------------------------
    // mpf_sdi_mode_e of the input that started (NONE until then).
    virtual int GetInputMode() const = 0;
    virtual bool IsSpeechInputStarted() const = 0;
    virtual bool IsInputComplete() const = 0;
    // A DTMF or event request carries the whole input.
    virtual void SetInputComplete() = 0;
    // DTMF digits collected, later the recognized text.
    virtual const std::string& GetInputText() const = 0;
    // The terminating character when the DTMF collection ended on it, else NUL.
    virtual char GetDtmfFinishDigit() const { return '\0'; }
    virtual void SetInputText(const std::string& text) = 0;
    virtual void SetConfidence(float confidence) = 0;
    // MRCP recognizer completion cause; 17 while undecided.
    virtual int GetCompletionCause() const = 0;
    virtual void SetCompletionCause(int cause) = 0;
    // Why the recognition failed, given to the client as Completion-Reason and kept in the
    // record: the gRPC status of a failed call ("UNAVAILABLE: ...").
    virtual void SetCompletionReason(const std::string& /*reason*/) {}
    virtual bool HasPendingStop() const = 0;
    virtual bool IsEndOfUtterance() const = 0;
    virtual void SetEndOfUtterance() = 0;
    virtual void SetStreamCreated() = 0;

    // Channel flags the channel reads while the method works.
    virtual bool IsStreamRestart() const = 0;
    virtual void SetStreamRestart(bool restart) = 0;
    virtual bool IsFinishAfterWrites() const = 0;
    virtual void SetFinishAfterWrites(bool finish) = 0;
    virtual bool IsFinalResponsePending() const = 0;
    virtual void SetFinalResponsePending(bool pending) = 0;

    // Audio that waits until the stream can take it; whoever removes a chunk frees it.
    virtual std::list<DataChunk>& GetPendingAudio() = 0;

    // ---- Channel operations -----------------------------------------------------------------
    virtual void ProcessError() = 0;
    virtual void ProcessStop() = 0;
    virtual bool CompleteInput() = 0;
    virtual bool CompleteRecognition(int cause, const std::string& contentType,
                                     const std::string& body) = 0;
    virtual void ProcessInterimResult(const std::string& text) = 0;
    virtual void ProcessOutputAudioData(const std::string& audio) = 0;
    // Carries out a close or a RECOGNIZE that waited for the stream to finish; a pending
    // close wins.
    virtual void ProcessDeferred() = 0;
    // Stops the input detector.
    virtual void StopInput() = 0;
    // The stream nears the service's audio cap with speech still coming: the input ends
    // here, and the result completes as one cut off by the recognition timeout (008, 015).
    virtual void EndInputAtCap() = 0;
    // Stops the inter-result timer when it runs.
    virtual void StopInterResultTimer() = 0;
    // Appends the audio to the utterance file when one is open.
    virtual void WriteUtterance(const char* data, size_t size) = 0;
    // Closes the utterance file when one is open.
    virtual void CloseUtterance() = 0;
    // A block that has been sent and is not kept: its buffer may carry a later block.
    // Default: freed with the chunk.
    virtual void RecycleAudio(DataChunk&& /*chunk*/) {}

    // ---- Recognition-details record ---------------------------------------------------------
    virtual void MarkStream(StreamMark mark) = 0;
    virtual void AddBytesSent(size_t size) = 0;
    // The query result's JSON text; cleared (empty) before each new result.
    virtual void SetQueryResultText(const std::string& json) = 0;
    virtual const std::string& GetQueryResultText() const = 0;
    // URI of the audio the service returned in this recognition; empty: none.
    virtual const std::string& GetOutputAudioUri() const = 0;
};

}  // namespace Zeph
