#include "OsrZephSessionId.h"

#include <apr_sha1.h>

#include <cstdio>

namespace Zeph {

namespace {

// The name space of Zeph's session ids (a random UUID, fixed once): the same id gives the
// same UUID in every installation.
const unsigned char kNameSpace[16] = {0x07, 0xd6, 0xde, 0x76, 0x82, 0xb6, 0x40, 0x19,
                                      0x90, 0xc2, 0xe1, 0x9d, 0x95, 0x7d, 0x8d, 0x5c};

}  // namespace

size_t CountCharacters(const std::string& text) {
    size_t count = 0;
    for (char c : text) {
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80)
            ++count;
    }
    return count;
}

std::string ServiceSessionId(const std::string& id) {
    if (CountCharacters(id) <= kMaxSessionIdLength)
        return id;
    apr_sha1_ctx_t context;
    apr_sha1_init(&context);
    apr_sha1_update(&context, reinterpret_cast<const char*>(kNameSpace), sizeof(kNameSpace));
    apr_sha1_update(&context, id.data(), static_cast<unsigned int>(id.size()));
    unsigned char digest[APR_SHA1_DIGESTSIZE];
    apr_sha1_final(digest, &context);
    digest[6] = static_cast<unsigned char>((digest[6] & 0x0F) | 0x50);  // version 5
    digest[8] = static_cast<unsigned char>((digest[8] & 0x3F) | 0x80);  // RFC 4122 variant
    char text[kMaxSessionIdLength + 1];
    std::snprintf(text, sizeof(text),
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", digest[0],
                  digest[1], digest[2], digest[3], digest[4], digest[5], digest[6], digest[7],
                  digest[8], digest[9], digest[10], digest[11], digest[12], digest[13], digest[14],
                  digest[15]);
    return text;
}

}  // namespace Zeph
