// The `ostrin` command: a network-less Ostrin server for trying a recognizer plugin.
//   ostrin run SCENARIO [options]        carry out a scenario file
//   ostrin recognize --grammar URI [options] FILE.wav...   one recognition per file
//   ostrin selfcheck [--plugin PATH]     a built-in scenario against the sample plugin
// See tools/ostrin/README.md.
#include <strings.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <ostrin/apt_log.h>

#include "ostrin_runtime/scenario_runner.h"
#include "ostrin_runtime/wav_file.h"

using namespace OstrinRuntime;

namespace {

const char* const kUsage =
    "usage: ostrin run SCENARIO [--plugin PATH] [--root DIR] [--pace realtime|fast] [--strict]\n"
    "                  [-v|--log-level NAME]\n"
    "       ostrin recognize [--plugin PATH] [--root DIR] --grammar URI [--rate 8000]\n"
    "                  [--version 2] [--header 'Name: value']... [--attribute NAME=VALUE]...\n"
    "                  [--turns] [--strict] [-v|--log-level NAME] FILE.wav...\n"
    "       ostrin selfcheck [--plugin PATH]\n"
    "       ostrin COMMAND --help   (what each option does)\n";

const char* const kCommonHelp =
    "\ncommon options:\n"
    "  --plugin PATH       the plugin (default: ../lib/osrzeph.so next to this command)\n"
    "  --root DIR          server directories DIR/conf, DIR/data, DIR/var, DIR/log\n"
    "  --conf-dir DIR, --data-dir DIR, --var-dir DIR, --log-dir DIR\n"
    "                      one directory each (created when missing); the log directory\n"
    "                      gets ostrin.log, a copy of the host log that goes to stderr\n"
    "  --max-channels N    the engine's channel limit (default 100)\n"
    "  -v, --verbose       log at INFO and print every message the plugin sends\n"
    "  --log-level NAME    EMERGENCY, ALERT, CRITICAL, ERROR, WARNING, NOTICE (default),\n"
    "                      INFO or DEBUG\n"
    "  -h, --help          this text\n";

const char* const kRunHelp =
    "usage: ostrin run SCENARIO [options]\n"
    "Carries out a scenario file (channels, requests, audio, DTMF, waits; see\n"
    "tools/ostrin/README.md), prints every message the plugin sends and checks it.\n"
    "\noptions:\n"
    "  --pace realtime|fast  media at the clock's pace (default) or as fast as taken\n"
    "  --strict            a conformance violation fails the run\n"
    "exit status: 0 success, 1 a failed step or wait (or a violation with --strict),\n"
    "2 a bad command line\n";

const char* const kRecognizeHelp =
    "usage: ostrin recognize --grammar URI [options] FILE.wav...\n"
    "One RECOGNIZE per file on one channel (one dialog session), each file streamed at its\n"
    "own pace; prints each result as it completes. WAV files may be PCM, float, A-law or\n"
    "u-law at any rate (converted to the channel's); every file is checked first.\n"
    "\noptions:\n"
    "  --grammar URI       the RECOGNIZE's grammar, e.g.\n"
    "                      'builtin:speech/transcribe?dialogid=call-1'\n"
    "  --rate 8000|16000   the channel's sampling rate (default 8000)\n"
    "  --version 1|2       MRCP version of the channel (default 2)\n"
    "  --header 'Name: value'   a header for every RECOGNIZE (repeatable)\n"
    "  --attribute NAME=VALUE   a channel attribute, e.g. api=v3beta1 (repeatable)\n"
    "  --turns             recognize every utterance of each file: a new RECOGNIZE as soon\n"
    "                      as one completes, until the file has played out\n"
    "  --strict            a conformance violation makes the exit status 1\n"
    "exit status: 0 every file recognized, 3 every file answered but not every one\n"
    "recognized, 1 an error (an unreadable file, a set-up failure such as no connection,\n"
    "TLS, credentials or project refused, an unknown agent or environment, no answer),\n"
    "2 a bad command line\n";

const char* const kSelfcheckHelp =
    "usage: ostrin selfcheck [--plugin PATH]\n"
    "Runs a built-in DTMF scenario against the sample plugin (../lib/ostrin_sample_plugin.so\n"
    "next to this command, built from tools/ostrin/sample-plugin) to show that the host\n"
    "works; a tree without it (e.g. the demo's) has nothing to check: use --plugin, or run\n"
    "ostrin run on a scenario instead. Prints 'selfcheck: OK' or 'selfcheck: FAILED'.\n";

std::string ExecutableDir() {
    char buffer[4096];
    ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    if (length <= 0)
        return ".";
    std::string path(buffer, size_t(length));
    return path.substr(0, path.rfind('/'));
}

struct CommandLine {
    std::string command;
    std::vector<std::string> arguments;
    RunOptions run;
    std::string root, conf_dir, log_dir, data_dir, var_dir;
    bool verbose = false;
    std::string grammar;
    int rate = 8000;
    int version = 2;
    std::vector<std::string> headers;
    std::vector<std::pair<std::string, std::string>> attributes;  // of the recognize channel
    bool turns = false;
};

// An error line on stderr; also in ostrin.log when the host log writes one, so that the log
// tells how a run ended. Only the file gets the copy: stderr has the line already.
void ReportError(const CommandLine& line, const std::string& message) {
    OstrinRuntime::ReportError(std::cerr, line.run.host, message);
}

int UsageError(const std::string& message) {
    std::cerr << "ostrin: error: " << message << "\n" << kUsage;
    return 2;
}

bool ParseInt(const std::string& text, long min, long max, int* value) {
    char* end = nullptr;
    long number = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || number < min || number > max)
        return false;
    *value = int(number);
    return true;
}

