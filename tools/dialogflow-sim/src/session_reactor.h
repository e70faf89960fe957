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
    int64_t max_audio_ms = 60000;
    std::atomic<uint64_t> next_response_id{1};
};

void LogLine(const std::string& line);  // stderr, one line, thread-safe

template <class Flavour>
class SessionReactor : public grpc::ServerBidiReactor<grpc::ByteBuffer, grpc::ByteBuffer> {
public:
    using Request = typename Flavour::Request;
    using Response = typename Flavour::Response;

    // Creates a reactor that keeps itself alive until gRPC calls OnDone.
    static SessionReactor* Start(grpc::CallbackServerContext* context, SimContext* sim) {
        auto reactor = std::make_shared<SessionReactor>(context, sim);
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

    SessionReactor(grpc::CallbackServerContext* context, SimContext* sim)
        : context_(context),
          sim_(sim),
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
        grpc::string_ref authority = context_->ExperimentalGetAuthority();
        const std::string audience =
            "https://" + std::string(authority.data(), authority.size()) + "/";
        const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
        if (!sim_->verifier.Verify(token, audience, now, &claims, error)) {
            *error = "Request had invalid authentication credentials: " + *error;
            return false;
        }
        jwt_issuer_ = claims.issuer;
        return true;
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
            // single utterance; the others get the final transcript after they half-close.
            if (faults_.no_end_of_utterance || !input_.single_utterance) {
                utterance_.end_of_utterance = EndOfUtterance::kNever;
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
        audio_bytes_ += Flavour::AudioOf(request_).size();
        const uint64_t max_bytes = static_cast<uint64_t>(sim_->max_audio_ms) *
                                   static_cast<uint64_t>(input_.sample_rate_hertz) *
                                   static_cast<uint64_t>(input_.bytes_per_sample) / 1000;
        if (audio_bytes_ > max_bytes) {
            EndStream(grpc::Status(grpc::StatusCode::OUT_OF_RANGE,
                                   "Exceeded maximum allowed stream duration of " +
                                       std::to_string(sim_->max_audio_ms) + " ms."));
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
        CheckAudioTriggers();
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
            SendFinalTranscript();
        }
        if (!faults_.end_without_result) {
            SendAnswer();
        }
        EndAfterAnswers(grpc::Status::OK);
    }

    // Interim transcripts and end of utterance due at the audio received so far.
    void CheckAudioTriggers() {
        if (faults_.stall) {
            return;
        }
        while (next_interim_ < utterance_.interim.size() &&
               audio_bytes_ >= utterance_.interim[next_interim_].at_bytes && audio_bytes_ > 0) {
            const auto& interim = utterance_.interim[next_interim_++];
            if (!final_transcript_sent_) {
                Send(Flavour::RecognitionResponse(interim.transcript, false, 0.0f, 0, {}));
            }
        }
        if (!final_transcript_sent_ && utterance_.end_of_utterance == EndOfUtterance::kAtBytes &&
            audio_bytes_ >= utterance_.end_of_utterance_bytes && audio_bytes_ > 0) {
            Send(Flavour::EndOfUtteranceResponse());
            SendFinalTranscript();
        }
    }

    // ---- response side ------------------------------------------------------------

    void SendFinalTranscript() {
        final_transcript_sent_ = true;
        const int64_t duration_ms = AudioMilliseconds();
        Send(Flavour::RecognitionResponse(
            utterance_.transcript, true, utterance_.confidence, duration_ms,
            input_.word_info ? Words(duration_ms) : std::vector<Word>()));
    }

    int64_t AudioMilliseconds() const {
        const int64_t bytes_per_ms = std::max<int64_t>(
            1, static_cast<int64_t>(input_.sample_rate_hertz) * input_.bytes_per_sample / 1000);
        return static_cast<int64_t>(audio_bytes_) / bytes_per_ms;
    }

    // Spreads the transcript's words evenly over the audio received.
    std::vector<Word> Words(int64_t duration_ms) const {
        std::vector<std::string> texts;
        std::istringstream in(utterance_.transcript);
        for (std::string text; in >> text;) {
            texts.push_back(text);
        }
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
        answer.query = input_.kind == InputKind::kAudio ? utterance_.transcript : input_.value;
        answer.finish_digit = input_.finish_digit;
        answer.speech_confidence = utterance_.confidence;
        answer.webhook_status = utterance_.webhook_status;
        answer.with_output_audio = input_.output_audio;
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
                answer.intent = agent.FindIntent(input_.value.substr(input_.value.rfind('/') + 1));
                break;
        }
        if (!answer.intent && input_.kind != InputKind::kAudio && input_.kind != InputKind::kDtmf) {
            // Digits reach the service as DTMF, text, an event or an intent name,
            // depending on the client's settings: each finds the intents listed for them.
            answer.intent = agent.MatchDtmf(input_.value.substr(input_.value.rfind('/') + 1));
        }
        if (!answer.intent) {
            answer.intent = &agent.Fallback();
            answer.is_fallback = true;
        }
        Send(Flavour::AnswerResponse(answer, "sim-" + std::to_string(sim_->next_response_id++)));
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
    size_t next_interim_ = 0;
    bool final_transcript_sent_ = false;
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
    std::vector<std::pair<std::string, std::string>> metadata_;
};

// The service of one flavour: each stream gets its own reactor.
template <class Flavour>
class SessionsService : public Flavour::StreamingService {
public:
    explicit SessionsService(SimContext* sim) : sim_(sim) {}

    grpc::ServerBidiReactor<grpc::ByteBuffer, grpc::ByteBuffer>* StreamingDetectIntent(
        grpc::CallbackServerContext* context) override {
        return SessionReactor<Flavour>::Start(context, sim_);
    }

private:
    SimContext* sim_;
};

}  // namespace DialogflowSim
