// One StreamingDetectIntent stream, written once for the three flavours (see flavours.h).
//
// Requests and responses cross gRPC as bytes and are parsed and serialized here: gRPC's own
// parsing reports a request that does not parse (a string that is not UTF-8, say) as the
// end of the requests, and the stream would answer it as if the client had half-closed.
//
// Threads: gRPC runs the reactions (OnReadDone, OnWriteDone, OnCancel, OnDone) on its own
// threads, possibly two at once, the timer thread runs scripted delays, and at shutdown the
// sim's main thread calls EndForShutdown (through SimContext::streams); all state of a
// stream is guarded by its mutex_. The reactor owns itself through self_ until OnDone;
// delayed actions and the shutdown hold a shared_ptr, so none outlives the object.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>

#include <google/protobuf/util/json_util.h>
#include <grpcpp/grpcpp.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "agent.h"
#include "flavours.h"
#include "jwt_verifier.h"
#include "live_streams.h"
#include "recorder.h"
#include "timer_queue.h"

namespace DialogflowSim {

// What every stream shares; set up before the server starts, read-only afterwards.
struct SimContext {
    std::shared_ptr<Agent> agent;
    JwtVerifier verifier;
    Recorder* recorder = nullptr;
    TimerQueue* timers = nullptr;
    LiveStreams streams;
    int64_t max_es_audio_ms = 60000;  // the per-stream duration caps
    int64_t max_cx_audio_ms = 120000;
    std::atomic<uint64_t> next_response_id{1};
};

// What one listening port serves: the location its sessions must name, and (for a
// regional one) the host name its clients must call it by.
struct Endpoint {
    std::string location = "global";
    std::string host;  // empty: any
};

void LogLine(const std::string& line);  // stderr, one line, thread-safe

template <class Flavour>
class SessionReactor : public grpc::ServerBidiReactor<grpc::ByteBuffer, grpc::ByteBuffer> {
public:
    using Request = typename Flavour::Request;
    using Response = typename Flavour::Response;

    // Creates a reactor that keeps itself alive until gRPC calls OnDone.
    static SessionReactor* Start(grpc::CallbackServerContext* context, SimContext* sim,
                                 const Endpoint* endpoint) {
        auto reactor = std::make_shared<SessionReactor>(context, sim, endpoint);
        reactor->self_ = reactor;
        std::weak_ptr<SessionReactor> weak = reactor;
        std::lock_guard<std::mutex> lock(reactor->mutex_);
        reactor->ticket_ = sim->streams.Add([weak](bool cancel) {
            if (auto open = weak.lock()) {
                open->EndForShutdown(cancel);
            }
        });
        reactor->Begin();
        return reactor.get();
    }

    SessionReactor(grpc::CallbackServerContext* context, SimContext* sim, const Endpoint* endpoint)
        : context_(context),
          sim_(sim),
          endpoint_(endpoint),
          started_(std::chrono::system_clock::now()),
          peer_(context->peer()) {}

    void OnReadDone(bool ok) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (finished_) {
            return;
        }
        if (!ok) {
            // A read also fails when the call is cancelled; OnCancel handles that.
            if (!context_->IsCancelled()) {
                half_close_seen_ = true;
                OnHalfClose();
            }
            return;
        }
        if (!grpc::SerializationTraits<Request>::Deserialize(&incoming_, &request_).ok()) {
            EndStream(Detail::Invalid("Invalid request: it does not parse as a " +
                                      std::string(Flavour::kName) +
                                      " StreamingDetectIntentRequest."));
            return;
        }
        int read_delay_ms = 0;
        if (!first_seen_) {
            first_seen_ = true;
            OnFirstRequest();
            // An utterance's own accept delay holds back its audio: its script is known
            // only now, after the first request.
            read_delay_ms = utterance_.faults.delay_accept_ms;
        } else {
            OnFollowUpRequest();
        }
        if (finished_ || finish_pending_) {
            return;
        }
        if (read_delay_ms > 0) {
            After(read_delay_ms, [this] { this->StartRead(&incoming_); });
        } else {
            this->StartRead(&incoming_);
        }
    }

    void OnWriteDone(bool ok) override {
        std::lock_guard<std::mutex> lock(mutex_);
        writing_ = false;
        if (!ok) {
            // The client has gone; the call is over whatever we still meant to say.
            outgoing_.clear();
            EndStream(grpc::Status(grpc::StatusCode::CANCELLED, "Write failed"));
            WriteNext();  // finishes now if the end was already pending behind this write
            return;
        }
        outgoing_.pop_front();
        ++responses_sent_;
        WriteNext();
    }

