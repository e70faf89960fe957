// Shared set-up of the grammar tests: APR and the host log, engine settings loaded from a
// configuration fragment, and MRCP requests built from wire text with the host's parser.
#pragma once

#include <cstring>
#include <string>

#include <apr_general.h>
#include <apr_pools.h>
#include <apr_xml.h>
#include <gtest/gtest.h>
#include <ostrin/apt_log.h>
#include <ostrin/mrcp_message.h>
#include <ostrin/mrcp_wire.h>

#include "../common/log_capture.h"
#include "OsrGrammar.h"
#include "OsrZephGrammarSet.h"
#include "OsrZephLog.h"
#include "OsrZephSettings.h"

namespace ZephTest {

// Configured records used by most tests: a "yesno" context, a "menu" built-in speech grammar
// (with a context of the same name), "foo" and "Weather" as contexts only, DTMF "digits" of
// length 4 and "pin" of 3 to 8 digits; "nomode" has no mode and is dropped.
inline const char* DefaultGrammarConfig() {
    return "<builtin-grammars>"
           "<builtin-grammar name=\"digits\" mode=\"dtmf\" length=\"4\" project-id=\"p-dtmf\"/>"
           "<builtin-grammar name=\"pin\" mode=\"dtmf\" min-length=\"3\" max-length=\"8\"/>"
           "<builtin-grammar name=\"menu\" mode=\"speech\" action=\"go\"/>"
           "<builtin-grammar name=\"nomode\"/>"
           "</builtin-grammars>"
           "<speech-contexts>"
           "<speech-context id=\"yesno\" speech-complete=\"true\">"
           "<phrase>yes</phrase><phrase>no</phrase></speech-context>"
           "<speech-context id=\"menu\"><phrase>balance</phrase></speech-context>"
           "<speech-context id=\"foo\"><phrase>bar</phrase></speech-context>"
           "<speech-context id=\"Weather\"><phrase>rain</phrase></speech-context>"
           "</speech-contexts>";
}

// APR and the host log for the whole test program; a pool, engine settings and a grammar set
// for each test. Every test ends with the set cleared and the pool released.
class GrammarTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        apr_initialize();
        static apr_pool_t* logPool = nullptr;
        if (!logPool) {
            apr_pool_create(&logPool, nullptr);
            apt_log_instance_create(APT_LOG_OUTPUT_NONE, APT_PRIO_DEBUG, logPool);
            apt_log_source_assign("ZEPH-PLUGIN", &ZEPH_PLUGIN);
        }
    }

    void SetUp() override {
        ASSERT_EQ(apr_pool_create(&m_pool, nullptr), APR_SUCCESS);
        LoadConfig(DefaultGrammarConfig());
        // Failures stay visible unless a test asks for skipping (the configured default).
        SetSkip(false);
    }

    void TearDown() override {
        m_set.Clear();
        EXPECT_TRUE(m_set.GetSpeechGrammars().empty());
        apr_pool_destroy(m_pool);
    }

    // Loads the children of a configuration fragment into the settings.
    void LoadConfig(const std::string& fragment) {
        const std::string text = "<osrzeph>" + fragment + "</osrzeph>";
        const apr_xml_elem* root =
            Zeph::GrammarSet::ParseXmlDocument(text.data(), text.size(), m_pool);
        ASSERT_NE(root, nullptr) << text;
        for (const apr_xml_elem* elem = root->first_child; elem; elem = elem->next)
            m_settings.LoadElement(elem, m_pool);
    }

    // The root element of an XML text, parsed into the test's pool.
    const apr_xml_elem* Xml(const std::string& text) {
        return Zeph::GrammarSet::ParseXmlDocument(text.data(), text.size(), m_pool);
    }

    // An MRCPv2 request in wire format: start line with its real message-length, channel
    // identifier, `headers` (each ending in CR LF), Content-Length when there is a body.
    static std::string Wire(const std::string& method, const std::string& headers,
                            const std::string& body) {
        std::string rest =
            " " + method + " 1\r\nChannel-Identifier: 32AECB23@speechrecog\r\n" + headers;
        if (!body.empty())
            rest += "Content-Length: " + std::to_string(body.size()) + "\r\n";
        rest += "\r\n" + body;
        // The length counts its own digits.
        size_t length = rest.size() + 9;
        for (;;) {
            const size_t total = 9 + std::to_string(length).size() + rest.size();
            if (total == length)
                break;
            length = total;
        }
        return "MRCP/2.0 " + std::to_string(length) + rest;
    }

    // Parses wire text with the host's parser; null (test failure) when it does not parse.
    mrcp_message_t* Parse(const std::string& text) {
        mrcp_message_t* message = nullptr;
        mrcp_wire_error_t error;
        const mrcp_wire_status_e status =
            mrcp_message_parse(text.data(), text.size(), m_pool, &message, nullptr, &error);
        EXPECT_EQ(status, MRCP_WIRE_OK) << error.text << "\n" << text;
        return status == MRCP_WIRE_OK ? message : nullptr;
    }

    static std::string Headers(const std::string& contentType, const std::string& contentId) {
        std::string headers;
        if (!contentType.empty())
            headers += "Content-Type: " + contentType + "\r\n";
        if (!contentId.empty())
            headers += "Content-Id: " + contentId + "\r\n";
        return headers;
    }

    // A DEFINE-GRAMMAR through the set; `response` gets the answer. Returns the status.
    int Define(const std::string& contentType, const std::string& contentId,
               const std::string& body, mrcp_message_t** responseOut = nullptr) {
        mrcp_message_t* request =
            Parse(Wire("DEFINE-GRAMMAR", Headers(contentType, contentId), body));
        if (!request)
            return -1;
        mrcp_message_t* response = mrcp_response_create(request, request->pool);
        const int status = m_set.DefineGrammar(request, response);
        EXPECT_EQ(static_cast<int>(response->start_line.status_code), status);
        const bool cause =
            mrcp_resource_header_property_check(response, RECOGNIZER_HEADER_COMPLETION_CAUSE);
        if (status == MRCP_STATUS_CODE_SUCCESS) {
            EXPECT_FALSE(cause);
        } else {
            EXPECT_TRUE(cause);
            EXPECT_EQ(response->resource_header.completion_cause,
                      RECOGNIZER_COMPLETION_CAUSE_GRAMMAR_LOAD_FAILURE);
        }
        if (responseOut)
            *responseOut = response;
        return status;
    }

    // The activation step of a RECOGNIZE through the set. Returns the status.
    int Recognize(const std::string& contentType, const std::string& contentId,
                  const std::string& body, mpf_sdi_detector_t* detector = nullptr) {
        mrcp_message_t* request = Parse(Wire("RECOGNIZE", Headers(contentType, contentId), body));
        if (!request)
            return -1;
        return m_set.SetActiveGrammar(request, detector);
    }

    // A real detector for the channel "ch1" with the configured parameters.
    mpf_sdi_detector_t* CreateDetector() {
        mpf_sdi_event_handlers_t handlers;
        mpf_sdi_event_handlers_init(&handlers);
        handlers.on_noinput = [](mpf_sdi_detector_t*) {};
        handlers.on_stop = [](mpf_sdi_detector_t*, const mpf_sdi_stats_t*) {};
        handlers.on_start_of_input = [](mpf_sdi_detector_t*, mpf_sdi_mode_e) {};
        handlers.on_speech_input = [](mpf_sdi_detector_t*, const void*, apr_size_t, mpf_sdi_state_e,
                                      const mpf_sdi_stats_t*) {};
        handlers.on_dtmf_input = [](mpf_sdi_detector_t*, const char*, apr_size_t, apt_bool_t,
                                    mpf_sdi_state_e, const mpf_sdi_stats_t*) {};
        return mpf_sdi_detector_create("ch1", &handlers, this, &m_settings.m_sdiParams, m_pool);
    }

    void SetSkip(bool skip) { m_settings.m_streaming.m_skipUnsupportedGrammars = skip; }

    apr_pool_t* m_pool = nullptr;
    LogCapture m_log;
    Zeph::EngineSettings m_settings;
    Zeph::GrammarSet m_set{m_settings, "ch1"};
};

}  // namespace ZephTest
