#include "ostrin_runtime/conformance.h"

#include <apr_general.h>
#include <apr_pools.h>
#include <apr_xml.h>
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <strings.h>

#include <algorithm>
#include <cstring>

namespace OstrinRuntime {

const char* const ConformanceChecker::kRuleOneResponse = "one response per request";
const char* const ConformanceChecker::kRuleResponseId = "response names a request";
const char* const ConformanceChecker::kRuleEventInProgress = "event needs a request IN-PROGRESS";
const char* const ConformanceChecker::kRuleAfterComplete = "nothing after COMPLETE";
const char* const ConformanceChecker::kRuleStopEnds = "STOP ends the stopped request";
const char* const ConformanceChecker::kRuleStopLists =
    "a STOP response lists every request it ends";
const char* const ConformanceChecker::kRuleUnsupportedMethod = "no 200 for an unsupported method";
const char* const ConformanceChecker::kRuleResponseMissing = "every request gets a response";
const char* const ConformanceChecker::kRuleEndsBeforeClose = "every request ends before close";
const char* const ConformanceChecker::kRuleUnknownMessage = "message is a response or an event";
const char* const ConformanceChecker::kRuleChannelId = "Channel-Identifier names the channel";
const char* const ConformanceChecker::kRuleVersion = "version is the channel's";
const char* const ConformanceChecker::kRuleStates =
    "request states move PENDING, IN-PROGRESS, COMPLETE";
const char* const ConformanceChecker::kRuleFailureComplete = "failures are COMPLETE";
const char* const ConformanceChecker::kRuleOnlyRecognize =
    "only RECOGNIZE and INTERPRET stay in progress";
const char* const ConformanceChecker::kRuleStatusCode = "status code is one of RFC 6787's";
const char* const ConformanceChecker::kRuleOneRecognize = "one RECOGNIZE in progress per channel";
const char* const ConformanceChecker::kRuleEventFits = "events fit their method";
const char* const ConformanceChecker::kRuleStartOfInput = "START-OF-INPUT once, IN-PROGRESS";
const char* const ConformanceChecker::kRuleRecognitionComplete =
    "RECOGNITION-COMPLETE is COMPLETE with a Completion-Cause";
const char* const ConformanceChecker::kRuleBody = "a body has Content-Type and one Content-Length";
const char* const ConformanceChecker::kRuleHeaderOnce = "each header once";
const char* const ConformanceChecker::kRuleHeaderText = "no control characters in header values";
const char* const ConformanceChecker::kRuleWritable = "message can be written";
const char* const ConformanceChecker::kRuleReadsBack = "message reads back";
const char* const ConformanceChecker::kRuleOpenOnce = "one open response";
const char* const ConformanceChecker::kRuleCloseOnce = "one close response";
const char* const ConformanceChecker::kRuleNothingAfterClose = "nothing after close";
const char* const ConformanceChecker::kRuleChannelExists = "messages name an existing channel";
const char* const ConformanceChecker::kRuleBodyParses = "an NLSML or JSON body parses";
const char* const ConformanceChecker::kRuleWaveformUri = "Waveform-URI is <URI>;size=N;duration=M";

namespace {

const char* StateName(MessageInfo::State state) {
    switch (state) {
        case MessageInfo::State::kComplete:
            return "COMPLETE";
        case MessageInfo::State::kInProgress:
            return "IN-PROGRESS";
        case MessageInfo::State::kPending:
            return "PENDING";
        default:
            return "?";
    }
}

// RFC 6787's status codes: 200-201 success, 401-410 client failure, 421-499 resource
// specific failure, 501, 502 and 504 server failure.
bool StatusInTable(int code) {
    return code == 200 || code == 201 || (code >= 401 && code <= 410) ||
           (code >= 421 && code <= 499) || code == 501 || code == 502 || code == 504;
}

bool IsSuccess(int code) {
    return code >= 200 && code <= 299;
}

// Methods whose request may stay PENDING or IN-PROGRESS after its response.
bool MayStayInProgress(const std::string& method) {
    return method == "RECOGNIZE" || method == "INTERPRET";
}

// A success that cannot be one: an INTERPRET that succeeds stays IN-PROGRESS until its
// INTERPRETATION-COMPLETE, and a GET-RESULT that succeeds carries the result. A plugin that
// answers so without doing the work acknowledges a method it does not support (RFC 6787:
// such a method is refused). Empty when the answer is plausible.
std::string UnsupportedSuccess(const std::string& method, const MessageInfo& message) {
    if (method == "INTERPRET" && message.state == MessageInfo::State::kComplete)
        return "INTERPRET answered " + std::to_string(message.status_code) +
               " COMPLETE: no interpretation will follow";
    if (method == "GET-RESULT" && message.body_length == 0)
        return "GET-RESULT answered " + std::to_string(message.status_code) + " without a result";
    return "";
}

bool IsStartOfInput(const std::string& name) {
    return name == "START-OF-INPUT" || name == "START-OF-SPEECH";
}

// Empty when `body` is well-formed XML, else the parser's error.
std::string XmlError(const std::string& body) {
    // Reference-counted: the host has initialised APR already; a unit test may not have.
    if (apr_initialize() != APR_SUCCESS)
        return "";
    apr_pool_t* pool = nullptr;
    std::string error;
    if (apr_pool_create(&pool, nullptr) == APR_SUCCESS) {
        apr_xml_parser* parser = apr_xml_parser_create(pool);
        apr_xml_doc* doc = nullptr;
        if (apr_xml_parser_feed(parser, body.data(), body.size()) != APR_SUCCESS ||
            apr_xml_parser_done(parser, &doc) != APR_SUCCESS) {
            char text[256] = "";
            apr_xml_parser_geterror(parser, text, sizeof(text));
            error = text[0] != '\0' ? text : "not well-formed";
        }
        apr_pool_destroy(pool);
    }
    apr_terminate();
    return error;
}

// Empty when `body` is one JSON value in valid UTF-8, else the parser's error.
std::string JsonError(const std::string& body) {
    rapidjson::Document doc;
    doc.Parse<rapidjson::kParseValidateEncodingFlag>(body.data(), body.size());
    if (!doc.HasParseError())
        return "";
    return std::string(rapidjson::GetParseError_En(doc.GetParseError())) + " at offset " +
           std::to_string(doc.GetErrorOffset());
}

// An MRCPv2 Waveform-URI value: empty (no waveform) or "<" URI ">;size=" digits
// ";duration=" digits.
bool IsWaveformUri(const std::string& value) {
    if (value.empty())
        return true;
    size_t close = value.find('>');
    if (value[0] != '<' || close == std::string::npos || close == 1)
        return false;
    size_t at = close + 1;
    for (const char* field : {";size=", ";duration="}) {
        size_t length = std::strlen(field);
        if (value.compare(at, length, field) != 0)
            return false;
        at += length;
        size_t digits = value.find_first_not_of("0123456789", at);
        if (digits == at)
            return false;
        at = digits == std::string::npos ? value.size() : digits;
    }
    return at == value.size();
}

// A result body that a client's parser would refuse: the type's name and the parser's error.
std::string BodyError(const std::string& content_type, const std::string& body) {
    // The media type without parameters ("; charset=..."), compared without case.
    std::string type = content_type.substr(0, content_type.find(';'));
    type.erase(type.find_last_not_of(" \t") + 1);
    if (strcasecmp(type.c_str(), "application/x-nlsml") == 0 ||
        strcasecmp(type.c_str(), "application/nlsml+xml") == 0) {
        std::string error = XmlError(body);
        return error.empty() ? "" : "NLSML body is not well-formed XML: " + error;
    }
    if (strcasecmp(type.c_str(), "application/json") == 0) {
        std::string error = JsonError(body);
        return error.empty() ? "" : "JSON body does not parse: " + error;
    }
    return "";
}

}  // namespace

void ConformanceChecker::SetChannel(const std::string& name, int version) {
    name_ = name;
    version_ = version;
}

void ConformanceChecker::Report(std::vector<Violation>* violations, uint64_t id, const char* rule,
                                const std::string& detail) {
    Violation violation;
    violation.request_id = id;
    auto it = requests_.find(id);
    if (it != requests_.end())
        violation.method = it->second.method;
    violation.rule = rule;
    violation.detail = detail;
    violations->push_back(std::move(violation));
}

bool ConformanceChecker::OnRequest(uint64_t request_id, const std::string& method) {
    auto it = requests_.find(request_id);
    if (it != requests_.end() && it->second.phase != Phase::kComplete)
        return false;
    requests_[request_id] = Request{method, Phase::kSent, false, false, false};
    return true;
}

void ConformanceChecker::Finish(uint64_t id, MessageVerdict* verdict) {
    Request& request = requests_[id];
    if (request.phase != Phase::kComplete) {
        request.phase = Phase::kComplete;
        verdict->finished_requests.push_back(id);
    }
}

uint64_t ConformanceChecker::RecognizeInProgress(uint64_t id) const {
    for (const auto& entry : requests_) {
        if (entry.first != id && entry.second.method == "RECOGNIZE" &&
            entry.second.phase == Phase::kInProgress) {
            return entry.first;
        }
    }
    return 0;
}

bool ConformanceChecker::CheckMessage(const MessageInfo& message,
                                      std::vector<Violation>* violations) {
    uint64_t id = message.request_id;
    if (message.version != 1 && message.version != 2) {
        Report(violations, id, kRuleVersion,
               "MRCP version " + std::to_string(message.version) + " on an MRCPv" +
                   std::to_string(version_) + " channel");
        return false;
    }
    if (message.version != version_) {
        Report(violations, id, kRuleVersion,
               "an MRCPv" + std::to_string(message.version) + " message on an MRCPv" +
                   std::to_string(version_) + " channel");
        return false;
    }
    // MRCPv1 has no Channel-Identifier on the wire, but a message made for another channel
    // still carries that channel's session.
    bool session_ok = message.channel_session == name_ ||
                      (message.version == 1 && message.channel_session.empty());
    bool resource_ok = message.channel_resource.empty() ||
                       strcasecmp(message.channel_resource.c_str(), "speechrecog") == 0;
    if (!session_ok || !resource_ok) {
        Report(violations, id, kRuleChannelId,
               "the message names channel '" + message.channel_session + "@" +
                   message.channel_resource + "' but came on '" + name_ + "'");
        return false;
    }

    // Messages that cannot go out as they are: the most specific reason is reported.
    if (message.write_error.empty() && message.header_text_error.empty() &&
        message.read_back_error.empty()) {
        return true;
    }
    bool is_response = message.kind == MessageInfo::Kind::kResponse;
    if (message.state == MessageInfo::State::kInvalid) {
        Report(violations, id, kRuleStates,
               "request state " + std::to_string(message.raw_state) +
                   " is none of COMPLETE, IN-PROGRESS, PENDING");
    } else if (!is_response && message.event_name.empty()) {
        Report(violations, id, kRuleEventFits,
               "unknown event id " + std::to_string(message.event_id));
    } else if (is_response && (message.status_code < 100 || message.status_code > 999)) {
        Report(violations, id, kRuleStatusCode,
               "status " + std::to_string(message.status_code) + " is not a status code");
    } else if (!is_response && message.has_completion_cause && !message.completion_cause_known) {
        Report(violations, id, kRuleRecognitionComplete,
               "Completion-Cause " + std::to_string(message.completion_cause) +
                   " is not a cause of MRCPv" + std::to_string(message.version));
    } else if (!message.header_text_error.empty()) {
        Report(violations, id, kRuleHeaderText, message.header_text_error);
    } else if (message.content_length_headers > 1) {
        Report(violations, id, kRuleBody,
               std::to_string(message.content_length_headers) + " Content-Length headers");
    } else if (!message.duplicate_headers.empty()) {
        Report(violations, id, kRuleHeaderOnce,
               message.duplicate_headers.front() + " more than once");
    } else if (!message.write_error.empty()) {
        Report(violations, id, kRuleWritable, message.write_error);
    } else {
        Report(violations, id, kRuleReadsBack, message.read_back_error);
    }
    return false;
}

MessageVerdict ConformanceChecker::OnMessage(const MessageInfo& message,
                                             std::vector<Violation>* violations) {
    MessageVerdict verdict;
    size_t before = violations->size();
    if (message.kind == MessageInfo::Kind::kOther) {
        Report(violations, message.request_id, kRuleUnknownMessage,
               message.raw_type == 1
                   ? std::string("the plugin sent a request")
                   : "message type " + std::to_string(message.raw_type) + " is unknown");
        verdict.deliver = false;
    } else if (!CheckMessage(message, violations)) {
        verdict.deliver = false;
    } else {
        if (message.body_length > 0 && !message.has_content_type) {
            Report(
                violations, message.request_id, kRuleBody,
                "a body of " + std::to_string(message.body_length) + " bytes without Content-Type");
        }
        std::string body_error = BodyError(message.content_type, message.body);
        if (!body_error.empty())
            Report(violations, message.request_id, kRuleBodyParses, body_error);
        if (message.has_waveform_uri && message.version == 2 &&
            !IsWaveformUri(message.waveform_uri)) {
            Report(violations, message.request_id, kRuleWaveformUri,
                   "Waveform-URI [" + message.waveform_uri + "]");
        }
        if (message.kind == MessageInfo::Kind::kResponse) {
            OnResponse(message, &verdict, violations);
        } else {
            OnEvent(message, &verdict, violations);
        }
    }
    verdict.conforming = violations->size() == before;
    return verdict;
}

void ConformanceChecker::OnResponse(const MessageInfo& message, MessageVerdict* verdict,
                                    std::vector<Violation>* violations) {
    uint64_t id = message.request_id;
    auto it = requests_.find(id);
    if (it == requests_.end()) {
        Report(violations, id, kRuleResponseId, "no request has this id");
        return;
    }
    Request& request = it->second;
    if (request.responded) {
        Report(violations, id, kRuleOneResponse, "second response");
        if (request.phase == Phase::kComplete)
            verdict->deliver = false;
        return;
    }
    request.responded = true;
    int status = message.status_code;
    const char* state = StateName(message.state);
    if (!StatusInTable(status)) {
        Report(violations, id, kRuleStatusCode,
               "status " + std::to_string(status) + " is not in RFC 6787's table");
    }
    bool success = IsSuccess(status);
    bool complete = message.state == MessageInfo::State::kComplete;
    if (!success && !complete) {
        Report(violations, id, kRuleFailureComplete,
               "status " + std::to_string(status) + " with state " + state);
    }
    if (!complete && !MayStayInProgress(request.method)) {
        Report(violations, id, kRuleOnlyRecognize,
               request.method + " answered " + state + " instead of COMPLETE");
    }
    if (request.method == "RECOGNIZE" && message.state == MessageInfo::State::kInProgress) {
        if (uint64_t other = RecognizeInProgress(id)) {
            Report(violations, id, kRuleOneRecognize,
                   "answered IN-PROGRESS while RECOGNIZE " + std::to_string(other) +
                       " is in progress (refuse it COMPLETE or hold it PENDING)");
        }
    }
    if (success) {
        std::string unsupported = UnsupportedSuccess(request.method, message);
        if (!unsupported.empty())
            Report(violations, id, kRuleUnsupportedMethod, unsupported);
    }
    if (complete) {
        Finish(id, verdict);
    } else {
        request.phase =
            message.state == MessageInfo::State::kPending ? Phase::kPending : Phase::kInProgress;
    }
    if (request.method != "STOP" || !success)
        return;

    // The requests that this STOP ends: every other request still pending or in progress.
    std::vector<uint64_t> running;
    for (auto& entry : requests_) {
        if (entry.first != id &&
            (entry.second.phase == Phase::kInProgress || entry.second.phase == Phase::kPending)) {
            running.push_back(entry.first);
        }
    }
    std::vector<uint64_t> stopped = running;
    if (!message.has_active_request_id_list) {
        verdict->add_active_request_ids = running;
        for (uint64_t open : running) {
            Report(violations, id, kRuleStopLists,
                   "no Active-Request-Id-List, yet request " + std::to_string(open) +
                       " was in progress");
        }
    } else {
        stopped.clear();
        for (uint64_t listed : message.active_request_ids) {
            if (std::find(running.begin(), running.end(), listed) == running.end()) {
                Report(violations, id, kRuleStopEnds,
                       "Active-Request-Id-List names request " + std::to_string(listed) +
                           ", which is not in progress");
            } else {
                stopped.push_back(listed);
            }
        }
        for (uint64_t open : running) {
            if (std::find(stopped.begin(), stopped.end(), open) == stopped.end()) {
                Report(violations, id, kRuleStopLists,
                       "Active-Request-Id-List leaves out request " + std::to_string(open) +
                           " in progress");
            }
        }
    }
    for (uint64_t ended : stopped) {
        requests_[ended].stopped = true;
        Finish(ended, verdict);
    }
}

void ConformanceChecker::OnEvent(const MessageInfo& message, MessageVerdict* verdict,
                                 std::vector<Violation>* violations) {
    uint64_t id = message.request_id;
    const std::string& name = message.event_name;
    auto it = requests_.find(id);
    if (it == requests_.end()) {
        Report(violations, id, kRuleEventInProgress, name + " names no request");
        verdict->deliver = false;
        return;
    }
    Request& request = it->second;
    if (request.phase == Phase::kComplete) {
        if (request.stopped) {
            Report(violations, id, kRuleStopEnds, name + " after the request was stopped");
        } else {
            Report(violations, id, kRuleAfterComplete, name + " after the request completed");
        }
        verdict->deliver = false;
        return;
    }
    if (request.phase == Phase::kSent) {
        // Dropped and not counted as the response, so that the response that follows is
        // taken as the first and only one.
        Report(violations, id, kRuleEventInProgress, name + " before the request's response");
        verdict->deliver = false;
        return;
    }
    const char* wanted = name == "INTERPRETATION-COMPLETE" ? "INTERPRET" : "RECOGNIZE";
    if (request.method != wanted) {
        Report(violations, id, kRuleEventFits, name + " for a " + request.method + " request");
        verdict->deliver = false;
        return;
    }
    if (message.state == MessageInfo::State::kPending) {
        // An event tells progress: the request is in progress or complete by now.
        Report(violations, id, kRuleStates, name + " with state PENDING");
        return;
    }
    bool complete = message.state == MessageInfo::State::kComplete;
    if (IsStartOfInput(name)) {
        if (request.start_of_input)
            Report(violations, id, kRuleStartOfInput, "second " + name);
        if (complete)
            Report(violations, id, kRuleStartOfInput, name + " with state COMPLETE");
        request.start_of_input = true;
    } else if (name == "RECOGNITION-COMPLETE") {
        if (!complete)
            Report(violations, id, kRuleRecognitionComplete,
                   name + " with state " + StateName(message.state));
        if (!message.has_completion_cause) {
            Report(violations, id, kRuleRecognitionComplete, name + " without Completion-Cause");
        } else if (!message.completion_cause_known) {
            Report(violations, id, kRuleRecognitionComplete,
                   "Completion-Cause " + std::to_string(message.completion_cause) +
                       " is not a cause of MRCPv" + std::to_string(message.version));
        }
    }
    if (request.phase == Phase::kPending && request.method == "RECOGNIZE") {
        if (uint64_t other = RecognizeInProgress(id)) {
            Report(violations, id, kRuleOneRecognize,
                   "PENDING RECOGNIZE started (" + name + ") while RECOGNIZE " +
                       std::to_string(other) + " is in progress");
        }
    }
    if (complete) {
        Finish(id, verdict);
    } else {
        request.phase = Phase::kInProgress;
    }
}

void ConformanceChecker::OnOpenResponse(std::vector<Violation>* violations) {
    if (++open_responses_ > 1)
        Report(violations, 0, kRuleOpenOnce, "second open response");
}

void ConformanceChecker::ReportOpenRequests(const char* when, std::vector<Violation>* violations) {
    for (auto& entry : requests_) {
        Request& request = entry.second;
        if (request.phase == Phase::kComplete)
            continue;
        if (!request.responded) {
            Report(violations, entry.first, kRuleResponseMissing,
                   std::string("no response before ") + when);
        } else {
            Report(violations, entry.first, kRuleEndsBeforeClose,
                   std::string("still ") +
                       (request.phase == Phase::kPending ? "PENDING" : "IN-PROGRESS") + " at " +
                       when);
        }
        request.responded = true;
        request.phase = Phase::kComplete;
    }
}

void ConformanceChecker::OnCloseResponse(std::vector<Violation>* violations) {
    if (++close_responses_ > 1) {
        Report(violations, 0, kRuleCloseOnce, "second close response");
        return;
    }
    ReportOpenRequests("the close response", violations);
}

void ConformanceChecker::OnChannelClosed(std::vector<Violation>* violations) {
    ReportOpenRequests("close", violations);
}

}  // namespace OstrinRuntime