    void OnCancel() override {
        std::lock_guard<std::mutex> lock(mutex_);
        // At shutdown the sim cancels what it could not end (a write the client does not
        // take); the client did not cancel, and the status stays the one already set.
        cancelled_ = !shutting_down_;
        // Drop what is not yet written; the response in flight stays until its completion.
        outgoing_.erase(writing_ ? outgoing_.begin() + 1 : outgoing_.begin(), outgoing_.end());
        if (!reset_) {
            EndStream(grpc::Status(grpc::StatusCode::CANCELLED, "Cancelled by the client"));
        }
        WriteNext();
    }

    void OnDone() override {
        std::shared_ptr<SessionReactor> keep;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
            keep = std::move(self_);
        }
        sim_->streams.Remove(ticket_);
    }

    // The sim is shutting down: the stream ends with UNAVAILABLE, as a client of a service
    // going away sees it, once the responses queued are written; or, with cancel, its call
    // is cancelled because that end could not go out.
    void EndForShutdown(bool cancel) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (done_) {
            return;  // the context may be gone
        }
        shutting_down_ = true;
        if (cancel) {
            context_->TryCancel();
        } else {
            EndStream(grpc::Status(grpc::StatusCode::UNAVAILABLE, "The service is shutting down."));
        }
    }

private:
    // ---- request side -------------------------------------------------------------

    void Begin() {
        const std::string authority = Authority();
        if (!endpoint_->host.empty() &&
            authority.substr(0, authority.rfind(':') == std::string::npos
                                    ? authority.size()
                                    : authority.rfind(':')) != endpoint_->host) {
            LogLine(std::string(Flavour::kName) + " stream refused: called as \"" + authority +
                    "\" at the " + endpoint_->location + " endpoint");
            EndStream(Detail::Invalid("This endpoint serves location \"" + endpoint_->location +
                                      "\" as \"" + endpoint_->host + "\", not \"" + authority +
                                      "\"."));
            return;
        }
        // The cap holds in time too: a client sending slower than real time meets it.
        std::weak_ptr<SessionReactor> capped = self_;
        sim_->timers->Schedule(static_cast<int>(MaxAudioMs()), [capped] {
            if (auto keep = capped.lock()) {
                std::lock_guard<std::mutex> lock(keep->mutex_);
                if (!keep->done_ && !keep->finished_) {
                    keep->EndStream(keep->DurationExceeded());
                }
            }
        });
        std::string auth_error;
        if (!Authenticate(&auth_error)) {
            LogLine(std::string(Flavour::kName) + " stream refused: " + auth_error);
            EndStream(grpc::Status(grpc::StatusCode::UNAUTHENTICATED, auth_error));
            return;
        }
        faults_ = sim_->agent->faults();
        if (faults_.refuse) {
            EndStream(*faults_.refuse);
            return;
        }
        // Held at the gate (--hold-streams-until) before anything is read. The wait is
        // weak: a stream that ends meanwhile (shutdown) is not kept for the gate.
        std::weak_ptr<SessionReactor> weak = self_;
        const bool open = sim_->streams.AwaitGate([weak, timers = sim_->timers] {
            // Called under the lock of the stream that opened the gate: the timer thread
            // takes this one's.
            timers->Schedule(0, [weak] {
                if (auto keep = weak.lock()) {
                    std::lock_guard<std::mutex> lock(keep->mutex_);
                    if (!keep->done_ && !keep->finished_ && !keep->finish_pending_) {
                        keep->Accept();
                    }
                }
            });
        });
        if (open) {
            Accept();
        }
    }

    // Past the gate: the agent-wide accept delay, then the first read.
    void Accept() {
        if (faults_.delay_accept_ms > 0) {
            After(faults_.delay_accept_ms, [this] { this->StartRead(&incoming_); });
        } else {
            this->StartRead(&incoming_);
        }
    }

    bool Authenticate(std::string* error) {
        const auto& metadata = context_->client_metadata();
        for (const auto& [key, value] : metadata) {
            std::string name(key.data(), key.size());
            if (name == "authorization") {
                authorization_.assign(value.data(), value.size());
            } else if (name == "x-goog-user-project") {
                user_project_.assign(value.data(), value.size());
            }
            const bool binary = name.size() > 4 && name.compare(name.size() - 4, 4, "-bin") == 0;
            if (name != "authorization" && !binary) {
                metadata_.emplace_back(name, std::string(value.data(), value.size()));
            }
        }
        const std::string kBearer = "Bearer ";
        if (authorization_.compare(0, kBearer.size(), kBearer) != 0 ||
            authorization_.size() == kBearer.size()) {
            *error = "Request is missing required authentication credential.";
            return false;
        }
        const std::string token = authorization_.substr(kBearer.size());
        JwtClaims claims;
        if (!sim_->verifier.HasKeys()) {
            // Without --credentials any bearer token is accepted; record who it claims to be.
            std::string ignored;
            if (ParseJwt(token, &claims, &ignored)) {
                jwt_issuer_ = claims.issuer;
            }
            return true;
        }
        const std::string audience = "https://" + Authority() + "/";
        const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
        if (!sim_->verifier.Verify(token, audience, now, &claims, error)) {
            *error = "Request had invalid authentication credentials: " + *error;
            return false;
        }
        jwt_issuer_ = claims.issuer;
        key_project_ = claims.key_project;
        return true;
    }

    std::string Authority() const {
        grpc::string_ref authority = context_->ExperimentalGetAuthority();
        return std::string(authority.data(), authority.size());
    }

    int64_t MaxAudioMs() const {
        return Flavour::kIsCx ? sim_->max_cx_audio_ms : sim_->max_es_audio_ms;
    }

    grpc::Status DurationExceeded() const {
        return grpc::Status(
            grpc::StatusCode::OUT_OF_RANGE,
            "Exceeded maximum allowed stream duration of " + std::to_string(MaxAudioMs()) + " ms.");
    }

    // The session's own checks, after its form: the limits on its ids, the endpoint of its
    // location, what the caller may use, and whether its environment exists.
    grpc::Status CheckSession() const {
        constexpr size_t kMaxIdCharacters = 36;
        for (const char* collection : {"sessions", "users"}) {
            const std::string id = SegmentAfter(session_, collection);
            if (CharacterCount(id) > kMaxIdCharacters) {
                return Detail::Invalid("Invalid session \"" + Detail::Excerpt(session_) +
                                       "\": the " + (collection[0] == 's' ? "session" : "user") +
                                       " id must not exceed 36 characters.");
            }
        }
        std::string location = SegmentAfter(session_, "locations");
        if (location.empty()) {
            location = "global";
        }
        if (location != endpoint_->location) {
            return Detail::Invalid(
                "Please refer to "
                "https://cloud.google.com/dialogflow/cx/docs/concept/region "
                "to find the correct endpoint: location \"" +
                location + "\" is not served at the \"" + endpoint_->location + "\" endpoint.");
        }
        const std::string project = SegmentAfter(session_, "projects");
        if (sim_->verifier.HasKeys() && project != key_project_ &&
            !sim_->agent->MayUseProject(jwt_issuer_, project)) {
            return grpc::Status(grpc::StatusCode::PERMISSION_DENIED,
                                "Permission 'dialogflow.sessions.detectIntent' denied on "
                                "resource '" +
                                    session_ + "' (or it may not exist).");
        }
        const std::string environment = SegmentAfter(session_, "environments");
        if (!environment.empty() && !sim_->agent->HasEnvironment(environment)) {
            return grpc::Status(grpc::StatusCode::NOT_FOUND,
                                "Environment '" + environment + "' not found.");
        }
        return grpc::Status::OK;
    }

    // The intent a CX intent input names: the agent's intent of that id, or the one listing
    // the id as DTMF (digits sent as an intent name).
    const Intent* NamedIntent() const {
        const std::string id = input_.value.substr(input_.value.rfind('/') + 1);
        const Intent* intent = sim_->agent->FindIntent(id);
        return intent ? intent : sim_->agent->MatchDtmf(id);
    }

    void OnFirstRequest() {
        first_request_ = request_;
        session_ = request_.session();
        if (!Flavour::IsValidSession(session_)) {
            EndStream(Detail::Invalid("Invalid session \"" + session_ + "\": not a " +
                                      Flavour::kName + " session resource name."));
            return;
        }
        grpc::Status status = Flavour::ReadFirstRequest(request_, &input_);
        if (status.ok()) {
            status = CheckSession();
        }
        if (status.ok() && input_.kind == InputKind::kIntent && !NamedIntent()) {
            status = grpc::Status(grpc::StatusCode::NOT_FOUND,
                                  "Intent '" + input_.value + "' not found.");
        }
        if (!status.ok()) {
            EndStream(status);
            return;
        }
        if (input_.kind == InputKind::kAudio) {
            const std::string session_id = session_.substr(session_.rfind('/') + 1);
            utterance_ = sim_->agent->NextUtterance(session_, session_id);
            faults_ = utterance_.faults.MergedOver(sim_->agent->faults());
            if (faults_.refuse) {
                EndStream(*faults_.refuse);
                return;
            }
            // The service signals the end of an utterance only to a client that asked for
            // single utterance; the others get each final as the audio goes on (a listening
            // script) or after they half-close.
            if (faults_.no_end_of_utterance) {
                utterance_.end_of_utterance = EndOfUtterance::kNever;
            }
            if (!input_.single_utterance) {
                continuous_ = utterance_.end_of_utterance == EndOfUtterance::kOnSilence;
                utterance_.end_of_utterance = EndOfUtterance::kNever;
            }
            if (!utterance_.byte_timed) {
                const Listening listening =
                    utterance_.listening.MergedOver(sim_->agent->listening());
                listener_ =
                    std::make_unique<SpeechListener>(input_.sample_rate_hertz, input_.encoding,
                                                     listening.interim_every_ms.value_or(300),
                                                     listening.end_silence_ms.value_or(500));
            }
            CheckAudioTriggers();
        } else {
            // Text, events, intents and digits are answered at once; the stream stays open
            // until the client half-closes, and anything more it sends is an error.
            if (!faults_.stall && !faults_.end_without_result) {
                SendAnswer();
            }
        }
    }

    void OnFollowUpRequest() {
        grpc::Status status = Flavour::CheckFollowUpRequest(request_);
        if (status.ok() && input_.kind != InputKind::kAudio) {
            status = Detail::Invalid("Only audio streams take more than one request.");
        }
        if (!status.ok()) {
            EndStream(status);
            return;
        }
        ++audio_requests_;
        const std::string& audio = Flavour::AudioOf(request_);
        audio_bytes_ += audio.size();
        const uint64_t max_bytes = static_cast<uint64_t>(MaxAudioMs()) *
                                   static_cast<uint64_t>(input_.sample_rate_hertz) *
                                   static_cast<uint64_t>(input_.bytes_per_sample) / 1000;
        if (audio_bytes_ > max_bytes) {
            EndStream(DurationExceeded());
            return;
        }
        if (faults_.abort_after_bytes && audio_bytes_ >= *faults_.abort_after_bytes) {
            EndStream(grpc::Status(grpc::StatusCode::ABORTED, "Scripted abort."));
            return;
        }
        if (faults_.reset_after_bytes && audio_bytes_ >= *faults_.reset_after_bytes) {
            Reset();
            return;
        }
        if (listener_) {
            Listen(audio);
        } else {
            CheckAudioTriggers();
        }
    }

    void OnHalfClose() {
        if (!first_seen_) {
            EndStream(Detail::Invalid("The stream ended without a request."));
            return;
        }
        if (input_.kind != InputKind::kAudio) {
            if (!faults_.stall) {
                EndAfterAnswers(grpc::Status::OK);
            }
            return;
        }
        if (faults_.reset_after_bytes && audio_bytes_ >= *faults_.reset_after_bytes) {
            Reset();
            return;
        }
        if (faults_.stall) {
            return;  // until the client cancels
        }
        if (!final_transcript_sent_) {
            if (utterance_.end_of_utterance == EndOfUtterance::kOnHalfClose) {
                Send(Flavour::EndOfUtteranceResponse());
            }
            // A listener that heard nothing has nothing to transcribe.
            if (!listener_ || listener_->heard_speech()) {
                SendFinals();
            }
            final_transcript_sent_ = true;
        }
        if (!faults_.end_without_result) {
            SendAnswer();
        }
        EndAfterAnswers(grpc::Status::OK);
    }

    // Byte-timed scripts: interim transcripts and end of utterance due at the audio
    // received so far.
    void CheckAudioTriggers() {
        if (faults_.stall || listener_) {
            return;
        }
        while (next_interim_ < utterance_.interim.size() &&
               audio_bytes_ >= utterance_.interim[next_interim_].at_bytes && audio_bytes_ > 0) {
            const auto& interim = utterance_.interim[next_interim_++];
            if (!final_transcript_sent_) {
                SendInterim(interim.transcript);
            }
        }
        if (!final_transcript_sent_ && utterance_.end_of_utterance == EndOfUtterance::kAtBytes &&
            audio_bytes_ >= utterance_.end_of_utterance_bytes && audio_bytes_ > 0) {
            EndUtterance();
        }
    }

    // Listening scripts: what the detector heard in this audio.
    void Listen(const std::string& audio) {
        if (faults_.stall || final_transcript_sent_) {
            return;  // past the end of the utterance the service no longer listens
        }
        std::vector<SpeechListener::Heard> heard;
        listener_->Feed(audio, &heard);
        for (SpeechListener::Heard what : heard) {
            if (final_transcript_sent_ || finish_pending_) {
                return;
            }
            if (what == SpeechListener::Heard::kInterimDue) {
                OnInterimDue();
            } else if (continuous_) {
                // Each pause ends a portion, whose final goes out while the audio flows.
                if (next_portion_ < utterance_.portions.size()) {
                    SendFinal(next_portion_++);
                    words_revealed_ = 0;
                }
            } else if (utterance_.end_of_utterance == EndOfUtterance::kOnSilence) {
                EndUtterance();
            }
        }
        const auto& timeout = utterance_.no_speech_timeout_ms;
        if (timeout && !listener_->heard_speech() && listener_->audio_ms() >= *timeout &&
            !final_transcript_sent_) {
            // Nothing said: the utterance ends empty (a client without single utterance
            // is not told).
            final_transcript_sent_ = true;
            if (input_.single_utterance && !faults_.no_end_of_utterance) {
                Send(Flavour::EndOfUtteranceResponse());
                if (utterance_.end_stream_early && !faults_.end_without_result && !faults_.stall) {
                    SendAnswer();
                    EndAfterAnswers(grpc::Status::OK);
                }
            }
        }
    }

    // One more word of the current portion, or the script's next interim text; a portion
    // whose words are all out is final once the next one's first word is heard.
    void OnInterimDue() {
        if (!utterance_.interim.empty()) {
            if (next_interim_ < utterance_.interim.size()) {
                SendInterim(utterance_.interim[next_interim_++].transcript);
            }
            return;
        }
        if (next_portion_ >= utterance_.portions.size()) {
            return;
        }
        std::vector<std::string> words = WordsOf(utterance_.portions[next_portion_].transcript);
        if (words_revealed_ >= words.size()) {
            if (next_portion_ + 1 >= utterance_.portions.size()) {
                return;  // the last portion waits for its end
            }
            SendFinal(next_portion_++);
            words = WordsOf(utterance_.portions[next_portion_].transcript);
            words_revealed_ = 0;
        }
        ++words_revealed_;
        std::string text;
        for (size_t i = 0; i < words_revealed_ && i < words.size(); ++i) {
            text += (i ? " " : "") + words[i];
        }
        SendInterim(text);
    }

    // END_OF_SINGLE_UTTERANCE, the finals still due, and with the early-end variant the
    // answer and the end of the stream, before the client half-closes.
    void EndUtterance() {
        Send(Flavour::EndOfUtteranceResponse());
        SendFinals();
        final_transcript_sent_ = true;
        if (utterance_.end_stream_early && !faults_.end_without_result && !faults_.stall) {
            SendAnswer();
            EndAfterAnswers(grpc::Status::OK);
        }
    }

    void SendInterim(const std::string& text) {
        Send(Flavour::RecognitionResponse(text, false, std::nullopt, 0, {}));
    }

    void SendFinals() {
        while (next_portion_ < utterance_.portions.size()) {
            SendFinal(next_portion_++);
        }
    }

    void SendFinal(size_t index) {
        const Portion& portion = utterance_.portions[index];
        const int64_t end_ms = listener_ ? listener_->speech_end_ms() : AudioMilliseconds();
        heard_ += (heard_.empty() || portion.transcript.empty() ? "" : " ") + portion.transcript;
        ++finals_sent_;
        Send(Flavour::RecognitionResponse(
            portion.transcript, true, portion.confidence, end_ms,
            input_.word_info ? Words(portion.transcript, end_ms) : std::vector<Word>()));
    }

    int64_t AudioMilliseconds() const {
        const int64_t bytes_per_ms = std::max<int64_t>(
            1, static_cast<int64_t>(input_.sample_rate_hertz) * input_.bytes_per_sample / 1000);
        return static_cast<int64_t>(audio_bytes_) / bytes_per_ms;
    }

    static std::vector<std::string> WordsOf(const std::string& text) {
        std::vector<std::string> words;
        std::istringstream in(text);
        for (std::string word; in >> word;) {
            words.push_back(word);
        }
        return words;
    }

    // Spreads the words evenly over the audio up to the end of speech.
    static std::vector<Word> Words(const std::string& transcript, int64_t duration_ms) {
        std::vector<std::string> texts = WordsOf(transcript);
        std::vector<Word> words;
        const int64_t count = static_cast<int64_t>(texts.size());
        for (int64_t i = 0; i < count; ++i) {
            words.push_back({texts[i], duration_ms * i / count, duration_ms * (i + 1) / count});
        }
        return words;
    }

    void SendAnswer() {
        const Agent& agent = *sim_->agent;
        Answer answer;
        answer.kind = input_.kind;
        answer.language = input_.language;
        answer.query = input_.kind == InputKind::kAudio ? heard_ : input_.value;
        answer.finish_digit = input_.finish_digit;
        answer.webhook_status = utterance_.webhook_status;
        answer.output_sample_rate_hertz = input_.output_sample_rate_hertz;
        answer.intent_parent = Flavour::IntentParent(session_);
        switch (input_.kind) {
            case InputKind::kAudio:
                answer.intent =
                    utterance_.intent.empty() ? nullptr : agent.FindIntent(utterance_.intent);
                break;
            case InputKind::kText:
                answer.intent = agent.MatchText(input_.value);
                break;
            case InputKind::kEvent:
                answer.intent = agent.MatchEvent(input_.value);
                break;
            case InputKind::kDtmf:
                // The keys as pressed, finish digit included, then the digits alone: an
                // agent's "12#" serves ES telephony events and CX digits "12" ended by "#".
                answer.intent = agent.MatchDtmf(input_.value + input_.finish_digit);
                if (!answer.intent && !input_.finish_digit.empty() && !input_.value.empty()) {
                    answer.intent = agent.MatchDtmf(input_.value);
                }
                break;
            case InputKind::kIntent:
                answer.intent = NamedIntent();
                break;
        }
        if (!answer.intent && input_.kind != InputKind::kAudio && input_.kind != InputKind::kDtmf) {
            // Digits reach the service as DTMF, text, an event or an intent name,
            // depending on the client's settings: each finds the intents listed for them.
            answer.intent = agent.MatchDtmf(input_.value.substr(input_.value.rfind('/') + 1));
        }
        if (input_.kind == InputKind::kAudio && Flavour::kIsCx && utterance_.match) {
            // A forced match: the turn's intent, if any, only answers.
            answer.forced_match = utterance_.match;
            if (utterance_.match->type == ForcedMatch::kNoInput) {
                answer.query.clear();
            }
        } else if (input_.kind == InputKind::kAudio && finals_sent_ == 0 && listener_) {
            answer.empty_query = true;  // nothing heard, nothing matched
            answer.intent = nullptr;
        } else if (!answer.intent) {
            answer.intent = &agent.Fallback();
            answer.is_fallback = true;
        }
        const std::string id = "sim-" + std::to_string(sim_->next_response_id++);
        if (input_.partial_responses) {
            for (const std::string& text : utterance_.partial_responses) {
                if (auto partial = Flavour::PartialResponse(answer, id, text)) {
                    Send(std::move(*partial));
                }
            }
        }
        // The output audio: with the query result or after it, in one or more messages.
        const std::string audio =
            input_.output_audio && answer.intent ? answer.intent->output_audio : std::string();
        const AudioDelivery delivery = utterance_.audio_delivery.MergedOver(agent.audio_delivery());
        const bool after = delivery.after_result.value_or(Flavour::kAudioAfterResult);
        const size_t chunks =
            std::min(audio.size(), static_cast<size_t>(delivery.chunks.value_or(1)));
        std::vector<std::string> pieces;
        for (size_t i = 0; i < chunks; ++i) {
            const size_t from = audio.size() * i / chunks, to = audio.size() * (i + 1) / chunks;
            pieces.push_back(audio.substr(from, to - from));
        }
        size_t next = 0;
        Send(Flavour::AnswerResponse(answer, id, !after && !pieces.empty() ? pieces[next++] : ""));
        for (; next < pieces.size(); ++next) {
            Send(Flavour::LaterAudioResponse(answer, id, pieces[next],
                                             delivery.sparse_query_result.value_or(false)));
        }
    }

    // Queues a response, after the scripted answer delay when there is one.
    void Send(Response response) {
        if (faults_.delay_answer_ms > 0) {
            auto shared = std::make_shared<Response>(std::move(response));
            After(faults_.delay_answer_ms, [this, shared] { Enqueue(std::move(*shared)); });
        } else {
            Enqueue(std::move(response));
        }
    }

    void EndAfterAnswers(grpc::Status status) {
        if (faults_.delay_answer_ms > 0) {
            After(faults_.delay_answer_ms, [this, status] { EndStream(status); });
        } else {
            EndStream(status);
        }
    }

    void Enqueue(Response response) {
        if (finished_ || finish_pending_) {
            return;
        }
        grpc::ByteBuffer bytes;
        bool own_buffer = false;
        (void)grpc::SerializationTraits<Response>::Serialize(response, &bytes, &own_buffer);
        outgoing_.push_back(std::move(bytes));
        WriteNext();
    }

    void WriteNext() {
        if (writing_) {
            return;
        }
        if (!outgoing_.empty() && !finished_) {
            writing_ = true;
            last_write_at_ = std::chrono::steady_clock::now();
            this->StartWrite(&outgoing_.front());
        } else if (finish_pending_ && !finished_) {
            finished_ = true;
            // Recorded before the status goes out, so a client that has its status can
            // already read the record.
            Record();
            this->Finish(status_);
        }
    }

    // Ends the stream once the queued responses are written.
    void EndStream(const grpc::Status& status) {
        if (finished_ || finish_pending_) {
            return;
        }
        status_ = status;
        finish_pending_ = true;
        WriteNext();
    }

    // Resets the HTTP/2 stream; the client sees the call fail.
    void Reset() {
        if (!finished_ && !reset_) {
            reset_ = true;
            context_->TryCancel();
            EndStream(grpc::Status(grpc::StatusCode::CANCELLED, "Scripted reset."));
        }
    }

    // Runs action under the stream's lock after delay_ms, unless the stream is done by then.
    template <class Action>
    void After(int delay_ms, Action action) {
        std::shared_ptr<SessionReactor> keep = self_;
        sim_->timers->Schedule(delay_ms, [keep, action]() mutable {
            std::lock_guard<std::mutex> lock(keep->mutex_);
            if (!keep->done_ && !keep->finished_) {
                action();
            }
        });
    }

    // ---- record -------------------------------------------------------------------

    void Record() {
        const auto now = std::chrono::system_clock::now();
        const auto ms = [](auto duration) {
            return static_cast<int64_t>(
                std::chrono::duration_cast<std::chrono::milliseconds>(duration).count());
        };
        LogLine(std::string(Flavour::kName) + " stream " + (session_.empty() ? "-" : session_) +
                ": " + std::to_string(audio_requests_) + " audio requests, " +
                std::to_string(audio_bytes_) + " bytes, status " +
                std::to_string(static_cast<int>(status_.error_code())) +
                (status_.error_message().empty() ? "" : " " + status_.error_message()));
        if (!sim_->recorder || !sim_->recorder->enabled()) {
            return;
        }
        rapidjson::Document line(rapidjson::kObjectType);
        auto& allocator = line.GetAllocator();
        auto text = [&](const std::string& value) {
            return rapidjson::Value(value.c_str(), static_cast<rapidjson::SizeType>(value.size()),
                                    allocator);
        };
        line.AddMember("flavour", text(Flavour::kName), allocator);
        line.AddMember("session", text(session_), allocator);
        rapidjson::Value metadata(rapidjson::kObjectType);
        for (const auto& [key, value] : metadata_) {
            if (!metadata.HasMember(key.c_str())) {
                metadata.AddMember(text(key), text(value), allocator);
            }
        }
        line.AddMember("metadata", metadata, allocator);
        line.AddMember("authorization", !authorization_.empty(), allocator);
        line.AddMember("jwt_issuer", text(jwt_issuer_), allocator);
        line.AddMember("user_project", text(user_project_), allocator);
        if (first_seen_) {
            Request copy = first_request_;
            const size_t first_audio = Flavour::AudioOf(copy).size();
            Flavour::ClearAudio(&copy);
            std::string json;
            (void)google::protobuf::util::MessageToJsonString(copy, &json);
            rapidjson::Document first(&allocator);
            first.Parse(json.c_str());
            if (first.HasParseError() || !first.IsObject()) {
                first.SetObject();
            }
            if (first_audio > 0) {
                Flavour::RecordAudioByteCount(first_audio, &first);
            }
            line.AddMember("first_request", rapidjson::Value(first, allocator), allocator);
        } else {
            line.AddMember("first_request", rapidjson::Value(), allocator);
        }
        line.AddMember("audio_requests", audio_requests_, allocator);
        line.AddMember("audio_bytes", audio_bytes_, allocator);
        line.AddMember("responses", responses_sent_, allocator);
        line.AddMember("half_close", half_close_seen_, allocator);
        line.AddMember("cancelled", cancelled_, allocator);
        rapidjson::Value status(rapidjson::kObjectType);
        status.AddMember("code", static_cast<int>(status_.error_code()), allocator);
        status.AddMember("message", text(status_.error_message()), allocator);
        line.AddMember("status", status, allocator);
        line.AddMember("peer", text(peer_), allocator);
        line.AddMember("authority", text(Authority()), allocator);
        line.AddMember("start_ms", ms(started_.time_since_epoch()), allocator);
        line.AddMember("duration_ms", ms(now - started_), allocator);
        // CLOCK_MONOTONIC, system-wide: a client on this machine measures its own latency
        // against these (0 when no response was written).
        const auto us = [](std::chrono::steady_clock::time_point at) {
            return static_cast<int64_t>(
                std::chrono::duration_cast<std::chrono::microseconds>(at.time_since_epoch())
                    .count());
        };
        line.AddMember("last_response_steady_us",
                       responses_sent_ > 0 ? us(last_write_at_) : int64_t(0), allocator);
        line.AddMember("status_steady_us", us(std::chrono::steady_clock::now()), allocator);
        rapidjson::StringBuffer buffer;
        rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
        line.Accept(writer);
        sim_->recorder->Append(buffer.GetString());
    }

    grpc::CallbackServerContext* context_;
    SimContext* sim_;
    const Endpoint* endpoint_;
    const std::chrono::system_clock::time_point started_;
    const std::string peer_;  // the client's end of the connection, "ipv4:127.0.0.1:PORT"

    std::mutex mutex_;  // guards everything below
    std::shared_ptr<SessionReactor> self_;
    uint64_t ticket_ = 0;  // in sim_->streams
    bool shutting_down_ = false;
    grpc::ByteBuffer incoming_;
    Request request_;  // incoming_ parsed
    Request first_request_;
    bool first_seen_ = false;
    bool half_close_seen_ = false;
    bool cancelled_ = false;
    bool reset_ = false;
    std::string session_;
    FirstInput input_;
    Utterance utterance_;
    Faults faults_;
    std::unique_ptr<SpeechListener> listener_;  // none for byte-timed scripts
    bool continuous_ = false;                   // finals at pauses, no end of utterance
    size_t next_interim_ = 0;                   // in utterance_.interim
    size_t next_portion_ = 0;                   // the next final to send
    size_t words_revealed_ = 0;                 // of that portion, by interim transcripts
    size_t finals_sent_ = 0;
    std::string heard_;                   // the finals sent, joined: the query text
    bool final_transcript_sent_ = false;  // no more recognition results
    uint64_t audio_requests_ = 0;
    uint64_t audio_bytes_ = 0;
    uint64_t responses_sent_ = 0;
    std::chrono::steady_clock::time_point last_write_at_;  // the last response's write began

    std::deque<grpc::ByteBuffer> outgoing_;  // front() is being written while writing_
    bool writing_ = false;
    bool finish_pending_ = false;
    bool finished_ = false;
    bool done_ = false;
    grpc::Status status_;

    std::string authorization_;
    std::string user_project_;
    std::string jwt_issuer_;
    std::string key_project_;  // the project of the key that signed the JWT
    std::vector<std::pair<std::string, std::string>> metadata_;
};

// The service of one flavour: each stream gets its own reactor.
template <class Flavour>
class SessionsService : public Flavour::StreamingService {
public:
    SessionsService(SimContext* sim, const Endpoint* endpoint) : sim_(sim), endpoint_(endpoint) {}

    grpc::ServerBidiReactor<grpc::ByteBuffer, grpc::ByteBuffer>* StreamingDetectIntent(
        grpc::CallbackServerContext* context) override {
        return SessionReactor<Flavour>::Start(context, sim_, endpoint_);
    }

private:
    SimContext* sim_;
    const Endpoint* endpoint_;
};

}  // namespace DialogflowSim
