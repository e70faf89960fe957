// MRCP wire format: round trips, typed values from the wire, and a table of malformed input.
#include <ostrin/mrcp_wire.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "ostrin_test_pool.h"

namespace {

std::string Str(const apt_str_t& s) {
    return s.buf ? std::string(s.buf, s.length) : std::string();
}

// Prefixes an MRCPv2 message body-less template with its real message-length. "%L" marks
// where the length goes.
std::string WithLength(const std::string& tmpl) {
    size_t at = tmpl.find("%L");
    for (size_t digits = 1; digits < 10; digits++) {
        size_t total = tmpl.size() - 2 + digits;
        std::string len = std::to_string(total);
        if (len.size() == digits) {
            return tmpl.substr(0, at) + len + tmpl.substr(at + 2);
        }
    }
    return tmpl;
}

class WireTest : public PoolTest {
protected:
    mrcp_message_t* Parse(const std::string& text, mrcp_wire_status_e expected = MRCP_WIRE_OK) {
        mrcp_message_t* message = nullptr;
        mrcp_wire_error_t error;
        EXPECT_EQ(mrcp_message_parse(text.data(), text.size(), pool_, &message, nullptr, &error),
                  expected)
            << error.text << "\n"
            << text;
        return message;
    }
    std::string Generate(mrcp_message_t* message) {
        apt_str_t text;
        mrcp_wire_error_t error;
        EXPECT_EQ(mrcp_message_generate(message, pool_, &text, &error), MRCP_WIRE_OK) << error.text;
        return Str(text);
    }
    void ExpectRoundTrip(const std::string& text) {
        mrcp_message_t* message = Parse(text);
        ASSERT_NE(message, nullptr);
        EXPECT_EQ(Generate(message), text);
    }
};

const char* const kRecognizeV2 =
    "MRCP/2.0 %L RECOGNIZE 543257\r\n"
    "Channel-Identifier: 32AECB23433801@speechrecog\r\n"
    "Confidence-Threshold: 0.9\r\n"
    "Sensitivity-Level: 0.75\r\n"
    "N-Best-List-Length: 3\r\n"
    "No-Input-Timeout: 5000\r\n"
    "Start-Input-Timers: false\r\n"
    "DTMF-Term-Char: #\r\n"
    "Vendor-Specific-Parameters: projectid=\"abc;def\";dialogid=42;flag\r\n"
    "X-Custom-Header:  kept as text\r\n"
    "Speech-Language: en-US\r\n"
    "Content-Type: text/uri-list\r\n"
    "Content-Length: 23\r\n"
    "\r\n"
    "builtin:speech/transcri";

TEST_F(WireTest, RequestV2TypedValuesAndCanonicalRoundTrip) {
    mrcp_message_t* m = Parse(WithLength(kRecognizeV2));
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->start_line.version, MRCP_VERSION_2);
    EXPECT_EQ(m->start_line.message_type, MRCP_MESSAGE_TYPE_REQUEST);
    EXPECT_EQ(m->start_line.method_id, (mrcp_method_id)RECOGNIZER_RECOGNIZE);
    EXPECT_EQ(m->start_line.request_id, 543257u);
    EXPECT_EQ(Str(m->channel_id.session_id), "32AECB23433801");
    const mrcp_recog_header_t* h = mrcp_resource_header_get(m);
    EXPECT_FLOAT_EQ(h->confidence_threshold, 0.9f);
    EXPECT_FLOAT_EQ(h->sensitivity_level, 0.75f);
    EXPECT_EQ(h->n_best_list_length, 3u);
    EXPECT_EQ(h->no_input_timeout, 5000u);
    EXPECT_FALSE(h->start_input_timers);
    EXPECT_TRUE(mrcp_resource_header_property_check(m, RECOGNIZER_HEADER_START_INPUT_TIMERS));
    EXPECT_EQ(h->dtmf_term_char, '#');
    EXPECT_EQ(Str(h->speech_language), "en-US");
    EXPECT_FALSE(mrcp_resource_header_property_check(m, RECOGNIZER_HEADER_RECOGNITION_TIMEOUT));

    const apt_pair_arr_t* vsp = mrcp_generic_header_get(m)->vendor_specific_params;
    ASSERT_EQ(apt_pair_array_size_get(vsp), 3u);
    EXPECT_EQ(Str(apt_pair_array_get(vsp, 0)->value), "\"abc;def\"");  // quotes kept, ';' inside
    EXPECT_EQ(Str(apt_pair_array_get(vsp, 1)->name), "dialogid");
    EXPECT_EQ(apt_pair_array_get(vsp, 2)->value.buf, nullptr);  // a name without a value

    const apt_str_t* custom = mrcp_message_unknown_header_get(m, "x-custom-header");
    ASSERT_NE(custom, nullptr);
    EXPECT_EQ(Str(*custom), "kept as text");
    EXPECT_EQ(Str(m->body), "builtin:speech/transcri");

