// Holds each new client connection for a while before the sim's gRPC server takes part in
// it: a TCP relay in front of the server that connects a client through only after the
// hold. Until then neither TLS nor HTTP/2 can start, so a client's calls on that connection
// wait for their stream to be created (a gRPC client's StartCall completes only when the
// stream exists; a server that merely delays reading never holds that back).
//
// Threads: Start and Stop on the sim's main thread; one thread accepts, one thread per
// connection holds it and then relays its bytes both ways.
#pragma once

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace DialogflowSim {

class ConnectionHolder {
public:
    // Relays to 127.0.0.1:target_port after hold_ms.
    ConnectionHolder(int hold_ms, int target_port);
    ~ConnectionHolder();
    ConnectionHolder(const ConnectionHolder&) = delete;
    ConnectionHolder& operator=(const ConnectionHolder&) = delete;

    // Listens on host (an IPv4 address) and port (0: a free one). FALSE with *error.
    bool Start(const std::string& host, int port, std::string* error);
    int port() const { return port_; }
    // Closes the listener and every connection, held or relayed, and joins the threads.
    void Stop();

private:
    void Accept();
    void Relay(int client);

    const int hold_ms_;
    const int target_port_;
    int listener_ = -1;
    int port_ = 0;
    int wake_[2] = {-1, -1};  // written once by Stop(): every poll below wakes for good
    std::thread acceptor_;
    std::mutex mutex_;  // guards relays_
    std::vector<std::thread> relays_;
};

}  // namespace DialogflowSim
