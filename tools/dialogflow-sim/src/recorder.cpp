#include "recorder.h"

namespace DialogflowSim {

Recorder::Recorder(const std::string& path) : path_(path) {
    if (!path.empty()) {
        file_ = std::fopen(path.c_str(), "a");
    }
}

Recorder::~Recorder() {
    if (file_) {
        std::fclose(file_);
    }
}

void Recorder::Append(const std::string& json_line) {
    if (!file_) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    std::fwrite(json_line.data(), 1, json_line.size(), file_);
    std::fputc('\n', file_);
    // Tests read the file while the sim runs: every line is complete once written.
    std::fflush(file_);
}

}  // namespace DialogflowSim
