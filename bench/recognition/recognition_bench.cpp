// The recognition path under load: the plugin (osrzeph.so) loaded in-process by the host
// runtime, against dialogflow-sim over TLS on loopback, N channels each fed 8000 Hz speech in
// real time by the host's media thread. In one run it measures:
//
//  - the host process's CPU per 10 ms of call audio per channel, next to two baselines on
//    the same calls: the input detector alone, and a bare gRPC client streaming the same
//    blocks at the same moments (BareClient); the figure tracked is
//    plugin / (detector + bare client) for the whole process, and the plugin's share, less
//    the host alone (the same calls through the host runtime with the sample plugin):
//    (plugin in the host - host alone) / (detector + bare client);
//  - wake-ups (voluntary context switches) and heap allocations (allocation_counter.h) per
//    write, by thread, for the bare client, the plugin in the host and the host alone;
//  - the largest N (of the --sweep list) at which the engine's event-queue delay stays at
//    p99 <= 10 ms and no media tick is late. The delay is probed from the server thread: a
//    STOP on an idle channel, at random moments, from the request handed over to its
//    response handed back, is the time its event waited in the engine's queue plus a
//    trivial STOP;
//  - the time from the sim's last response to the RECOGNITION-COMPLETE reaching the host
//    (both stamped on CLOCK_MONOTONIC, which the processes share);
//  - heap in use (mallinfo2) and RSS per idle and per recognizing channel.
//
//   recognition_bench [--channels N] [--rounds R] [--sweep N1,N2,...] [--block-ms MS]
//                     [--log-level LEVEL]
//
// --block-ms sets the detector's speech-output-period (default 80): the audio per write.
//
// Threads: the main thread is the host's server thread; the bare client runs on it too.
// The plugins are found next to each other in the build's library directory.
#include <dirent.h>
#include <malloc.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "../common/detector_replay.h"
#include "allocation_counter.h"
#include "bare_client.h"
#include "ostrin_runtime/host_engine.h"
#include "sim_process.h"
#include "test_audio.h"

namespace {

using Clock = std::chrono::steady_clock;
using OstrinRuntime::HostEngine;
using OstrinRuntime::PluginMessage;

const int kRate = 8000;
const int kTrailingMs = 1500;  // after the speech: the detector completes after 1000 ms
const int kMaxLeadMs = 800;    // calls start at random 10 ms steps within this
const int kSettleMs = 100;     // silence between a call's RECOGNIZE and its speech
const char kProject[] = "zeph-test-project";

double ProcessCpuMicros() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

int64_t SteadyMicros(Clock::time_point at) {
    return std::chrono::duration_cast<std::chrono::microseconds>(at.time_since_epoch()).count();
}

struct Memory {
    double heap = 0;  // bytes in use, arenas and mmapped blocks
    double rss = 0;
};

Memory SampleMemory() {
    Memory memory;
    struct mallinfo2 info = mallinfo2();
    memory.heap = static_cast<double>(info.uordblks + info.hblkhd);
    long pages = 0, resident = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(statm);
    }
    memory.rss = static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE));
    return memory;
}

// CPU time, voluntary context switches (waits that a wake-up ended) and heap allocations
// of one thread.
struct ThreadUse {
    std::string name;  // empty for a thread that has ended
    double cpu_us = 0;
    double switches = 0;
    double allocations = 0;
};
using ThreadUses = std::map<long, ThreadUse>;  // by thread id

