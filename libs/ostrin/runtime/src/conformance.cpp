#include "ostrin_runtime/conformance.h"

#include <algorithm>

namespace OstrinRuntime {

const char* const ConformanceChecker::kRuleOneResponse = "one response per request";
const char* const ConformanceChecker::kRuleResponseId = "response names a request";
const char* const ConformanceChecker::kRuleEventInProgress = "event needs a request IN-PROGRESS";
const char* const ConformanceChecker::kRuleAfterComplete = "nothing after COMPLETE";
const char* const ConformanceChecker::kRuleStopEnds = "STOP ends the stopped request";
const char* const ConformanceChecker::kRuleOpenOnce = "one open response";
const char* const ConformanceChecker::kRuleCloseOnce = "one close response";
const char* const ConformanceChecker::kRuleResponseMissing = "every request gets a response";
const char* const ConformanceChecker::kRuleUnknownMessage = "message is a response or an event";

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
    requests_[request_id] = Request{method, Phase::kSent, false, false};
    return true;
}

MessageVerdict ConformanceChecker::OnMessage(const MessageInfo& message,
                                             std::vector<Violation>* violations) {
    MessageVerdict verdict;
    uint64_t id = message.request_id;
    auto it = requests_.find(id);

    if (message.kind == MessageInfo::Kind::kOther) {
        Report(violations, id, kRuleUnknownMessage, "the plugin sent a request");
        verdict.deliver = false;
        return verdict;
    }

    if (message.kind == MessageInfo::Kind::kResponse) {
        if (it == requests_.end()) {
            Report(violations, id, kRuleResponseId, "no request has this id");
            return verdict;
        }
        Request& request = it->second;
        if (request.responded) {
            Report(violations, id, kRuleOneResponse, "second response");
            if (request.phase == Phase::kComplete)
                verdict.deliver = false;
            return verdict;
        }
        request.responded = true;
        if (message.state == MessageInfo::State::kComplete) {
            request.phase = Phase::kComplete;
            verdict.finished_requests.push_back(id);
        } else {
            request.phase = Phase::kInProgress;
        }
        bool success = message.status_code >= 200 && message.status_code < 300;
        if (request.method == "STOP" && success) {
            // The requests that this STOP ends: every other request still in progress.
            std::vector<uint64_t> in_progress;
            for (auto& entry : requests_) {
                if (entry.first != id && entry.second.phase == Phase::kInProgress) {
                    in_progress.push_back(entry.first);
                }
            }
            std::vector<uint64_t> stopped = in_progress;
            if (!message.has_active_request_id_list) {
                verdict.add_active_request_ids = in_progress;
            } else {
                stopped.clear();
                for (uint64_t listed : message.active_request_ids) {
                    auto listed_it = requests_.find(listed);
                    if (listed_it == requests_.end() ||
                        listed_it->second.phase != Phase::kInProgress) {
                        Report(violations, id, kRuleStopEnds,
                               "Active-Request-Id-List names request " + std::to_string(listed) +
                                   ", which is not in progress");
                    } else {
                        stopped.push_back(listed);
                    }
                }
                for (uint64_t running : in_progress) {
                    if (std::find(stopped.begin(), stopped.end(), running) == stopped.end()) {
                        Report(violations, id, kRuleStopEnds,
                               "Active-Request-Id-List leaves out request " +
                                   std::to_string(running) + " in progress");
                    }
                }
            }
            for (uint64_t ended : stopped) {
                requests_[ended].phase = Phase::kComplete;
                requests_[ended].stopped = true;
                verdict.finished_requests.push_back(ended);
            }
        }
        return verdict;
    }

    // An event.
    const std::string& name = message.event_name;
    if (it == requests_.end()) {
        Report(violations, id, kRuleEventInProgress, name + " names no request");
        return verdict;
    }
    Request& request = it->second;
    if (request.phase == Phase::kComplete) {
        if (request.stopped) {
            Report(violations, id, kRuleStopEnds, name + " after the request was stopped");
        } else {
            Report(violations, id, kRuleAfterComplete, name + " after the request completed");
        }
        verdict.deliver = false;
        return verdict;
    }
    if (request.phase == Phase::kSent) {
        // Dropped and not counted as the response, so that the response that follows is
        // taken as the first and only one.
        Report(violations, id, kRuleEventInProgress, name + " before the request's response");
        verdict.deliver = false;
        return verdict;
    }
    if (message.state == MessageInfo::State::kComplete) {
        request.phase = Phase::kComplete;
        verdict.finished_requests.push_back(id);
    }
    return verdict;
}

void ConformanceChecker::OnOpenResponse(std::vector<Violation>* violations) {
    if (++open_responses_ > 1)
        Report(violations, 0, kRuleOpenOnce, "second open response");
}

void ConformanceChecker::OnCloseResponse(std::vector<Violation>* violations) {
    if (++close_responses_ > 1)
        Report(violations, 0, kRuleCloseOnce, "second close response");
}

void ConformanceChecker::OnChannelClosed(std::vector<Violation>* violations) {
    for (auto& entry : requests_) {
        if (!entry.second.responded) {
            Report(violations, entry.first, kRuleResponseMissing, "no response before close");
            entry.second.responded = true;
            entry.second.phase = Phase::kComplete;
        }
    }
}

}  // namespace OstrinRuntime
