// The baseline the plugin's streaming is measured against: a bare asynchronous gRPC client
// that streams the same blocks to the same service at the same moments. One channel, one
// completion queue driven by the calling thread, which wakes every 10 ms tick as a media
// thread does, starts the calls that fell due and writes the blocks that fell due; like the
// plugin, each stream has one
// write in flight and queues blocks behind it, keeps one read outstanding, half-closes after
// its last block and reads until the service ends the call.
//
// Requests are written as protobuf wire bytes by hand: the plugin, loaded into the same
// process, registers the generated Dialogflow classes, which may be registered only once.
//
// Threads: Run() on one thread at a time; it owns the completion queue while it runs.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <grpcpp/grpcpp.h>

#include "../common/detector_replay.h"

namespace ZephBench {

struct BareStream {
    std::string session;  // full session path of the stream
    int start_tick = 0;   // tick (10 ms) at which the call starts and its audio begins
};

struct BareRun {
    int completed = 0;  // streams that ended with status OK
    int failed = 0;
    size_t writes = 0;  // requests written, first requests included
};

class BareClient {
public:
    // `blocks` are the detector's hand-ons for one call (frames counted from the call's first
    // audio frame); the audio sent is taken from `samples` at the blocks' running offsets.
    BareClient(std::shared_ptr<grpc::Channel> channel, int rate, std::vector<HandedBlock> blocks,
               const std::vector<int16_t>& samples);

    // Starts each stream at its tick (as a channel's RECOGNIZE creates its stream) and feeds
    // it its blocks on its schedule; returns when every stream has ended.
    BareRun Run(const std::vector<BareStream>& streams);

private:
    std::shared_ptr<grpc::Channel> channel_;
    int rate_;
    std::vector<HandedBlock> blocks_;
    std::vector<std::string> requests_;  // the audio request of each block (empty: not sent)
};

}  // namespace ZephBench
