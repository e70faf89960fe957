// What a connection of its own costs, against dialogflow-sim over TLS on loopback, next to
// baselines measured in the same run:
//
//   connections_bench [CONNECTIONS=20] [ROUNDS=3]
//
// Memory: CONNECTIONS gRPC channels that share one connection (what equal channels get from
// gRPC on its own), each used for one short stream and kept, against CONNECTIONS
// connections of the engine's pool (one channel per connection), used and kept alike; heap
// in use (mallinfo2) and resident set size per channel or connection.
// Handshake: a short stream on a fresh connection of the pool (TCP, TLS and HTTP/2 set-up
// first) against the same stream on a connection already up; wall time and this process's
// CPU time per stream, and the sim's CPU.
#include <malloc.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <grpcpp/create_channel.h>
#include <grpcpp/grpcpp.h>

#include "OsrZephConnectionPool.h"
#include "google/cloud/dialogflow/v2/session.grpc.pb.h"
#include "sim_process.h"

namespace {

namespace df = google::cloud::dialogflow::v2;

double Micros(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

double HeapBytes() {
    return static_cast<double>(mallinfo2().uordblks);
}

double RssBytes() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0;
    long resident = 0;
    statm >> pages >> resident;
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE));
}

// One text query on `channel`, answered at once by the sim; true when it ended OK.
bool Converse(const std::shared_ptr<grpc::Channel>& channel, int n) {
    auto stub = df::Sessions::NewStub(channel);
    grpc::ClientContext context;
    context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(20));
    auto stream = stub->StreamingDetectIntent(&context);
    df::StreamingDetectIntentRequest request;
    request.set_session("projects/zeph-test-project/agent/sessions/bench-" + std::to_string(n));
    request.mutable_query_input()->mutable_text()->set_text("hi");
    request.mutable_query_input()->mutable_text()->set_language_code("en-US");
    stream->Write(request);
    stream->WritesDone();
    df::StreamingDetectIntentResponse response;
    while (stream->Read(&response)) {
    }
    return stream->Finish().ok();
}

struct Cost {
    double heap = 0;  // bytes per item
    double rss = 0;
};

struct Timing {
    double wallUs = 0;  // per stream
    double cpuUs = 0;   // this process, per stream
    double simCpuMs = 0;
};

template <class Make>
Cost MemoryPer(int count, Make make, int& failures) {
    malloc_trim(0);
    const double heap = HeapBytes();
    const double rss = RssBytes();
    std::vector<std::shared_ptr<grpc::Channel>> kept;
    for (int i = 0; i < count; ++i) {
        kept.push_back(make());
        failures += Converse(kept.back(), i) ? 0 : 1;
    }
    Cost cost;
    cost.heap = (HeapBytes() - heap) / count;
    cost.rss = (RssBytes() - rss) / count;
    return cost;
}

template <class Pick>
Timing StreamsOn(int count, Pick pick, ZephTest::SimProcess& sim, int& failures) {
    const long simCpu = sim.CpuMilliseconds();
    const double wall = Micros(CLOCK_MONOTONIC);
    const double cpu = Micros(CLOCK_PROCESS_CPUTIME_ID);
    for (int i = 0; i < count; ++i) {
        std::shared_ptr<grpc::Channel> channel = pick(i);
        failures += Converse(channel, i) ? 0 : 1;
    }
    Timing timing;
    timing.wallUs = (Micros(CLOCK_MONOTONIC) - wall) / count;
    timing.cpuUs = (Micros(CLOCK_PROCESS_CPUTIME_ID) - cpu) / count;
    timing.simCpuMs = static_cast<double>(sim.CpuMilliseconds() - simCpu) / count;
    return timing;
}

}  // namespace

