// DEFINE-GRAMMAR and RECOGNIZE bodies through a channel's grammars: URI lists, grammar-ref
// lists, speech-context documents and SRGS, with the built-in URIs and their parameters.
// The first byte picks the Content-Type and skip-unsupported-grammars; the rest is the body.
// The body is defined as "m1", activated inline, then activated again by "session:m1".
// Invariants: every status is one of the documented ones (200, 404, 406, 409); a
// DEFINE-GRAMMAR response carries that status, and a Completion-Cause of
// grammar-load-failure exactly when it failed; a cleared set holds nothing.
#include <string>

#include <ostrin/mrcp_message.h>

#include "plugin_support.h"

namespace {

const char* const kContentTypes[] = {"text/uri-list",   "text/grammar-ref-list",
                                     "application/xml", "application/srgs+xml",
                                     "text/plain",      ""};

mrcp_message_t* Request(mrcp_method_id method, const char* contentType, const std::string& body,
                        apr_pool_t* pool) {
    mrcp_message_t* request = mrcp_request_create(MRCP_VERSION_2, method, pool);
    if (*contentType) {
        apt_string_assign(&request->generic_header.content_type, contentType, pool);
        mrcp_generic_header_property_add(request, GENERIC_HEADER_CONTENT_TYPE);
    }
    apt_string_assign(&request->generic_header.content_id, "m1", pool);
    mrcp_generic_header_property_add(request, GENERIC_HEADER_CONTENT_ID);
    if (!body.empty())
        mrcp_message_body_set(request, body.data(), body.size());
    return request;
}

void CheckStatus(int status, const std::string& what) {
    FUZZ_CHECK(status == 200 || status == 404 || status == 406 || status == 409,
               what + " status " + std::to_string(status));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    Zeph::EngineSettings& settings = ZephFuzz::GrammarSettings();
    static mpf_sdi_detector_t* detector = [] {
        static apr_pool_t* pool = nullptr;
        apr_pool_create(&pool, nullptr);
        return ZephFuzz::CreateDetector(&ZephFuzz::GrammarSettings().m_sdiParams, pool);
    }();
    const size_t typeCount = sizeof kContentTypes / sizeof kContentTypes[0];
    const char* contentType = kContentTypes[data[0] % typeCount];
    settings.m_streaming.m_skipUnsupportedGrammars = (data[0] / typeCount) % 2;
    const std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);

    ZephFuzz::Pool pool;
    Zeph::GrammarSet set(settings, "fuzz");
    mrcp_message_t* define = Request(RECOGNIZER_DEFINE_GRAMMAR, contentType, body, pool);
    mrcp_message_t* response = mrcp_response_create(define, pool);
    const int defined = set.DefineGrammar(define, response);
    CheckStatus(defined, "DEFINE-GRAMMAR");
    FUZZ_CHECK(static_cast<int>(response->start_line.status_code) == defined, "response status");
    const bool cause =
        mrcp_resource_header_property_check(response, RECOGNIZER_HEADER_COMPLETION_CAUSE);
    FUZZ_CHECK(cause == (defined != 200) &&
                   (!cause || response->resource_header.completion_cause ==
                                  RECOGNIZER_COMPLETION_CAUSE_GRAMMAR_LOAD_FAILURE),
               "completion cause of DEFINE-GRAMMAR");

    CheckStatus(
        set.SetActiveGrammar(Request(RECOGNIZER_RECOGNIZE, contentType, body, pool), detector),
        "inline RECOGNIZE");
    CheckStatus(
        set.SetActiveGrammar(Request(RECOGNIZER_RECOGNIZE, "text/uri-list", "session:m1\r\n", pool),
                             detector),
        "RECOGNIZE of the stored grammar");
    set.Clear();
    FUZZ_CHECK(set.GetSpeechGrammars().empty() && set.GetEventGrammars().empty() &&
                   set.GetDtmfGrammars().empty() && !set.GetSpeechGrammar() &&
                   !set.GetEventGrammar() && !set.GetDtmfGrammar(),
               "cleared set still holds grammars");
    return 0;
}
