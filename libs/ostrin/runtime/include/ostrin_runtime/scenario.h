// Scenario files of the `ostrin run` command: one step per line (a `send` step spans the lines
// up to its closing tag). Parsing only; ScenarioRunner carries the steps out.
// Stateless; any thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace OstrinRuntime {

struct ScenarioStep {
    enum class Type { kChannel, kSend, kAudio, kSilence, kDtmf, kWait, kSleep, kClose };

    Type type = Type::kSleep;
    int line = 0;         // line number in the file, for error messages
    std::string channel;  // every step but sleep
    // channel
    int rate = 8000;
    int version = 2;
    std::vector<std::pair<std::string, std::string>> attributes;
    // send: the request's text as written (LF line ends)
    std::string text;
    // audio: absolute or scenario-relative path resolved against the scenario's folder
    std::string path;
    // silence, sleep: milliseconds; dtmf: digits and timing
    int ms = 0;
    std::string digits;
    int duration_ms = 100;
    int gap_ms = 50;
    // wait: an event name or "response", optionally of one request and one Completion-Cause
    std::string what;
    int timeout_ms = 10000;
    int64_t request_id = -1;
    int cause = -1;
};

struct Scenario {
    std::string path;
    std::vector<ScenarioStep> steps;
};

// Parses the text of a scenario; `base_dir` resolves relative paths. On failure returns false
// with "LINE: reason" in `error`; a scenario without steps is an error too.
bool ParseScenario(const std::string& text, const std::string& base_dir, Scenario* scenario,
                   std::string* error);
// Reads and parses a scenario file (a regular file of at most 16 MiB); errors name the file
// and line.
bool LoadScenarioFile(const std::string& path, Scenario* scenario, std::string* error);

}  // namespace OstrinRuntime
