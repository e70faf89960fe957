// zeph-soak: a long run of the plugin under the host runtime against dialogflow-sim, with
// random sim faults, STOPs and hang-ups at every stage of a recognition, at the fast media
// pace. It fails (exit status 1) when the host's conformance checker saw any violation, when
// a request or call went unanswered, when a stream was still open at the sim once every
// channel had closed, when the resident set grew by the limit or more after the baseline
// (judged only with the C library's allocator: a sanitizer's allocator keeps freed memory),
// or (in a build with LeakSanitizer) on any leak.
//
//   zeph-soak [--seed N] [--recognitions N] [--channels N] [--root DIR] [--keep]
//             [--rss-limit PERCENT] [--rss-baseline-at N] [--log-level NAME]
//
// It runs from the build tree: the plugin, the sim and the test credentials are found next
// to the executable (../lib, ., ../test-credentials). The sim listens on loopback only.
// With ZEPH_SOAK_MEMORY_PROFILE set, a sanitizer build prints where the live heap was
// allocated once the last recognition has ended.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include <apr_general.h>
#include <apr_pools.h>
#include <ostrin/apt_log.h>
#include <rapidjson/document.h>

#include <ostrin_runtime/scenario_runner.h>

#include "dlopen_sanitizer_options.h"
#include "sim_process.h"
#include "soak_driver.h"
#include "test_audio.h"

// Set by LeakSanitizer (alone or within AddressSanitizer) when it is linked in.
extern "C" void __lsan_do_leak_check() __attribute__((weak));

namespace {

using ZephSoak::SoakDriver;
using ZephSoak::SoakFigures;
using ZephSoak::SoakOptions;

const char* const kUsage =
    "usage: zeph-soak [--seed N] [--recognitions N] [--channels N] [--root DIR] [--keep]\n"
    "                 [--rss-limit PERCENT] [--rss-baseline-at N] [--log-level NAME]\n";

struct CommandLine {
    SoakOptions soak;
    std::string root;
    bool keep = false;
    double rss_limit_percent = 1.0;
    apt_log_priority_e log_priority = APT_PRIO_WARNING;
};

bool ParseLong(const std::string& text, long min, long max, long* value) {
    char* end = nullptr;
    long number = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || number < min || number > max)
        return false;
    *value = number;
    return true;
}

// 0 when parsed, otherwise the exit status.
int ParseCommandLine(int argc, char** argv, CommandLine* line) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value = i + 1 < argc ? argv[i + 1] : "";
        long number = 0;
        if (arg == "-h" || arg == "--help") {
            std::cout << kUsage;
            return -1;
        } else if (arg == "--keep") {
            line->keep = true;
            continue;
        } else if (i + 1 >= argc) {
            std::cerr << "zeph-soak: error: " << arg << " needs a value\n" << kUsage;
            return 2;
        }
        ++i;
        bool ok = true;
        if (arg == "--seed") {
            ok = ParseLong(value, 0, 0x7fffffffL, &number);
            line->soak.seed = uint64_t(number);
        } else if (arg == "--recognitions") {
            ok = ParseLong(value, 1, 100000000L, &number);
            line->soak.recognitions = int(number);
        } else if (arg == "--channels") {
            ok = ParseLong(value, 1, 1000, &number);
            line->soak.channels = int(number);
        } else if (arg == "--rss-baseline-at") {
            ok = ParseLong(value, 1, 100000000L, &number);
            line->soak.rss_baseline_at = int(number);
        } else if (arg == "--root") {
            line->root = value;
        } else if (arg == "--rss-limit") {
            char* end = nullptr;
            line->rss_limit_percent = std::strtod(value.c_str(), &end);
            ok = !value.empty() && *end == '\0' && line->rss_limit_percent > 0;
        } else if (arg == "--log-level") {
            line->log_priority = apt_log_priority_translate(value.c_str());
        } else {
            std::cerr << "zeph-soak: error: unknown option " << arg << "\n" << kUsage;
            return 2;
        }
        if (!ok) {
            std::cerr << "zeph-soak: error: bad value for " << arg << ": " << value << "\n";
            return 2;
        }
    }
    return 0;
}

