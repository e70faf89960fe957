#include "bare_client.h"

#include <grpcpp/generic/generic_stub.h>

#include <algorithm>
#include <chrono>
#include <deque>

namespace ZephBench {

namespace {

using Clock = std::chrono::steady_clock;

const char kMethod[] = "/google.cloud.dialogflow.v2.Sessions/StreamingDetectIntent";
const auto kTick = std::chrono::milliseconds(10);

// ---- protobuf wire format: the few fields a streaming request needs ---------------------

void Varint(uint64_t value, std::string* out) {
    while (value >= 0x80) {
        out->push_back(static_cast<char>((value & 0x7F) | 0x80));
        value >>= 7;
    }
    out->push_back(static_cast<char>(value));
}

void VarintField(int field, uint64_t value, std::string* out) {
    Varint(static_cast<uint64_t>(field) << 3, out);
    Varint(value, out);
}

void BytesField(int field, const std::string& bytes, std::string* out) {
    Varint((static_cast<uint64_t>(field) << 3) | 2, out);
    Varint(bytes.size(), out);
    out->append(bytes);
}

// StreamingDetectIntentRequest{session, query_input{audio_config{LINEAR16, rate, "en-US",
// single_utterance}}}: what the plugin's first request carries with the default settings.
std::string FirstRequest(const std::string& session, int rate) {
    std::string config;
    VarintField(1, 1, &config);  // audio_encoding: LINEAR16
    VarintField(2, static_cast<uint64_t>(rate), &config);
    BytesField(3, "en-US", &config);
    VarintField(8, 1, &config);  // single_utterance
    std::string input;
    BytesField(1, config, &input);
    std::string request;
    BytesField(1, session, &request);
    BytesField(3, input, &request);
    return request;
}

grpc::ByteBuffer ToBuffer(const std::string& bytes) {
    grpc::Slice slice(bytes);
    return grpc::ByteBuffer(&slice, 1);
}

// ---- one stream -----------------------------------------------------------------------

enum class Op { kStart, kWrite, kWritesDone, kRead, kFinish };

struct Stream;
struct Tag {
    Stream* stream;
    Op op;
};

struct Stream {
    const BareStream* plan = nullptr;
    grpc::ClientContext context;
    std::unique_ptr<grpc::GenericClientAsyncReaderWriter> call;
    grpc::ByteBuffer outgoing;
    grpc::ByteBuffer incoming;
    grpc::Status status;
    Tag start{this, Op::kStart}, write{this, Op::kWrite}, writes_done{this, Op::kWritesDone},
        read{this, Op::kRead}, finish{this, Op::kFinish};
    bool started = false;
    bool created = false;
    bool writing = false;
    bool first_sent = false;
    bool half_closed = false;
    bool ended = false;
    size_t next_block = 0;  // the next block to write
};

}  // namespace

BareClient::BareClient(std::shared_ptr<grpc::Channel> channel, int rate,
                       std::vector<HandedBlock> blocks, const std::vector<int16_t>& samples)
    : channel_(std::move(channel)), rate_(rate), blocks_(std::move(blocks)) {
    const char* bytes = reinterpret_cast<const char*>(samples.data());
    const size_t total = samples.size() * 2;
    size_t at = 0;
    for (const HandedBlock& block : blocks_) {
        std::string request;
        if (block.bytes > 0) {
            // The detector hands on consecutive audio; where it pads with leading silence
            // the bytes differ, the size does not.
            std::string audio(block.bytes, '\0');
            for (size_t i = 0; i < block.bytes && total > 0; ++i)
                audio[i] = bytes[(at + i) % total];
            BytesField(6, audio, &request);  // input_audio
        }
        at += block.bytes;
        requests_.push_back(std::move(request));
    }
}

BareRun BareClient::Run(const std::vector<BareStream>& plans) {
    BareRun result;
    grpc::CompletionQueue cq;
    grpc::GenericStub stub(channel_);
    std::deque<Stream> streams(plans.size());
    for (size_t i = 0; i < plans.size(); ++i)
        streams[i].plan = &plans[i];
    size_t open = streams.size();
    const Clock::time_point begin = Clock::now();
    int tick = 0;

    auto start_due = [&](Stream& s) {
        if (s.started || s.plan->start_tick > tick)
            return;
        s.started = true;
        s.call = stub.PrepareCall(&s.context, kMethod, &cq);
        s.call->StartCall(&s.start);
    };
    for (Stream& s : streams)
        start_due(s);

    // The next due block of a stream, written when nothing is in flight.
    auto write_due = [&](Stream& s) {
        if (!s.created || s.writing || s.half_closed)
            return;
        while (s.next_block < blocks_.size() &&
               s.plan->start_tick + static_cast<int>(blocks_[s.next_block].frame) <= tick) {
            if (!s.first_sent) {
                s.first_sent = true;
                s.outgoing = ToBuffer(FirstRequest(s.plan->session, rate_));
            } else if (requests_[s.next_block].empty()) {
                ++s.next_block;  // an empty block sends nothing
                continue;
            } else {
                s.outgoing = ToBuffer(requests_[s.next_block++]);
            }
            s.writing = true;
            ++result.writes;
            s.call->Write(s.outgoing, &s.write);
            return;
        }
        if (s.next_block >= blocks_.size()) {
            s.half_closed = true;
            s.writing = true;
            s.call->WritesDone(&s.writes_done);
        }
    };

    while (open > 0) {
        Clock::time_point due = begin + kTick * (tick + 1);
        void* got = nullptr;
        bool ok = false;
        // gRPC takes deadlines on its own clocks: the tick's, as a monotonic time from now.
        int64_t wait_us = std::max<int64_t>(
            0, std::chrono::duration_cast<std::chrono::microseconds>(due - Clock::now()).count());
        gpr_timespec deadline =
            gpr_time_add(gpr_now(GPR_CLOCK_MONOTONIC), gpr_time_from_micros(wait_us, GPR_TIMESPAN));
        grpc::CompletionQueue::NextStatus status = cq.AsyncNext(&got, &ok, deadline);
        if (status == grpc::CompletionQueue::SHUTDOWN)
            break;
        if (status == grpc::CompletionQueue::GOT_EVENT) {
            Tag* tag = static_cast<Tag*>(got);
            Stream& s = *tag->stream;
            switch (tag->op) {
                case Op::kStart:
                    if (!ok) {
                        s.call->Finish(&s.status, &s.finish);
                        break;
                    }
                    s.created = true;
                    s.call->Read(&s.incoming, &s.read);
                    write_due(s);
                    break;
                case Op::kWrite:
                case Op::kWritesDone:
                    s.writing = false;
                    if (ok)
                        write_due(s);
                    break;
                case Op::kRead:
                    if (ok)
                        s.call->Read(&s.incoming, &s.read);
                    else
                        s.call->Finish(&s.status, &s.finish);
                    break;
                case Op::kFinish:
                    s.ended = true;
                    --open;
                    if (s.status.ok())
                        ++result.completed;
                    else
                        ++result.failed;
                    break;
            }
        }
        if (Clock::now() >= due) {
            // A tick: calls start and streams write what fell due (one write in flight each).
            tick = static_cast<int>((Clock::now() - begin) / kTick);
            for (Stream& s : streams) {
                start_due(s);
                write_due(s);
            }
        }
    }
    // Every stream has ended: the queue is empty once shut down.
    cq.Shutdown();
    void* got = nullptr;
    bool ok = false;
    while (cq.Next(&got, &ok)) {
    }
    return result;
}

}  // namespace ZephBench