ThreadUses SampleThreads() {
    ThreadUses threads;
    for (const auto& entry : ZephBench::AllocationsByThread())
        threads[entry.first].allocations = static_cast<double>(entry.second);
    const double tick_us = 1e6 / static_cast<double>(sysconf(_SC_CLK_TCK));
    DIR* dir = opendir("/proc/self/task");
    if (!dir)
        return threads;
    while (struct dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        std::string task = std::string("/proc/self/task/") + entry->d_name;
        ThreadUse& use = threads[std::atol(entry->d_name)];
        std::ifstream status(task + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.compare(0, 5, "Name:") == 0)
                use.name = line.substr(line.find_first_not_of(" \t", 5));
            if (line.compare(0, 24, "voluntary_ctxt_switches:") == 0)
                use.switches = std::atof(line.c_str() + 24);
        }
        std::string stat;
        std::getline(std::ifstream(task + "/stat"), stat);
        size_t paren = stat.rfind(')');
        unsigned long utime = 0, stime = 0;
        if (paren != std::string::npos &&
            std::sscanf(stat.c_str() + paren + 2,
                        "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) == 2)
            use.cpu_us = static_cast<double>(utime + stime) * tick_us;
    }
    closedir(dir);
    return threads;
}

// What each thread used between two samples (threads started meanwhile count from zero),
// added to `total`.
void AddThreadUse(const ThreadUses& before, const ThreadUses& after, ThreadUses* total) {
    for (const auto& entry : after) {
        auto was = before.find(entry.first);
        ThreadUse& sum = (*total)[entry.first];
        sum.name = entry.second.name;
        sum.cpu_us += entry.second.cpu_us - (was != before.end() ? was->second.cpu_us : 0);
        sum.switches += entry.second.switches - (was != before.end() ? was->second.switches : 0);
        sum.allocations +=
            entry.second.allocations - (was != before.end() ? was->second.allocations : 0);
    }
}

// Voluntary context switches of the threads that carry the process's name (the host's, the
// plugin's own) and of those gRPC named.
struct Switches {
    double ours = 0;
    double grpc = 0;
};

Switches SplitSwitches(const ThreadUses& threads) {
    std::string process;
    std::getline(std::ifstream("/proc/self/comm"), process);
    Switches switches;
    for (const auto& entry : threads)
        (entry.second.name == process ? switches.ours : switches.grpc) += entry.second.switches;
    return switches;
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    size_t at = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

std::string ChannelName(int i) {
    return "c" + std::to_string(i);
}

std::string SessionId(int round, int i) {
    return "r" + std::to_string(round) + "-c" + std::to_string(i);
}

std::string SessionPath(const std::string& id) {
    return std::string("projects/") + kProject + "/agent/sessions/" + id;
}

struct Options {
    int channels = 100;
    int rounds = 3;
    std::vector<int> sweep = {100, 200, 400, 700, 1000, 1500, 2000};
    int block_ms = 80;
    apt_log_priority_e log_level = APT_PRIO_WARNING;
};

bool ParseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!value)
            return false;
        ++i;
        if (arg == "--channels") {
            options->channels = std::atoi(value);
        } else if (arg == "--rounds") {
            options->rounds = std::atoi(value);
        } else if (arg == "--sweep") {
            options->sweep.clear();
            std::stringstream list(value);
            for (std::string item; std::getline(list, item, ',');)
                if (std::atoi(item.c_str()) > 0)
                    options->sweep.push_back(std::atoi(item.c_str()));
        } else if (arg == "--block-ms") {
            options->block_ms = std::atoi(value);
        } else if (arg == "--log-level") {
            options->log_level = apt_log_priority_translate(value);
        } else {
            return false;
        }
    }
    return options->channels > 0 && options->rounds > 0 && options->block_ms >= 10;
}

// What one round of recognitions on channels c0..c(n-1) gave.
struct Round {
    int channels = 0;
    double cpu_us = 0;
    ThreadUses threads;  // what each thread used
    double wall_ms = 0;
    double call_frames = 0;  // 10 ms frames of call audio over all channels
    int completed = 0;       // RECOGNITION-COMPLETE with cause 000
    int other_causes = 0;
    OstrinRuntime::MediaTiming ticks;
    std::vector<double> probe_delays_us;
    bool memory_sampled = false;
    Memory busy;  // while every channel was streaming
};

class Bench {
public:
    Bench(HostEngine* host, const std::string& wav, size_t speech_samples)
        : host_(host), wav_(wav), speech_samples_(speech_samples) {
        host_->SetMessageHandler([this](const PluginMessage& message) { OnMessage(message); });
    }

    // Channels c0..c(n-1) are open (the ones missing are opened).
    bool OpenChannels(int n) {
        for (; open_ < n; ++open_) {
            std::string error;
            if (!host_->OpenChannel(ChannelName(open_), kRate, 2, {}, &error)) {
                std::fprintf(stderr, "recognition_bench: %s\n", error.c_str());
                return false;
            }
        }
        return true;
    }

    // The leads of the calls of a round (random 10 ms steps, the same for a given seed).
    static std::vector<int> Leads(int n, int round) {
        std::mt19937 random(static_cast<unsigned>(round * 7919 + 17));
        std::uniform_int_distribution<int> steps(0, kMaxLeadMs / 10 - 1);
        std::vector<int> leads;
        for (int i = 0; i < n; ++i)
            leads.push_back(steps(random) * 10);
        return leads;
    }