int main(int argc, char** argv) {
    const int connections = argc > 1 ? std::atoi(argv[1]) : 20;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    if (connections < 1 || rounds < 1) {
        std::fprintf(stderr, "usage: connections_bench [CONNECTIONS=20] [ROUNDS=3]\n");
        return 2;
    }
    ZephTest::UseTestCredentials();
    ZephTest::SimProcess sim;
    if (!sim.Start()) {
        std::fprintf(stderr, "connections_bench: the sim did not start\n");
        return 1;
    }
    auto credentials = grpc::GoogleDefaultCredentials();
    grpc::ChannelArguments arguments;
    int failures = 0;
    // gRPC's first use (threads, TLS library, the JWT) is no one's cost.
    {
        Zeph::ConnectionPool warm(1);
        Zeph::ConnectionLease lease = warm.Acquire(sim.target(), credentials, arguments);
        failures += Converse(lease.GetChannel(), 0) ? 0 : 1;
    }

    Cost shared, own;
    Timing fresh, up;
    for (int round = 0; round < rounds; ++round) {
        // The shared connection of the equal channels lives as long as one of them does.
        Cost s = MemoryPer(
            connections,
            [&] { return grpc::CreateCustomChannel(sim.target(), credentials, arguments); },
            failures);
        Zeph::ConnectionPool pool(1);
        std::vector<Zeph::ConnectionLease> leases;
        Cost o = MemoryPer(
            connections,
            [&] {
                leases.push_back(pool.Acquire(sim.target(), credentials, arguments));
                return leases.back().GetChannel();
            },
            failures);
        shared.heap += s.heap / rounds;
        shared.rss += s.rss / rounds;
        own.heap += o.heap / rounds;
        own.rss += o.rss / rounds;

        // Fresh connections: a pool entry each, never used before.
        Zeph::ConnectionPool freshPool(1);
        std::vector<Zeph::ConnectionLease> freshLeases;
        Timing f = StreamsOn(
            connections,
            [&](int) {
                freshLeases.push_back(freshPool.Acquire(sim.target(), credentials, arguments));
                return freshLeases.back().GetChannel();
            },
            sim, failures);
        // The same streams on the connections now up.
        Timing u = StreamsOn(
            connections, [&](int i) { return freshLeases[static_cast<size_t>(i)].GetChannel(); },
            sim, failures);
        fresh.wallUs += f.wallUs / rounds;
        fresh.cpuUs += f.cpuUs / rounds;
        fresh.simCpuMs += f.simCpuMs / rounds;
        up.wallUs += u.wallUs / rounds;
        up.cpuUs += u.cpuUs / rounds;
        up.simCpuMs += u.simCpuMs / rounds;
    }
    sim.Stop();

    std::printf("%d channels or connections, %d rounds, %d failed streams\n", connections, rounds,
                failures);
    std::printf("memory per channel sharing one connection:  heap %8.1f KiB, RSS %8.1f KiB\n",
                shared.heap / 1024, shared.rss / 1024);
    std::printf("memory per connection of its own:           heap %8.1f KiB, RSS %8.1f KiB\n",
                own.heap / 1024, own.rss / 1024);
    std::printf("ratio own connection / shared channel:      heap %8.2f,     RSS %8.2f\n",
                own.heap / shared.heap, own.rss / shared.rss);
    const double perConnection = 50;  // the default "channels-per-connection"
    std::printf("per MRCP channel, own gRPC channel on one shared connection: heap %8.1f KiB\n",
                shared.heap / 1024);
    std::printf("per MRCP channel, pooled %2.0f to a connection:                heap %8.1f KiB\n",
                perConnection, own.heap / perConnection / 1024);
    std::printf(
        "stream on a connection already up:  wall %8.0f us, CPU %8.0f us, sim CPU %6.2f ms\n",
        up.wallUs, up.cpuUs, up.simCpuMs);
    std::printf(
        "stream on a fresh connection:       wall %8.0f us, CPU %8.0f us, sim CPU %6.2f ms\n",
        fresh.wallUs, fresh.cpuUs, fresh.simCpuMs);
    std::printf(
        "handshake alone (fresh - up):       wall %8.0f us, CPU %8.0f us, sim CPU %6.2f ms\n",
        fresh.wallUs - up.wallUs, fresh.cpuUs - up.cpuUs, fresh.simCpuMs - up.simCpuMs);
    std::printf("ratio fresh / up:                   wall %8.2f,    CPU %8.2f\n",
                fresh.wallUs / up.wallUs, fresh.cpuUs / up.cpuUs);
    return failures == 0 ? 0 : 1;
}
