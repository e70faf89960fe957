// MRCP messages, completion causes and the media helpers.
#include <ostrin/mpf_stream.h>
#include <ostrin/mrcp_engine.h>
#include <ostrin/mrcp_message.h>

#include <string>
#include <vector>

#include "ostrin_test_pool.h"

namespace {

std::string Str(const apt_str_t* s) {
    return s ? std::string(s->buf, s->length) : std::string("(null)");
}

using MessageTest = PoolTest;

TEST_F(MessageTest, PresenceIsIndependentOfValues) {
    mrcp_message_t* m = mrcp_request_create(MRCP_VERSION_2, RECOGNIZER_RECOGNIZE, pool_);
    ASSERT_NE(m, nullptr);
    for (apr_size_t id = 0; id < RECOGNIZER_HEADER_COUNT; id++) {
        EXPECT_FALSE(mrcp_resource_header_property_check(m, id));
    }
    mrcp_recog_header_t* h = mrcp_resource_header_get(m);
    h->no_input_timeout = 3000;
    EXPECT_FALSE(mrcp_resource_header_property_check(m, RECOGNIZER_HEADER_NO_INPUT_TIMEOUT));
    EXPECT_TRUE(mrcp_resource_header_property_add(m, RECOGNIZER_HEADER_NO_INPUT_TIMEOUT));
    EXPECT_TRUE(mrcp_resource_header_property_check(m, RECOGNIZER_HEADER_NO_INPUT_TIMEOUT));
    EXPECT_FALSE(mrcp_generic_header_property_check(m, GENERIC_HEADER_ACTIVE_REQUEST_ID_LIST));
    EXPECT_FALSE(mrcp_resource_header_property_add(m, RECOGNIZER_HEADER_COUNT));
    EXPECT_FALSE(mrcp_generic_header_property_add(m, GENERIC_HEADER_COUNT));

    // Adding twice, removing and adding again keeps one entry in the original place.
    mrcp_generic_header_property_add(m, GENERIC_HEADER_LOGGING_TAG);
    mrcp_resource_header_property_add(m, RECOGNIZER_HEADER_NO_INPUT_TIMEOUT);
    mrcp_resource_header_property_remove(m, RECOGNIZER_HEADER_NO_INPUT_TIMEOUT);
    EXPECT_FALSE(mrcp_resource_header_property_check(m, RECOGNIZER_HEADER_NO_INPUT_TIMEOUT));
    mrcp_resource_header_property_add(m, RECOGNIZER_HEADER_NO_INPUT_TIMEOUT);
    ASSERT_EQ(m->header_order->nelts, 2);
    EXPECT_EQ(APR_ARRAY_IDX(m->header_order, 0, mrcp_header_ref_t).id,
              (apr_size_t)RECOGNIZER_HEADER_NO_INPUT_TIMEOUT);
}

TEST_F(MessageTest, ResponsesAndEventsFollowTheirRequest) {
    mrcp_message_t* request = mrcp_request_create(MRCP_VERSION_2, RECOGNIZER_RECOGNIZE, pool_);
    apt_string_set(&request->channel_id.session_id, "abc");
    request->start_line.request_id = 42;
    mrcp_generic_header_property_add(request, GENERIC_HEADER_LOGGING_TAG);

    mrcp_message_t* response = mrcp_response_create(request, request->pool);
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(response->start_line.message_type, MRCP_MESSAGE_TYPE_RESPONSE);
    EXPECT_EQ(response->start_line.request_id, 42u);
    EXPECT_EQ(response->start_line.status_code, MRCP_STATUS_CODE_SUCCESS);
    EXPECT_EQ(response->start_line.request_state, MRCP_REQUEST_STATE_COMPLETE);
    EXPECT_EQ(response->start_line.method_id, (mrcp_method_id)RECOGNIZER_RECOGNIZE);
    EXPECT_EQ(Str(&response->channel_id.session_id), "abc");
    EXPECT_EQ(response->pool, request->pool);
    EXPECT_FALSE(mrcp_generic_header_property_check(response, GENERIC_HEADER_LOGGING_TAG));

    mrcp_message_t* event = mrcp_event_create(request, RECOGNIZER_START_OF_INPUT, request->pool);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(event->start_line.message_type, MRCP_MESSAGE_TYPE_EVENT);
    EXPECT_EQ(event->start_line.request_state, MRCP_REQUEST_STATE_INPROGRESS);
    EXPECT_EQ(Str(&event->start_line.method_name), "START-OF-INPUT");
    EXPECT_EQ(event->start_line.request_id, 42u);

    EXPECT_EQ(mrcp_event_create(request, RECOGNIZER_EVENT_COUNT, pool_), nullptr);
    mrcp_message_t* v1 = mrcp_request_create(MRCP_VERSION_1, RECOGNIZER_RECOGNIZE, pool_);
    EXPECT_EQ(Str(&mrcp_event_create(v1, RECOGNIZER_START_OF_INPUT, pool_)->start_line.method_name),
              "START-OF-SPEECH");
    EXPECT_EQ(mrcp_event_create(v1, RECOGNIZER_INTERPRETATION_COMPLETE, pool_), nullptr);
    EXPECT_EQ(mrcp_request_create(MRCP_VERSION_1, RECOGNIZER_INTERPRET, pool_), nullptr);
    EXPECT_EQ(mrcp_response_create(nullptr, pool_), nullptr);
}

TEST_F(MessageTest, CompletionCauseNamesPerVersion) {
    // Completion-Cause names of RFC 4463 (MRCPv1) and RFC 6787 section 9.4.11, by cause code.
    const std::vector<std::vector<std::string>> names = {
        {},
        {"success", "no-match", "no-input-timeout", "recognition-timeout", "gram-load-failure",
         "gram-comp-failure", "error", "speech-too-early", "too-much-speech-timeout", "uri-failure",
         "language-unsupported"},
        {"success", "no-match", "no-input-timeout", "hotword-maxtime", "grammar-load-failure",
         "grammar-compilation-failure", "recognizer-error", "speech-too-early", "success-maxtime",
         "uri-failure", "language-unsupported", "cancelled", "semantics-failure", "partial-match",
         "partial-match-maxtime", "no-match-maxtime", "grammar-definition-failure"}};
    for (int version = 1; version <= 2; version++) {
        const std::vector<std::string>& table = names[size_t(version)];
        for (size_t cause = 0; cause < table.size(); cause++) {
            const apt_str_t* name = mrcp_recog_completion_cause_get(int(cause), version);
            ASSERT_NE(name, nullptr) << version << " " << cause;
            // Callers print with %.*s: the length must be right too.
            EXPECT_EQ(Str(name), table[cause]) << version << " " << cause;
            EXPECT_EQ(name->length, strlen(name->buf));
        }
        EXPECT_EQ(mrcp_recog_completion_cause_get(int(table.size()), version), nullptr);
        EXPECT_EQ(mrcp_recog_completion_cause_get(-1, version), nullptr);
    }
    EXPECT_EQ(RECOGNIZER_COMPLETION_CAUSE_COUNT, 17);
    EXPECT_EQ(mrcp_recog_completion_cause_get(0, 3), nullptr);
}

TEST_F(MessageTest, DtmfCharacters) {
    const std::string expected = "0123456789*#ABCD";
    for (apr_uint32_t id = 0; id < 16; id++) {
        EXPECT_EQ(mpf_event_id_to_dtmf_char(id), expected[id]);
        EXPECT_EQ(mpf_dtmf_char_to_event_id(expected[id]), id);
    }
    EXPECT_EQ(mpf_event_id_to_dtmf_char(16), 0);
    EXPECT_EQ(mpf_event_id_to_dtmf_char(255), 0);
    EXPECT_EQ(mpf_dtmf_char_to_event_id('b'), 13u);
    EXPECT_EQ(mpf_dtmf_char_to_event_id('E'), 0xFFu);
    EXPECT_EQ(mpf_dtmf_char_to_event_id('\0'), 0xFFu);
}

TEST_F(MessageTest, CapabilitiesAndSinkCodec) {
    mpf_stream_capabilities_t* caps = mpf_stream_capabilities_create(STREAM_DIRECTION_SEND, pool_);
    ASSERT_TRUE(mpf_codec_capabilities_add(&caps->codecs,
                                           MPF_SAMPLE_RATE_8000 | MPF_SAMPLE_RATE_16000, "LPCM"));
    EXPECT_FALSE(mpf_codec_capabilities_add(&caps->codecs, MPF_SAMPLE_RATE_8000, ""));
    EXPECT_TRUE(mpf_codec_capabilities_match(&caps->codecs,
                                             mpf_codec_lpcm_descriptor_create(16000, pool_)));
    EXPECT_FALSE(mpf_codec_capabilities_match(&caps->codecs,
                                              mpf_codec_lpcm_descriptor_create(48000, pool_)));

    static const mpf_audio_stream_vtable_t stream_vtable = {};
    static const mrcp_engine_method_vtable_t engine_vtable = {};
    static const mrcp_engine_channel_method_vtable_t channel_vtable = {};
    int object = 0;
    mpf_termination_t* termination =
        mrcp_engine_audio_termination_create(&object, &stream_vtable, caps, pool_);
    ASSERT_NE(termination, nullptr);
    EXPECT_EQ(termination->audio_stream->obj, &object);
    EXPECT_EQ(termination->audio_stream->direction, STREAM_DIRECTION_SEND);

    EXPECT_EQ(mrcp_engine_create(MRCP_SYNTHESIZER_RESOURCE, &object, &engine_vtable, pool_),
              nullptr);
    mrcp_engine_t* engine =
        mrcp_engine_create(MRCP_RECOGNIZER_RESOURCE, &object, &engine_vtable, pool_);
    ASSERT_NE(engine, nullptr);
    mrcp_engine_channel_t* channel =
        mrcp_engine_channel_create(engine, &channel_vtable, &object, termination, pool_);
    ASSERT_NE(channel, nullptr);
    EXPECT_NE(channel->attribs, nullptr);
    // No codec before the server opens the media; then the one it set.
    EXPECT_EQ(mrcp_engine_sink_stream_codec_get(channel), nullptr);
    termination->audio_stream->tx_descriptor = mpf_codec_lpcm_descriptor_create(8000, pool_);
    ASSERT_NE(mrcp_engine_sink_stream_codec_get(channel), nullptr);
    EXPECT_EQ(mrcp_engine_sink_stream_codec_get(channel)->sampling_rate, 8000);
    // Without the server's event table the plugin's answers fail instead of crashing.
    EXPECT_FALSE(mrcp_engine_channel_open_respond(channel, TRUE));
    EXPECT_FALSE(mrcp_engine_open_respond(engine, TRUE));
}

struct ServerRecord {
    int opens = 0;
    apt_bool_t status = FALSE;
    mrcp_message_t* message = nullptr;
};

TEST_F(MessageTest, PluginAnswersReachTheServersEventTable) {
    static const mrcp_engine_method_vtable_t engine_vtable = {};
    static const mrcp_engine_channel_method_vtable_t channel_vtable = {};
    static const mrcp_engine_channel_event_vtable_t channel_events = {
        [](mrcp_engine_channel_t* c, apt_bool_t status) -> apt_bool_t {
            auto* server = static_cast<ServerRecord*>(c->event_obj);
            server->opens++;
            server->status = status;
            return TRUE;
        },
        nullptr,
        [](mrcp_engine_channel_t* c, mrcp_message_t* m) -> apt_bool_t {
            static_cast<ServerRecord*>(c->event_obj)->message = m;
            return TRUE;
        }};
    ServerRecord server;
    mrcp_engine_t* engine =
        mrcp_engine_create(MRCP_RECOGNIZER_RESOURCE, nullptr, &engine_vtable, pool_);
    mrcp_engine_channel_t* channel =
        mrcp_engine_channel_create(engine, &channel_vtable, nullptr, nullptr, pool_);
    channel->event_vtable = &channel_events;
    channel->event_obj = &server;
    EXPECT_TRUE(mrcp_engine_channel_open_respond(channel, TRUE));
    EXPECT_EQ(server.opens, 1);
    EXPECT_TRUE(server.status);
    EXPECT_FALSE(mrcp_engine_channel_close_respond(channel));  // no handler installed
    mrcp_message_t* m = mrcp_request_create(MRCP_VERSION_2, RECOGNIZER_STOP, pool_);
    EXPECT_TRUE(mrcp_engine_channel_message_send(channel, m));
    EXPECT_EQ(server.message, m);
    EXPECT_EQ(mrcp_engine_sink_stream_codec_get(channel), nullptr);
}

TEST_F(MessageTest, AWatchedRecordIsNeverFollowedOnceItIsGone) {
    static const mrcp_engine_method_vtable_t engine_vtable = {};
    static const mrcp_engine_channel_method_vtable_t channel_vtable = {};
    static const mrcp_engine_channel_event_vtable_t channel_events = {
        nullptr, nullptr, [](mrcp_engine_channel_t* c, mrcp_message_t* m) -> apt_bool_t {
            static_cast<ServerRecord*>(c->event_obj)->message = m;
            return TRUE;
        }};
    struct Gone {
        int calls = 0;
        const void* record = nullptr;
        std::string last;
    } gone;
    auto on_gone = [](void* obj, const void* record, const char* call) {
        auto* seen = static_cast<Gone*>(obj);
        seen->calls++;
        seen->record = record;
        seen->last = call;
    };
    ServerRecord server;
    mrcp_engine_t* engine =
        mrcp_engine_create(MRCP_RECOGNIZER_RESOURCE, nullptr, &engine_vtable, pool_);
    apr_pool_t* channel_pool = nullptr;
    ASSERT_EQ(apr_pool_create(&channel_pool, pool_), APR_SUCCESS);
    mrcp_engine_channel_t* channel =
        mrcp_engine_channel_create(engine, &channel_vtable, nullptr, nullptr, channel_pool);
    channel->event_vtable = &channel_events;
    channel->event_obj = &server;
    ASSERT_TRUE(mrcp_engine_channel_watch(channel, on_gone, &gone));
    mrcp_message_t* m = mrcp_request_create(MRCP_VERSION_2, RECOGNIZER_STOP, pool_);
    EXPECT_TRUE(mrcp_engine_channel_message_send(channel, m));
    EXPECT_EQ(server.message, m);
    EXPECT_FALSE(mrcp_engine_channel_close_respond(channel));  // no handler installed

    mrcp_engine_channel_unwatch(channel);
    apr_pool_destroy(channel_pool);  // the record is freed memory now
    // Neither the record nor the message is read: a bogus message pointer is safe.
    auto* bogus = reinterpret_cast<mrcp_message_t*>(uintptr_t(0x10));
    EXPECT_FALSE(mrcp_engine_channel_message_send(channel, bogus));
    EXPECT_EQ(gone.calls, 1);
    EXPECT_EQ(gone.record, static_cast<const void*>(channel));
    EXPECT_EQ(gone.last, "message");
    EXPECT_FALSE(mrcp_engine_channel_open_respond(channel, TRUE));
    EXPECT_EQ(gone.last, "channel open response");
    EXPECT_FALSE(mrcp_engine_channel_close_respond(channel));
    EXPECT_EQ(gone.last, "channel close response");
    EXPECT_EQ(gone.calls, 3);

    // Forgotten, the address means nothing any more; a record that was never watched is
    // reached through its own table as before.
    mrcp_engine_channel_forget(&gone);
    mrcp_engine_channel_t* plain =
        mrcp_engine_channel_create(engine, &channel_vtable, nullptr, nullptr, pool_);
    plain->event_vtable = &channel_events;
    plain->event_obj = &server;
    EXPECT_TRUE(mrcp_engine_channel_message_send(plain, m));
    EXPECT_FALSE(mrcp_engine_channel_watch(nullptr, on_gone, &gone));
}

}  // namespace
