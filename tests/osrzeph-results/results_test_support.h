// Shared by the result tests: builders of Struct values and the host log's priority; the
// parsers that check every body are in tests/common/result_bodies.h.
#pragma once

#include <string>
#include <vector>

#include <google/protobuf/struct.pb.h>
#include <gtest/gtest.h>
#include <ostrin/apt_log.h>

#include "../common/log_capture.h"
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

// Lets records up to `priority` through the host log while it exists.
class LogPriority {
public:
    explicit LogPriority(apt_log_priority_e priority) : m_previous(apt_log_priority_get()) {
        apt_log_priority_set(priority);
    }
    ~LogPriority() { apt_log_priority_set(m_previous); }
    LogPriority(const LogPriority&) = delete;
    LogPriority& operator=(const LogPriority&) = delete;

private:
    const apt_log_priority_e m_previous;
};

}  // namespace ZephTest