    // One recognition per channel on c0..c(n-1), each call starting after its lead. With
    // `probe`, the engine's queue delay is probed meanwhile. A round that ends sooner is held
    // to `min_wall_ms`, so that it spans the media ticks of the round it is compared with.
    Round RunRound(int n, int round, bool probe, bool sample_memory, double min_wall_ms = 0) {
        Round result;
        result.channels = n;
        completions_.clear();
        std::vector<int> leads = Leads(n, round);
        double cpu = ProcessCpuMicros();
        ThreadUses threads = SampleThreads();
        Clock::time_point start = Clock::now();
        host_->ResetMediaTicks();
        std::string error;
        // Calls arrive spread over the lead window, as calls do: each channel's RECOGNIZE at
        // its lead, its audio right behind, a short silence first (which covers the moment
        // the engine takes to arm the detector).
        std::vector<int> order(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i)
            order[static_cast<size_t>(i)] = i;
        std::stable_sort(order.begin(), order.end(),
                         [&](int a, int b) { return leads[a] < leads[b]; });
        for (int i : order) {
            host_->PumpUntil(start + std::chrono::milliseconds(leads[i]));
            std::string request = "MRCP/2.0 0 RECOGNIZE " + std::to_string(++request_id_) +
                                  "\nVendor-Specific-Parameters: dialogid=" + SessionId(round, i) +
                                  "\nContent-Type: text/uri-list\n\nbuiltin:speech/transcribe\n";
            if (!host_->SendRequest(ChannelName(i), request, &error) ||
                !host_->AddSilence(ChannelName(i), kSettleMs, &error) ||
                !host_->AddAudio(ChannelName(i), wav_, &error) ||
                !host_->AddSilence(ChannelName(i), kTrailingMs, &error)) {
                std::fprintf(stderr, "recognition_bench: %s\n", error.c_str());
            }
            result.call_frames += (leads[i] + kSettleMs + kTrailingMs) / 10.0 +
                                  static_cast<double>(speech_samples_) / 80;
        }
        std::mt19937 random(static_cast<unsigned>(round));
        std::uniform_int_distribution<int> gap_us(5000, 15000);
        Clock::time_point next_probe;
        // Every call is streaming once the longest lead and the detector's start are past.
        Clock::time_point busy_at = Clock::now() + std::chrono::milliseconds(kMaxLeadMs + 1000);
        Clock::time_point deadline = Clock::now() + std::chrono::seconds(60);
        // The server thread wakes only for the plugin's messages, a probe or the sample: a
        // polling loop here would add its own wake-ups to the process's.
        auto done = [&] {
            return static_cast<int>(completions_.size()) >= n || Clock::now() >= deadline;
        };
        if (sample_memory) {
            host_->PumpUntil(busy_at);
            result.busy = SampleMemory();
            result.memory_sampled = true;
        }
        while (probe && !done()) {
            result.probe_delays_us.push_back(ProbeDelay());
            next_probe = Clock::now() + std::chrono::microseconds(gap_us(random));
            host_->PumpUntil(next_probe);
        }
        for (int i = 0; i < n && !done(); ++i) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            host_->WaitForMessage(ChannelName(i), "RECOGNITION-COMPLETE",
                                  static_cast<int>(std::max<int64_t>(0, left.count())));
        }
        host_->PumpUntil(start +
                         std::chrono::microseconds(static_cast<int64_t>(min_wall_ms * 1000)));
        result.cpu_us = ProcessCpuMicros() - cpu;
        AddThreadUse(threads, SampleThreads(), &result.threads);
        result.wall_ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        result.ticks = host_->MediaTicks();
        for (const auto& entry : completions_) {
            if (entry.second.cause == "000 success")
                ++result.completed;
            else
                ++result.other_causes;
            sent_at_[round][SessionId(round, entry.first)] = entry.second.sent_at;
        }
        // The messages were seen through the handler; let the host forget them.
        for (int i = 0; i < n; ++i)
            host_->WaitForMessage(ChannelName(i), "RECOGNITION-COMPLETE", 0);
        return result;
    }

    // When each recognition's RECOGNITION-COMPLETE was handed to the host, by round and
    // session id.
    const std::map<int, std::map<std::string, Clock::time_point>>& sent_at() const {
        return sent_at_;
    }

private:
    struct Completion {
        std::string cause;
        Clock::time_point sent_at;
    };

    void OnMessage(const PluginMessage& message) {
        if (message.name != "RECOGNITION-COMPLETE" || message.channel[0] != 'c')
            return;
        int i = std::atoi(message.channel.c_str() + 1);
        completions_[i] = {message.completion_cause, message.sent_at};
    }

    // A STOP on the idle probe channel: microseconds from handing it over to its response.
    double ProbeDelay() {
        std::string error;
        std::string request = "MRCP/2.0 0 STOP " + std::to_string(++request_id_) + "\n\n";
        Clock::time_point sent = Clock::now();
        if (!host_->SendRequest("probe", request, &error))
            return 0;
        PluginMessage response;
        if (!host_->WaitForMessage("probe", "response", 10000, &response))
            return 10e6;
        return std::chrono::duration<double, std::micro>(response.sent_at - sent).count();
    }

    HostEngine* host_;
    std::string wav_;
    size_t speech_samples_;
    int open_ = 0;
    uint64_t request_id_ = 0;
    std::map<int, Completion> completions_;
    std::map<int, std::map<std::string, Clock::time_point>> sent_at_;
};