    // Canonical form: single space after the colon, header order kept.
    std::string canonical = kRecognizeV2;
    const std::string padded = "X-Custom-Header:  kept";
    canonical.replace(canonical.find(padded), padded.size(), "X-Custom-Header: kept");
    canonical = WithLength(canonical);
    EXPECT_EQ(Generate(m), canonical);
    ExpectRoundTrip(canonical);
}

// Header names compare without case: each name respelled, alone or all at once, parses to
// the same message, which is written back in the canonical spelling.
TEST_F(WireTest, HeaderNamesInAnyCapitalisationParseToTheSameMessage) {
    mrcp_message_t* reference = Parse(WithLength(kRecognizeV2));
    ASSERT_NE(reference, nullptr);
    const std::string canonical = Generate(reference);
    const std::vector<std::pair<std::string, std::string>> spellings = {
        {"Channel-Identifier:", "channel-identifier:"},
        {"No-Input-Timeout:", "NO-INPUT-TIMEOUT:"},
        {"Content-Length:", "content-length:"},
        {"Confidence-Threshold:", "cONFIDENCE-tHRESHOLD:"},
        {"Start-Input-Timers:", "start-input-timers:"},
        {"Vendor-Specific-Parameters:", "VENDOR-specific-PARAMETERS:"},
        {"Content-Type:", "CONTENT-TYPE:"},
    };
    auto respell = [](std::string text, const std::pair<std::string, std::string>& spelling) {
        size_t at = text.find(spelling.first);
        EXPECT_NE(at, std::string::npos) << spelling.first;
        return at == std::string::npos ? text
                                       : text.replace(at, spelling.first.size(), spelling.second);
    };
    std::vector<std::string> variants;
    std::string all = kRecognizeV2;
    for (const auto& spelling : spellings) {
        variants.push_back(respell(kRecognizeV2, spelling));
        all = respell(all, spelling);
    }
    variants.push_back(all);
    for (const std::string& variant : variants) {
        mrcp_message_t* m = Parse(WithLength(variant));
        ASSERT_NE(m, nullptr) << variant;
        EXPECT_EQ(Str(m->channel_id.session_id), "32AECB23433801") << variant;
        const mrcp_recog_header_t* h = mrcp_resource_header_get(m);
        EXPECT_EQ(h->no_input_timeout, 5000u) << variant;
        EXPECT_FLOAT_EQ(h->confidence_threshold, 0.9f) << variant;
        EXPECT_FALSE(h->start_input_timers) << variant;
        EXPECT_TRUE(mrcp_resource_header_property_check(m, RECOGNIZER_HEADER_START_INPUT_TIMERS))
            << variant;
        EXPECT_EQ(apt_pair_array_size_get(mrcp_generic_header_get(m)->vendor_specific_params), 3u)
            << variant;
        EXPECT_EQ(Str(m->body), "builtin:speech/transcri") << variant;
        EXPECT_EQ(Generate(m), canonical) << variant;
    }
}

TEST_F(WireTest, CanonicalMessagesRoundTripByteForByte) {
    const std::vector<std::string> messages = {
        WithLength("MRCP/2.0 %L 543257 200 IN-PROGRESS\r\n"
                   "Channel-Identifier: 32AECB23433801@speechrecog\r\n"
                   "\r\n"),
        WithLength("MRCP/2.0 %L 7 407 COMPLETE\r\n"
                   "Channel-Identifier: a@speechrecog\r\n"
                   "Completion-Cause: 006 recognizer-error\r\n"
                   "Active-Request-Id-List: 1,2,4294967295\r\n"
                   "\r\n"),
        WithLength("MRCP/2.0 %L START-OF-INPUT 12 IN-PROGRESS\r\n"
                   "Channel-Identifier: a@speechrecog\r\n"
                   "Input-Type: dtmf\r\n"
                   "\r\n"),
        WithLength("MRCP/2.0 %L RECOGNITION-COMPLETE 12 COMPLETE\r\n"
                   "Channel-Identifier: a@speechrecog\r\n"
                   "Completion-Cause: 000 success\r\n"
                   "Waveform-URI: <http://x/y.wav>;size=32000;duration=1000\r\n"
                   "Content-Type: application/x-nlsml\r\n"
                   "Content-Length: 9\r\n"
                   "\r\n"
                   "<result/>"),
        WithLength("MRCP/2.0 %L SET-PARAMS 1\r\n"
                   "Channel-Identifier: a@speechrecog\r\n"
                   "Speed-Vs-Accuracy: 1.0\r\n"
                   "Recognition-Mode: hotword\r\n"
                   "Hotword-Max-Duration: 10000\r\n"
                   "Clear-DTMF-Buffer: true\r\n"
                   "Early-No-Match: true\r\n"
                   "Fetch-Timeout: 0\r\n"
                   "Logging-Tag: call-1\r\n"
                   "\r\n"),
        // GET-PARAMS names the headers it asks for, without values.
        WithLength("MRCP/2.0 %L GET-PARAMS 2\r\n"
                   "Channel-Identifier: a@speechrecog\r\n"
                   "No-Input-Timeout: \r\n"
                   "Vendor-Specific-Parameters: \r\n"
                   "Speech-Language: en-GB\r\n"
                   "\r\n"),
        "RECOGNIZE 3 MRCP/1.0\r\n"
        "Confidence-Threshold: 90\r\n"
        "Recognizer-Start-Timers: true\r\n"
        "Content-Length: 4\r\n"
        "\r\n"
        "body",
        "MRCP/1.0 3 200 IN-PROGRESS\r\n\r\n",
        "START-OF-SPEECH 3 IN-PROGRESS MRCP/1.0\r\n\r\n",
        "RECOGNITION-COMPLETE 3 COMPLETE MRCP/1.0\r\n"
        "Completion-Cause: 003 recognition-timeout\r\n"
        "Waveform-URL: http://x/y.wav\r\n"
        "\r\n",
    };
    for (const std::string& text : messages) {
        SCOPED_TRACE(text);
        ExpectRoundTrip(text);
    }
}

