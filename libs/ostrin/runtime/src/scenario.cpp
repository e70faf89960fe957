#include "ostrin_runtime/scenario.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

namespace OstrinRuntime {

namespace {

std::vector<std::string> SplitWords(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    std::string word;
    while (in >> word)
        words.push_back(word);
    return words;
}

bool ParseNumber(const std::string& text, int min, int max, int* value) {
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    long number = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || number < min || number > max)
        return false;
    *value = int(number);
    return true;
}

bool ValidName(const std::string& name) {
    if (name.empty() || name.size() > 64)
        return false;
    for (char c : name) {
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.')) {
            return false;
        }
    }
    return true;
}

std::string ResolvePath(const std::string& base_dir, const std::string& path) {
    if (path.empty() || path[0] == '/' || base_dir.empty())
        return path;
    return base_dir + "/" + path;
}

const int kMaxMs = 3600 * 1000;
const off_t kMaxScenarioBytes = 16 * 1024 * 1024;

}  // namespace

bool ParseScenario(const std::string& text, const std::string& base_dir, Scenario* scenario,
                   std::string* error) {
    std::vector<std::string> lines;
    {
        std::istringstream in(text);
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            lines.push_back(line);
        }
    }
    std::set<std::string> channels;
    for (size_t i = 0; i < lines.size(); ++i) {
        int line_number = int(i + 1);
        auto fail = [&](const std::string& why) {
            *error = std::to_string(line_number) + ": " + why;
            return false;
        };
        std::vector<std::string> words = SplitWords(lines[i]);
        if (words.empty() || words[0][0] == '#')
            continue;
        ScenarioStep step;
        step.line = line_number;
        const std::string& keyword = words[0];
        static const std::set<std::string> kKeywords = {"channel", "send", "audio", "silence",
                                                        "dtmf",    "wait", "sleep", "close"};
        if (!kKeywords.count(keyword))
            return fail("unknown step '" + keyword + "'");
        // Every step but sleep names a channel, and all but `channel` need it to exist.
        if (keyword != "sleep") {
            if (words.size() < 2)
                return fail("'" + keyword + "' needs a channel name");
            step.channel = words[1];
            if (keyword != "channel" && !channels.count(step.channel)) {
                return fail("unknown channel '" + step.channel + "'");
            }
        }
        auto expect_words = [&](size_t min, size_t max) {
            return words.size() >= min && words.size() <= max;
        };
        if (keyword == "channel") {
            step.type = ScenarioStep::Type::kChannel;
            if (!ValidName(step.channel)) {
                return fail("bad channel name '" + step.channel +
                            "' (letters, digits, '_', '-', '.')");
            }
            if (channels.count(step.channel)) {
                return fail("channel '" + step.channel + "' is already defined");
            }
            for (size_t w = 2; w < words.size(); ++w) {
                size_t eq = words[w].find('=');
                if (eq == std::string::npos || eq == 0) {
                    return fail("expected NAME=VALUE, got '" + words[w] + "'");
                }
                std::string name = words[w].substr(0, eq), value = words[w].substr(eq + 1);
                if (name == "rate") {
                    if (value != "8000" && value != "16000") {
                        return fail("rate must be 8000 or 16000, got '" + value + "'");
                    }
                    step.rate = std::atoi(value.c_str());
                } else if (name == "version") {
                    if (value != "1" && value != "2") {
                        return fail("version must be 1 or 2, got '" + value + "'");
                    }
                    step.version = std::atoi(value.c_str());
                } else {
                    step.attributes.emplace_back(name, value);
                }
            }
            channels.insert(step.channel);
        } else if (keyword == "send") {
            step.type = ScenarioStep::Type::kSend;
            if (words.size() != 3 || words[2].size() < 3 || words[2].compare(0, 2, "<<") != 0) {
                return fail("expected 'send NAME <<TAG'");
            }
            std::string tag = words[2].substr(2);
            size_t end = i + 1;
            while (end < lines.size() && SplitWords(lines[end]) != std::vector<std::string>{tag}) {
                ++end;
            }
            if (end == lines.size())
                return fail("no closing '" + tag + "' for this send");
            for (size_t j = i + 1; j < end; ++j)
                step.text += lines[j] + "\n";
            if (step.text.find_first_not_of(" \t\n") == std::string::npos) {
                return fail("empty request");
            }
            i = end;
        } else if (keyword == "audio") {
            step.type = ScenarioStep::Type::kAudio;
            if (!expect_words(3, 3))
                return fail("expected 'audio NAME FILE.wav'");
            step.path = ResolvePath(base_dir, words[2]);
        } else if (keyword == "silence") {
            step.type = ScenarioStep::Type::kSilence;
            if (!expect_words(3, 3) || !ParseNumber(words[2], 0, kMaxMs, &step.ms)) {
                return fail("expected 'silence NAME MS'");
            }
        } else if (keyword == "dtmf") {
            step.type = ScenarioStep::Type::kDtmf;
            if (!expect_words(3, 5))
                return fail("expected 'dtmf NAME DIGITS [duration=MS] [gap=MS]'");
            step.digits = words[2];
            for (size_t w = 3; w < words.size(); ++w) {
                if (words[w].compare(0, 9, "duration=") == 0) {
                    if (!ParseNumber(words[w].substr(9), 10, 60000, &step.duration_ms)) {
                        return fail("bad duration '" + words[w] + "' (10 to 60000 ms)");
                    }
                } else if (words[w].compare(0, 4, "gap=") == 0) {
                    if (!ParseNumber(words[w].substr(4), 0, 60000, &step.gap_ms)) {
                        return fail("bad gap '" + words[w] + "' (0 to 60000 ms)");
                    }
                } else {
                    return fail("unknown dtmf option '" + words[w] + "'");
                }
            }
        } else if (keyword == "wait") {
            step.type = ScenarioStep::Type::kWait;
            if (!expect_words(3, 6)) {
                return fail(
                    "expected 'wait NAME EVENT-NAME|response [timeout=MS] [request=ID] "
                    "[cause=NNN]'");
            }
            step.what = words[2];
            std::set<std::string> seen;
            for (size_t w = 3; w < words.size(); ++w) {
                const std::string& word = words[w];
                std::string option = word.substr(0, word.find('='));
                std::string value = word.find('=') == std::string::npos
                                        ? std::string()
                                        : word.substr(word.find('=') + 1);
                if (!seen.insert(option).second)
                    return fail("'" + option + "' given twice");
                if (option == "timeout") {
                    if (!ParseNumber(value, 1, kMaxMs, &step.timeout_ms))
                        return fail("bad timeout '" + word + "'");
                } else if (option == "request") {
                    char* end = nullptr;
                    errno = 0;
                    unsigned long long id = std::strtoull(value.c_str(), &end, 10);
                    if (value.empty() || !std::isdigit(static_cast<unsigned char>(value[0])) ||
                        *end != '\0' || errno != 0 || id > 4294967295ull) {
                        return fail("bad request id '" + word + "' (0 to 4294967295)");
                    }
                    step.request_id = int64_t(id);
                } else if (option == "cause") {
                    if (value.size() != 3 || !ParseNumber(value, 0, 999, &step.cause))
                        return fail("bad cause '" + word + "' (three digits)");
                } else {
                    return fail("unknown wait option '" + word + "'");
                }
            }
            if (step.what == "response" && step.cause >= 0)
                return fail("a response has no Completion-Cause to wait for");
        } else if (keyword == "sleep") {
            step.type = ScenarioStep::Type::kSleep;
            if (words.size() != 2 || !ParseNumber(words[1], 0, kMaxMs, &step.ms)) {
                return fail("expected 'sleep MS'");
            }
        } else if (keyword == "close") {
            step.type = ScenarioStep::Type::kClose;
            if (!expect_words(2, 2))
                return fail("expected 'close NAME'");
            channels.erase(step.channel);
        } else {
            return fail("unknown step '" + keyword + "'");
        }
        scenario->steps.push_back(std::move(step));
    }
    if (scenario->steps.empty()) {
        *error = std::to_string(lines.size()) +
                 ": no steps (a scenario that runs nothing passes nothing)";
        return false;
    }
    return true;
}

bool LoadScenarioFile(const std::string& path, Scenario* scenario, std::string* error) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        *error = "cannot open scenario " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        *error = "scenario " + path + " is not a regular file";
        return false;
    }
    if (info.st_size > kMaxScenarioBytes) {
        *error = "scenario " + path + " is larger than 16 MiB";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot open scenario " + path;
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    size_t slash = path.rfind('/');
    std::string base_dir = slash == std::string::npos ? "." : path.substr(0, slash);
    if (base_dir.empty())
        base_dir = "/";
    scenario->path = path;
    if (!ParseScenario(text.str(), base_dir, scenario, error)) {
        *error = path + ":" + *error;
        return false;
    }
    return true;
}

}  // namespace OstrinRuntime
