// The soak driver: many recognitions over many channels of the plugin, in-process through the
// host runtime, against dialogflow-sim. Each recognition follows a plan drawn from a seeded
// PRNG: which sim session it talks to (and so which fault the sim plays), whether the client
// sends STOP, and whether the caller hangs up, and at which stage (before the stream, while
// streaming, half-closed, finishing). The driver reacts to what the plugin sends as it comes,
// so every channel runs on its own pace; the host's conformance checker watches every
// message.
//
// Threads: the server thread of the HostEngine only (the thread that calls Run); the
// message handler it installs runs there too, while the host pumps its inbox.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <ostrin_runtime/host_engine.h>

namespace ZephSoak {

using Clock = std::chrono::steady_clock;

// The stages at which a client action (STOP or hang-up) may come.
enum class Stage {
    kNever,
    kAtSend,      // right after RECOGNIZE, before its response: before the stream
    kAtResponse,  // right after IN-PROGRESS, before any audio: the stream is being created
    kStreaming,   // shortly after the audio was queued: audio is being written
    kHalfClosed,  // a while after the audio ran out: the plugin waits for the final result
    kFinishing,   // right after RECOGNITION-COMPLETE: the plugin finishes the stream
};
const char* StageName(Stage stage);

struct SoakOptions {
    uint64_t seed = 1;
    int recognitions = 10000;
    int channels = 50;
    std::string audio_path;  // speech, 8000 Hz 16-bit mono WAV
    // A client STOPs a recognition that has run this long (the sim's "stall" fault ends only
    // so); a recognition or STOP still unanswered after the hang limit fails the run.
    int client_timeout_ms = 4000;
    int hang_limit_ms = 20000;
    int progress_every = 1000;   // a progress line every so many recognitions; 0: none
    int rss_baseline_at = 1000;  // recognitions ended when the RSS baseline is taken
};

// One sim session: its name (the dialog id in the grammar URI), the fault it plays (an
// utterance's "faults" object, or empty) and its weight in the draw.
struct SimSession {
    const char* name;
    const char* faults;
    int weight;
};
const std::vector<SimSession>& SimSessions();
// The agent file for dialogflow-sim: one intent and one scripted session per SimSession.
std::string AgentJson();

struct SoakFigures {
    int started = 0;
    int ended = 0;
    std::map<std::string, int> outcomes;  // "cause 000 success", "stopped", "response 407"...
    std::map<std::string, int> sessions;  // recognitions per sim session (fault)
    std::map<std::string, int> stops;     // STOPs sent, by stage ("timeout": client time-out)
    std::map<std::string, int> hangups;   // hang-ups by stage ("end of call": after the last)
    int double_stops = 0;
    long stop_latency_max_ms = 0;  // from a STOP to its response
    int stops_slow = 0;            // answered after more than a second
    int actions_missed = 0;        // the recognition had ended before its planned stage
    int channels_opened = 0;
    int messages = 0;
    // RSS (KiB) when the baseline was taken, at the end, and the highest seen.
    long rss_baseline_kib = 0;
    long rss_end_kib = 0;
    long rss_peak_kib = 0;
    std::vector<std::pair<int, long>> rss_samples;  // (recognitions ended, KiB)
    // The allocator's bytes in use at the same points (KiB; -1 without a sanitizer).
    std::vector<std::pair<int, long>> heap_samples;
};

class SoakDriver {
public:
    SoakDriver(const SoakOptions& options, OstrinRuntime::HostEngine* host);
    SoakDriver(const SoakDriver&) = delete;
    SoakDriver& operator=(const SoakDriver&) = delete;

    // Runs every recognition and closes every channel. False with `error` on the first
    // failure the driver sees (a call the host refused, a recognition or STOP left
    // unanswered); conformance violations are counted by the host.
    bool Run(std::string* error);

    const SoakFigures& figures() const { return figures_; }
    // Called with a progress line every `progress_every` recognitions.
    void SetProgress(std::function<void(const std::string&)> progress) {
        progress_ = std::move(progress);
    }

private:
    struct Plan {
        size_t session = 0;
        Stage stop_at = Stage::kNever;
        Stage hangup_at = Stage::kNever;
        int delay_ms = 0;  // into the streaming or half-closed stage
        bool double_stop = false;
        int inter_result_timeout_ms = 0;
        bool confidence_threshold = false;
    };
    struct Call {
        std::string name;
        bool open = false;
        uint64_t next_id = 1;
        int recognitions_left = 0;  // before the caller hangs up at the end of the call
        bool busy = false;          // a recognition runs, or a STOP is unanswered
        // The current recognition.
        Plan plan;
        uint64_t recognize_id = 0;
        bool in_progress = false;  // IN-PROGRESS came
        bool ended = false;        // its final message came
        bool completed = false;    // ended by RECOGNITION-COMPLETE
        bool audio_queued = false;
        bool drained = false;  // the queued audio has been written
        bool acted = false;    // the planned STOP or hang-up was done (or missed)
        bool timeout_stop = false;
        Clock::time_point sent_at, audio_at, drained_at;
        // STOPs sent and not answered yet, with the time each was sent.
        std::vector<std::pair<uint64_t, Clock::time_point>> stops_unanswered;
    };

    void OnMessage(const OstrinRuntime::PluginMessage& message);
    // One look at a call; false with `error_` set on a failure.
    bool Step(Call& call, Clock::time_point now);
    bool Open(Call& call);
    bool StartRecognition(Call& call, Clock::time_point now);
    bool QueueAudio(Call& call, Clock::time_point now);
    bool SendStop(Call& call, const std::string& why, Clock::time_point now);
    bool HangUp(Call& call, const std::string& why);
    // The planned action at `stage`, if any: STOP or hang-up.
    bool Act(Call& call, Stage stage, Clock::time_point now);
    void EndRecognition(Call& call, const std::string& outcome);
    Plan DrawPlan();
    Stage DrawStage();
    int Draw(int low, int high);  // uniform in [low, high]
    void SampleRss();
    bool Fail(const Call& call, const std::string& what);

    const SoakOptions options_;
    OstrinRuntime::HostEngine* host_;
    std::mt19937_64 random_;
    std::vector<Call> calls_;
    std::map<std::string, size_t> call_by_name_;
    SoakFigures figures_;
    std::function<void(const std::string&)> progress_;
    std::string error_;
    Clock::time_point start_;
};

// Resident set size of this process in KiB (from /proc), or -1.
long ResidentKib();
// Heap in use (the sanitizer allocator's count) in KiB, or -1 without a sanitizer.
long HeapKib();

}  // namespace ZephSoak