// GET-PARAMS asks with empty values (an empty line of vendor parameters adds nothing to a
// later one); any other request with an empty typed value is refused.
TEST_F(WireTest, GetParamsNamesHeadersWithoutValues) {
    mrcp_message_t* m =
        Parse(WithLength("MRCP/2.0 %L GET-PARAMS 2\r\nChannel-Identifier: a@speechrecog\r\n"
                         "No-Input-Timeout:\r\nVendor-Specific-Parameters:\r\n"
                         "Vendor-Specific-Parameters: com.x.a\r\n\r\n"));
    ASSERT_NE(m, nullptr);
    EXPECT_TRUE(mrcp_resource_header_property_check(m, RECOGNIZER_HEADER_NO_INPUT_TIMEOUT));
    const apt_pair_arr_t* names = mrcp_generic_header_get(m)->vendor_specific_params;
    ASSERT_EQ(apt_pair_array_size_get(names), 1u);
    EXPECT_EQ(Str(apt_pair_array_get(names, 0)->name), "com.x.a");
    EXPECT_EQ(Parse(WithLength("MRCP/2.0 %L RECOGNIZE 2\r\nChannel-Identifier: a@speechrecog\r\n"
                               "No-Input-Timeout:\r\n\r\n"),
                    MRCP_WIRE_BAD_HEADER_VALUE),
              nullptr);
}

TEST_F(WireTest, VersionOneSpellingsAndLevels) {
    mrcp_message_t* m = Parse(
        "RECOGNITION-START-TIMERS 9 MRCP/1.0\r\n"
        "Sensitivity-Level: 50\r\n"
        "Waveform-URL: http://x\r\n"
        "\r\n");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->start_line.method_id, (mrcp_method_id)RECOGNIZER_START_INPUT_TIMERS);
    EXPECT_FLOAT_EQ(m->resource_header.sensitivity_level, 0.5f);
    EXPECT_TRUE(mrcp_resource_header_property_check(m, RECOGNIZER_HEADER_WAVEFORM_URI));
    // The MRCPv2 names of these are not MRCPv1 headers: kept as text.
    m = Parse("RECOGNIZE 9 MRCP/1.0\r\nWaveform-URI: x\r\n\r\n");
    ASSERT_NE(m, nullptr);
    EXPECT_FALSE(mrcp_resource_header_property_check(m, RECOGNIZER_HEADER_WAVEFORM_URI));
    EXPECT_NE(mrcp_message_unknown_header_get(m, "Waveform-URI"), nullptr);
}

TEST_F(WireTest, VendorParametersOverSeveralLinesAreJoinedInOrder) {
    mrcp_message_t* m =
        Parse(WithLength("MRCP/2.0 %L RECOGNIZE 1\r\nChannel-Identifier: a@speechrecog\r\n"
                         "Vendor-Specific-Parameters: a=1;b=2\r\n"
                         "Logging-Tag: t\r\n"
                         "Vendor-Specific-Parameters: c=3\r\n\r\n"));
    ASSERT_NE(m, nullptr);
    const apt_pair_arr_t* vsp = m->generic_header.vendor_specific_params;
    ASSERT_EQ(apt_pair_array_size_get(vsp), 3u);
    EXPECT_EQ(Str(apt_pair_array_get(vsp, 2)->name), "c");
    EXPECT_EQ(Generate(m), WithLength("MRCP/2.0 %L RECOGNIZE 1\r\n"
                                      "Channel-Identifier: a@speechrecog\r\n"
                                      "Vendor-Specific-Parameters: a=1;b=2;c=3\r\n"
                                      "Logging-Tag: t\r\n\r\n"));
}