// Returns 0 when parsed, otherwise the exit status.
int ParseCommandLine(int argc, char** argv, CommandLine* line) {
    if (argc < 2)
        return UsageError("no command");
    line->command = argv[1];
    if (line->command == "-h" || line->command == "--help") {
        std::cout << kUsage;
        return -1;
    }
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "-h") != 0 && std::strcmp(argv[i], "--help") != 0)
            continue;
        const char* help = line->command == "run"         ? kRunHelp
                           : line->command == "recognize" ? kRecognizeHelp
                           : line->command == "selfcheck" ? kSelfcheckHelp
                                                          : nullptr;
        if (!help)
            return UsageError("unknown command '" + line->command + "'");
        std::cout << help << (line->command == "selfcheck" ? "" : kCommonHelp);
        return -1;
    }
    HostOptions& host = line->run.host;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc)
                return false;
            *out = argv[++i];
            return true;
        };
        std::string text;
        if (arg == "--plugin") {
            if (!value(&host.plugin_path))
                return UsageError("--plugin needs a path");
        } else if (arg == "--root") {
            if (!value(&line->root))
                return UsageError("--root needs a directory");
        } else if (arg == "--conf-dir") {
            if (!value(&line->conf_dir))
                return UsageError("--conf-dir needs a directory");
        } else if (arg == "--log-dir") {
            if (!value(&line->log_dir))
                return UsageError("--log-dir needs a directory");
        } else if (arg == "--data-dir") {
            if (!value(&line->data_dir))
                return UsageError("--data-dir needs a directory");
        } else if (arg == "--var-dir") {
            if (!value(&line->var_dir))
                return UsageError("--var-dir needs a directory");
        } else if (arg == "--max-channels") {
            int count = 0;
            if (!value(&text) || !ParseInt(text, 1, 100000, &count)) {
                return UsageError("--max-channels needs a number from 1 to 100000");
            }
            host.max_channels = size_t(count);
        } else if (arg == "--pace") {
            if (!value(&text) || (text != "realtime" && text != "fast")) {
                return UsageError("--pace is realtime or fast");
            }
            host.pace = text == "fast" ? MediaPace::kFast : MediaPace::kRealtime;
        } else if (arg == "--turns") {
            line->turns = true;
        } else if (arg == "--strict") {
            line->run.strict = true;
        } else if (arg == "-v" || arg == "--verbose") {
            line->verbose = true;
            host.log_priority = APT_PRIO_INFO;
        } else if (arg == "--log-level") {
            static const char* const kNames[] = {"EMERGENCY", "ALERT",  "CRITICAL", "ERROR",
                                                 "WARNING",   "NOTICE", "INFO",     "DEBUG"};
            if (!value(&text))
                return UsageError("--log-level needs a name");
            bool known = false;
            for (const char* name : kNames)
                known = known || strcasecmp(name, text.c_str()) == 0;
            if (!known)
                return UsageError("unknown log level '" + text + "'");
            for (char& c : text)
                c = char(std::toupper(static_cast<unsigned char>(c)));
            host.log_priority = apt_log_priority_translate(text.c_str());
        } else if (arg == "--grammar") {
            if (!value(&line->grammar))
                return UsageError("--grammar needs a URI");
        } else if (arg == "--rate") {
            if (!value(&text) || (text != "8000" && text != "16000")) {
                return UsageError("--rate is 8000 or 16000");
            }
            line->rate = std::atoi(text.c_str());
        } else if (arg == "--version") {
            if (!value(&text) || (text != "1" && text != "2"))
                return UsageError("--version is 1 or 2");
            line->version = std::atoi(text.c_str());
        } else if (arg == "--header") {
            if (!value(&text) || text.find(':') == std::string::npos) {
                return UsageError("--header needs 'Name: value'");
            }
            line->headers.push_back(text);
        } else if (arg == "--attribute") {
            size_t equals = std::string::npos;
            if (!value(&text) || (equals = text.find('=')) == std::string::npos || equals == 0) {
                return UsageError("--attribute needs NAME=VALUE");
            }
            line->attributes.emplace_back(text.substr(0, equals), text.substr(equals + 1));
        } else if (!arg.empty() && arg[0] == '-') {
            return UsageError("unknown option '" + arg + "'");
        } else {
            line->arguments.push_back(arg);
        }
    }
    auto dir = [&](const std::string& explicit_dir, const char* leaf) {
        if (!explicit_dir.empty())
            return explicit_dir;
        return line->root.empty() ? std::string() : line->root + "/" + leaf;
    };
    host.conf_dir = dir(line->conf_dir, "conf");
    host.log_dir = dir(line->log_dir, "log");
    host.data_dir = dir(line->data_dir, "data");
    host.var_dir = dir(line->var_dir, "var");
    return 0;
}

