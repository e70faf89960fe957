// The host's MRCP wire parser, MRCPv1 and MRCPv2 (the start line decides). Invariants: a
// buffer that parses as one message also parses as a stream of exactly that size; a stream
// parse consumes at least one byte and never more than it was given; and a parsed message
// is either refused by the generator as unsafe header text or generated, parsed again and
// generated again to the same bytes.
#include <cstring>
#include <string>

#include <ostrin/mrcp_wire.h>

#include "fuzz_support.h"

namespace {

std::string Text(const apt_str_t& text) {
    return std::string(text.buf, text.length);
}

// Generate, parse, generate: the two texts are equal.
void CheckRoundTrip(mrcp_message_t* message, apr_pool_t* pool) {
    apt_str_t first{};
    mrcp_wire_error_t error;
    const mrcp_wire_status_e generated = mrcp_message_generate(message, pool, &first, &error);
    if (generated == MRCP_WIRE_BAD_HEADER_TEXT)
        return;
    FUZZ_CHECK(generated == MRCP_WIRE_OK, error.text);
    mrcp_message_t* again = nullptr;
    const mrcp_wire_status_e reparsed =
        mrcp_message_parse(first.buf, first.length, pool, &again, nullptr, &error);
    FUZZ_CHECK(reparsed == MRCP_WIRE_OK, std::string(error.text) + "\n" + Text(first));
    apt_str_t second{};
    FUZZ_CHECK(mrcp_message_generate(again, pool, &second, &error) == MRCP_WIRE_OK, error.text);
    FUZZ_CHECK(Text(first) == Text(second), Text(first) + "\n----\n" + Text(second));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ZephFuzz::InitProcess();
    ZephFuzz::Pool pool;
    const char* buf = reinterpret_cast<const char*>(data);

    mrcp_message_t* whole = nullptr;
    mrcp_wire_error_t error;
    const mrcp_wire_status_e wholeStatus =
        mrcp_message_parse(buf, size, pool, &whole, nullptr, &error);
    FUZZ_CHECK(wholeStatus != MRCP_WIRE_INCOMPLETE, "whole-buffer parse asked for more bytes");
    FUZZ_CHECK(wholeStatus == MRCP_WIRE_OK || std::strlen(error.text) > 0, "error without text");

    // The same bytes as a stream of messages.
    apr_size_t offset = 0;
    while (offset < size) {
        mrcp_message_t* message = nullptr;
        apr_size_t consumed = 0;
        const mrcp_wire_status_e status =
            mrcp_message_parse(buf + offset, size - offset, pool, &message, &consumed, nullptr);
        if (status != MRCP_WIRE_OK) {
            FUZZ_CHECK(offset > 0 || wholeStatus != MRCP_WIRE_OK,
                       "parses whole but not as a stream");
            break;
        }
        FUZZ_CHECK(consumed > 0 && consumed <= size - offset,
                   "consumed " + std::to_string(consumed));
        FUZZ_CHECK(offset > 0 || wholeStatus != MRCP_WIRE_OK || consumed == size,
                   "whole parse and stream parse disagree on the size");
        CheckRoundTrip(message, pool);
        offset += consumed;
    }
    if (wholeStatus == MRCP_WIRE_OK)
        CheckRoundTrip(whole, pool);
    return 0;
}