TEST_F(WireTest, GeneratedResponseAndEventOfARequest) {
    mrcp_message_t* request =
        Parse(WithLength("MRCP/2.0 %L RECOGNIZE 77\r\nChannel-Identifier: s1@speechrecog\r\n\r\n"));
    ASSERT_NE(request, nullptr);
    mrcp_message_t* event = mrcp_event_create(request, RECOGNIZER_RECOGNITION_COMPLETE, pool_);
    ASSERT_NE(event, nullptr);
    event->start_line.request_state = MRCP_REQUEST_STATE_COMPLETE;
    event->resource_header.completion_cause = RECOGNIZER_COMPLETION_CAUSE_NO_MATCH;
    mrcp_resource_header_property_add(event, RECOGNIZER_HEADER_COMPLETION_CAUSE);
    apt_string_set(&event->generic_header.content_type, "application/json");
    mrcp_generic_header_property_add(event, GENERIC_HEADER_CONTENT_TYPE);
    mrcp_message_body_set(event, "{}", 2);
    std::string text = Generate(event);
    EXPECT_EQ(text, WithLength("MRCP/2.0 %L RECOGNITION-COMPLETE 77 COMPLETE\r\n"
                               "Channel-Identifier: s1@speechrecog\r\n"
                               "Completion-Cause: 001 no-match\r\n"
                               "Content-Type: application/json\r\n"
                               "Content-Length: 2\r\n"
                               "\r\n"
                               "{}"));
    EXPECT_EQ(event->start_line.length, text.size());
    ExpectRoundTrip(text);

    // An undecided completion cause cannot be written.
    event->resource_header.completion_cause = RECOGNIZER_COMPLETION_CAUSE_UNKNOWN;
    apt_str_t out;
    EXPECT_EQ(mrcp_message_generate(event, pool_, &out, nullptr), MRCP_WIRE_BAD_HEADER_VALUE);
}

TEST_F(WireTest, MessageLengthGrowsWithItsOwnDigits) {
    // Bodies that push the total across 99 -> 100 and 999 -> 1000 bytes.
    for (size_t body_size = 0; body_size < 1100; body_size++) {
        mrcp_message_t* m = mrcp_request_create(MRCP_VERSION_2, RECOGNIZER_DEFINE_GRAMMAR, pool_);
        apt_string_set(&m->channel_id.session_id, "s");
        std::string body(body_size, 'x');
        mrcp_message_body_set(m, body.data(), body.size());
        apt_str_t text;
        ASSERT_EQ(mrcp_message_generate(m, pool_, &text, nullptr), MRCP_WIRE_OK);
        ASSERT_EQ(m->start_line.length, text.length);
        mrcp_message_t* parsed = nullptr;
        ASSERT_EQ(mrcp_message_parse(text.buf, text.length, pool_, &parsed, nullptr, nullptr),
                  MRCP_WIRE_OK)
            << body_size;
        ASSERT_EQ(parsed->body.length, body_size);
    }
}

TEST_F(WireTest, StreamParsingSplitsConcatenatedMessages) {
    std::string first =
        WithLength("MRCP/2.0 %L STOP 1\r\nChannel-Identifier: a@speechrecog\r\n\r\n");
    std::string second = WithLength(
        "MRCP/2.0 %L DEFINE-GRAMMAR 2\r\nChannel-Identifier: a@speechrecog\r\n"
        "Content-Length: 3\r\n\r\nabc");
    std::string both = first + second;
    mrcp_message_t* m = nullptr;
    apr_size_t consumed = 0;
    ASSERT_EQ(mrcp_message_parse(both.data(), both.size(), pool_, &m, &consumed, nullptr),
              MRCP_WIRE_OK);
    EXPECT_EQ(consumed, first.size());
    ASSERT_EQ(mrcp_message_parse(both.data() + consumed, both.size() - consumed, pool_, &m,
                                 &consumed, nullptr),
              MRCP_WIRE_OK);
    EXPECT_EQ(Str(m->body), "abc");
    // Every proper prefix is incomplete in stream mode.
    for (size_t n = 0; n < second.size(); n++) {
        EXPECT_EQ(mrcp_message_parse(second.data(), n, pool_, &m, &consumed, nullptr),
                  MRCP_WIRE_INCOMPLETE)
            << n;
    }
    std::string v1 = "DEFINE-GRAMMAR 2 MRCP/1.0\r\nContent-Length: 3\r\n\r\nabcRECOGNIZE";
    ASSERT_EQ(mrcp_message_parse(v1.data(), v1.size(), pool_, &m, &consumed, nullptr),
              MRCP_WIRE_OK);
    EXPECT_EQ(consumed, v1.size() - strlen("RECOGNIZE"));
}

