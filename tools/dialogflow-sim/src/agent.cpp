#include "agent.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace DialogflowSim {
namespace {

using rapidjson::Value;

// A parse failure with the JSON path where it happened.
struct AgentError {
    std::string message;
};

[[noreturn]] void Fail(const std::string& where, const std::string& what) {
    throw AgentError{where + ": " + what};
}

void CheckKeys(const Value& object, const std::string& where, std::set<std::string> allowed) {
    if (!object.IsObject()) {
        Fail(where, "must be an object");
    }
    for (auto it = object.MemberBegin(); it != object.MemberEnd(); ++it) {
        if (allowed.count(it->name.GetString()) == 0) {
            Fail(where, std::string("unknown key \"") + it->name.GetString() + "\"");
        }
    }
}

std::string GetString(const Value& object, const char* key, const std::string& where) {
    auto it = object.FindMember(key);
    if (it == object.MemberEnd()) {
        return std::string();
    }
    if (!it->value.IsString()) {
        Fail(where + "." + key, "must be a string");
    }
    return it->value.GetString();
}

std::optional<uint64_t> GetCount(const Value& object, const char* key, const std::string& where) {
    auto it = object.FindMember(key);
    if (it == object.MemberEnd()) {
        return std::nullopt;
    }
    if (!it->value.IsUint64()) {
        Fail(where + "." + key, "must be a non-negative integer");
    }
    return it->value.GetUint64();
}

bool GetBool(const Value& object, const char* key, const std::string& where) {
    auto it = object.FindMember(key);
    if (it == object.MemberEnd()) {
        return false;
    }
    if (!it->value.IsBool()) {
        Fail(where + "." + key, "must be true or false");
    }
    return it->value.GetBool();
}

float GetConfidence(const Value& object, const char* key, const std::string& where,
                    float fallback) {
    auto it = object.FindMember(key);
    if (it == object.MemberEnd()) {
        return fallback;
    }
    if (!it->value.IsNumber() || it->value.GetDouble() < 0 || it->value.GetDouble() > 1) {
        Fail(where + "." + key, "must be a number from 0 to 1");
    }
    return static_cast<float>(it->value.GetDouble());
}

std::vector<std::string> GetStrings(const Value& object, const char* key,
                                    const std::string& where) {
    std::vector<std::string> strings;
    auto it = object.FindMember(key);
    if (it == object.MemberEnd()) {
        return strings;
    }
    if (!it->value.IsArray()) {
        Fail(where + "." + key, "must be an array of strings");
    }
    for (const auto& item : it->value.GetArray()) {
        if (!item.IsString()) {
            Fail(where + "." + key, "must be an array of strings");
        }
        strings.push_back(item.GetString());
    }
    return strings;
}

std::string ReadWholeFile(const std::string& path, bool* ok) {
    std::ifstream in(path, std::ios::binary);
    *ok = static_cast<bool>(in);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

grpc::Status ParseStatus(const Value& value, const std::string& where) {
    CheckKeys(value, where, {"code", "message"});
    grpc::StatusCode code = grpc::StatusCode::UNKNOWN;
    auto it = value.FindMember("code");
    if (it == value.MemberEnd()) {
        Fail(where, "needs a \"code\"");
    }
    std::string code_text = it->value.IsString() ? it->value.GetString()
                            : it->value.IsUint() ? std::to_string(it->value.GetUint())
                                                 : std::string("?");
    if (!ParseStatusCode(code_text, &code)) {
        Fail(where + ".code", "unknown status code \"" + code_text + "\"");
    }
    return grpc::Status(code, GetString(value, "message", where));
}

Faults ParseFaults(const Value& value, const std::string& where) {
    CheckKeys(value, where,
              {"refuse", "delay_accept_ms", "delay_answer_ms", "abort_after_bytes",
               "reset_after_bytes", "end_without_result", "no_end_of_utterance", "stall"});
    Faults faults;
    auto refuse = value.FindMember("refuse");
    if (refuse != value.MemberEnd()) {
        faults.refuse = ParseStatus(refuse->value, where + ".refuse");
    }
    const uint64_t max_delay_ms = 3600 * 1000;
    auto delay = [&](const char* key) {
        uint64_t ms = GetCount(value, key, where).value_or(0);
        if (ms > max_delay_ms) {
            Fail(where + "." + key, "must be at most one hour");
        }
        return static_cast<int>(ms);
    };
    faults.delay_accept_ms = delay("delay_accept_ms");
    faults.delay_answer_ms = delay("delay_answer_ms");
    faults.abort_after_bytes = GetCount(value, "abort_after_bytes", where);
    faults.reset_after_bytes = GetCount(value, "reset_after_bytes", where);
    faults.end_without_result = GetBool(value, "end_without_result", where);
    faults.no_end_of_utterance = GetBool(value, "no_end_of_utterance", where);
    faults.stall = GetBool(value, "stall", where);
    return faults;
}

Utterance ParseUtterance(const Value& value, const std::string& where) {
    CheckKeys(value, where,
              {"interim", "end_of_utterance", "transcript", "confidence", "intent",
               "webhook_status", "faults"});
    Utterance utterance;
    auto interim = value.FindMember("interim");
    if (interim != value.MemberEnd()) {
        if (!interim->value.IsArray()) {
            Fail(where + ".interim", "must be an array");
        }
        for (const auto& item : interim->value.GetArray()) {
            std::string item_where =
                where + ".interim[" + std::to_string(utterance.interim.size()) + "]";
            CheckKeys(item, item_where, {"at_bytes", "transcript"});
            utterance.interim.push_back({GetCount(item, "at_bytes", item_where).value_or(0),
                                         GetString(item, "transcript", item_where)});
        }
    }
    auto eou = value.FindMember("end_of_utterance");
    if (eou != value.MemberEnd()) {
        if (eou->value.IsUint64()) {
            utterance.end_of_utterance = EndOfUtterance::kAtBytes;
            utterance.end_of_utterance_bytes = eou->value.GetUint64();
        } else if (eou->value.IsString() && eou->value.GetString() == std::string("half-close")) {
            utterance.end_of_utterance = EndOfUtterance::kOnHalfClose;
        } else if (eou->value.IsString() && eou->value.GetString() == std::string("never")) {
            utterance.end_of_utterance = EndOfUtterance::kNever;
        } else {
            Fail(where + ".end_of_utterance", "must be a byte count, \"half-close\" or \"never\"");
        }
    }
    utterance.transcript = GetString(value, "transcript", where);
    utterance.confidence = GetConfidence(value, "confidence", where, utterance.confidence);
    utterance.intent = GetString(value, "intent", where);
    auto webhook = value.FindMember("webhook_status");
    if (webhook != value.MemberEnd()) {
        utterance.webhook_status = ParseStatus(webhook->value, where + ".webhook_status");
    }
    auto faults = value.FindMember("faults");
    if (faults != value.MemberEnd()) {
        utterance.faults = ParseFaults(faults->value, where + ".faults");
    }
    return utterance;
}

std::vector<Utterance> ParseUtterances(const Value& value, const std::string& where) {
    if (!value.IsArray() || value.Empty()) {
        Fail(where, "must be a non-empty array of utterances");
    }
    std::vector<Utterance> utterances;
    for (const auto& item : value.GetArray()) {
        utterances.push_back(
            ParseUtterance(item, where + "[" + std::to_string(utterances.size()) + "]"));
    }
    return utterances;
}

Intent ParseIntent(const Value& value, const std::string& where, const std::string& base_dir) {
    CheckKeys(value, where,
              {"name", "display_name", "action", "parameters", "fulfillment_text", "output_audio",
               "texts", "events", "dtmf", "confidence"});
    Intent intent;
    intent.name = GetString(value, "name", where);
    if (intent.name.empty()) {
        Fail(where, "needs a \"name\"");
    }
    intent.display_name = GetString(value, "display_name", where);
    if (intent.display_name.empty()) {
        intent.display_name = intent.name;
    }
    intent.action = GetString(value, "action", where);
    auto parameters = value.FindMember("parameters");
    if (parameters != value.MemberEnd()) {
        if (!parameters->value.IsObject()) {
            Fail(where + ".parameters", "must be a JSON object");
        }
        rapidjson::StringBuffer buffer;
        rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
        parameters->value.Accept(writer);
        intent.parameters_json = buffer.GetString();
    }
    intent.fulfillment_text = GetString(value, "fulfillment_text", where);
    std::string audio_path = GetString(value, "output_audio", where);
    if (!audio_path.empty()) {
        if (audio_path[0] != '/') {
            audio_path = base_dir + "/" + audio_path;
        }
        bool ok = false;
        intent.output_audio = ReadWholeFile(audio_path, &ok);
        if (!ok || intent.output_audio.size() < 44 ||
            intent.output_audio.compare(0, 4, "RIFF") != 0 ||
            intent.output_audio.compare(8, 4, "WAVE") != 0) {
            Fail(where + ".output_audio", "cannot read a WAV file from \"" + audio_path + "\"");
        }
    }
    intent.texts = GetStrings(value, "texts", where);
    intent.events = GetStrings(value, "events", where);
    intent.dtmf = GetStrings(value, "dtmf", where);
    intent.confidence = GetConfidence(value, "confidence", where, intent.confidence);
    return intent;
}

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

Intent DefaultFallback() {
    Intent fallback;
    fallback.name = "default-fallback";
    fallback.display_name = "Default Fallback Intent";
    fallback.action = "input.unknown";
    fallback.fulfillment_text = "Sorry, I didn't get that.";
    fallback.confidence = 0.0f;
    return fallback;
}

}  // namespace

Faults Faults::MergedOver(const Faults& base) const {
    Faults merged = base;
    if (refuse)
        merged.refuse = refuse;
    if (delay_accept_ms)
        merged.delay_accept_ms = delay_accept_ms;
    if (delay_answer_ms)
        merged.delay_answer_ms = delay_answer_ms;
    if (abort_after_bytes)
        merged.abort_after_bytes = abort_after_bytes;
    if (reset_after_bytes)
        merged.reset_after_bytes = reset_after_bytes;
    merged.end_without_result = end_without_result || base.end_without_result;
    merged.no_end_of_utterance = no_end_of_utterance || base.no_end_of_utterance;
    merged.stall = stall || base.stall;
    return merged;
}

bool ParseStatusCode(const std::string& text, grpc::StatusCode* code) {
    static const char* const kNames[] = {"OK",
                                         "CANCELLED",
                                         "UNKNOWN",
                                         "INVALID_ARGUMENT",
                                         "DEADLINE_EXCEEDED",
                                         "NOT_FOUND",
                                         "ALREADY_EXISTS",
                                         "PERMISSION_DENIED",
                                         "RESOURCE_EXHAUSTED",
                                         "FAILED_PRECONDITION",
                                         "ABORTED",
                                         "OUT_OF_RANGE",
                                         "UNIMPLEMENTED",
                                         "INTERNAL",
                                         "UNAVAILABLE",
                                         "DATA_LOSS",
                                         "UNAUTHENTICATED"};
    for (int i = 0; i < 17; ++i) {
        if (text == kNames[i] || text == std::to_string(i)) {
            *code = static_cast<grpc::StatusCode>(i);
            return true;
        }
    }
    return false;
}

std::shared_ptr<Agent> Agent::BuiltIn() {
    auto agent = std::make_shared<Agent>();
    agent->fallback_ = DefaultFallback();
    Intent welcome;
    welcome.name = "default-welcome";
    welcome.display_name = "Default Welcome Intent";
    welcome.action = "input.welcome";
    welcome.fulfillment_text = "Hi! How can I help?";
    welcome.texts = {"hello", "hello world", "hi"};
    welcome.events = {"WELCOME"};
    welcome.confidence = 1.0f;
    agent->intents_.push_back(welcome);
    Utterance hello;
    hello.interim = {{3200, "hello"}};
    hello.end_of_utterance = EndOfUtterance::kAtBytes;
    hello.end_of_utterance_bytes = 32000;
    hello.transcript = "hello world";
    hello.confidence = 0.9f;
    hello.intent = welcome.name;
    agent->utterances_.push_back(hello);
    return agent;
}

std::shared_ptr<Agent> Agent::Load(const std::string& path, std::string* error) {
    bool ok = false;
    std::string text = ReadWholeFile(path, &ok);
    if (!ok) {
        *error = "cannot read agent file \"" + path + "\"";
        return nullptr;
    }
    rapidjson::Document document;
    document.Parse(text.c_str(), text.size());
    if (document.HasParseError()) {
        *error = "agent file \"" + path +
                 "\" is not JSON: " + rapidjson::GetParseError_En(document.GetParseError()) +
                 " at offset " + std::to_string(document.GetErrorOffset());
        return nullptr;
    }
    std::string base_dir =
        path.find('/') == std::string::npos ? std::string(".") : path.substr(0, path.rfind('/'));
    auto agent = std::make_shared<Agent>();
    try {
        CheckKeys(document, "agent", {"intents", "fallback", "utterances", "sessions", "faults"});
        auto intents = document.FindMember("intents");
        if (intents != document.MemberEnd()) {
            if (!intents->value.IsArray()) {
                Fail("agent.intents", "must be an array");
            }
            for (const auto& item : intents->value.GetArray()) {
                std::string where = "agent.intents[" + std::to_string(agent->intents_.size()) + "]";
                Intent intent = ParseIntent(item, where, base_dir);
                if (agent->FindIntent(intent.name)) {
                    Fail(where, "duplicate intent name \"" + intent.name + "\"");
                }
                agent->intents_.push_back(std::move(intent));
            }
        }
        auto fallback = document.FindMember("fallback");
        agent->fallback_ = fallback == document.MemberEnd()
                               ? DefaultFallback()
                               : ParseIntent(fallback->value, "agent.fallback", base_dir);
        auto utterances = document.FindMember("utterances");
        if (utterances != document.MemberEnd()) {
            agent->utterances_ = ParseUtterances(utterances->value, "agent.utterances");
        } else {
            agent->utterances_ = BuiltIn()->utterances_;
            agent->utterances_[0].intent.clear();
        }
        auto sessions = document.FindMember("sessions");
        if (sessions != document.MemberEnd()) {
            if (!sessions->value.IsObject()) {
                Fail("agent.sessions", "must be an object of utterance arrays");
            }
            for (auto it = sessions->value.MemberBegin(); it != sessions->value.MemberEnd(); ++it) {
                agent->session_utterances_[it->name.GetString()] = ParseUtterances(
                    it->value, std::string("agent.sessions.") + it->name.GetString());
            }
        }
        auto faults = document.FindMember("faults");
        if (faults != document.MemberEnd()) {
            agent->faults_ = ParseFaults(faults->value, "agent.faults");
        }
        auto check_intent = [&](const Utterance& utterance, const std::string& where) {
            if (!utterance.intent.empty() && !agent->FindIntent(utterance.intent)) {
                Fail(where, "unknown intent \"" + utterance.intent + "\"");
            }
        };
        for (const auto& utterance : agent->utterances_) {
            check_intent(utterance, "agent.utterances");
        }
        for (const auto& [id, list] : agent->session_utterances_) {
            for (const auto& utterance : list) {
                check_intent(utterance, "agent.sessions." + id);
            }
        }
    } catch (const AgentError& failure) {
        *error = "agent file \"" + path + "\": " + failure.message;
        return nullptr;
    }
    return agent;
}

Utterance Agent::NextUtterance(const std::string& session_path, const std::string& session_id) {
    auto own = session_utterances_.find(session_id);
    const std::vector<Utterance>& list =
        own != session_utterances_.end() ? own->second : utterances_;
    std::lock_guard<std::mutex> lock(cursor_mutex_);
    size_t& cursor = cursor_by_session_[session_path];
    const Utterance& utterance = list[std::min(cursor, list.size() - 1)];
    ++cursor;
    return utterance;
}

const Intent* Agent::FindIntent(const std::string& name) const {
    for (const auto& intent : intents_) {
        if (intent.name == name) {
            return &intent;
        }
    }
    return nullptr;
}

const Intent* Agent::MatchText(const std::string& text) const {
    for (const auto& intent : intents_) {
        for (const auto& phrase : intent.texts) {
            if (EqualsIgnoringCase(phrase, text)) {
                return &intent;
            }
        }
    }
    return nullptr;
}

const Intent* Agent::MatchEvent(const std::string& event) const {
    for (const auto& intent : intents_) {
        if (std::find(intent.events.begin(), intent.events.end(), event) != intent.events.end()) {
            return &intent;
        }
    }
    return nullptr;
}

const Intent* Agent::MatchDtmf(const std::string& digits) const {
    for (const auto& intent : intents_) {
        if (std::find(intent.dtmf.begin(), intent.dtmf.end(), digits) != intent.dtmf.end()) {
            return &intent;
        }
    }
    return nullptr;
}

}  // namespace DialogflowSim
