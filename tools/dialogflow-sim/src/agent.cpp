#include "agent.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include <absl/status/status.h>
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

std::optional<int> GetMilliseconds(const Value& object, const char* key, const std::string& where,
                                   uint64_t min_ms) {
    std::optional<uint64_t> ms = GetCount(object, key, where);
    if (ms && (*ms < min_ms || *ms > 3600 * 1000)) {
        Fail(where + "." + key, "must be from " + std::to_string(min_ms) + " ms to one hour");
    }
    return ms ? std::optional<int>(static_cast<int>(*ms)) : std::nullopt;
}

std::optional<bool> GetOptionalBool(const Value& object, const char* key,
                                    const std::string& where) {
    if (!object.HasMember(key)) {
        return std::nullopt;
    }
    return GetBool(object, key, where);
}

std::string GetJsonObject(const Value& object, const char* key, const std::string& where) {
    auto it = object.FindMember(key);
    if (it == object.MemberEnd()) {
        return "{}";
    }
    if (!it->value.IsObject()) {
        Fail(where + "." + key, "must be a JSON object");
    }
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    it->value.Accept(writer);
    return buffer.GetString();
}

Listening ParseListening(const Value& value, const std::string& where) {
    CheckKeys(value, where, {"interim_every_ms", "end_silence_ms"});
    Listening listening;
    listening.interim_every_ms = GetMilliseconds(value, "interim_every_ms", where, 10);
    listening.end_silence_ms = GetMilliseconds(value, "end_silence_ms", where, 10);
    return listening;
}

AudioDelivery ParseAudioDelivery(const Value& value, const std::string& where) {
    CheckKeys(value, where, {"after_result", "chunks", "sparse_query_result"});
    AudioDelivery delivery;
    delivery.after_result = GetOptionalBool(value, "after_result", where);
    delivery.sparse_query_result = GetOptionalBool(value, "sparse_query_result", where);
    std::optional<uint64_t> chunks = GetCount(value, "chunks", where);
    if (chunks && (*chunks < 1 || *chunks > 100)) {
        Fail(where + ".chunks", "must be from 1 to 100");
    }
    if (chunks) {
        delivery.chunks = static_cast<int>(*chunks);
    }
    return delivery;
}

ForcedMatch ParseForcedMatch(const Value& value, const std::string& where) {
    CheckKeys(value, where, {"type", "parameters", "confidence"});
    ForcedMatch match;
    const std::string type = GetString(value, "type", where);
    if (type == "PARAMETER_FILLING") {
        match.type = ForcedMatch::kParameterFilling;
    } else if (type == "NO_INPUT") {
        match.type = ForcedMatch::kNoInput;
    } else {
        Fail(where + ".type", "must be \"PARAMETER_FILLING\" or \"NO_INPUT\"");
    }
    match.parameters_json = GetJsonObject(value, "parameters", where);
    match.confidence = GetConfidence(value, "confidence", where, match.confidence);
    return match;
}