struct BadInput {
    const char* name;
    std::string text;
    mrcp_wire_status_e status;
};

TEST_F(WireTest, MalformedInputIsRejectedWithAReason) {
    const std::string ch = "Channel-Identifier: a@speechrecog\r\n";
    const std::vector<BadInput> cases = {
        {"empty", "", MRCP_WIRE_BAD_START_LINE},
        {"no line end", "MRCP/2.0 30 STOP 1", MRCP_WIRE_BAD_START_LINE},
        {"garbage", "HELLO\r\n\r\n", MRCP_WIRE_BAD_START_LINE},
        {"bad version", WithLength("MRCP/3.0 %L STOP 1\r\n" + ch + "\r\n"),
         MRCP_WIRE_BAD_START_LINE},
        {"double space", WithLength("MRCP/2.0 %L  STOP 1\r\n" + ch + "\r\n"),
         MRCP_WIRE_BAD_START_LINE},
        {"length not a number", "MRCP/2.0 x STOP 1\r\n" + ch + "\r\n", MRCP_WIRE_BAD_START_LINE},
        {"request id too long", WithLength("MRCP/2.0 %L STOP 12345678901\r\n" + ch + "\r\n"),
         MRCP_WIRE_BAD_START_LINE},
        {"request id too big", WithLength("MRCP/2.0 %L STOP 4294967296\r\n" + ch + "\r\n"),
         MRCP_WIRE_BAD_START_LINE},
        {"unknown method", WithLength("MRCP/2.0 %L SPEAK 1\r\n" + ch + "\r\n"),
         MRCP_WIRE_UNKNOWN_METHOD},
        {"unknown event", WithLength("MRCP/2.0 %L SPEAK-COMPLETE 1 COMPLETE\r\n" + ch + "\r\n"),
         MRCP_WIRE_UNKNOWN_METHOD},
        {"v2 method in v1", "INTERPRET 1 MRCP/1.0\r\n\r\n", MRCP_WIRE_UNKNOWN_METHOD},
        {"bad state", WithLength("MRCP/2.0 %L 1 200 DONE\r\n" + ch + "\r\n"),
         MRCP_WIRE_BAD_START_LINE},
        {"bad status", WithLength("MRCP/2.0 %L 1 20 COMPLETE\r\n" + ch + "\r\n"),
         MRCP_WIRE_BAD_START_LINE},
        {"too many tokens", WithLength("MRCP/2.0 %L 1 200 COMPLETE X\r\n" + ch + "\r\n"),
         MRCP_WIRE_BAD_START_LINE},
        {"length short", "MRCP/2.0 20 STOP 1\r\n" + ch + "\r\n", MRCP_WIRE_LENGTH_MISMATCH},
        {"length long", "MRCP/2.0 999 STOP 1\r\n" + ch + "\r\n", MRCP_WIRE_LENGTH_MISMATCH},
        {"length huge", "MRCP/2.0 9999999999 STOP 1\r\n" + ch + "\r\n", MRCP_WIRE_TOO_LARGE},
        {"no channel id", WithLength("MRCP/2.0 %L STOP 1\r\n\r\n"), MRCP_WIRE_MISSING_CHANNEL_ID},
        {"bad channel id", WithLength("MRCP/2.0 %L STOP 1\r\nChannel-Identifier: abc\r\n\r\n"),
         MRCP_WIRE_BAD_HEADER},
        {"other resource",
         WithLength("MRCP/2.0 %L STOP 1\r\nChannel-Identifier: a@speechsynth\r\n\r\n"),
         MRCP_WIRE_BAD_HEADER},
        {"two channel ids", WithLength("MRCP/2.0 %L STOP 1\r\n" + ch + ch + "\r\n"),
         MRCP_WIRE_BAD_HEADER},
        {"no colon", WithLength("MRCP/2.0 %L STOP 1\r\n" + ch + "Logging-Tag x\r\n\r\n"),
         MRCP_WIRE_BAD_HEADER},
        {"empty name", WithLength("MRCP/2.0 %L STOP 1\r\n" + ch + ": x\r\n\r\n"),
         MRCP_WIRE_BAD_HEADER},
        {"folded line", WithLength("MRCP/2.0 %L STOP 1\r\n" + ch + " x: y\r\n\r\n"),
         MRCP_WIRE_BAD_HEADER},
        {"duplicate header",
         WithLength("MRCP/2.0 %L STOP 1\r\n" + ch + "Logging-Tag: a\r\nLogging-Tag: b\r\n\r\n"),
         MRCP_WIRE_BAD_HEADER},
        {"timeout not a number",
         WithLength("MRCP/2.0 %L STOP 1\r\n" + ch + "No-Input-Timeout: abc\r\n\r\n"),
         MRCP_WIRE_BAD_HEADER_VALUE},
        {"timeout negative",
         WithLength("MRCP/2.0 %L STOP 1\r\n" + ch + "No-Input-Timeout: -1\r\n\r\n"),
         MRCP_WIRE_BAD_HEADER_VALUE},
        {"timeout 20 digits",
         WithLength("MRCP/2.0 %L STOP 1\r\n" + ch +
                    "No-Input-Timeout: 12345678901234567890\r\n\r\n"),
         MRCP_WIRE_BAD_HEADER_VALUE},
        {"level above one",
         WithLength("MRCP/2.0 %L STOP 1\r\n" + ch + "Confidence-Threshold: 1.5\r\n\r\n"),
         MRCP_WIRE_BAD_HEADER_VALUE},
        {"level two dots",
         WithLength("MRCP/2.0 %L STOP 1\r\n" + ch + "Confidence-Threshold: 0.5.1\r\n\r\n"),
         MRCP_WIRE_BAD_HEADER_VALUE},
        {"level only dot",
         WithLength("MRCP/2.0 %L STOP 1\r\n" + ch + "Sensitivity-Level: .\r\n\r\n"),
         MRCP_WIRE_BAD_HEADER_VALUE},
        {"v1 level over 100", "RECOGNIZE 1 MRCP/1.0\r\nConfidence-Threshold: 101\r\n\r\n",
         MRCP_WIRE_BAD_HEADER_VALUE},
        {"bad bool", WithLength("MRCP/2.0 %L STOP 1\r\n" + ch + "Save-Waveform: yes\r\n\r\n"),
         MRCP_WIRE_BAD_HEADER_VALUE},
        {"two term chars", WithLength("MRCP/2.0 %L STOP 1\r\n" + ch + "DTMF-Term-Char: ##\r\n\r\n"),
         MRCP_WIRE_BAD_HEADER_VALUE},
        {"empty term char", WithLength("MRCP/2.0 %L STOP 1\r\n" + ch + "DTMF-Term-Char:\r\n\r\n"),
         MRCP_WIRE_BAD_HEADER_VALUE},
        {"cause beyond table",
         WithLength("MRCP/2.0 %L 1 200 COMPLETE\r\n" + ch + "Completion-Cause: 017 x\r\n\r\n"),
         MRCP_WIRE_BAD_HEADER_VALUE},
        {"v1 cause beyond table",
         "MRCP/1.0 1 200 COMPLETE\r\nCompletion-Cause: 011 cancelled\r\n\r\n",
         MRCP_WIRE_BAD_HEADER_VALUE},
        {"cause glued",
         WithLength("MRCP/2.0 %L 1 200 COMPLETE\r\n" + ch + "Completion-Cause: 000x\r\n\r\n"),
         MRCP_WIRE_BAD_HEADER_VALUE},
        {"id list empty item",
         WithLength("MRCP/2.0 %L STOP 1\r\n" + ch + "Active-Request-Id-List: 1,,2\r\n\r\n"),
         MRCP_WIRE_BAD_HEADER_VALUE},
        {"vendor pair without name",
         WithLength("MRCP/2.0 %L STOP 1\r\n" + ch + "Vendor-Specific-Parameters: =x\r\n\r\n"),
         MRCP_WIRE_BAD_HEADER_VALUE},
        {"vendor unterminated quote",
         WithLength("MRCP/2.0 %L STOP 1\r\n" + ch + "Vendor-Specific-Parameters: a=\"x\r\n\r\n"),
         MRCP_WIRE_BAD_HEADER_VALUE},
        {"control character",
         WithLength("MRCP/2.0 %L STOP 1\r\n" + ch + std::string("Logging-Tag: a\0b\r\n\r\n", 19)),
         MRCP_WIRE_BAD_HEADER_VALUE},
        {"body without content length",
         WithLength("MRCP/2.0 %L DEFINE-GRAMMAR 1\r\n" + ch + "\r\nabc"),
         MRCP_WIRE_LENGTH_MISMATCH},
        {"content length short",
         WithLength("MRCP/2.0 %L DEFINE-GRAMMAR 1\r\n" + ch + "Content-Length: 2\r\n\r\nabc"),
         MRCP_WIRE_LENGTH_MISMATCH},
        {"content length long",
         WithLength("MRCP/2.0 %L DEFINE-GRAMMAR 1\r\n" + ch + "Content-Length: 9\r\n\r\nabc"),
         MRCP_WIRE_LENGTH_MISMATCH},
        {"no empty line", WithLength("MRCP/2.0 %L STOP 1\r\n" + ch), MRCP_WIRE_LENGTH_MISMATCH},
        {"v1 content length long", "DEFINE-GRAMMAR 1 MRCP/1.0\r\nContent-Length: 9\r\n\r\nabc",
         MRCP_WIRE_LENGTH_MISMATCH},
        {"v1 trailing bytes", "STOP 1 MRCP/1.0\r\n\r\nxyz", MRCP_WIRE_LENGTH_MISMATCH},
        {"v1 huge content length",
         "DEFINE-GRAMMAR 1 MRCP/1.0\r\nContent-Length: 99999999999\r\n\r\n", MRCP_WIRE_TOO_LARGE},
    };
    for (const BadInput& bad : cases) {
        SCOPED_TRACE(bad.name);
        mrcp_message_t* message = nullptr;
        mrcp_wire_error_t error;
        // Heap copy of exactly the bytes so that ASan sees any read past the end.
        std::vector<char> bytes(bad.text.begin(), bad.text.end());
        EXPECT_EQ(mrcp_message_parse(bytes.data(), bytes.size(), pool_, &message, nullptr, &error),
                  bad.status)
            << error.text;
        EXPECT_EQ(message, nullptr);
        EXPECT_EQ(error.status, bad.status);
        EXPECT_STRNE(error.text, "");
    }
}

