// What the engine tests share: the generated test credentials, whole-file reads and writes,
// and a throw-away server root with the directories the plugin expects.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace ZephEngineTest {

const std::string kCredentialsDir = ZEPH_TEST_CREDENTIALS_DIR;

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

// A fresh directory under /tmp with conf, data, var/status and log; empty on failure.
inline std::string MakeServerRoot(const char* prefix) {
    std::string pattern = std::string("/tmp/") + prefix + "-XXXXXX";
    if (!mkdtemp(pattern.data()))
        return "";
    for (const char* dir : {"conf", "data", "var/status", "log"})
        std::filesystem::create_directories(pattern + "/" + dir);
    return pattern;
}

}  // namespace ZephEngineTest
