// The record file (--record FILE): one JSON line appended per finished stream. Append()
// may be called from any thread; lines never interleave.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

namespace DialogflowSim {

class Recorder {
public:
    // An empty path records nothing.
    explicit Recorder(const std::string& path);
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    bool ok() const { return path_.empty() || file_ != nullptr; }
    bool enabled() const { return file_ != nullptr; }
    void Append(const std::string& json_line);

private:
    std::string path_;
    std::mutex mutex_;
    FILE* file_ = nullptr;  // written under mutex_
};

}  // namespace DialogflowSim
