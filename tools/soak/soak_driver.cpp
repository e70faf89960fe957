#include "soak_driver.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>

// The sanitizer allocator's bytes in use, when a sanitizer is linked in.
extern "C" size_t __sanitizer_get_current_allocated_bytes() __attribute__((weak));
extern "C" void __sanitizer_print_memory_profile(size_t top_percent, size_t max_contexts)
    __attribute__((weak));

namespace ZephSoak {

namespace {

using OstrinRuntime::MessageInfo;
using OstrinRuntime::PluginMessage;

// What the sim says for every audio stream unless a session changes it: an interim
// transcript early, end of utterance after 0.8 s of 8 kHz audio, then the final transcript.
const char* const kUtterance =
    "\"interim\": [{\"at_bytes\": 3200, \"transcript\": \"book a\"}], "
    "\"end_of_utterance\": 12800, \"transcript\": \"book a table\"";

const std::vector<SimSession> kSessions = {
    {"ok", "\"intent\": \"book\"", 40},
    {"fallback", "\"confidence\": 0.4", 4},
    {"webhook-down",
     "\"intent\": \"book\", \"webhook_status\": {\"code\": \"UNAVAILABLE\", "
     "\"message\": \"webhook down\"}",
     4},
    {"refuse",
     "\"intent\": \"book\", \"faults\": {\"refuse\": {\"code\": \"UNAVAILABLE\", "
     "\"message\": \"soak refusal\"}}",
     6},
    {"delay-accept", "\"intent\": \"book\", \"faults\": {\"delay_accept_ms\": 150}", 6},
    {"delay-answer", "\"intent\": \"book\", \"faults\": {\"delay_answer_ms\": 250}", 8},
    {"abort", "\"intent\": \"book\", \"faults\": {\"abort_after_bytes\": 4800}", 6},
    {"reset", "\"intent\": \"book\", \"faults\": {\"reset_after_bytes\": 4800}", 6},
    {"no-result", "\"intent\": \"book\", \"faults\": {\"end_without_result\": true}", 6},
    {"no-end-of-utterance", "\"intent\": \"book\", \"faults\": {\"no_end_of_utterance\": true}", 6},
    {"stall", "\"intent\": \"book\", \"faults\": {\"stall\": true}", 4},
};

// The stages a STOP or hang-up is drawn from, equally likely.
const Stage kStages[] = {Stage::kAtSend, Stage::kAtResponse, Stage::kStreaming, Stage::kHalfClosed,
                         Stage::kFinishing};

}  // namespace

const char* StageName(Stage stage) {
    switch (stage) {
        case Stage::kNever:
            return "never";
        case Stage::kAtSend:
            return "before the stream (at RECOGNIZE)";
        case Stage::kAtResponse:
            return "before the stream (at IN-PROGRESS)";
        case Stage::kStreaming:
            return "while streaming";
        case Stage::kHalfClosed:
            return "half-closed";
        case Stage::kFinishing:
            return "finishing";
    }
    return "?";
}

const std::vector<SimSession>& SimSessions() {
    return kSessions;
}

std::string AgentJson() {
    std::string json =
        "{\"intents\": [{\"name\": \"book\", \"display_name\": \"Book a Table\", "
        "\"confidence\": 0.95}],\n \"utterances\": [{" +
        std::string(kUtterance) + ", \"intent\": \"book\"}],\n \"sessions\": {";
    for (size_t i = 0; i < kSessions.size(); ++i) {
        json += std::string(i ? ",\n  " : "\n  ") + "\"" + kSessions[i].name + "\": [{" +
                kUtterance + ", " + kSessions[i].faults + "}]";
    }
    return json + "}}\n";
}

long HeapKib() {
    return __sanitizer_get_current_allocated_bytes
               ? long(__sanitizer_get_current_allocated_bytes() / 1024)
               : -1;
}

long ResidentKib() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    if (!(statm >> size >> resident))
        return -1;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

SoakDriver::SoakDriver(const SoakOptions& options, OstrinRuntime::HostEngine* host)
    : options_(options), host_(host), random_(options.seed) {
    calls_.resize(size_t(options_.channels));
    for (size_t i = 0; i < calls_.size(); ++i) {
        calls_[i].name = "c" + std::to_string(i);
        call_by_name_[calls_[i].name] = i;
    }
}

int SoakDriver::Draw(int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random_);
}

Stage SoakDriver::DrawStage() {
    return kStages[Draw(0, int(sizeof(kStages) / sizeof(kStages[0])) - 1)];
}

SoakDriver::Plan SoakDriver::DrawPlan() {
    Plan plan;
    int total = 0;
    for (const SimSession& session : kSessions)
        total += session.weight;
    int pick = Draw(0, total - 1);
    for (size_t i = 0; i < kSessions.size(); ++i) {
        if (pick < kSessions[i].weight) {
            plan.session = i;
            break;
        }
        pick -= kSessions[i].weight;
    }
    int action = Draw(0, 99);
    if (action < 8) {
        plan.hangup_at = DrawStage();
    } else if (action < 18) {
        plan.stop_at = DrawStage();
        plan.double_stop = Draw(0, 4) == 0;
    }
    plan.delay_ms = Draw(0, 200);
    if (Draw(0, 99) < 15)
        plan.inter_result_timeout_ms = Draw(50, 300);
    plan.confidence_threshold = Draw(0, 99) < 30;
    return plan;
}

