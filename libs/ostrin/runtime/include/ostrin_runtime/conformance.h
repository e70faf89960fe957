// MRCP conformance checking of what a plugin sends on one channel: the request/response/event
// rules a recognizer resource must keep, plus the server's own fix-up of STOP responses.
//
// Owned by the HostChannel it checks; the server thread only.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace OstrinRuntime {

// What the checker needs to know of a message the plugin sent.
struct MessageInfo {
    enum class Kind { kResponse, kEvent, kOther };
    enum class State { kComplete, kInProgress, kPending };

    Kind kind = Kind::kOther;
    uint64_t request_id = 0;
    State state = State::kComplete;
    int status_code = 0;
    std::string event_name;  // events only
    bool has_active_request_id_list = false;
    std::vector<uint64_t> active_request_ids;
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
    // A 2xx STOP response that lacks Active-Request-Id-List: the server adds it with these ids.
    std::vector<uint64_t> add_active_request_ids;
    // Requests that have had their final message with this one (their memory can go).
    std::vector<uint64_t> finished_requests;
};

class ConformanceChecker {
public:
    static const char* const kRuleOneResponse;      // "one response per request"
    static const char* const kRuleResponseId;       // "response names a request"
    static const char* const kRuleEventInProgress;  // "event needs a request IN-PROGRESS"
    static const char* const kRuleAfterComplete;    // "nothing after COMPLETE"
    static const char* const kRuleStopEnds;         // "STOP ends the stopped request"
    static const char* const kRuleOpenOnce;         // "one open response"
    static const char* const kRuleCloseOnce;        // "one close response"
    static const char* const kRuleResponseMissing;  // "every request gets a response"
    static const char* const kRuleUnknownMessage;   // "message is a response or an event"

    // Records a request handed to the plugin. False when the id is still in use by an
    // unfinished request (the caller refuses to send it).
    bool OnRequest(uint64_t request_id, const std::string& method);
    MessageVerdict OnMessage(const MessageInfo& message, std::vector<Violation>* violations);
    void OnOpenResponse(std::vector<Violation>* violations);
    void OnCloseResponse(std::vector<Violation>* violations);
    // The channel is closed: requests still waiting for their response are violations.
    void OnChannelClosed(std::vector<Violation>* violations);

private:
    enum class Phase { kSent, kInProgress, kComplete };
    struct Request {
        std::string method;
        Phase phase = Phase::kSent;
        bool responded = false;
        bool stopped = false;  // ended by a STOP
    };

    void Report(std::vector<Violation>* violations, uint64_t id, const char* rule,
                const std::string& detail);

    std::map<uint64_t, Request> requests_;
    int open_responses_ = 0;
    int close_responses_ = 0;
};

}  // namespace OstrinRuntime
