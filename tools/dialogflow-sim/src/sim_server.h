// Runs the sim: the three Sessions services on one gRPC server until SIGTERM or SIGINT.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace DialogflowSim {

struct SimOptions {
    std::string listen = "127.0.0.1:0";
    std::string cert_file;
    std::string key_file;
    bool insecure = false;
    std::vector<std::string> credentials_files;
    std::string agent_file;
    std::string record_file;
    int max_es_audio_ms = 60000;  // per-stream duration caps
    int max_cx_audio_ms = 120000;
    // Regional endpoints: location name and port (0: a free one), on the host of listen.
    std::vector<std::pair<std::string, int>> locations;
    int max_streams_per_connection = 100;
    // Each new connection is held this long before the server takes part in it; 0: none.
    int hold_connections_ms = 0;
    int hold_streams_until = 0;  // 0: no gate
};

// Main thread only; SIGTERM and SIGINT must be blocked in every thread before the call.
// Returns the process exit status.
int RunSim(const SimOptions& options);

}  // namespace DialogflowSim
