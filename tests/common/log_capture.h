// Collects every record written through the host log (apt_log) while it exists.
//
// Threads: records may come from any thread; the queries take the same lock.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include <ostrin/apt_log.h>

namespace ZephTest {

struct LogRecord {
    apt_log_priority_e priority;
    std::string source;
    std::string message;
};

class LogCapture {
public:
    LogCapture() { apt_log_handler_set(&LogCapture::Handler, this); }
    ~LogCapture() { apt_log_handler_set(nullptr, nullptr); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Records at `priority` whose message is exactly `message`.
    int Count(apt_log_priority_e priority, const std::string& message) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        int count = 0;
        for (const LogRecord& record : m_records) {
            if (record.priority == priority && record.message == message)
                ++count;
        }
        return count;
    }
    // Records at `priority` whose message starts with `prefix`.
    std::vector<LogRecord> Find(apt_log_priority_e priority, const std::string& prefix) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<LogRecord> found;
        for (const LogRecord& record : m_records) {
            if (record.priority == priority && record.message.rfind(prefix, 0) == 0)
                found.push_back(record);
        }
        return found;
    }
    int Warnings() const { return static_cast<int>(Find(APT_PRIO_WARNING, "").size()); }
    void Clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_records.clear();
    }

private:
    static void Handler(void* obj, const char*, int, const apt_log_source_t* source,
                        apt_log_priority_e priority, const char* message) {
        auto* self = static_cast<LogCapture*>(obj);
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_records.push_back({priority, apt_log_source_name_get(source), message});
    }

    mutable std::mutex m_mutex;
    std::vector<LogRecord> m_records;
};

}  // namespace ZephTest