Utterance ParseUtterance(const Value& value, const std::string& where) {
    CheckKeys(value, where,
              {"interim", "end_of_utterance", "transcript", "confidence", "finals", "intent",
               "webhook_status", "no_speech_timeout_ms", "listening", "audio_delivery",
               "end_stream_early", "match", "partial_responses", "faults"});
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
            std::optional<uint64_t> at_bytes = GetCount(item, "at_bytes", item_where);
            utterance.byte_timed = utterance.byte_timed || at_bytes.has_value();
            utterance.interim.push_back(
                {at_bytes.value_or(0), GetString(item, "transcript", item_where)});
        }
    }
    auto eou = value.FindMember("end_of_utterance");
    if (eou != value.MemberEnd()) {
        if (eou->value.IsUint64()) {
            utterance.end_of_utterance = EndOfUtterance::kAtBytes;
            utterance.end_of_utterance_bytes = eou->value.GetUint64();
            utterance.byte_timed = true;
        } else if (eou->value.IsString() && eou->value.GetString() == std::string("silence")) {
            utterance.end_of_utterance = EndOfUtterance::kOnSilence;
        } else if (eou->value.IsString() && eou->value.GetString() == std::string("half-close")) {
            utterance.end_of_utterance = EndOfUtterance::kOnHalfClose;
        } else if (eou->value.IsString() && eou->value.GetString() == std::string("never")) {
            utterance.end_of_utterance = EndOfUtterance::kNever;
        } else {
            Fail(where + ".end_of_utterance",
                 "must be \"silence\", a byte count, \"half-close\" or \"never\"");
        }
    }
    if (utterance.byte_timed && utterance.end_of_utterance == EndOfUtterance::kOnSilence) {
        // Byte-timed scripts hear no silence: their end of utterance was the half-close.
        utterance.end_of_utterance = EndOfUtterance::kOnHalfClose;
    }
    auto finals = value.FindMember("finals");
    if (finals != value.MemberEnd()) {
        if (value.HasMember("transcript") || value.HasMember("confidence")) {
            Fail(where, "\"finals\" replaces \"transcript\" and \"confidence\"");
        }
        if (!finals->value.IsArray() || finals->value.Empty()) {
            Fail(where + ".finals", "must be a non-empty array");
        }
        for (const auto& item : finals->value.GetArray()) {
            std::string item_where =
                where + ".finals[" + std::to_string(utterance.portions.size()) + "]";
            CheckKeys(item, item_where, {"transcript", "confidence"});
            Portion portion{GetString(item, "transcript", item_where), std::nullopt};
            if (item.HasMember("confidence")) {
                portion.confidence = GetConfidence(item, "confidence", item_where, 0.0f);
            }
            utterance.portions.push_back(portion);
        }
    } else {
        utterance.portions.push_back({GetString(value, "transcript", where),
                                      GetConfidence(value, "confidence", where, 0.9f)});
    }
    utterance.intent = GetString(value, "intent", where);
    auto webhook = value.FindMember("webhook_status");
    if (webhook != value.MemberEnd()) {
        utterance.webhook_status = ParseStatus(webhook->value, where + ".webhook_status");
    }
    utterance.no_speech_timeout_ms = GetMilliseconds(value, "no_speech_timeout_ms", where, 10);
    if (value.HasMember("listening")) {
        utterance.listening = ParseListening(value["listening"], where + ".listening");
    }
    if (value.HasMember("audio_delivery")) {
        utterance.audio_delivery =
            ParseAudioDelivery(value["audio_delivery"], where + ".audio_delivery");
    }
    utterance.end_stream_early = GetBool(value, "end_stream_early", where);
    if (value.HasMember("match")) {
        utterance.match = ParseForcedMatch(value["match"], where + ".match");
    }
    utterance.partial_responses = GetStrings(value, "partial_responses", where);
    if (utterance.partial_responses.size() > 5) {
        Fail(where + ".partial_responses", "must have at most 5 texts");
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
    intent.parameters_json = GetJsonObject(value, "parameters", where);
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
    return fallback;
}

template <class T>
void TakeIfSet(const std::optional<T>& own, std::optional<T>* merged) {
    if (own) {
        *merged = own;
    }
}

}  // namespace

Listening Listening::MergedOver(const Listening& base) const {
    Listening merged = base;
    TakeIfSet(interim_every_ms, &merged.interim_every_ms);
    TakeIfSet(end_silence_ms, &merged.end_silence_ms);
    return merged;
}

AudioDelivery AudioDelivery::MergedOver(const AudioDelivery& base) const {
    AudioDelivery merged = base;
    TakeIfSet(after_result, &merged.after_result);
    TakeIfSet(chunks, &merged.chunks);
    TakeIfSet(sparse_query_result, &merged.sparse_query_result);
    return merged;
}

std::string Utterance::Transcript() const {
    std::string text;
    for (const Portion& portion : portions) {
        text += (text.empty() || portion.transcript.empty() ? "" : " ") + portion.transcript;
    }
    return text;
}

bool Agent::MayUseProject(const std::string& account, const std::string& project) const {
    auto it = projects_by_account_.find(account);
    return it != projects_by_account_.end() && it->second.count(project) > 0;
}

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
    // gRPC's codes are Abseil's: the names are Abseil's too.
    for (int i = 0; i <= static_cast<int>(grpc::StatusCode::UNAUTHENTICATED); ++i) {
        if (text == absl::StatusCodeToString(static_cast<absl::StatusCode>(i)) ||
            text == std::to_string(i)) {
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
    hello.portions = {{"hello world", 0.9f}};
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
        CheckKeys(document, "agent",
                  {"intents", "fallback", "utterances", "sessions", "faults", "environments",
                   "projects", "listening", "audio_delivery"});
        for (const std::string& id : GetStrings(document, "environments", "agent")) {
            agent->environments_.insert(id);
        }
        auto projects = document.FindMember("projects");
        if (projects != document.MemberEnd()) {
            if (!projects->value.IsObject()) {
                Fail("agent.projects", "must be an object of project id arrays");
            }
            for (auto it = projects->value.MemberBegin(); it != projects->value.MemberEnd(); ++it) {
                for (const std::string& id :
                     GetStrings(projects->value, it->name.GetString(), "agent.projects")) {
                    agent->projects_by_account_[it->name.GetString()].insert(id);
                }
            }
        }
        if (document.HasMember("listening")) {
            agent->listening_ = ParseListening(document["listening"], "agent.listening");
        }
        if (document.HasMember("audio_delivery")) {
            agent->audio_delivery_ =
                ParseAudioDelivery(document["audio_delivery"], "agent.audio_delivery");
        }
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
