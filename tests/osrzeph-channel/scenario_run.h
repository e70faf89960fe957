// Runs `ostrin run --strict` on a scenario against the plugin with a configuration of the
// test's own, and hands back what the plugin sent (times left out) and the host log.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace ZephChannelTest {

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::trunc);
    out << text;
}

// Message lengths depend on the header values; the host checks them itself.
inline std::string DropLengths(std::string text) {
    size_t at = 0;
    while ((at = text.find("MRCP/2.0 ", at)) != std::string::npos) {
        at += 9;
        size_t end = text.find(' ', at);
        if (end == std::string::npos)
            break;
        text.replace(at, end - at, "LENGTH");
    }
    return text;
}

// How often `what` stands in `text`.
inline size_t Count(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

// "### A +123" lines become "### A": times are not part of the expected output.
inline std::string DropTimes(const std::string& output) {
    std::istringstream in(output);
    std::string line;
    std::string result;
    while (std::getline(in, line)) {
        if (line.compare(0, 4, "### ") == 0) {
            size_t plus = line.find(" +");
            if (plus != std::string::npos)
                line.erase(plus);
        }
        result += line + "\n";
    }
    return result;
}

struct RunResult {
    int status = -1;
    std::string messages;  // stdout, times dropped
    std::string log;       // stderr: the host log and errors
};

// A server root under /tmp with conf, data, var/status and log, removed at the end.
class ServerRoot {
public:
    ServerRoot() {
        std::string pattern = "/tmp/zeph-channel-XXXXXX";
        if (mkdtemp(pattern.data())) {
            m_path = pattern;
            for (const char* dir : {"conf", "data", "var/status", "log"})
                std::filesystem::create_directories(m_path + "/" + dir);
        }
    }
    ~ServerRoot() {
        if (!m_path.empty())
            std::filesystem::remove_all(m_path);
    }
    ServerRoot(const ServerRoot&) = delete;
    ServerRoot& operator=(const ServerRoot&) = delete;

    const std::string& Path() const { return m_path; }

    // "osrzeph.xml" with the test credentials, `service` as the service and the given
    // streaming attributes and further elements.
    void WriteConfig(const std::string& service, const std::string& streamingAttributes = "",
                     const std::string& elements = "") const {
        WriteFile(m_path + "/conf/osrzeph.xml",
                  "<?xml version=\"1.0\"?>\n<osrzeph gapp-credentials-file=\"" +
                      std::string(ZEPH_TEST_CREDENTIALS_DIR) +
                      "/service-account.json\" ssl-roots-file=\"" +
                      std::string(ZEPH_TEST_CREDENTIALS_DIR) +
                      "/ca.crt\">\n<streaming-recognition service-uri=\"" + service + "\" " +
                      streamingAttributes + "/>\n" + elements + "\n</osrzeph>\n");
    }

    RunResult Run(const std::string& scenario, const std::string& options = "") const {
        WriteFile(m_path + "/test.scenario", scenario);
        std::string stderrPath = m_path + "/stderr.txt";
        // The leak check is left to the tests that link the plugin's components: at the exit
        // of a process that dlopen()ed the plugin and so gRPC, LeakSanitizer's scan of
        // thread-local storage crashes now and then. Every other sanitizer check stays on.
        std::string command = std::string("ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" ") +
                              ZEPH_BIN_DIR + "/ostrin run " + m_path + "/test.scenario --plugin " +
                              ZEPH_LIB_DIR + "/osrzeph.so --root " + m_path +
                              " --strict --log-level DEBUG " + options + " 2>" + stderrPath;
        RunResult result;
        FILE* pipe = popen(command.c_str(), "r");
        if (!pipe)
            return result;
        std::string output;
        char buffer[4096];
        size_t count;
        while ((count = fread(buffer, 1, sizeof(buffer), pipe)) > 0)
            output.append(buffer, count);
        int status = pclose(pipe);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result.messages = DropTimes(output);
        result.log = ReadFile(stderrPath);
        return result;
    }

private:
    std::string m_path;
};

}  // namespace ZephChannelTest
