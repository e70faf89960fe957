// Session ids the service takes: at most 36 characters. A longer MRCP session id or
// "dialogid" is mapped to a name-based UUID of it (RFC 4122 version 5, SHA-1), which is 36
// characters long and the same for the same id, so that every turn of a call still reaches
// the same Dialogflow session.
//
// Threads: any; the functions keep no state.
#pragma once

#include <cstddef>
#include <string>

namespace Zeph {

// The longest session id the service takes, in characters.
constexpr size_t kMaxSessionIdLength = 36;

// Characters of `text` read as UTF-8 (bytes that do not start a character are not counted).
size_t CountCharacters(const std::string& text);

// `id` as it is when the service takes it; else its name-based UUID, in lower case.
std::string ServiceSessionId(const std::string& id);

}  // namespace Zeph
