// MRCP conformance checking of what a plugin sends on one channel: the request/response/event
// rules a recognizer resource must keep (RFC 6787), plus the server's own fix-up of STOP
// responses. Every rule has a name (the kRule* texts), listed with an example in
// tools/ostrin/README.md.
//
// Owned by the HostChannel it checks; the server thread only.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace OstrinRuntime {

// What the checker needs to know of a message the plugin sent. Enumerated values are kept
// as the plugin set them (raw numbers), so that an out-of-range value is reported, not read
// as an enumerator.
struct MessageInfo {
    enum class Kind { kResponse, kEvent, kOther };
    enum class State { kComplete, kInProgress, kPending, kInvalid };

    Kind kind = Kind::kOther;
    int raw_type = 0;  // the message type as set
    uint64_t request_id = 0;
    State state = State::kComplete;
    int raw_state = 0;
    int status_code = 0;
    int version = 2;              // as set: 1, 2, or anything else
    std::string channel_session;  // the Channel-Identifier's session part
    std::string channel_resource;
    std::string event_name;  // events only; empty for an unknown event id
    uint64_t event_id = 0;
    bool has_active_request_id_list = false;
    std::vector<uint64_t> active_request_ids;
    bool has_completion_cause = false;
    int completion_cause = 0;
    bool completion_cause_known = false;  // a cause of the message's version
    bool has_content_type = false;
    std::string content_type;
    std::string body;
    bool has_waveform_uri = false;
    std::string waveform_uri;  // the Waveform-URI (MRCPv1: Waveform-URL) value
    size_t body_length = 0;
    int content_length_headers = 0;              // as they would be written
    std::vector<std::string> duplicate_headers;  // names written more than once
    std::string header_text_error;               // a header that cannot be written as is
    std::string write_error;                     // the text cannot be written (other reasons)
    std::string read_back_error;                 // the written text does not parse back
};

struct Violation {
    uint64_t request_id = 0;  // 0 when the rule is about the channel (open, close)
    std::string method;       // the request's method, or "" when unknown
    std::string rule;         // one of the kRule* texts
    std::string detail;
};

// What the server does with a message after checking it.
struct MessageVerdict {
    bool deliver = true;  // false: the server drops it, as a real server would
    // Nothing was wrong with it: only such messages satisfy a scenario's `wait`.
    bool conforming = true;
    // A 2xx STOP response that lacks Active-Request-Id-List (a violation when it ends
    // requests): the server adds it with these ids, so the client still learns them.
    std::vector<uint64_t> add_active_request_ids;
    // Requests that have had their final message with this one (their memory can go).
    std::vector<uint64_t> finished_requests;
};

class ConformanceChecker {
public:
    // Requests and their answers.
    static const char* const kRuleOneResponse;      // "one response per request"
    static const char* const kRuleResponseId;       // "response names a request"
    static const char* const kRuleEventInProgress;  // "event needs a request IN-PROGRESS"
    static const char* const kRuleAfterComplete;    // "nothing after COMPLETE"
    static const char* const kRuleStopEnds;         // "STOP ends the stopped request"
    static const char* const kRuleStopLists;        // "a STOP response lists every request it ends"
    static const char* const kRuleUnsupportedMethod;  // "no 200 for an unsupported method"
    static const char* const kRuleResponseMissing;    // "every request gets a response"
    static const char* const kRuleEndsBeforeClose;    // "every request ends before close"
    static const char* const kRuleUnknownMessage;     // "message is a response or an event"
    // Identity of a message.
    static const char* const kRuleChannelId;  // "Channel-Identifier names the channel"
    static const char* const kRuleVersion;    // "version is the channel's"
    // Request states and status codes.
    static const char* const kRuleStates;  // "request states move PENDING, IN-PROGRESS, COMPLETE"
    static const char* const kRuleFailureComplete;  // "failures are COMPLETE"
    static const char* const kRuleOnlyRecognize;  // "only RECOGNIZE and INTERPRET stay in progress"
    static const char* const kRuleStatusCode;     // "status code is one of RFC 6787's"
    static const char* const kRuleOneRecognize;   // "one RECOGNIZE in progress per channel"
    // Events.
    static const char* const kRuleEventFits;            // "events fit their method"
    static const char* const kRuleStartOfInput;         // "START-OF-INPUT once, IN-PROGRESS"
    static const char* const kRuleRecognitionComplete;  // "RECOGNITION-COMPLETE is COMPLETE
                                                        // with a Completion-Cause"
    // Headers and body.
    static const char* const kRuleBody;         // "a body has Content-Type and one Content-Length"
    static const char* const kRuleBodyParses;   // "an NLSML or JSON body parses"
    static const char* const kRuleWaveformUri;  // "Waveform-URI is <URI>;size=N;duration=M"
    static const char* const kRuleHeaderOnce;   // "each header once"
    static const char* const kRuleHeaderText;   // "no control characters in header values"
    static const char* const kRuleWritable;     // "message can be written"
    static const char* const kRuleReadsBack;    // "message reads back"
    // Channel life.
    static const char* const kRuleOpenOnce;           // "one open response"
    static const char* const kRuleCloseOnce;          // "one close response"
    static const char* const kRuleNothingAfterClose;  // "nothing after close"
    static const char* const kRuleChannelExists;      // "messages name an existing channel"

    // The channel's name (its Channel-Identifier session) and MRCP version (1 or 2).
    void SetChannel(const std::string& name, int version);

    // Records a request handed to the plugin. False when the id is still in use by an
    // unfinished request (the caller refuses to send it).
    bool OnRequest(uint64_t request_id, const std::string& method);
    MessageVerdict OnMessage(const MessageInfo& message, std::vector<Violation>* violations);
    void OnOpenResponse(std::vector<Violation>* violations);
    // Requests still open at the close response are violations.
    void OnCloseResponse(std::vector<Violation>* violations);
    // The channel is closed (answered or not): what is still open is a violation.
    void OnChannelClosed(std::vector<Violation>* violations);

private:
    enum class Phase { kSent, kPending, kInProgress, kComplete };
    struct Request {
        std::string method;
        Phase phase = Phase::kSent;
        bool responded = false;
        bool stopped = false;  // ended by a STOP
        bool start_of_input = false;
    };

    void Report(std::vector<Violation>* violations, uint64_t id, const char* rule,
                const std::string& detail);
    // Rules about the message itself (identity, headers, body); false: not deliverable.
    bool CheckMessage(const MessageInfo& message, std::vector<Violation>* violations);
    void OnResponse(const MessageInfo& message, MessageVerdict* verdict,
                    std::vector<Violation>* violations);
    void OnEvent(const MessageInfo& message, MessageVerdict* verdict,
                 std::vector<Violation>* violations);
    void Finish(uint64_t id, MessageVerdict* verdict);
    // Another RECOGNIZE in progress besides `id`, or 0.
    uint64_t RecognizeInProgress(uint64_t id) const;
    void ReportOpenRequests(const char* when, std::vector<Violation>* violations);

    std::string name_;
    int version_ = 2;
    std::map<uint64_t, Request> requests_;
    int open_responses_ = 0;
    int close_responses_ = 0;
};

}  // namespace OstrinRuntime