std::string ExecutableDir() {
    char buffer[4096];
    ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    if (length <= 0)
        return ".";
    std::string path(buffer, size_t(length));
    return path.substr(0, path.rfind('/'));
}

bool WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::trunc);
    out << text;
    return bool(out);
}

// Warnings and worse from the plugin and the host, counted by their text without the
// values in brackets and the channel suffix, so that like lines add up.
struct LogCounts {
    std::map<std::string, int> lines;
    int errors = 0;  // ERROR or worse
};

void CountLogRecord(void* obj, const char*, int, const apt_log_source_t*,
                    apt_log_priority_e priority, const char* message) {
    auto* counts = static_cast<LogCounts*>(obj);
    std::string text;
    int depth = 0;
    for (const char* c = message; *c; ++c) {
        if (*c == '[' || *c == '<')
            ++depth;
        if (depth == 0)
            text += *c;
        if ((*c == ']' || *c == '>') && depth > 0 && --depth == 0)
            text += "[]";
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == ']' || text.back() == '['))
        text.pop_back();
    ++counts->lines[text];
    if (priority <= APT_PRIO_ERROR)
        ++counts->errors;
}

// What the sim's record file says: streams by status, and those still open when it was
// told to stop (ended by the sim's shutdown).
struct StreamCounts {
    int streams = 0;
    int left_open = 0;
    int cancelled = 0;
    std::map<std::string, int> statuses;
};

StreamCounts ReadStreams(const std::string& path) {
    StreamCounts counts;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        rapidjson::Document record;
        if (record.Parse(line.c_str()).HasParseError() || !record.IsObject())
            continue;
        ++counts.streams;
        if (record.HasMember("cancelled") && record["cancelled"].IsBool() &&
            record["cancelled"].GetBool()) {
            ++counts.cancelled;
        }
        int code = -1;
        std::string message;
        if (record.HasMember("status") && record["status"].IsObject()) {
            const rapidjson::Value& status = record["status"];
            if (status.HasMember("code") && status["code"].IsInt())
                code = status["code"].GetInt();
            if (status.HasMember("message") && status["message"].IsString())
                message = status["message"].GetString();
        }
        if (message.find("shutting down") != std::string::npos)
            ++counts.left_open;
        ++counts.statuses["code " + std::to_string(code)];
    }
    return counts;
}