// The measured rounds at N channels, added up.
struct Rounds {
    double cpu_us = 0;
    double call_frames = 0;
    ThreadUses threads;
    int completed = 0;  // with 000
    int other_causes = 0;
    int late_ticks = 0;
    std::vector<double> wall_ms;  // of each round
    Memory busy;                  // sampled in the first round
};

// Rounds 0..count-1 of one recognition per channel on c0..c(n-1); round r lasts at least
// `min_wall_ms[r]` when given.
Rounds RunRounds(Bench* bench, int n, int count, const std::vector<double>& min_wall_ms,
                 bool sample_memory) {
    Rounds rounds;
    for (int round = 0; round < count; ++round) {
        const size_t at = static_cast<size_t>(round);
        Round r = bench->RunRound(n, round, false, sample_memory && round == 0,
                                  at < min_wall_ms.size() ? min_wall_ms[at] : 0);
        rounds.cpu_us += r.cpu_us;
        AddThreadUse({}, r.threads, &rounds.threads);
        rounds.call_frames += r.call_frames;
        rounds.completed += r.completed;
        rounds.other_causes += r.other_causes;
        rounds.late_ticks += static_cast<int>(r.ticks.late_ticks);
        rounds.wall_ms.push_back(r.wall_ms);
        if (r.memory_sampled)
            rounds.busy = r.busy;
    }
    return rounds;
}

using ThreadLabels = std::map<long, std::string>;  // by thread id

// Opens the host's engine and its probe channel. `started` names, in the order they are
// started, the threads that come with the open and carry the process's name (the plugin's,
// then the host's media thread); they are labelled so in `labels`, with the main thread as
// the server; any other thread is gRPC's.
bool OpenHost(HostEngine* host, const std::vector<std::string>& started, ThreadLabels* labels) {
    ThreadUses before_open = SampleThreads();
    std::string error;
    if (!host->Open(&error) || !host->OpenChannel("probe", kRate, 2, {}, &error)) {
        std::fprintf(stderr, "recognition_bench: %s\n", error.c_str());
        return false;
    }
    *labels = {{static_cast<long>(getpid()), "server (main)"}};
    std::string process;
    std::getline(std::ifstream("/proc/self/comm"), process);
    std::vector<long> found;
    for (const auto& entry : SampleThreads())
        if (!before_open.count(entry.first) && entry.second.name == process)
            found.push_back(entry.first);
    for (size_t i = 0; i < found.size(); ++i)
        (*labels)[found[i]] =
            found.size() == started.size() ? started[i] : "thread " + std::to_string(i + 1);
    return true;
}

// What the labelled threads used, and gRPC's (the rest) added up, per 10 ms frame of call
// audio per channel (CPU) and per write (wake-ups, allocations).
void PrintThreads(const ThreadUses& threads, const ThreadLabels& labels, double frames,
                  double writes) {
    const std::string grpc = "gRPC's own threads";
    std::map<std::string, ThreadUse> by_label;
    for (const auto& entry : threads) {
        auto label = labels.find(entry.first);
        ThreadUse& sum = by_label[label != labels.end() ? label->second : grpc];
        sum.cpu_us += entry.second.cpu_us;
        sum.switches += entry.second.switches;
        sum.allocations += entry.second.allocations;
    }
    std::vector<std::string> order;  // the labelled threads in the order they started
    for (const auto& entry : labels)
        order.push_back(entry.second);
    order.push_back(grpc);
    for (const std::string& label : order) {
        const ThreadUse& use = by_label[label];
        std::printf("  %-20s %8.2f %8.2f %8.2f\n", label.c_str(), use.cpu_us / frames,
                    use.switches / writes, use.allocations / writes);
    }
}

