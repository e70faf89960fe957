// Shared by the query-parameter tests: APR and a host logger that passes every record to a
// capture, vendor-specific parameter lists, and protobuf comparison.
#pragma once

#include <apr_general.h>
#include <apr_pools.h>
#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>
#include <ostrin/apt_log.h>
#include <ostrin/apt_text_stream.h>

#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "OsrZephLog.h"
#include "OsrZephQueryParams.h"

namespace QueryTest {

namespace v2 = google::cloud::dialogflow::v2;
namespace v2beta1 = google::cloud::dialogflow::v2beta1;
namespace cx = google::cloud::dialogflow::cx::v3beta1;

const char* const kEsSession = "projects/p1/agent/sessions/d1";
const char* const kCxSession = "projects/p1/locations/global/agents/a1/sessions/d1";

struct LogLine {
    apt_log_priority_e priority;
    std::string message;
};

// APR, the plugin's log source and a host logger that writes nothing but passes DEBUG
// records to the handler; once per process.
inline void InitProcess() {
    static bool done = false;
    if (done)
        return;
    done = true;
    apr_initialize();
    apr_pool_t* pool = nullptr;
    apr_pool_create(&pool, nullptr);
    apt_log_instance_create(APT_LOG_OUTPUT_NONE, APT_PRIO_DEBUG, pool);
    apt_log_source_assign("ZEPH-PLUGIN", &ZEPH_PLUGIN);
}

// Collects the log lines of the plugin's source written while it exists.
class LogCapture {
public:
    LogCapture() { apt_log_handler_set(&LogCapture::Handle, this); }
    ~LogCapture() { apt_log_handler_set(nullptr, nullptr); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogLine> Lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
    }
    bool Contains(apt_log_priority_e priority, const std::string& message) {
        for (const LogLine& line : Lines())
            if (line.priority == priority && line.message == message)
                return true;
        return false;
    }
    // Lines that start with prefix.
    std::vector<LogLine> Starting(const std::string& prefix) {
        std::vector<LogLine> found;
        for (const LogLine& line : Lines())
            if (line.message.compare(0, prefix.size(), prefix) == 0)
                found.push_back(line);
        return found;
    }

private:
    static void Handle(void* obj, const char*, int, const apt_log_source_t* source,
                       apt_log_priority_e priority, const char* message) {
        if (source != ZEPH_PLUGIN)
            return;
        LogCapture* self = static_cast<LogCapture*>(obj);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->lines_.push_back({priority, message});
    }
    std::mutex mutex_;
    std::vector<LogLine> lines_;
};

// A vendor-specific parameter list as the host parses it: values keep their quotes; a
// pair may lack its value.
class Pairs {
public:
    Pairs() {
        InitProcess();
        apr_pool_create(&pool_, nullptr);
        arr_ = apt_pair_array_create(4, pool_);
    }
    ~Pairs() { apr_pool_destroy(pool_); }
    Pairs(const Pairs&) = delete;
    Pairs& operator=(const Pairs&) = delete;

    Pairs& Add(const std::string& name, std::optional<std::string> value) {
        apt_str_t n{const_cast<char*>(name.c_str()), name.size()};
        apt_str_t v{nullptr, 0};
        if (value)
            v = {const_cast<char*>(value->c_str()), value->size()};
        apt_pair_array_append(arr_, &n, value ? &v : nullptr, pool_);
        return *this;
    }
    const apt_pair_arr_t* Get() const { return arr_; }

private:
    apr_pool_t* pool_ = nullptr;
    apt_pair_arr_t* arr_ = nullptr;
};

inline ::testing::AssertionResult SameMessage(const google::protobuf::Message& expected,
                                              const google::protobuf::Message& actual) {
    std::string report;
    google::protobuf::util::MessageDifferencer differencer;
    differencer.ReportDifferencesToString(&report);
    if (differencer.Compare(expected, actual))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << report;
}

}  // namespace QueryTest