void PrintMap(const char* title, const std::map<std::string, int>& values) {
    std::printf("%s:\n", title);
    std::vector<std::pair<int, std::string>> sorted;
    for (const auto& value : values)
        sorted.emplace_back(-value.second, value.first);
    std::sort(sorted.begin(), sorted.end());
    for (const auto& value : sorted)
        std::printf("  %7d  %s\n", -value.first, value.second.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    CommandLine line;
    int parsed = ParseCommandLine(argc, argv, &line);
    if (parsed != 0)
        return parsed < 0 ? 0 : parsed;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    const std::string bin = ExecutableDir();
    const std::string credentials = bin + "/../test-credentials";
    std::string root = line.root.empty() ? ZephTest::MakeTempDir("zeph-soak") : line.root;
    if (root.empty()) {
        std::cerr << "zeph-soak: error: cannot make a work folder\n";
        return 1;
    }
    std::filesystem::create_directories(root);
    SoakOptions& options = line.soak;
    options.audio_path = root + "/speech.wav";
    std::vector<int16_t> speech = ZephTest::SynthesizeSpeech("book a table for two please", 8000);
    if (speech.empty() || !ZephTest::WriteWavFile(options.audio_path, speech, 8000)) {
        std::cerr << "zeph-soak: error: espeak-ng and sox make the speech audio\n";
        return 1;
    }
    const std::string records = root + "/streams.jsonl";
    std::remove(records.c_str());
    if (!WriteText(root + "/agent.json", ZephSoak::AgentJson())) {
        std::cerr << "zeph-soak: error: cannot write " << root << "/agent.json\n";
        return 1;
    }

    // The sim logs a line per stream to its standard error: into sim.log, not the terminal.
    ZephTest::SimProcess sim;
    int saved_stderr = dup(STDERR_FILENO);
    int sim_log = open((root + "/sim.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (sim_log >= 0) {
        dup2(sim_log, STDERR_FILENO);
        close(sim_log);
    }
    bool sim_started =
        sim.StartWithArgs({bin + "/dialogflow-sim", "--listen", "127.0.0.1:0", "--cert",
                           credentials + "/server.crt", "--key", credentials + "/server.key",
                           "--credentials", credentials + "/service-account.json", "--agent",
                           root + "/agent.json", "--record", records});
    dup2(saved_stderr, STDERR_FILENO);
    close(saved_stderr);
    if (!sim_started) {
        std::cerr << "zeph-soak: error: dialogflow-sim did not start\n";
        return 1;
    }
    std::filesystem::create_directories(root + "/conf");
    WriteText(root + "/conf/osrzeph.xml",
              "<?xml version=\"1.0\"?>\n<osrzeph gapp-credentials-file=\"" + credentials +
                  "/service-account.json\" ssl-roots-file=\"" + credentials +
                  "/ca.crt\">\n<streaming-recognition service-uri=\"" + sim.target() +
                  "\" stream-creation-timeout=\"2000\" result-timeout=\"3000\"/>\n"
                  "<utterance-manager save-waveforms=\"false\"/>\n</osrzeph>\n");

    // The process's logger, made here so that warnings can be counted: they go to
    // soak.log in the work folder.
    apr_initialize();
    apr_pool_t* pool = nullptr;
    apr_pool_create(&pool, nullptr);
    LogCounts log_counts;
    apt_log_instance_create(APT_LOG_OUTPUT_FILE, line.log_priority, pool);
    apt_log_file_open(root.c_str(), "soak.log", pool);
    apt_log_handler_set(&CountLogRecord, &log_counts);

    std::printf("zeph-soak: seed %llu, %d recognitions over %d channels, work folder %s\n",
                static_cast<unsigned long long>(options.seed), options.recognitions,
                options.channels, root.c_str());
    auto start = std::chrono::steady_clock::now();
    bool ok = true;
    std::vector<std::string> failures;
    SoakFigures figures;
    size_t violations = 0;
    {
        OstrinRuntime::HostOptions host_options;
        host_options.plugin_path = bin + "/../lib/osrzeph.so";
        host_options.conf_dir = root + "/conf";
        host_options.log_dir = root + "/log";
        host_options.data_dir = root + "/data";
        host_options.var_dir = root + "/var";
        host_options.max_channels = size_t(options.channels);
        host_options.pace = OstrinRuntime::MediaPace::kFast;
        host_options.keep_messages = false;
        OstrinRuntime::HostEngine host(host_options);
        host.SetViolationHandler(
            [&failures](const std::string& channel, const OstrinRuntime::Violation& violation) {
                if (failures.size() < 20)
                    failures.push_back(OstrinRuntime::FormatViolation(channel, violation));
            });
        std::string error;
        if (!host.Open(&error)) {
            failures.push_back("host: " + error);
        } else {
            SoakDriver driver(options, &host);
            driver.SetProgress(
                [](const std::string& text) { std::printf("  %s\n", text.c_str()); });
            if (!driver.Run(&error))
                failures.push_back("driver: " + error);
            figures = driver.figures();
            // Every channel is closed: no stream may be left open at the sim. Its shutdown
            // ends whatever is still open, and records it so.
            sim.Stop();
        }
        if (!host.Shutdown(&error))
            failures.push_back("host shutdown: " + error);
        violations = host.violation_count();
    }
    apt_log_handler_set(nullptr, nullptr);
    apt_log_instance_destroy();
    apr_pool_destroy(pool);
    apr_terminate();
    sim.Stop();
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    StreamCounts streams = ReadStreams(records);
    std::printf("\nrecognitions: %d started, %d ended in %.1f s (%.1f per second)\n",
                figures.started, figures.ended, seconds, figures.ended / seconds);
    std::printf("channels opened: %d, messages from the plugin: %d\n", figures.channels_opened,
                figures.messages);
    PrintMap("outcomes", figures.outcomes);
    PrintMap("sim sessions (faults)", figures.sessions);
    PrintMap("STOPs sent, by stage", figures.stops);
    std::printf("  (%d of them a second STOP right after the first)\n", figures.double_stops);
    PrintMap("hang-ups, by stage", figures.hangups);
    std::printf("STOP responses: slowest after %ld ms, %d after more than 1 s\n",
                figures.stop_latency_max_ms, figures.stops_slow);
    std::printf("planned STOPs and hang-ups that found the recognition already ended: %d\n",
                figures.actions_missed);
    std::printf("sim streams: %d, cancelled by the client %d, left open %d\n", streams.streams,
                streams.cancelled, streams.left_open);
    PrintMap("sim stream statuses", streams.statuses);
    PrintMap("warnings and errors logged", log_counts.lines);
    std::printf("RSS (KiB) by recognitions ended:");
    for (const auto& sample : figures.rss_samples)
        std::printf(" %d:%ld", sample.first, sample.second);
    std::printf("\n");
    if (!figures.heap_samples.empty() && figures.heap_samples.back().second > 0) {
        std::printf("heap in use (KiB) by recognitions ended:");
        for (const auto& sample : figures.heap_samples)
            std::printf(" %d:%ld", sample.first, sample.second);
        std::printf("\n");
    }

    if (figures.ended != figures.started || figures.started != options.recognitions)
        failures.push_back("not every recognition ended");
    if (figures.outcomes.count("unanswered at close"))
        failures.push_back("recognitions unanswered at close");
    if (violations > 0)
        failures.push_back(std::to_string(violations) + " conformance violation(s)");
    if (streams.left_open > 0)
        failures.push_back(std::to_string(streams.left_open) +
                           " stream(s) still open at the sim after every channel closed");
    if (figures.rss_baseline_kib > 0) {
        double growth = 100.0 * double(figures.rss_end_kib - figures.rss_baseline_kib) /
                        double(figures.rss_baseline_kib);
        std::printf(
            "RSS after %d recognitions %ld KiB, at the end %ld KiB: %+.2f %% (peak %ld KiB)\n",
            options.rss_baseline_at, figures.rss_baseline_kib, figures.rss_end_kib, growth,
            figures.rss_peak_kib);
        if (__lsan_do_leak_check) {
            std::printf("RSS not judged: the sanitizer's allocator keeps freed memory\n");
        } else if (growth >= line.rss_limit_percent) {
            failures.push_back("RSS grew by " + std::to_string(growth) + " % (limit " +
                               std::to_string(line.rss_limit_percent) + " %)");
        }
    }
    if (failures.empty() && !line.keep)
        std::filesystem::remove_all(root);
    for (const std::string& failure : failures)
        std::printf("FAILED: %s\n", failure.c_str());
    ok = failures.empty();

    if (__lsan_do_leak_check) {
        // Everything of the run is gone; what the check finds was lost. A leak ends the
        // process here with LeakSanitizer's report and its exit status.
        std::printf("leak check: running\n");
        std::fflush(stdout);
        __lsan_do_leak_check();
        std::printf("leak check: nothing reported\n");
    } else {
        std::printf("leak check: not in this build (no LeakSanitizer)\n");
    }
    std::printf("%s\n", ok ? "zeph-soak: passed" : "zeph-soak: FAILED");
    return ok ? 0 : 1;
}
