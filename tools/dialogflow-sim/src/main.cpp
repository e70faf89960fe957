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
    "  --location NAME=PORT            also serve location NAME (e.g. europe-west1) on PORT\n"
    "                                  (0: a free one), called as NAME-dialogflow.googleapis.com;\n"
    "                                  repeatable; the main port serves location global\n"
    "  --max-audio-ms N                stream duration cap of every flavour, in ms of audio\n"
    "                                  and of time (default ES 60000, CX 120000)\n"
    "  --max-es-audio-ms N             the cap of ES v2 and v2beta1 streams\n"
    "  --max-cx-audio-ms N             the cap of CX v3beta1 streams\n"
    "  --max-streams-per-connection N  concurrent streams per connection (default 100)\n"
    "  --hold-connections MS           hold each new connection MS ms before serving it:\n"
    "                                  the client's streams on it wait to be created\n"
    "  --hold-streams-until N          read no stream until N streams are open at once\n"
    "Prints \"listening HOST:PORT\" (then \" NAME=HOST:PORT\" per location) once serving;\n"
    "stops on SIGTERM or SIGINT. The agent file and every behaviour: README.md.\n";

bool ParsePositive(const char* text, int* value) {
    char* end = nullptr;
    long parsed = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || parsed <= 0 || parsed > 1000000000) {
        return false;
    }
    *value = static_cast<int>(parsed);
    return true;
}

// "europe-west1=0": a location id (lower case letters, digits, hyphens) and a port.
bool ParseLocation(const std::string& text, std::pair<std::string, int>* location) {
    const size_t equals = text.find('=');
    if (equals == 0 || equals == std::string::npos) {
        return false;
    }
    const std::string name = text.substr(0, equals);
    for (char c : name) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) {
            return false;
        }
    }
    const std::string port = text.substr(equals + 1);
    char* end = nullptr;
    const long parsed = std::strtol(port.c_str(), &end, 10);
    if (port.empty() || *end != '\0' || parsed < 0 || parsed > 65535 || name == "global") {
        return false;
    }
    *location = {name, static_cast<int>(parsed)};
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
            if (!ParsePositive(value, &options.max_es_audio_ms)) {
                return UsageError("--max-audio-ms needs a positive number");
            }
            options.max_cx_audio_ms = options.max_es_audio_ms;
        } else if (flag == "--max-es-audio-ms") {
            if (!ParsePositive(value, &options.max_es_audio_ms)) {
                return UsageError("--max-es-audio-ms needs a positive number");
            }
        } else if (flag == "--max-cx-audio-ms") {
            if (!ParsePositive(value, &options.max_cx_audio_ms)) {
                return UsageError("--max-cx-audio-ms needs a positive number");
            }
        } else if (flag == "--location") {
            std::pair<std::string, int> location;
            if (!ParseLocation(value, &location)) {
                return UsageError(
                    "--location needs NAME=PORT (NAME a location id other than "
                    "global, PORT 0 to 65535)");
            }
            for (const auto& known : options.locations) {
                if (known.first == location.first) {
                    return UsageError("--location " + location.first + " given twice");
                }
            }
            options.locations.push_back(location);
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