// The same rounds through the host runtime with the sample plugin instead (it answers, looks
// at each frame's loudness and completes 300 ms after the speech), each round held to the
// length of the plugin's (`min_wall_ms`): what the host runtime and this program cost.
bool RunHostAlone(OstrinRuntime::HostOptions options, const std::string& wav, size_t speech_samples,
                  int n, const std::vector<double>& min_wall_ms, Rounds* rounds,
                  ThreadLabels* labels) {
    options.plugin_path = std::string(ZEPH_LIB_DIR) + "/ostrin_sample_plugin.so";
    HostEngine host(options);
    if (!OpenHost(&host, {"sample worker", "media"}, labels))
        return false;
    Bench bench(&host, wav, speech_samples);
    bench.OpenChannels(1);
    bench.RunRound(1, 1000, false, false);
    if (!bench.OpenChannels(n))
        return false;
    *rounds = RunRounds(&bench, n, static_cast<int>(min_wall_ms.size()), min_wall_ms, false);
    std::string error;
    return host.Shutdown(&error);
}

// The sim's record: by session id, the monotonic time of the stream's last response.
std::map<std::string, int64_t> LastResponses(const std::string& record) {
    std::map<std::string, int64_t> times;
    std::ifstream in(record);
    const std::string prefix = SessionPath("");
    for (std::string line; std::getline(in, line);) {
        rapidjson::Document doc;
        doc.Parse(line.c_str());
        if (doc.HasParseError() || !doc.IsObject() || !doc.HasMember("session") ||
            !doc.HasMember("last_response_steady_us"))
            continue;
        std::string session = doc["session"].GetString();
        if (session.compare(0, prefix.size(), prefix) == 0)
            times[session.substr(prefix.size())] = doc["last_response_steady_us"].GetInt64();
    }
    return times;
}