TEST_F(WireTest, OversizeInputIsRefused) {
    std::string big(MRCP_WIRE_MAX_MESSAGE_SIZE + 1, 'a');
    mrcp_message_t* m = nullptr;
    EXPECT_EQ(mrcp_message_parse(big.data(), big.size(), pool_, &m, nullptr, nullptr),
              MRCP_WIRE_TOO_LARGE);
    apr_size_t consumed;
    EXPECT_EQ(mrcp_message_parse(big.data(), big.size(), pool_, &m, &consumed, nullptr),
              MRCP_WIRE_BAD_START_LINE);
}

TEST_F(WireTest, GenerationRefusesIncompleteMessages) {
    apt_str_t text;
    mrcp_message_t* m = mrcp_message_create(pool_);
    EXPECT_EQ(mrcp_message_generate(m, pool_, &text, nullptr), MRCP_WIRE_BAD_MESSAGE);
    m = mrcp_request_create(MRCP_VERSION_2, RECOGNIZER_STOP, pool_);
    EXPECT_EQ(mrcp_message_generate(m, pool_, &text, nullptr), MRCP_WIRE_MISSING_CHANNEL_ID);
    m = mrcp_request_create(MRCP_VERSION_1, RECOGNIZER_STOP, pool_);
    m->resource_header.dtmf_term_char = 0;
    mrcp_resource_header_property_add(m, RECOGNIZER_HEADER_DTMF_TERM_CHAR);
    EXPECT_EQ(mrcp_message_generate(m, pool_, &text, nullptr), MRCP_WIRE_BAD_HEADER_VALUE);
}

