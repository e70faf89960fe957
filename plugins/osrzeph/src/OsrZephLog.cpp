#include "OsrZephLog.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

apt_log_source_t* ZEPH_PLUGIN = nullptr;

namespace Zeph {

std::string EscapeLogText(const char* text, size_t length) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != 0x7f) {
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0xf];
        }
    }
    return out;
}

apt_bool_t ZephLog(apt_log_source_t* source, const char* file, int line,
                   apt_log_priority_e priority, const char* format, ...) {
    // Formatting costs: records the host would drop are not formatted (DEBUG lines of the
    // audio path, for one).
    if (!format || priority > apt_log_priority_get())
        return FALSE;
    char stackBuffer[512];
    va_list args;
    va_start(args, format);
    const int length = vsnprintf(stackBuffer, sizeof(stackBuffer), format, args);
    va_end(args);
    if (length < 0)
        return FALSE;
    std::string message;
    if (static_cast<size_t>(length) < sizeof(stackBuffer)) {
        message = EscapeLogText(stackBuffer, static_cast<size_t>(length));
    } else {
        std::vector<char> buffer(static_cast<size_t>(length) + 1);
        va_start(args, format);
        vsnprintf(buffer.data(), buffer.size(), format, args);
        va_end(args);
        message = EscapeLogText(buffer.data(), static_cast<size_t>(length));
    }
    return (apt_log)(source, file, line, priority, "%s", message.c_str());
}

}  // namespace Zeph
