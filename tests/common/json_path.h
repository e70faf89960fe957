// Reads members of parsed JSON (records, first requests) by a '/'-separated path.
//
// Threads: plain functions over a document the caller owns.
#pragma once

#include <rapidjson/document.h>

#include <sstream>
#include <string>

namespace ZephTest {

// The value at a path of object members; null when any member is missing.
inline const rapidjson::Value* JsonAt(const rapidjson::Value& root, const std::string& path) {
    const rapidjson::Value* value = &root;
    std::istringstream parts(path);
    std::string part;
    while (std::getline(parts, part, '/')) {
        if (!value->IsObject() || !value->HasMember(part.c_str()))
            return nullptr;
        value = &(*value)[part.c_str()];
    }
    return value;
}

// The string at a path, or a text that names the path when there is none.
inline std::string JsonString(const rapidjson::Value& root, const std::string& path) {
    const rapidjson::Value* value = JsonAt(root, path);
    return value && value->IsString() ? value->GetString() : "<no string at " + path + ">";
}

}  // namespace ZephTest
