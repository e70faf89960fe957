// dialogflow-sim: a local Dialogflow-compatible StreamingDetectIntent service.
// Usage and the agent-file format: README.md next to this folder.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim_server.h"

namespace {

const char kUsage[] =
    "usage: dialogflow-sim [options]\n"
    "  --listen HOST:PORT              address to serve (default 127.0.0.1:0, a free port)\n"
    "  --cert FILE --key FILE          TLS certificate chain and private key (PEM)\n"
    "  --insecure                      plaintext instead of TLS\n"
    "  --credentials FILE              service-account JSON whose key may sign the JWTs\n"
    "                                  (repeatable; without it any bearer token is accepted)\n"
    "  --agent FILE                    agent file (JSON); without it a built-in agent\n"
    "  --record FILE                   append one JSON line per finished stream\n"
    "  --max-audio-ms N                audio per stream before OUT_OF_RANGE (default 60000)\n"
    "  --max-streams-per-connection N  concurrent streams per connection (default 100)\n"
    "  --hold-connections MS           hold each new connection MS ms before serving it:\n"
    "                                  the client's streams on it wait to be created\n"
    "  --hold-streams-until N          read no stream until N streams are open at once\n"
    "Prints \"listening HOST:PORT\" once serving; stops on SIGTERM or SIGINT.\n";

bool ParsePositive(const char* text, int* value) {
    char* end = nullptr;
    long parsed = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || parsed <= 0 || parsed > 1000000000) {
        return false;
    }
    *value = static_cast<int>(parsed);
    return true;
}

int UsageError(const std::string& message) {
    std::fprintf(stderr, "dialogflow-sim: %s\n%s", message.c_str(), kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    DialogflowSim::SimOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "--help" || flag == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (flag == "--insecure") {
            options.insecure = true;
            continue;
        }
        if (i + 1 >= argc) {
            return UsageError(flag.rfind("--", 0) == 0 ? flag + " needs a value"
                                                       : "unknown argument " + flag);
        }
        const char* value = argv[++i];
        if (flag == "--listen") {
            options.listen = value;
        } else if (flag == "--cert") {
            options.cert_file = value;
        } else if (flag == "--key") {
            options.key_file = value;
        } else if (flag == "--credentials") {
            options.credentials_files.push_back(value);
        } else if (flag == "--agent") {
            options.agent_file = value;
        } else if (flag == "--record") {
            options.record_file = value;
        } else if (flag == "--max-audio-ms") {
            if (!ParsePositive(value, &options.max_audio_ms)) {
                return UsageError("--max-audio-ms needs a positive number");
            }
        } else if (flag == "--max-streams-per-connection") {
            if (!ParsePositive(value, &options.max_streams_per_connection)) {
                return UsageError("--max-streams-per-connection needs a positive number");
            }
        } else if (flag == "--hold-connections") {
            if (!ParsePositive(value, &options.hold_connections_ms)) {
                return UsageError("--hold-connections needs a positive number");
            }
        } else if (flag == "--hold-streams-until") {
            if (!ParsePositive(value, &options.hold_streams_until)) {
                return UsageError("--hold-streams-until needs a positive number");
            }
        } else {
            return UsageError("unknown option " + flag);
        }
    }
    if (!options.insecure && (options.cert_file.empty() || options.key_file.empty())) {
        return UsageError("TLS needs --cert and --key (or --insecure)");
    }
    if (options.listen.rfind(':') == std::string::npos) {
        return UsageError("--listen needs HOST:PORT");
    }
    // Blocked here, before gRPC starts its threads, so that only RunSim's sigwait sees them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return DialogflowSim::RunSim(options);
}
