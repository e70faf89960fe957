// Cost of DEFINE-GRAMMAR per SRGS item (100 and 10 000 items) and per URI-list line (10 and
// 1 000 lines). Each size is measured in the same run; the ratio of the per-item costs of the
// large to the small size is printed at the end (about 1 when the cost is linear).
#include <cstdio>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <apr_general.h>
#include <apr_pools.h>
#include <benchmark/benchmark.h>
#include <ostrin/apt_log.h>
#include <ostrin/mrcp_message.h>

#include "OsrZephGrammarSet.h"
#include "OsrZephSettings.h"

namespace {

apr_pool_t* g_pool = nullptr;

std::string SrgsDocument(int items) {
    std::string doc =
        "<?xml version=\"1.0\"?><grammar xmlns=\"http://www.w3.org/2001/06/grammar\" "
        "xml:lang=\"en-US\" root=\"main\"><meta name=\"scope\" content=\"hint\"/>"
        "<rule id=\"main\"><one-of>\n";
    for (int i = 0; i < items; ++i) {
        doc += "<item weight=\"1.5\">phrase number " + std::to_string(i) + "<tag>v" +
               std::to_string(i) + "</tag></item>\n";
    }
    return doc + "</one-of></rule></grammar>\n";
}

std::string UriList(int lines) {
    std::string body;
    for (int i = 0; i < lines; ++i) {
        body += "builtin:event/E" + std::to_string(i) + "?projectid=p;dialogid=d;k" +
                std::to_string(i) + "=v\r\n";
    }
    return body;
}

// Defines the same body under the same Content-Id once per iteration (each replaces the last).
void RunDefine(benchmark::State& state, const char* contentType, const std::string& body,
               int items) {
    apr_pool_t* pool = nullptr;
    apr_pool_create(&pool, g_pool);
    Zeph::EngineSettings settings;
    Zeph::GrammarSet set(settings, "bench");
    mrcp_message_t* request = mrcp_request_create(MRCP_VERSION_2, RECOGNIZER_DEFINE_GRAMMAR, pool);
    apt_string_assign(&request->generic_header.content_type, contentType, pool);
    mrcp_generic_header_property_add(request, GENERIC_HEADER_CONTENT_TYPE);
    apt_string_assign(&request->generic_header.content_id, "g", pool);
    mrcp_generic_header_property_add(request, GENERIC_HEADER_CONTENT_ID);
    mrcp_message_body_set(request, body.data(), body.size());
    mrcp_message_t* response = mrcp_response_create(request, pool);
    for (auto _ : state) {
        if (set.DefineGrammar(request, response) != MRCP_STATUS_CODE_SUCCESS) {
            state.SkipWithError("DEFINE-GRAMMAR failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * items);
    set.Clear();
    apr_pool_destroy(pool);
}

void BM_SrgsItems(benchmark::State& state) {
    const int items = static_cast<int>(state.range(0));
    RunDefine(state, "application/srgs+xml", SrgsDocument(items), items);
}

void BM_UriListLines(benchmark::State& state) {
    const int lines = static_cast<int>(state.range(0));
    RunDefine(state, "text/uri-list", UriList(lines), lines);
}

BENCHMARK(BM_SrgsItems)->Arg(100)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_UriListLines)->Arg(10)->Arg(1000)->Unit(benchmark::kMicrosecond);

// Console output as usual, plus the per-item cost of each size and the large/small ratio.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.iterations == 0)
                continue;
            const std::string name = run.benchmark_name();
            const size_t slash = name.find('/');
            const long items = std::stol(name.substr(slash + 1));
            // Adjusted CPU time is per iteration in the run's unit (µs); per item in ns.
            m_perItemNs[name.substr(0, slash)][items] =
                run.GetAdjustedCPUTime() * 1000.0 / static_cast<double>(items);
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nCost per item, large against small size (same run):\n");
        for (const auto& bench : m_perItemNs) {
            if (bench.second.size() != 2)
                continue;
            const auto small = bench.second.begin();
            const auto large = std::next(small);
            std::printf("  %-16s %6ld: %8.1f ns/item  %6ld: %8.1f ns/item  ratio %.3f\n",
                        bench.first.c_str(), small->first, small->second, large->first,
                        large->second, large->second / small->second);
        }
    }

private:
    std::map<std::string, std::map<long, double>> m_perItemNs;
};

}  // namespace

int main(int argc, char** argv) {
    apr_initialize();
    apr_pool_create(&g_pool, nullptr);
    apt_log_instance_create(APT_LOG_OUTPUT_NONE, APT_PRIO_WARNING, g_pool);  // quiet
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    apt_log_instance_destroy();
    apr_pool_destroy(g_pool);
    apr_terminate();
    return 0;
}