// Truncations and single-byte mutations of valid messages: any result but a crash.
TEST_F(WireTest, TruncatedAndMutatedMessagesNeverCrash) {
    const std::vector<std::string> seeds = {
        WithLength(kRecognizeV2),
        "RECOGNITION-COMPLETE 3 COMPLETE MRCP/1.0\r\nCompletion-Cause: 001 no-match\r\n"
        "Content-Length: 4\r\n\r\nbody",
        WithLength("MRCP/2.0 %L 7 407 COMPLETE\r\nChannel-Identifier: a@speechrecog\r\n"
                   "Active-Request-Id-List: 1,2\r\n\r\n"),
    };
    const char mutations[] = {'\0', '\r', '\n', ' ', ':', ';', '"', '@', '9', 'x', '\x7f', '\xff'};
    unsigned seed = 12345;
    apr_pool_t* scratch = nullptr;
    ASSERT_EQ(apr_pool_create(&scratch, pool_), APR_SUCCESS);
    for (const std::string& text : seeds) {
        for (size_t n = 0; n <= text.size(); n++) {
            std::vector<char> prefix(text.begin(), text.begin() + static_cast<long>(n));
            mrcp_message_t* m = nullptr;
            apr_size_t consumed = 0;
            mrcp_message_parse(prefix.data(), prefix.size(), scratch, &m, nullptr, nullptr);
            mrcp_message_parse(prefix.data(), prefix.size(), scratch, &m, &consumed, nullptr);
            apr_pool_clear(scratch);
        }
        for (size_t i = 0; i < text.size(); i++) {
            for (char c : mutations) {
                std::vector<char> bytes(text.begin(), text.end());
                bytes[i] = c;
                seed = seed * 1103515245u + 12345u;
                if (seed % 3 == 0) {
                    bytes.erase(bytes.begin() + static_cast<long>((seed >> 8) % bytes.size()));
                }
                apr_pool_clear(scratch);
                mrcp_message_t* m = nullptr;
                if (mrcp_message_parse(bytes.data(), bytes.size(), scratch, &m, nullptr, nullptr) ==
                    MRCP_WIRE_OK) {
                    // Whatever parsed must be writable and parse back to the same text.
                    apt_str_t out;
                    ASSERT_EQ(mrcp_message_generate(m, scratch, &out, nullptr), MRCP_WIRE_OK);
                    mrcp_message_t* again = nullptr;
                    ASSERT_EQ(
                        mrcp_message_parse(out.buf, out.length, scratch, &again, nullptr, nullptr),
                        MRCP_WIRE_OK);
                    apt_str_t out2;
                    ASSERT_EQ(mrcp_message_generate(again, scratch, &out2, nullptr), MRCP_WIRE_OK);
                    ASSERT_EQ(Str(out), Str(out2));
                }
            }
        }
    }
}

}  // namespace

