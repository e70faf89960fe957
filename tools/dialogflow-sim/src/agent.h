// The scripted agent: intents, utterance scripts and faults, read from the agent file
// (format in README.md) or built in. Immutable once loaded; shared read-only by every
// stream, except the per-session utterance cursor, which has its own lock.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <grpcpp/support/status.h>

namespace DialogflowSim {

struct Intent {
    std::string name;  // the id used by utterances and CX intent inputs
    std::string display_name;
    std::string action;
    std::string parameters_json = "{}";  // a JSON object, copied into the query result
    std::string fulfillment_text;
    std::string output_audio;         // the bytes of a WAV file, empty when none
    std::vector<std::string> texts;   // text inputs that select it (case-insensitive)
    std::vector<std::string> events;  // event names that select it
    std::vector<std::string> dtmf;    // digit strings that select it
    float confidence = 1.0f;          // intent detection confidence
};

// Injected faults; every field is off by default.
struct Faults {
    // Agent-wide: before reading the first request; an utterance's: before reading its audio.
    int delay_accept_ms = 0;
    std::optional<grpc::Status> refuse;         // end the stream at once with this status
    int delay_answer_ms = 0;                    // before every answer
    std::optional<uint64_t> abort_after_bytes;  // ABORTED once this much audio arrived
    std::optional<uint64_t> reset_after_bytes;  // cancel the stream (RST_STREAM)
    bool end_without_result = false;            // end OK without a query result
    bool no_end_of_utterance = false;           // never signal end of utterance
    bool stall = false;                         // answer nothing until the client cancels

    // Utterance faults take precedence over the agent-wide ones, field by field.
    Faults MergedOver(const Faults& base) const;
};

struct InterimTranscript {
    uint64_t at_bytes = 0;  // byte-timed scripts only
    std::string transcript;
};

// How the service listens: the pace of interim transcripts and the silence that ends a
// portion of speech. Unset fields take the agent's, then the built-in values.
struct Listening {
    std::optional<int> interim_every_ms;  // of speech between interim transcripts (300)
    std::optional<int> end_silence_ms;    // of silence after speech that ends it (500)
    Listening MergedOver(const Listening& base) const;
};

// Where the output audio goes: unset fields take the agent's, then the flavour's way.
struct AudioDelivery {
    std::optional<bool> after_result;         // in messages after the query result's
    std::optional<int> chunks;                // split over this many messages (1 to 100)
    std::optional<bool> sparse_query_result;  // each later message has a bare query result
    AudioDelivery MergedOver(const AudioDelivery& base) const;
};

// A CX match the turn forces instead of the one its input would get.
struct ForcedMatch {
    enum Type { kParameterFilling, kNoInput } type = kParameterFilling;
    std::string parameters_json = "{}";
    float confidence = 1.0f;
};

// One is_final portion of an utterance; the service may leave its confidence out.
struct Portion {
    std::string transcript;
    std::optional<float> confidence;
};

enum class EndOfUtterance { kOnSilence, kAtBytes, kOnHalfClose, kNever };

// What the service "hears" in one audio stream.
struct Utterance {
    std::vector<InterimTranscript> interim;
    // Scripted by byte counts (interim at_bytes, a numeric end of utterance) rather than by
    // listening to the audio: a test device, not something the service does.
    bool byte_timed = false;
    EndOfUtterance end_of_utterance = EndOfUtterance::kOnSilence;
    uint64_t end_of_utterance_bytes = 0;
    std::vector<Portion> portions;  // at least one; the query text is them joined by spaces
    std::string intent;             // Intent::name; empty: the fallback intent
    std::optional<grpc::Status> webhook_status;
    std::optional<int> no_speech_timeout_ms;
    Listening listening;
    AudioDelivery audio_delivery;
    bool end_stream_early = false;
    std::optional<ForcedMatch> match;
    std::vector<std::string> partial_responses;  // CX, at most 5
    Faults faults;

    std::string Transcript() const;  // the portions joined
};

class Agent {
public:
    // The built-in agent: every audio stream in which speech is heard hears "hello world"
    // and matches "Default Welcome Intent".
    static std::shared_ptr<Agent> BuiltIn();
    // Reads an agent file; on failure returns null and says why in *error.
    static std::shared_ptr<Agent> Load(const std::string& path, std::string* error);

    // Any thread. The next utterance of the session with this id (last path segment):
    // its own list when the agent file has one, else the common list, each taken in order;
    // the last one repeats once a list is used up.
    Utterance NextUtterance(const std::string& session_path, const std::string& session_id);

    const Intent* FindIntent(const std::string& name) const;
    const Intent* MatchText(const std::string& text) const;
    const Intent* MatchEvent(const std::string& event) const;
    const Intent* MatchDtmf(const std::string& digits) const;
    const Intent& Fallback() const { return fallback_; }
    const Faults& faults() const { return faults_; }
    const Listening& listening() const { return listening_; }
    const AudioDelivery& audio_delivery() const { return audio_delivery_; }
    bool HasEnvironment(const std::string& id) const { return environments_.count(id) > 0; }
    // Projects beyond its own that the service account with this e-mail may use.
    bool MayUseProject(const std::string& account, const std::string& project) const;

private:
    std::vector<Intent> intents_;
    Intent fallback_;
    std::vector<Utterance> utterances_;
    std::map<std::string, std::vector<Utterance>> session_utterances_;
    Faults faults_;
    Listening listening_;
    AudioDelivery audio_delivery_;
    std::set<std::string> environments_;
    std::map<std::string, std::set<std::string>> projects_by_account_;

    std::mutex cursor_mutex_;
    std::map<std::string, size_t> cursor_by_session_;  // guarded by cursor_mutex_
};

// "UNAVAILABLE" or "14" to a status code; false if it is neither.
bool ParseStatusCode(const std::string& text, grpc::StatusCode* code);

}  // namespace DialogflowSim