std::string WriteServerRoot(const std::string& root, const std::string& target, int block_ms) {
    for (const char* dir : {"conf", "data", "var/status"})
        ZephTest::RunCommand("mkdir -p '" + root + "/" + dir + "'");
    std::ofstream(root + "/conf/osrzeph.xml")
        << "<?xml version=\"1.0\"?>\n<osrzeph gapp-credentials-file=\""
        << ZephTest::TestCredentialsFile("service-account.json") << "\" ssl-roots-file=\""
        << ZephTest::TestCredentialsFile("ca.crt") << "\">\n<streaming-recognition service-uri=\""
        << target << "\"/>\n<speech-dtmf-input-detector speech-output-period=\"" << block_ms
        << "\"/>\n<utterance-manager save-waveforms=\"false\"/>\n</osrzeph>\n";
    return root;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        std::fprintf(stderr,
                     "usage: recognition_bench [--channels N] [--rounds R] [--sweep N1,N2,...] "
                     "[--block-ms MS] [--log-level LEVEL]\n");
        return 2;
    }
    const bool counting = ZephBench::AllocationCountingWorks();
    if (!counting)
        std::fprintf(stderr, "recognition_bench: allocations are not counted\n");
    ZephTest::UseTestCredentials();
    apr_initialize();
    apr_pool_t* pool = nullptr;
    apr_pool_create(&pool, nullptr);
    // The host's logger; the host runtime uses it instead of making its own.
    apt_log_instance_create(APT_LOG_OUTPUT_CONSOLE, options.log_level, pool);

    std::vector<int16_t> speech = ZephTest::SynthesizeSpeech(
        "I would like a large pizza with mushrooms and olives delivered to my house", kRate);
    if (speech.empty()) {
        std::fprintf(stderr, "recognition_bench: no speech from espeak-ng and sox\n");
        return 1;
    }
    const std::string dir = ZephTest::MakeTempDir("zeph-recognition-bench");
    const std::string wav = dir + "/speech.wav";
    ZephTest::WriteWavFile(wav, speech, kRate);
    std::ofstream(dir + "/agent.json") << R"({
  "intents": [{"name": "order", "display_name": "Order Pizza", "confidence": 0.9}],
  "utterances": [{"interim": [{"at_bytes": 6400, "transcript": "a large"},
                              {"at_bytes": 32000, "transcript": "a large pizza"}],
                  "transcript": "a large pizza with mushrooms", "intent": "order"}]})";
    const std::string record = dir + "/streams.jsonl";
    ZephTest::SimProcess sim;
    // No cap on streams per connection: the cap is not what this measures.
    if (!sim.Start({"--agent", dir + "/agent.json", "--record", record,
                    "--max-streams-per-connection", "1000000"})) {
        std::fprintf(stderr, "recognition_bench: the sim did not start\n");
        return 1;
    }

    // A call from its RECOGNIZE: a short silence, the speech, then silence until the detector
    // completes the input. Calls start after a lead (per channel).
    std::vector<int16_t> call(static_cast<size_t>(kRate * kSettleMs / 1000), 0);
    call.insert(call.end(), speech.begin(), speech.end());
    call.resize(call.size() + kRate * kTrailingMs / 1000, 0);
    const double call_frames_no_lead = static_cast<double>(call.size()) / (kRate / 100);
    const int n = options.channels;

    // ---- Baseline 1: the detector alone on the same audio --------------------------------
    // As the channel runs it with the default settings: speech only, start of input from
    // the service, whose first interim transcript comes at 6400 bytes (the agent above).
    ZephBench::ReplaySettings settings;
    settings.mode = MPF_SDI_MODE_SPEECH;
    settings.service_originated = true;
    settings.result_at_bytes = 6400;
    mpf_sdi_params_t params;
    mpf_sdi_params_init(&params);
    params.speech_output_period = static_cast<apr_uint64_t>(options.block_ms);
    ZephBench::DetectorReplay detector =
        ZephBench::ReplayDetector(call, kRate, 200, &params, pool, settings);
    if (detector.blocks.empty() || detector.completions == 0) {
        std::fprintf(stderr, "recognition_bench: the detector found no complete speech\n");
        return 1;
    }
    size_t handed = 0;
    for (const auto& block : detector.blocks)
        handed += block.bytes;

    // ---- Baseline 2: a bare client streaming the same blocks -----------------------------
    auto channel = grpc::CreateCustomChannel(sim.target(), grpc::GoogleDefaultCredentials(),
                                             grpc::ChannelArguments());
    ZephBench::BareClient bare(channel, kRate, detector.blocks, call);
    double bare_cpu = 0, bare_frames = 0;
    ThreadUses bare_threads;
    size_t bare_writes = 0;
    int bare_failed = 0;
    for (int round = -1; round < options.rounds; ++round) {
        // Round -1 warms up: the connection, TLS and the token.
        int count = round < 0 ? 1 : n;
        std::vector<int> leads = Bench::Leads(count, round);
        std::vector<ZephBench::BareStream> streams;
        for (int i = 0; i < count; ++i)
            streams.push_back({SessionPath("bare" + SessionId(round + 1, i)), leads[i] / 10});
        double cpu = ProcessCpuMicros();
        ThreadUses threads = SampleThreads();
        ZephBench::BareRun run = bare.Run(streams);
        if (round < 0)
            continue;
        bare_cpu += ProcessCpuMicros() - cpu;
        AddThreadUse(threads, SampleThreads(), &bare_threads);
        bare_writes += run.writes;
        bare_failed += run.failed;
        for (int lead : leads)
            bare_frames += lead / 10.0 + call_frames_no_lead;
    }
    channel.reset();

    // ---- The plugin in the host ------------------------------------------------------------
    OstrinRuntime::HostOptions host_options;
    host_options.plugin_path = std::string(ZEPH_LIB_DIR) + "/osrzeph.so";
    std::string root = WriteServerRoot(dir + "/root", sim.target(), options.block_ms);
    host_options.conf_dir = root + "/conf";
    host_options.data_dir = root + "/data";
    host_options.var_dir = root + "/var";
    host_options.max_channels = 100000;
    host_options.log_priority = options.log_level;
    int status = 0;
    {
        HostEngine host(host_options);
        std::string error;
        ThreadLabels labels;
        if (!OpenHost(&host, {"plugin logger", "event processor", "completion queue", "media"},
                      &labels))
            return 1;
        Bench bench(&host, wav, speech.size());
        // Warm-up: one recognition sets up the connection and the credentials.
        bench.OpenChannels(1);
        bench.RunRound(1, 1000, false, false);

        // Idle channels: memory, and CPU over two seconds of idle frames.
        Memory before = SampleMemory();
        bench.OpenChannels(n);
        Memory idle = SampleMemory();
        double idle_cpu = ProcessCpuMicros();
        host.PumpUntil(Clock::now() + std::chrono::seconds(2));
        idle_cpu = ProcessCpuMicros() - idle_cpu;

        // Recognizing channels: CPU, latency, memory.
        Rounds plugin = RunRounds(&bench, n, options.rounds, {}, true);
        const double plugin_cpu = plugin.cpu_us, plugin_frames = plugin.call_frames;
        const int plugin_ok = plugin.completed, plugin_other = plugin.other_causes;
        const int plugin_late = plugin.late_ticks;
        const Memory busy = plugin.busy;

        // Capacity: the largest N whose queue delay p99 <= 10 ms with no late tick.
        struct SweepPoint {
            int n;
            double p50, p99, max_lag_ms, cpu_share, sim_share;
            uint64_t late;
            int completed;
            bool pass;
        };
        std::vector<SweepPoint> sweep;
        int largest = 0;
        for (size_t k = 0; k < options.sweep.size(); ++k) {
            int count = options.sweep[k];
            if (!bench.OpenChannels(count))
                break;
            long sim_ms = sim.CpuMilliseconds();
            Round r = bench.RunRound(count, 100 + static_cast<int>(k), true, false);
            sim_ms = sim.CpuMilliseconds() - sim_ms;
            SweepPoint point{count,
                             Percentile(r.probe_delays_us, 0.5) / 1000,
                             Percentile(r.probe_delays_us, 0.99) / 1000,
                             static_cast<double>(r.ticks.max_lag_us) / 1000,
                             r.cpu_us / (r.wall_ms * 1000),
                             static_cast<double>(sim_ms) / r.wall_ms,
                             r.ticks.late_ticks,
                             r.completed,
                             false};
            point.pass = point.p99 <= 10 && point.late == 0 && r.completed == count;
            sweep.push_back(point);
            // Every point is run: on a shared machine one descheduled tick fails a point that
            // a larger N may pass.
            if (point.pass)
                largest = std::max(largest, count);
        }
        host.Shutdown(&error);

        // ---- Baseline 3: the host alone, the same rounds with the sample plugin -----------
        Rounds alone;
        ThreadLabels alone_labels;
        if (!RunHostAlone(host_options, wav, speech.size(), n, plugin.wall_ms, &alone,
                          &alone_labels))
            return 1;

        // Final response -> RECOGNITION-COMPLETE, matched by session, in the measured rounds
        // at N channels.
        std::map<std::string, int64_t> last = LastResponses(record);
        std::vector<double> latency_us;
        for (const auto& round : bench.sent_at()) {
            if (round.first >= options.rounds)
                continue;
            for (const auto& entry : round.second) {
                auto found = last.find(entry.first);
                if (found != last.end() && found->second > 0)
                    latency_us.push_back(
                        static_cast<double>(SteadyMicros(entry.second) - found->second));
            }
        }

        // ---- Report ----------------------------------------------------------------------
        const long cores = sysconf(_SC_NPROCESSORS_ONLN);
        const double det = detector.cpu_us_per_frame;
        const double bare_per = bare_frames > 0 ? bare_cpu / bare_frames : 0;
        const double plugin_per = plugin_frames > 0 ? plugin_cpu / plugin_frames : 0;
        // The same divisor as the plugin's: the same calls.
        const double alone_per = plugin_frames > 0 ? alone.cpu_us / plugin_frames : 0;
        const double audio_bytes = static_cast<double>(speech.size()) * 2;
        std::printf(
            "calls: RECOGNIZE at 0-%d ms, %d ms silence, %.2f s of speech, %d ms silence at "
            "%d Hz; %zu blocks of up to %d ms (%zu bytes) handed on per call\n",
            kMaxLeadMs - 10, kSettleMs, static_cast<double>(speech.size()) / kRate, kTrailingMs,
            kRate, detector.blocks.size(), options.block_ms, handed);
        std::printf("channels %d, rounds %d, cores %ld\n\n", n, options.rounds, cores);
        std::printf("CPU per 10 ms of call audio per channel (us):\n");
        std::printf("  detector alone            %8.2f\n", det);
        std::printf("  bare gRPC client          %8.2f   (%d streams failed)\n", bare_per,
                    bare_failed);
        std::printf(
            "  plugin in the host        %8.2f   (%d completed 000, %d other, %d late "
            "ticks)\n",
            plugin_per, plugin_ok, plugin_other, plugin_late);
        std::printf(
            "  host alone (sample plugin)%8.2f   (%d completed 000, %d other, %d late ticks)\n",
            alone_per, alone.completed, alone.other_causes, alone.late_ticks);
        std::printf("  ratio plugin / (detector + bare client)   %.2f   (whole process)\n",
                    plugin_per / (det + bare_per));
        std::printf(
            "  plugin's share (plugin in the host - host alone) / (detector + bare client)   "
            "%.2f   (target <= 1.5)\n",
            (plugin_per - alone_per) / (det + bare_per));
        std::printf("  idle channel              %8.2f\n",
                    idle_cpu / (static_cast<double>(n) * 200));
        // Both sides write the same requests: the first one and the call's blocks. The host
        // alone writes none; its figures take the same count, to be set against the plugin's.
        const double writes = bare_writes > 0 ? static_cast<double>(bare_writes) : 1;
        Switches bare_switches = SplitSwitches(bare_threads);
        Switches plugin_switches = SplitSwitches(plugin.threads);
        Switches alone_switches = SplitSwitches(alone.threads);
        std::printf("wake-ups (voluntary context switches) per write, ours + gRPC's threads:\n");
        std::printf(
            "  bare client %.2f + %.2f, plugin in the host %.2f + %.2f, host alone %.2f + %.2f\n",
            bare_switches.ours / writes, bare_switches.grpc / writes, plugin_switches.ours / writes,
            plugin_switches.grpc / writes, alone_switches.ours / writes,
            alone_switches.grpc / writes);
        std::printf(
            "  (per write: the bare client's requests written per round, %.0f, first requests "
            "included; the same count divides all three)\n",
            writes / options.rounds);
        auto allocations = [](const ThreadUses& threads) {
            double sum = 0;
            for (const auto& entry : threads)
                sum += entry.second.allocations;
            return sum;
        };
        std::printf(
            "heap allocations per write (malloc, calloc, realloc, aligned; new by malloc):\n");
        std::printf("  bare client %.2f, plugin in the host %.2f, host alone %.2f%s\n",
                    allocations(bare_threads) / writes, allocations(plugin.threads) / writes,
                    allocations(alone.threads) / writes,
                    counting ? "" : "   (NOT counted: the allocator was not interposed)");
        std::printf(
            "by thread: CPU us per 10 ms per channel, wake-ups and allocations per write:\n");
        std::printf(" the plugin's rounds:\n");
        PrintThreads(plugin.threads, labels, plugin_frames, writes);
        std::printf(" the host alone's rounds:\n");
        PrintThreads(alone.threads, alone_labels, plugin_frames, writes);
        std::printf(" the bare client's rounds:\n");
        PrintThreads(bare_threads, {{static_cast<long>(getpid()), "bare client (main)"}},
                     bare_frames, writes);
        std::printf("\n");
        std::printf("event-queue delay probe and media ticks by N:\n");
        std::printf("  %6s %9s %9s %12s %8s %10s %9s %5s\n", "N", "p50 ms", "p99 ms", "max lag ms",
                    "late", "host CPU", "sim CPU", "ok");
        for (const SweepPoint& p : sweep)
            std::printf("  %6d %9.2f %9.2f %12.2f %8llu %9.0f%% %8.0f%% %5s\n", p.n, p.p50, p.p99,
                        p.max_lag_ms, static_cast<unsigned long long>(p.late), p.cpu_share * 100,
                        p.sim_share * 100, p.pass ? "yes" : "no");
        std::printf(
            "  (CPU as a share of one core; late: ticks whose last frame went out more "
            "than 10 ms after the tick was due)\n");
        std::printf("  largest N passing: %d, %.0f per core (%ld cores, the sim on them too)\n",
                    largest, static_cast<double>(largest) / static_cast<double>(cores), cores);
        std::printf("  one core's worth at the measured CPU: %.0f recognizing channels\n\n",
                    plugin_per > 0 ? 10000 / plugin_per : 0);
        std::printf("sim's last response -> RECOGNITION-COMPLETE at the host (%zu calls):\n",
                    latency_us.size());
        std::printf("  p50 %.2f ms, p99 %.2f ms, max %.2f ms   (target p99 <= 5 ms)\n\n",
                    Percentile(latency_us, 0.5) / 1000, Percentile(latency_us, 0.99) / 1000,
                    Percentile(latency_us, 1.0) / 1000);
        // c0 was open before `before`; c1..c(n-1) opened after it. While busy the host holds
        // each call's audio in its media queue: that is the host's, not the plugin's.
        const double opened = n > 1 ? n - 1 : 1;
        const double idle_heap = (idle.heap - before.heap) / opened;
        const double idle_rss = (idle.rss - before.rss) / opened;
        const double queued = audio_bytes;
        std::printf("memory per channel (KiB):   heap      RSS\n");
        std::printf("  idle                     %7.1f  %7.1f   (target <= 64)\n", idle_heap / 1024,
                    idle_rss / 1024);
        std::printf(
            "  recognizing              %7.1f  %7.1f   (target <= 256; the host's "
            "queued audio, %.0f KiB, taken off)\n",
            (idle_heap + (busy.heap - idle.heap - queued * n) / n) / 1024,
            (idle_rss + (busy.rss - idle.rss - queued * n) / n) / 1024, queued / 1024);
        if (bare_failed > 0 || plugin_other > 0 || plugin_ok != n * options.rounds ||
            alone.completed != n * options.rounds)
            status = 1;
    }
    sim.Stop();
    ZephTest::RunCommand("rm -rf '" + dir + "'");
    apt_log_instance_destroy();
    apr_pool_destroy(pool);
    apr_terminate();
    return status;
}