namespace {

// A RECOGNITION-COMPLETE ready to be written, in pool.
mrcp_message_t* CompletionEvent(apr_pool_t* pool) {
    mrcp_message_t* request = mrcp_request_create(MRCP_VERSION_2, RECOGNIZER_RECOGNIZE, pool);
    apt_string_set(&request->channel_id.session_id, "A1");
    request->start_line.request_id = 5;
    mrcp_message_t* event = mrcp_event_create(request, RECOGNIZER_RECOGNITION_COMPLETE, pool);
    event->start_line.request_state = MRCP_REQUEST_STATE_COMPLETE;
    return event;
}

}  // namespace

TEST_F(WireTest, GenerationRefusesHeaderTextThatWouldForgeLines) {
    struct Case {
        const char* what;
        std::function<void(mrcp_message_t*)> spoil;
        const char* expected;
    } cases[] = {
        {"CR LF in a typed value",
         [](mrcp_message_t* m) {
             apt_string_assign(&m->resource_header.completion_reason, "ok\r\nX-Forged: 1", m->pool);
             mrcp_resource_header_property_add(m, RECOGNIZER_HEADER_COMPLETION_REASON);
         },
         "Control Character in Header Value [Completion-Reason]"},
        {"LF in an unknown header",
         [](mrcp_message_t* m) { mrcp_message_unknown_header_add(m, "X-Note", "a\nb"); },
         "Control Character in Header Value [X-Note]"},
        {"NUL in a vendor parameter",
         [](mrcp_message_t* m) {
             m->generic_header.vendor_specific_params = apt_pair_array_create(1, m->pool);
             apt_str_t name = {(char*)"k", 1};
             apt_str_t value = {(char*)"a\x01" "b", 3};
             apt_pair_array_append(m->generic_header.vendor_specific_params, &name, &value,
                                   m->pool);
             mrcp_generic_header_property_add(m, GENERIC_HEADER_VENDOR_SPECIFIC_PARAMS);
         },
         "Control Character in Header Value [Vendor-Specific-Parameters]"},
        {"CR in the channel identifier",
         [](mrcp_message_t* m) { apt_string_set(&m->channel_id.session_id, "A1\r"); },
         "Control Character in Header Value [Channel-Identifier]"},
        {"an unknown header name with a colon",
         [](mrcp_message_t* m) { mrcp_message_unknown_header_add(m, "X:Y", "1"); },
         "Bad Header Name [X:Y]"},
    };
    for (const Case& c : cases) {
        mrcp_message_t* event = CompletionEvent(pool_);
        c.spoil(event);
        apt_str_t text = {nullptr, 0};
        mrcp_wire_error_t error;
        EXPECT_EQ(mrcp_message_generate(event, pool_, &text, &error), MRCP_WIRE_BAD_HEADER_TEXT)
            << c.what;
        EXPECT_STREQ(error.text, c.expected) << c.what;
        EXPECT_EQ(text.buf, nullptr) << c.what;
    }
    // A TAB is ordinary header text.
    mrcp_message_t* event = CompletionEvent(pool_);
    mrcp_message_unknown_header_add(event, "X-Note", "a\tb");
    EXPECT_NE(Generate(event).find("X-Note: a\tb\r\n"), std::string::npos);
    EXPECT_STREQ(mrcp_wire_status_name_get(MRCP_WIRE_BAD_HEADER_TEXT), "Bad Header Text");
}

TEST_F(WireTest, AnEmptyActiveRequestIdListIsLeftOut) {
    mrcp_message_t* request = mrcp_request_create(MRCP_VERSION_2, RECOGNIZER_STOP, pool_);
    apt_string_set(&request->channel_id.session_id, "A1");
    request->start_line.request_id = 9;
    mrcp_message_t* response = mrcp_response_create(request, pool_);
    mrcp_generic_header_property_add(response, GENERIC_HEADER_ACTIVE_REQUEST_ID_LIST);
    std::string text = Generate(response);
    EXPECT_EQ(text.find("Active-Request-Id-List"), std::string::npos) << text;
    ASSERT_NE(Parse(text), nullptr);  // what we write, we read
    response->generic_header.active_request_id_list.ids[0] = 4;
    response->generic_header.active_request_id_list.count = 1;
    EXPECT_NE(Generate(response).find("Active-Request-Id-List: 4\r\n"), std::string::npos);
}