int Run(const CommandLine& line) {
    if (line.arguments.size() != 1)
        return UsageError("run takes one scenario file");
    RunOptions options = line.run;
    if (options.host.plugin_path.empty())
        options.host.plugin_path = ExecutableDir() + "/../lib/osrzeph.so";
    Scenario scenario;
    std::string error;
    if (!LoadScenarioFile(line.arguments[0], &scenario, &error)) {
        ReportError(line, error);
        return 1;
    }
    return RunScenario(scenario, options, std::cout, std::cerr);
}

// The value of header `name` in a message written in wire format, or "".
std::string HeaderValue(const std::string& text, const std::string& name) {
    std::istringstream in(text);
    std::string line;
    std::getline(in, line);  // the start line
    while (std::getline(in, line) && !line.empty() && line != "\r") {
        size_t colon = line.find(':');
        if (colon != name.size() || strncasecmp(line.c_str(), name.c_str(), colon) != 0) {
            continue;
        }
        size_t begin = line.find_first_not_of(' ', colon + 1);
        size_t stop = line.find_last_not_of("\r ");
        return begin == std::string::npos || stop < begin ? std::string()
                                                          : line.substr(begin, stop - begin + 1);
    }
    return std::string();
}

// A recognition that matched: success, or success when the recognition timer ran out.
bool IsRecognized(const std::string& completion_cause) {
    return completion_cause.compare(0, 4, "000 ") == 0 ||
           completion_cause.compare(0, 4, "008 ") == 0;
}

// A recognizer error whose Completion-Reason says that the set-up is wrong (no connection,
// TLS, credentials, permission, an agent or environment the service does not have): every
// further file, sent with the same configuration and grammar, would fail the same way.
bool IsSetUpFailure(const std::string& completion_cause, const std::string& reason) {
    if (completion_cause.compare(0, 4, "006 ") != 0)
        return false;
    for (const char* code : {"UNAVAILABLE", "UNAUTHENTICATED", "PERMISSION_DENIED", "NOT_FOUND"}) {
        if (reason.compare(0, std::strlen(code), code) == 0)
            return true;
    }
    return false;
}

// With --turns, how long a turn waits for input once the recording has ended.
const int kEndOfRecordingGraceMs = 2000;

// Sends STOP `id` on the recognize channel and waits for its response.
bool StopRecognition(HostEngine& host, int version, int64_t id, std::string* error) {
    const std::string stop = version == 2 ? "MRCP/2.0 0 STOP " + std::to_string(id) + "\n\n"
                                          : "STOP " + std::to_string(id) + " MRCP/1.0\n\n";
    if (!host.SendRequest("rec", stop, error))
        return false;
    MessageFilter wanted;
    wanted.what = "response";
    wanted.request_id = id;
    if (host.WaitForMessage("rec", wanted, 15000))
        return true;
    *error = "no response to STOP";
    return false;
}