void SoakDriver::SampleRss() {
    long rss = ResidentKib();
    if (rss > figures_.rss_peak_kib)
        figures_.rss_peak_kib = rss;
    figures_.rss_samples.emplace_back(figures_.ended, rss);
    figures_.heap_samples.emplace_back(figures_.ended, HeapKib());
}

bool SoakDriver::Fail(const Call& call, const std::string& what) {
    if (error_.empty()) {
        error_ = "channel " + call.name + ", RECOGNIZE " + std::to_string(call.recognize_id) +
                 " (session " + kSessions[call.plan.session].name + "): " + what;
    }
    return false;
}

void SoakDriver::EndRecognition(Call& call, const std::string& outcome) {
    if (call.ended)
        return;
    call.ended = true;
    ++figures_.outcomes[outcome];
    ++figures_.ended;
    if (figures_.ended == options_.rss_baseline_at) {
        figures_.rss_baseline_kib = ResidentKib();
        SampleRss();
    } else if (options_.progress_every > 0 && figures_.ended % options_.progress_every == 0) {
        SampleRss();
    }
    if (progress_ && options_.progress_every > 0 && figures_.ended % options_.progress_every == 0) {
        char line[200];
        long seconds =
            long(std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start_).count());
        std::snprintf(line, sizeof(line),
                      "%d recognitions ended, %ld s, RSS %ld KiB, %zu violation(s)", figures_.ended,
                      seconds, figures_.rss_samples.back().second, host_->violation_count());
        progress_(line);
    }
}

void SoakDriver::OnMessage(const PluginMessage& message) {
    ++figures_.messages;
    auto found = call_by_name_.find(message.channel);
    if (found == call_by_name_.end())
        return;
    Call& call = calls_[found->second];
    const MessageInfo& info = message.info;
    if (info.kind == MessageInfo::Kind::kResponse) {
        for (auto it = call.stops_unanswered.begin(); it != call.stops_unanswered.end(); ++it) {
            if (it->first == info.request_id) {
                long latency = long(
                    std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - it->second)
                        .count());
                figures_.stop_latency_max_ms = std::max(figures_.stop_latency_max_ms, latency);
                if (latency > 1000)
                    ++figures_.stops_slow;
                call.stops_unanswered.erase(it);
                for (uint64_t id : info.active_request_ids) {
                    if (id == call.recognize_id)
                        EndRecognition(call, "stopped");
                }
                return;
            }
        }
        if (info.request_id != call.recognize_id)
            return;
        if (info.state == MessageInfo::State::kInProgress) {
            call.in_progress = true;
        } else {
            char outcome[32];
            std::snprintf(outcome, sizeof(outcome), "response %03d", info.status_code);
            EndRecognition(call, outcome);
        }
        return;
    }
    if (info.kind == MessageInfo::Kind::kEvent && info.request_id == call.recognize_id &&
        message.name == "RECOGNITION-COMPLETE") {
        call.completed = true;
        EndRecognition(call, "cause " + message.completion_cause);
    }
}

bool SoakDriver::Open(Call& call) {
    std::string error;
    if (!host_->OpenChannel(call.name, 8000, 2, {}, &error))
        return Fail(call, "open: " + error);
    ++figures_.channels_opened;
    call.open = true;
    call.next_id = 1;
    call.busy = false;
    call.recognize_id = 0;
    call.recognitions_left = Draw(1, 8);
    return true;
}

bool SoakDriver::HangUp(Call& call, const std::string& why) {
    ++figures_.hangups[why];
    std::string error;
    bool closed = host_->CloseChannel(call.name, &error);
    call.open = false;
    if (call.busy && !call.ended) {
        // The host's checker reports the request as unanswered; the run goes on.
        EndRecognition(call, "unanswered at close");
    }
    call.busy = false;
    call.stops_unanswered.clear();
    if (!closed)
        return Fail(call, "close: " + error);
    return true;
}

bool SoakDriver::StartRecognition(Call& call, Clock::time_point now) {
    const Plan plan = DrawPlan();
    call.plan = plan;
    call.recognize_id = call.next_id++;
    call.busy = true;
    call.in_progress = call.ended = call.completed = false;
    call.audio_queued = call.drained = call.acted = call.timeout_stop = false;
    call.sent_at = now;
    --call.recognitions_left;
    ++figures_.started;
    ++figures_.sessions[kSessions[plan.session].name];
    std::string uri =
        std::string("builtin:speech/transcribe?dialogid=") + kSessions[plan.session].name;
    if (plan.inter_result_timeout_ms > 0)
        uri += ";inter-result-timeout=" + std::to_string(plan.inter_result_timeout_ms);
    std::string text = "MRCP/2.0 0 RECOGNIZE " + std::to_string(call.recognize_id) + "\n";
    if (plan.confidence_threshold)
        text += "Confidence-Threshold: 0.5\n";
    text += "Content-Type: text/uri-list\n\n" + uri + "\n";
    std::string error;
    if (!host_->SendRequest(call.name, text, &error))
        return Fail(call, "send: " + error);
    return Act(call, Stage::kAtSend, now);
}

