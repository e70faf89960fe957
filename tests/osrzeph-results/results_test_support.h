// Shared by the result tests: builders of Struct values and a capture of the host log; the
// parsers that check every body are in tests/common/result_bodies.h.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include <google/protobuf/struct.pb.h>
#include <gtest/gtest.h>
#include <ostrin/apt_log.h>

#include "../common/result_bodies.h"

namespace ZephTest {

inline google::protobuf::Value StringValue(const std::string& text) {
    google::protobuf::Value value;
    value.set_string_value(text);
    return value;
}

inline google::protobuf::Value NumberValue(double number) {
    google::protobuf::Value value;
    value.set_number_value(number);
    return value;
}

inline google::protobuf::Value BoolValue(bool flag) {
    google::protobuf::Value value;
    value.set_bool_value(flag);
    return value;
}

inline google::protobuf::Value NullValue() {
    google::protobuf::Value value;
    value.set_null_value(google::protobuf::NULL_VALUE);
    return value;
}

inline google::protobuf::Value StructValue(const google::protobuf::Struct& fields) {
    google::protobuf::Value value;
    *value.mutable_struct_value() = fields;
    return value;
}

inline google::protobuf::Value ListValue(const std::vector<google::protobuf::Value>& items) {
    google::protobuf::Value value;
    value.mutable_list_value();  // a list even when empty
    for (const auto& item : items) {
        *value.mutable_list_value()->add_values() = item;
    }
    return value;
}

struct LogRecord {
    apt_log_priority_e priority;
    std::string message;
};

// Collects every record written through the host log while it exists.
class LogCapture {
public:
    LogCapture() : m_priority(apt_log_priority_get()) {
        apt_log_priority_set(APT_PRIO_DEBUG);
        apt_log_handler_set(&LogCapture::Handler, this);
    }
    ~LogCapture() {
        apt_log_handler_set(nullptr, nullptr);
        apt_log_priority_set(m_priority);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    int Count(apt_log_priority_e priority, const std::string& message) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        int count = 0;
        for (const LogRecord& record : m_records) {
            if (record.priority == priority && record.message == message) {
                ++count;
            }
        }
        return count;
    }
    int CountPrefix(apt_log_priority_e priority, const std::string& prefix) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        int count = 0;
        for (const LogRecord& record : m_records) {
            if (record.priority == priority && record.message.rfind(prefix, 0) == 0) {
                ++count;
            }
        }
        return count;
    }
    size_t Size() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_records.size();
    }

private:
    static void Handler(void* obj, const char*, int, const apt_log_source_t*,
                        apt_log_priority_e priority, const char* message) {
        auto* self = static_cast<LogCapture*>(obj);
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_records.push_back({priority, message});
    }

    const apt_log_priority_e m_priority;
    mutable std::mutex m_mutex;
    std::vector<LogRecord> m_records;
};

}  // namespace ZephTest