// One RECOGNIZE per file (with --turns, one after another until the file has played out) on
// one channel (one dialog session), the file's audio streamed at its own pace. Exit status:
// 0 every file recognized, 3 every file answered but not every one recognized, 1 an error
// (no answer, unreadable file, plugin or set-up failure, a violation with --strict), 2 a bad
// command line.
int Recognize(const CommandLine& line) {
    if (line.grammar.empty())
        return UsageError("recognize needs --grammar URI");
    if (line.arguments.empty())
        return UsageError("recognize needs at least one WAV file");
    HostOptions options = line.run.host;
    if (options.plugin_path.empty())
        options.plugin_path = ExecutableDir() + "/../lib/osrzeph.so";
    // Every file is checked, and every bad one named, before the plugin is loaded.
    std::vector<int64_t> durations_ms;
    bool bad_file = false;
    for (const std::string& path : line.arguments) {
        WavAudio audio;
        std::string error;
        if (!ReadWavFile(path, line.rate, &audio, &error)) {
            ReportError(line, error);
            bad_file = true;
        }
        durations_ms.push_back(int64_t(audio.samples.size()) * 1000 / line.rate);
    }
    if (bad_file)
        return 1;
    HostEngine host(options);
    bool verbose = line.verbose;
    host.SetMessageHandler([verbose](const PluginMessage& message) {
        if (verbose) {
            std::cout << "### " << message.channel << " +" << message.elapsed_ms << "\n"
                      << PrintableText(message.text);
        }
    });
    host.SetViolationHandler([](const std::string& channel, const Violation& violation) {
        std::cout << FormatViolation(channel, violation) << "\n";
    });
    bool failed = false;
    bool all_recognized = true;
    std::string error;
    if (!host.Open(&error) ||
        !host.OpenChannel("rec", line.rate, line.version, line.attributes, &error)) {
        ReportError(line, error);
        std::string ignored;
        host.Shutdown(&ignored);
        return 1;
    }
    int64_t request_id = 0;
    for (size_t i = 0; i < line.arguments.size() && !failed; ++i) {
        const std::string& path = line.arguments[i];
        // The file's audio goes out with the first RECOGNIZE; with --turns the next one
        // follows each completion while audio is left.
        bool audio_added = false;
        for (int turn = 1; !failed; ++turn) {
            std::string request =
                line.version == 2 ? "MRCP/2.0 0 RECOGNIZE " + std::to_string(++request_id) + "\n"
                                  : "RECOGNIZE " + std::to_string(++request_id) + " MRCP/1.0\n";
            request += "Content-Type: text/uri-list\n";
            bool tagged = false;
            for (const std::string& header : line.headers) {
                request += header + "\n";
                tagged = tagged || strncasecmp(header.c_str(), "Logging-Tag:", 12) == 0;
            }
            // The plugin's record of the recognition (and, with use-logging-tag, its file
            // names) then tells which file it came from.
            if (!tagged) {
                std::string tag = path;
                for (char& c : tag) {
                    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
                        c = '?';
                }
                request += "Logging-Tag: " + tag + "\n";
            }
            request += "\n" + line.grammar + "\n";
            PluginMessage response, complete;
            if (!host.SendRequest("rec", request, &error)) {
                ReportError(line, path + ": " + error);
                failed = true;
                break;
            }
            // Each wait names its request, so a late message of an earlier one never counts.
            MessageFilter wanted;
            wanted.what = "response";
            wanted.request_id = request_id;
            if (!host.WaitForMessage("rec", wanted, options.open_timeout_ms, &response)) {
                ReportError(line, path + ": no response to RECOGNIZE");
                failed = true;
                break;
            }
            const std::string heading =
                line.turns ? path + " (turn " + std::to_string(turn) + ")\n" : path + "\n";
            if (response.info.state == MessageInfo::State::kComplete) {
                // Refused at once: the response says why.
                std::cout << heading << "Status: " << response.info.status_code << "\n"
                          << "Completion-Cause: " << response.completion_cause << "\n"
                          << std::endl;
                all_recognized = false;
                break;
            }
            if (!audio_added && !host.AddAudio("rec", path, &error)) {
                ReportError(line, error);
                failed = true;
                break;
            }
            audio_added = true;
            const int timeout_ms = int(durations_ms[i]) + 30000;
            const auto deadline =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
            bool input_started = false;
            bool file_ended = false;
            std::chrono::steady_clock::time_point played_out{};
            for (;;) {
                wanted.what = "RECOGNITION-COMPLETE";
                if (host.WaitForMessage("rec", wanted, 100, &complete))
                    break;
                const std::string why = host.WaitFailure();
                const auto now = std::chrono::steady_clock::now();
                if (!why.empty() || now >= deadline) {
                    ReportError(line, path + ": no RECOGNITION-COMPLETE within " +
                                          std::to_string(timeout_ms) + " ms" +
                                          (why.empty() ? std::string() : " (" + why + ")"));
                    break;
                }
                wanted.what = "START-OF-INPUT";
                input_started = input_started || host.WaitForMessage("rec", wanted, 0);
                // A later turn in which nobody spoke before the recording ended (and a moment
                // after, for a transcript on its way) is stopped: it is the end of the
                // recording, not a no-input.
                if (turn == 1 || input_started || host.PendingFrames("rec") > 0)
                    continue;
                if (played_out == std::chrono::steady_clock::time_point{})
                    played_out = now;
                if (now - played_out >= std::chrono::milliseconds(kEndOfRecordingGraceMs)) {
                    file_ended = StopRecognition(host, line.version, ++request_id, &error);
                    if (!file_ended)
                        ReportError(line, path + ": " + error);
                    break;
                }
            }
            if (file_ended)
                break;
            if (complete.name.empty()) {
                failed = true;
                break;
            }
            std::cout << heading;
            const std::string reason = HeaderValue(complete.text, "Completion-Reason");
            all_recognized = all_recognized && IsRecognized(complete.completion_cause);
            std::cout << "Completion-Cause: " << complete.completion_cause << "\n";
            if (!reason.empty())
                std::cout << "Completion-Reason: " << reason << "\n";
            std::string waveform_uri = HeaderValue(complete.text, "Waveform-URI");
            if (!waveform_uri.empty())
                std::cout << "Waveform-URI: " << waveform_uri << "\n";
            if (!complete.body.empty()) {
                std::cout << "Content-Type: " << complete.content_type << "\n\n" << complete.body;
                if (complete.body.back() != '\n')
                    std::cout << "\n";
            }
            // Each result reaches a pipe as soon as it is known.
            std::cout << std::endl;
            if (IsSetUpFailure(complete.completion_cause, reason)) {
                ReportError(line, path + ": the recognizer's set-up fails: " + reason);
                failed = true;
                break;
            }
            if (!line.turns || host.PendingFrames("rec") == 0)
                break;
        }
        if (failed)
            break;
        // What is left of the file plays out before the next file's RECOGNIZE, as on a
        // call, so that it never reaches the next file's recognition.
        auto drain_deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(durations_ms[i] + 5000);
        while (host.PendingFrames("rec") > 0 && std::chrono::steady_clock::now() < drain_deadline) {
            host.PumpUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(20));
        }
    }
    if (!host.Shutdown(&error)) {
        ReportError(line, error);
        failed = true;
    }
    if (line.run.strict && host.violation_count() > 0)
        failed = true;
    if (failed)
        return 1;
    return all_recognized ? 0 : 3;
}

