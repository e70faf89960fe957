// CPU cost of streaming caller audio to dialogflow-sim through the v2 streaming method, per
// 10 ms of audio per channel, next to the speech and DTMF input detector alone on the same
// audio, both measured in this run:
//
//   stream_bench [CHANNELS=10] [ROUNDS=3]
//
// The detector runs over the 10 ms frames on this thread (thread CPU time). The streaming
// part is the whole process's CPU time (event processor, completion-queue thread, gRPC's
// own threads) while CHANNELS recognitions each send the utterance in 100 ms blocks and
// wait for their results; the sim is a separate process and not counted.
#include <apr_general.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <future>

#include "../common/detector_replay.h"
#include "stream_host.h"

namespace {

using namespace ZephStreamTest;

double CpuMicros(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

void Post(OstEdpf::SoftEventProcessor* processor, std::function<void()> function) {
    auto* event = new FunctionEvent(std::move(function));
    event->Ref();
    processor->PostEvent(event);
}

void Run(OstEdpf::SoftEventProcessor* processor, std::function<void()> function) {
    std::promise<void> done;
    Post(processor, [&] {
        function();
        done.set_value();
    });
    done.get_future().wait();
}

}  // namespace

int main(int argc, char** argv) {
    const int channels = argc > 1 ? std::atoi(argv[1]) : 10;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    const int rate = 16000;
    ZephTest::UseTestCredentials();
    apr_initialize();
    apr_pool_t* pool = nullptr;
    apr_pool_create(&pool, nullptr);
    // The plugin's lines are formatted as in a server at INFO, and written nowhere.
    apt_log_instance_create(0, APT_PRIO_INFO, pool);
    apt_log_source_assign("ZEPH-PLUGIN", &ZEPH_PLUGIN);

    std::vector<int16_t> speech = ZephTest::SynthesizeSpeech(
        "I want a large pizza with mushrooms and olives delivered to my house", rate);
    if (speech.empty()) {
        std::fprintf(stderr, "stream_bench: no speech from espeak-ng\n");
        return 1;
    }
    std::string dir = ZephTest::MakeTempDir("zeph-stream-bench");
    std::ofstream(dir + "/agent.json") << R"({"utterances": [{"transcript": "a large pizza"}]})";
    ZephTest::SimProcess sim;
    if (!sim.Start({"--agent", dir + "/agent.json"})) {
        std::fprintf(stderr, "stream_bench: the sim did not start\n");
        return 1;
    }

    auto* processor = new OstEdpf::SoftEventProcessor();
    processor->Start();
    auto* task = new Zeph::Task("GRPC");
    task->Create(pool);
    task->Start();
    auto grpcChannel = grpc::CreateCustomChannel(sim.target(), grpc::GoogleDefaultCredentials(),
                                                 grpc::ChannelArguments());
    auto stub = std::make_shared<Zeph::APIV2::SessionStub>(nullptr, grpcChannel);
    stub->CreateGrpcStub();

    // Warm-up: one recognition, so that the connection and the credentials are set up.
    size_t audioFrames = 0;
    double streamCpu = 0;
    int failures = 0;
    for (int round = -1; round < rounds; ++round) {
        std::vector<std::unique_ptr<TestHost>> hosts;
        int count = round < 0 ? 1 : channels;
        double start = CpuMicros(CLOCK_PROCESS_CPUTIME_ID);
        for (int i = 0; i < count; ++i) {
            hosts.push_back(std::make_unique<TestHost>(processor, "bench-" + std::to_string(i)));
            TestHost* host = hosts.back().get();
            host->m_dialogId = "bench-" + std::to_string(round) + "-" + std::to_string(i);
            host->m_speech = SpeechGrammar();
            Run(processor, [&] {
                host->m_method = stub->CreateStreamingDetectIntentMethod(
                    host, task->GetCompletionQueue(), processor, 0);
                host->m_method->Validate();
                host->m_method->Invoke();
            });
        }
        const char* bytes = reinterpret_cast<const char*>(speech.data());
        const size_t total = speech.size() * 2;
        const size_t block = 3200;
        for (size_t at = 0; at < total; at += block) {
            for (auto& owned : hosts) {
                TestHost* host = owned.get();
                size_t size = std::min(block, total - at);
                bool last = at + size >= total;
                const char* data = bytes + at;
                Post(processor, [host, data, size, last] {
                    Zeph::DataChunk chunk = Zeph::DataChunk::Copy(data, size);
                    if (!host->m_active)
                        return;
                    host->m_inputMode = MPF_SDI_MODE_SPEECH;
                    if (!host->m_speechStarted) {
                        host->m_speechStarted = true;
                        if (host->m_streamCreated)
                            host->m_method->ProcessStartOfSpeechInput();
                    }
                    host->m_method->ProcessSpeechInput(chunk, last);
                });
            }
        }
        for (bool done = false; !done;) {
            Run(processor, [&] {
                done = true;
                for (auto& host : hosts)
                    done = done && !host->m_active && host->m_method->GetOperationsInFlight() == 0u;
            });
            if (!done)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        double spent = CpuMicros(CLOCK_PROCESS_CPUTIME_ID) - start;
        for (auto& host : hosts)
            failures += host->m_completeCause != 0 ? 1 : 0;
        if (round >= 0) {
            streamCpu += spent;
            audioFrames += static_cast<size_t>(count) * (speech.size() / (rate / 100));
        }
    }
    task->Terminate();
    processor->Shutdown(true);
    task->Destroy();
    delete task;
    delete processor;
    sim.Stop();
    ZephTest::RunCommand("rm -rf '" + dir + "'");

    // One input running through the whole recording.
    mpf_sdi_params_t params;
    mpf_sdi_params_init(&params);
    params.noinput_timeout = 1000000000;
    params.input_timeout = 1000000000;
    double detector =
        ZephBench::ReplayDetector(speech, rate, rounds * channels, &params, pool).cpu_us_per_frame;
    double stream = streamCpu / static_cast<double>(audioFrames);
    std::printf("audio: %.2f s at %d Hz per recognition, %d channels, %d rounds, %d failed\n",
                static_cast<double>(speech.size()) / rate, rate, channels, rounds, failures);
    std::printf("detector alone:         %8.2f us CPU per 10 ms frame\n", detector);
    std::printf("streaming to the sim:   %8.2f us CPU per 10 ms of audio per channel\n", stream);
    std::printf("plugin (both):          %8.2f us CPU per 10 ms per channel\n", detector + stream);
    std::printf("ratio stream/detector:  %8.2f\n", stream / detector);
    std::printf("ratio plugin/detector:  %8.2f\n", (detector + stream) / detector);
    apt_log_instance_destroy();
    apr_pool_destroy(pool);
    apr_terminate();
    return failures == 0 ? 0 : 1;
}
