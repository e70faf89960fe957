// Cost of composing the NLSML result body, per byte written, for a typical query result (10
// parameters, 2 of them nested structs), a medium one (100) and a large one (1 000). The JSON
// text of the same query result (ComposeJsonQueryResult) is measured in the same run as the
// baseline. At the end the ratios are printed: per-byte cost large/typical and large/medium
// (1.0 is linear), and NLSML/JSON per-byte cost for each size.
#include <apr_general.h>
#include <benchmark/benchmark.h>
#include <ostrin/apt_log.h>

#include <cstdio>
#include <map>
#include <string>

#include <google/cloud/dialogflow/v2/session.pb.h>

#include "OsrZephResult.h"

namespace {

namespace v2 = google::cloud::dialogflow::v2;

enum Size { kTypical = 0, kLarge = 1, kMedium = 2 };

google::protobuf::Value Text(const std::string& text) {
    google::protobuf::Value value;
    value.set_string_value(text);
    return value;
}

// A realistic query result: transcript, confidence, action, intent, fulfillment text and the
// parameters; every fifth parameter a number, nested structs hold a date-like record.
v2::QueryResult MakeQueryResult(int parameters, int nested) {
    v2::QueryResult result;
    result.set_query_text("I would like to book a table for four people tomorrow at 7 pm");
    result.set_speech_recognition_confidence(0.8764f);
    result.set_action("restaurant.booking.create");
    result.set_all_required_params_present(true);
    result.set_fulfillment_text("Booking a table for four tomorrow at 7 pm & confirming now.");
    result.mutable_intent()->set_name("projects/p/agent/intents/0f3c");
    result.mutable_intent()->set_display_name("restaurant.booking.create");
    result.set_intent_detection_confidence(0.93f);
    result.set_language_code("en-us");
    auto& fields = *result.mutable_parameters()->mutable_fields();
    for (int i = 0; i < parameters; ++i) {
        const std::string key = "param-" + std::to_string(i);
        if (i < nested) {
            google::protobuf::Value record;
            auto& inner = *record.mutable_struct_value()->mutable_fields();
            inner["date"] = Text("2026-12-08");
            inner["time"] = Text("19:00:00");
            inner["guests"].set_number_value(4);
            fields[key] = record;
        } else if (i % 5 == 0) {
            fields[key].set_number_value(i * 1.5);
        } else {
            fields[key] = Text("value <" + std::to_string(i) + "> for the booking");
        }
    }
    return result;
}

const v2::QueryResult& QueryResult(int size) {
    static const v2::QueryResult typical = MakeQueryResult(10, 2);
    static const v2::QueryResult large = MakeQueryResult(1000, 2);
    static const v2::QueryResult medium = MakeQueryResult(100, 2);
    return size == kTypical ? typical : (size == kLarge ? large : medium);
}

Zeph::ResultsSettings Settings() {
    Zeph::ResultsSettings settings;
    settings.m_indent = 2;
    settings.m_confidenceFormat = Zeph::ResultsSettings::CONFIDENCE_FORMAT_MRCPV2;
    return settings;
}

void BM_Nlsml(benchmark::State& state) {
    const v2::QueryResult& queryResult = QueryResult(static_cast<int>(state.range(0)));
    const Zeph::ResultsSettings settings = Settings();
    Zeph::RecogResultInput input;
    input.m_speechGrammar.m_text = "session:booking";
    input.m_inputMode = MPF_SDI_MODE_SPEECH;
    size_t bytes = 0;
    for (auto _ : state) {
        Zeph::RecogResult result = Zeph::ComposeRecogResult(settings, queryResult, input);
        bytes += result.m_body.size();
        benchmark::DoNotOptimize(result.m_body.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["body_bytes"] =
        benchmark::Counter(static_cast<double>(bytes), benchmark::Counter::kAvgIterations);
}

void BM_Json(benchmark::State& state) {
    const v2::QueryResult& queryResult = QueryResult(static_cast<int>(state.range(0)));
    size_t bytes = 0;
    std::string json;
    for (auto _ : state) {
        Zeph::ComposeJsonQueryResult(queryResult, true, json);
        bytes += json.size();
        benchmark::DoNotOptimize(json.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["body_bytes"] =
        benchmark::Counter(static_cast<double>(bytes), benchmark::Counter::kAvgIterations);
}

BENCHMARK(BM_Nlsml)->Arg(kTypical)->Arg(kMedium)->Arg(kLarge)->ArgName("size");
BENCHMARK(BM_Json)->Arg(kTypical)->Arg(kMedium)->Arg(kLarge)->ArgName("size");

// Console output as usual, then the per-byte costs and their ratios.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration) {
                continue;
            }
            const auto bytes = run.counters.find("body_bytes");
            if (bytes == run.counters.end() || bytes->second.value <= 0) {
                continue;
            }
            // Counters are already averaged per iteration here.
            const double nsPerByte = run.GetAdjustedCPUTime() / bytes->second.value;
            std::string name = run.benchmark_name();
            const size_t slash = name.find('/');
            m_nsPerByte[name.substr(0, slash)][name.substr(slash + 1)] = nsPerByte;
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        auto& nlsml = m_nsPerByte["BM_Nlsml"];
        auto& json = m_nsPerByte["BM_Json"];
        std::printf("\nPer-byte cost (ns/byte, same run; size 0 typical, 2 medium, 1 large):\n");
        for (const char* size : {"size:0", "size:2", "size:1"}) {
            std::printf("  %-7s nlsml %.3f  json %.3f  nlsml/json %.3f  (%.1f MB/s nlsml)\n", size,
                        nlsml[size], json[size], json[size] > 0 ? nlsml[size] / json[size] : 0.0,
                        nlsml[size] > 0 ? 1e3 / nlsml[size] : 0.0);
        }
        if (nlsml["size:0"] > 0 && nlsml["size:2"] > 0 && json["size:0"] > 0 &&
            json["size:2"] > 0) {
            // Typical and large differ in their mix of bytes (fixed fields against short
            // parameters); medium and large have the same mix and differ only in size.
            std::printf("Per-byte cost large/typical: nlsml %.3f  json %.3f\n",
                        nlsml["size:1"] / nlsml["size:0"], json["size:1"] / json["size:0"]);
            std::printf("Per-byte cost large/medium (same mix, 10x size): nlsml %.3f  json %.3f\n",
                        nlsml["size:1"] / nlsml["size:2"], json["size:1"] / json["size:2"]);
        }
    }

private:
    std::map<std::string, std::map<std::string, double>> m_nsPerByte;
};

}  // namespace

int main(int argc, char** argv) {
    apr_initialize();
    apr_pool_t* pool = nullptr;
    apr_pool_create(&pool, nullptr);
    apt_log_instance_create(APT_LOG_OUTPUT_CONSOLE, APT_PRIO_WARNING, pool);  // quiet
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    apt_log_instance_destroy();
    apr_terminate();
    return 0;
}