// A tiny built-in scenario against the sample plugin: proves that loading, channels,
// requests, DTMF media and the event path work.
int SelfCheck(const CommandLine& line) {
    RunOptions options = line.run;
    options.strict = true;
    options.host.pace = MediaPace::kFast;
    if (options.host.plugin_path.empty()) {
        options.host.plugin_path = ExecutableDir() + "/../lib/ostrin_sample_plugin.so";
    }
    if (access(options.host.plugin_path.c_str(), R_OK) != 0) {
        ReportError(line, "selfcheck: no plugin " + options.host.plugin_path +
                              " (the sample plugin is built with the ostrin_command target; "
                              "name another with --plugin)");
        std::cout << "selfcheck: FAILED\n";
        return 1;
    }
    const char* text =
        "channel A rate=8000\n"
        "send A <<END\n"
        "MRCP/2.0 0 RECOGNIZE 1\n"
        "Content-Type: text/uri-list\n"
        "\n"
        "builtin:dtmf/digits\n"
        "END\n"
        "wait A response\n"
        "dtmf A 42#\n"
        "wait A RECOGNITION-COMPLETE timeout=10000\n"
        "close A\n";
    Scenario scenario;
    std::string error;
    if (!ParseScenario(text, ".", &scenario, &error)) {
        std::cerr << "ostrin: error: selfcheck scenario: " << error << "\n";
        return 1;
    }
    scenario.path = "selfcheck";
    std::ostringstream out;
    int status = RunScenario(scenario, options, out, std::cerr);
    if (line.verbose)
        std::cout << out.str();
    if (status == 0 && out.str().find("<instance>42#</instance>") == std::string::npos) {
        std::cerr << "ostrin: error: selfcheck: the digits did not come back\n" << out.str();
        status = 1;
    }
    std::cout << (status == 0 ? "selfcheck: OK\n" : "selfcheck: FAILED\n");
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    CommandLine line;
    int parsed = ParseCommandLine(argc, argv, &line);
    if (parsed != 0)
        return parsed < 0 ? 0 : parsed;
    if (line.command == "run")
        return Run(line);
    if (line.command == "recognize")
        return Recognize(line);
    if (line.command == "selfcheck")
        return SelfCheck(line);
    return UsageError("unknown command '" + line.command + "'");
}
