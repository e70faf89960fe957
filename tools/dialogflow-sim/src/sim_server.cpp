#include "sim_server.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <thread>

#include <grpcpp/grpcpp.h>

#include "connection_holder.h"
#include "session_reactor.h"

namespace DialogflowSim {
namespace {

bool ReadFile(const std::string& path, std::string* text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    text->assign((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return true;
}

// One listening port and the services behind it.
struct Listener {
    Listener(SimContext* sim, Endpoint at)
        : endpoint(std::move(at)),
          v2(sim, &endpoint),
          v2beta1(sim, &endpoint),
          v3beta1(sim, &endpoint) {}

    bool Start(const std::string& address,
               const std::shared_ptr<grpc::ServerCredentials>& credentials,
               int max_streams_per_connection) {
        grpc::ServerBuilder builder;
        builder.AddListeningPort(address, credentials, &port);
        builder.AddChannelArgument(GRPC_ARG_MAX_CONCURRENT_STREAMS, max_streams_per_connection);
        builder.RegisterService(&v2);
        builder.RegisterService(&v2beta1);
        builder.RegisterService(&v3beta1);
        server = builder.BuildAndStart();
        return server && port != 0;
    }

    const Endpoint endpoint;
    SessionsService<V2Flavour> v2;
    SessionsService<V2beta1Flavour> v2beta1;
    SessionsService<V3beta1Flavour> v3beta1;
    std::unique_ptr<grpc::Server> server;
    int port = 0;
};

}  // namespace

void LogLine(const std::string& line) {
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    std::fprintf(stderr, "dialogflow-sim: %s\n", line.c_str());
}

int RunSim(const SimOptions& options) {
    SimContext sim;
    sim.max_es_audio_ms = options.max_es_audio_ms;
    sim.max_cx_audio_ms = options.max_cx_audio_ms;
    sim.streams.SetGate(static_cast<size_t>(options.hold_streams_until));
    std::string error;
    if (options.agent_file.empty()) {
        sim.agent = Agent::BuiltIn();
    } else if (!(sim.agent = Agent::Load(options.agent_file, &error))) {
        LogLine(error);
        return 1;
    }
    for (const auto& file : options.credentials_files) {
        if (!sim.verifier.AddServiceAccountFile(file, &error)) {
            LogLine(error);
            return 1;
        }
    }
    Recorder recorder(options.record_file);
    if (!recorder.ok()) {
        LogLine("cannot open record file \"" + options.record_file + "\"");
        return 1;
    }
    sim.recorder = &recorder;
    TimerQueue timers;
    sim.timers = &timers;

    std::shared_ptr<grpc::ServerCredentials> credentials;
    if (options.insecure) {
        credentials = grpc::InsecureServerCredentials();
    } else {
        grpc::SslServerCredentialsOptions ssl;
        grpc::SslServerCredentialsOptions::PemKeyCertPair pair;
        if (!ReadFile(options.cert_file, &pair.cert_chain) ||
            !ReadFile(options.key_file, &pair.private_key)) {
            LogLine("cannot read the TLS certificate \"" + options.cert_file + "\" or key \"" +
                    options.key_file + "\" (or use --insecure)");
            return 1;
        }
        ssl.pem_key_cert_pairs.push_back(pair);
        credentials = grpc::SslServerCredentials(ssl);
    }

    const std::string host = options.listen.substr(0, options.listen.rfind(':'));
    // The main port serves the global location under any name; each regional one only its
    // own location, called by its regional host name.
    std::vector<std::unique_ptr<Listener>> listeners;
    listeners.push_back(std::make_unique<Listener>(&sim, Endpoint()));
    for (const auto& [name, port] : options.locations) {
        listeners.push_back(
            std::make_unique<Listener>(&sim, Endpoint{name, name + "-dialogflow.googleapis.com"}));
    }
    // Held connections reach the server through the holder, which listens in its place.
    const bool hold = options.hold_connections_ms > 0;
    for (size_t i = 0; i < listeners.size(); ++i) {
        const std::string address =
            i == 0 ? (hold ? "127.0.0.1:0" : options.listen)
                   : host + ":" + std::to_string(options.locations[i - 1].second);
        if (!listeners[i]->Start(address, credentials, options.max_streams_per_connection)) {
            LogLine("cannot listen on " + address);
            for (auto& listener : listeners) {
                if (listener->server) {
                    listener->server->Shutdown();
                }
            }
            return 1;
        }
    }
    int port = listeners[0]->port;
    ConnectionHolder holder(options.hold_connections_ms, port);
    if (hold) {
        const int wanted = std::atoi(options.listen.substr(host.size() + 1).c_str());
        if (!holder.Start(host, wanted, &error)) {
            LogLine(error);
            for (auto& listener : listeners) {
                listener->server->Shutdown();
            }
            return 1;
        }
        port = holder.port();
        LogLine("each new connection is held " + std::to_string(options.hold_connections_ms) +
                " ms");
    }
    std::string regional;
    for (size_t i = 1; i < listeners.size(); ++i) {
        regional += " " + listeners[i]->endpoint.location + "=" + host + ":" +
                    std::to_string(listeners[i]->port);
    }
    std::printf("listening %s:%d%s\n", host.c_str(), port, regional.c_str());
    std::fflush(stdout);
    LogLine(std::string(options.insecure ? "plaintext" : "TLS") + ", " +
            (sim.verifier.HasKeys() ? "JWT signatures checked" : "any bearer token accepted") +
            ", agent " + (options.agent_file.empty() ? "built in" : options.agent_file));

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    int signal = 0;
    sigwait(&signals, &signal);
    LogLine(std::string("shutting down on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
    // No new streams from now on. Those still open get a moment to finish, then the sim
    // ends them with UNAVAILABLE, and cancels a second later any whose end could not go out
    // (a client that reads nothing). gRPC's own cancellation comes last: it closes the
    // connections their clients keep open, and would leave a stream it reached first
    // recorded as cancelled by the client.
    using std::chrono::milliseconds;
    const auto now = std::chrono::steady_clock::now();
    const auto deadline = std::chrono::system_clock::now() + milliseconds(2000);
    std::vector<std::thread> stoppers;
    for (auto& listener : listeners) {
        stoppers.emplace_back([&listener, deadline] { listener->server->Shutdown(deadline); });
    }
    sim.streams.WaitUntilNoneOpen(now + milliseconds(500));
    sim.streams.EndAll(/*cancel=*/false);
    if (!sim.streams.WaitUntilNoneOpen(now + milliseconds(1500))) {
        sim.streams.EndAll(/*cancel=*/true);
    }
    for (auto& stopper : stoppers) {
        stopper.join();
    }
    for (auto& listener : listeners) {
        listener->server->Wait();
    }
    holder.Stop();
    return 0;
}

}  // namespace DialogflowSim