bool SoakDriver::QueueAudio(Call& call, Clock::time_point now) {
    call.audio_queued = true;
    call.audio_at = now;
    std::string error;
    // Speech, then silence long enough for the detector to end the input by itself.
    if (!host_->AddAudio(call.name, options_.audio_path, &error) ||
        !host_->AddSilence(call.name, 1500, &error)) {
        return Fail(call, "audio: " + error);
    }
    return true;
}

bool SoakDriver::SendStop(Call& call, const std::string& why, Clock::time_point now) {
    ++figures_.stops[why];
    uint64_t id = call.next_id++;
    std::string error;
    if (!host_->SendRequest(call.name, "MRCP/2.0 0 STOP " + std::to_string(id) + "\n\n", &error))
        return Fail(call, "STOP: " + error);
    call.stops_unanswered.emplace_back(id, now);
    return true;
}

bool SoakDriver::Act(Call& call, Stage stage, Clock::time_point now) {
    if (call.acted)
        return true;
    const Plan& plan = call.plan;
    if (plan.hangup_at != stage && plan.stop_at != stage)
        return true;
    call.acted = true;
    if (plan.hangup_at == stage)
        return HangUp(call, StageName(stage));
    if (!SendStop(call, StageName(stage), now))
        return false;
    if (plan.double_stop) {
        ++figures_.double_stops;
        return SendStop(call, "second STOP", now);
    }
    return true;
}

bool SoakDriver::Step(Call& call, Clock::time_point now) {
    if (!call.open) {
        return figures_.started >= options_.recognitions || Open(call);
    }
    if (!call.busy) {
        if (figures_.started >= options_.recognitions)
            return true;
        if (call.recognitions_left <= 0)
            return HangUp(call, "end of call");
        return StartRecognition(call, now);
    }
    const Plan& plan = call.plan;
    if (call.ended) {
        if (call.completed && !call.acted && !Act(call, Stage::kFinishing, now))
            return false;
        if (!call.open)
            return true;
        if (!call.acted && (plan.hangup_at != Stage::kNever || plan.stop_at != Stage::kNever)) {
            ++figures_.actions_missed;
            call.acted = true;
        }
        if (!call.stops_unanswered.empty()) {
            if (now - call.stops_unanswered.front().second >
                std::chrono::milliseconds(options_.hang_limit_ms))
                return Fail(call, "STOP unanswered");
            return true;
        }
        call.busy = false;
        return true;
    }
    if (now - call.sent_at > std::chrono::milliseconds(options_.hang_limit_ms))
        return Fail(call, "no final message");
    if (!call.timeout_stop &&
        now - call.sent_at > std::chrono::milliseconds(options_.client_timeout_ms)) {
        call.timeout_stop = true;
        return SendStop(call, "client time-out", now);
    }
    if (!call.in_progress || !call.stops_unanswered.empty())
        return true;
    if (!call.audio_queued) {
        if (!Act(call, Stage::kAtResponse, now))
            return false;
        if (!call.open || !call.stops_unanswered.empty())
            return true;
        return QueueAudio(call, now);
    }
    if (now - call.audio_at >= std::chrono::milliseconds(plan.delay_ms / 4) &&
        !Act(call, Stage::kStreaming, now)) {
        return false;
    }
    if (!call.open)
        return true;
    if (!call.drained && host_->PendingFrames(call.name) == 0) {
        call.drained = true;
        call.drained_at = now;
    }
    if (call.drained && now - call.drained_at >= std::chrono::milliseconds(plan.delay_ms))
        return Act(call, Stage::kHalfClosed, now);
    return true;
}

bool SoakDriver::Run(std::string* error) {
    start_ = Clock::now();
    host_->SetMessageHandler([this](const PluginMessage& message) { OnMessage(message); });
    bool ok = true;
    while (ok) {
        host_->PumpUntil(Clock::now() + std::chrono::milliseconds(1));
        Clock::time_point now = Clock::now();
        bool active = false;
        for (Call& call : calls_) {
            if (!Step(call, now)) {
                ok = false;
                break;
            }
            active = active || call.busy;
        }
        if (!active && figures_.started >= options_.recognitions)
            break;
    }
    figures_.rss_end_kib = ResidentKib();
    SampleRss();
    if (std::getenv("ZEPH_SOAK_MEMORY_PROFILE") && __sanitizer_print_memory_profile) {
        // Where the live heap was allocated, while every channel is still open.
        __sanitizer_print_memory_profile(90, 25);
    }
    for (Call& call : calls_) {
        if (call.open && !HangUp(call, "end of run"))
            ok = false;
    }
    host_->SetMessageHandler(nullptr);
    if (!ok)
        *error = error_;
    return ok;
}

}  // namespace ZephSoak
