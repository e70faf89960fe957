// Starts dialogflow-sim as a child process on 127.0.0.1 (a free port) for a test and stops
// it again. Used from the test's main thread only (the sim is sent SIGTERM when the thread
// that started it ends). The sim's log goes to the test's standard error.
//
//   ZephTest::UseTestCredentials();              // before any gRPC use in the process
//   ZephTest::SimProcess sim;
//   ASSERT_TRUE(sim.Start({"--agent", path}));   // TLS, JWTs checked against the test key
//   auto channel = grpc::CreateChannel(sim.target(), grpc::GoogleDefaultCredentials());
//   ...
//   sim.Stop();                                  // or let the destructor do it
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef ZEPH_BIN_DIR
#error "ZEPH_BIN_DIR must name the build's bin directory"
#endif
#ifndef ZEPH_TEST_CREDENTIALS_DIR
#error "ZEPH_TEST_CREDENTIALS_DIR must name the build's test-credentials directory"
#endif

namespace ZephTest {

inline std::string TestCredentialsFile(const std::string& name) {
    return std::string(ZEPH_TEST_CREDENTIALS_DIR) + "/" + name;
}

// Points gRPC's Google default credentials at a test service-account file and its SSL
// roots at the test CA. gRPC reads both once per process: call before any gRPC use.
inline void UseTestCredentials(const std::string& service_account = "service-account.json") {
    setenv("GOOGLE_APPLICATION_CREDENTIALS", TestCredentialsFile(service_account).c_str(), 1);
    setenv("GRPC_DEFAULT_SSL_ROOTS_FILE_PATH", TestCredentialsFile("ca.crt").c_str(), 1);
}

class SimProcess {
public:
    SimProcess() = default;
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;
    ~SimProcess() { Stop(); }

    // Starts the sim with TLS (the test server certificate) and JWT checks against
    // service-account.json, plus extra_args (e.g. "--agent", "--record", "--insecure" —
    // with "--insecure" no certificate options are passed). Waits up to 30 s for its
    // "listening 127.0.0.1:PORT" line; false if it does not come.
    bool Start(const std::vector<std::string>& extra_args = {}) {
        std::vector<std::string> args = {std::string(ZEPH_BIN_DIR) + "/dialogflow-sim", "--listen",
                                         "127.0.0.1:0"};
        bool insecure = false;
        for (const auto& arg : extra_args) {
            insecure = insecure || arg == "--insecure";
        }
        if (!insecure) {
            args.insert(args.end(), {"--cert", TestCredentialsFile("server.crt"), "--key",
                                     TestCredentialsFile("server.key"), "--credentials",
                                     TestCredentialsFile("service-account.json")});
        }
        args.insert(args.end(), extra_args.begin(), extra_args.end());
        return StartWithArgs(args);
    }

    // Starts the sim with exactly these arguments (args[0] is the executable).
    bool StartWithArgs(const std::vector<std::string>& args) {
        Stop();
        std::vector<char*> argv;
        for (const auto& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) {
            return false;
        }
        pid_ = fork();
        if (pid_ < 0) {
            close(out[0]);
            close(out[1]);
            return false;
        }
        if (pid_ == 0) {
            // Child: only async-signal-safe calls until exec. The sim goes when the test
            // process dies, so that a crashed test leaves no server behind.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            dup2(out[1], STDOUT_FILENO);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        stdout_fd_ = out[0];
        std::string line;
        while (line.find('\n') == std::string::npos) {
            pollfd ready = {stdout_fd_, POLLIN, 0};
            char buffer[256];
            ssize_t got = 0;
            if (poll(&ready, 1, 30000) <= 0 ||
                (got = read(stdout_fd_, buffer, sizeof buffer)) <= 0) {
                Stop();
                return false;
            }
            line.append(buffer, static_cast<size_t>(got));
        }
        const std::string kPrefix = "listening 127.0.0.1:";
        if (line.compare(0, kPrefix.size(), kPrefix) != 0) {
            Stop();
            return false;
        }
        port_ = std::atoi(line.c_str() + kPrefix.size());
        // Regional listeners follow as " NAME=127.0.0.1:PORT".
        location_ports_.clear();
        line.erase(line.find('\n'));
        for (size_t at = line.find(' ', kPrefix.size()); at != std::string::npos;
             at = line.find(' ', at + 1)) {
            const size_t equals = line.find('=', at);
            const size_t colon = line.find(':', equals);
            if (equals != std::string::npos && colon != std::string::npos) {
                location_ports_[line.substr(at + 1, equals - at - 1)] =
                    std::atoi(line.c_str() + colon + 1);
            }
        }
        return port_ > 0;
    }

    // SIGTERM and wait; returns the exit status (-1 when not running or killed by a signal).
    int Stop() {
        int result = -1;
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            if (waitpid(pid_, &status, 0) == pid_ && WIFEXITED(status)) {
                result = WEXITSTATUS(status);
            }
            pid_ = -1;
            exit_status_ = result;
        }
        if (stdout_fd_ >= 0) {
            close(stdout_fd_);
            stdout_fd_ = -1;
        }
        port_ = 0;
        return result;
    }

    bool running() const { return pid_ > 0; }
    // The exit status of the last run that ended, as Stop() returned it (also after a
    // failed Start: 1 for a bad file, 2 for bad flags, -1 for a crash).
    int exit_status() const { return exit_status_; }
    pid_t pid() const { return pid_; }
    int port() const { return port_; }
    // The port of a "--location NAME=PORT" listener; 0 when there is none.
    int LocationPort(const std::string& name) const {
        auto it = location_ports_.find(name);
        return it == location_ports_.end() ? 0 : it->second;
    }
    // "localhost:PORT": the name the test server certificate is made for.
    std::string target() const { return "localhost:" + std::to_string(port_); }

    // User plus system CPU time the sim has used so far, in ms (from /proc).
    long CpuMilliseconds() const {
        std::string path = "/proc/" + std::to_string(pid_) + "/stat";
        FILE* file = std::fopen(path.c_str(), "r");
        if (!file) {
            return -1;
        }
        char text[1024] = {0};
        size_t got = std::fread(text, 1, sizeof text - 1, file);
        std::fclose(file);
        text[got] = '\0';
        // Fields after the parenthesised command name; utime and stime are fields 14, 15.
        const char* rest = std::strrchr(text, ')');
        unsigned long utime = 0, stime = 0;
        if (!rest || std::sscanf(rest + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu",
                                 &utime, &stime) != 2) {
            return -1;
        }
        return static_cast<long>((utime + stime) * 1000 / sysconf(_SC_CLK_TCK));
    }

private:
    pid_t pid_ = -1;
    int stdout_fd_ = -1;
    int port_ = 0;
    std::map<std::string, int> location_ports_;
    int exit_status_ = -1;
};

}  // namespace ZephTest
