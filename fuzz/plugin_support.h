// Shared by the fuzz targets of the plugin's components: the plugin's log source, engine
// settings from a configuration fragment, and a real detector.
#pragma once

#include <string>

#include "OsrZephGrammarSet.h"
#include "OsrZephLog.h"
#include "OsrZephSettings.h"
#include "fuzz_support.h"
#include "mpf_sdi_detector.h"

namespace ZephFuzz {

inline void InitPlugin() {
    InitProcess("ZEPH-PLUGIN", &ZEPH_PLUGIN);
}

// Configured built-in grammars and speech contexts, as a channel's grammars find them:
// speech "menu", "transcribe" and "hello" (event input), DTMF "digits" (length 4) and "pin" (3 to 8
// digits), and the contexts "yesno", "menu" and "foo".
inline const char* GrammarConfig() {
    return "<osrzeph><builtin-grammars>"
           "<builtin-grammar name=\"digits\" mode=\"dtmf\" length=\"4\" project-id=\"p-dtmf\"/>"
           "<builtin-grammar name=\"pin\" mode=\"dtmf\" min-length=\"3\" max-length=\"8\"/>"
           "<builtin-grammar name=\"menu\" mode=\"speech\" action=\"go\" parameter-name=\"item\"/>"
           "<builtin-grammar name=\"transcribe\" mode=\"speech\"/><builtin-grammar name=\"hello\" "
           "mode=\"speech\" input=\"event\" action=\"greet\"/>"
           "</builtin-grammars><speech-contexts>"
           "<speech-context id=\"yesno\" speech-complete=\"true\">"
           "<phrase>yes</phrase><phrase>no</phrase></speech-context>"
           "<speech-context id=\"menu\"><phrase>balance</phrase></speech-context>"
           "<speech-context id=\"foo\"><phrase>bar</phrase></speech-context>"
           "</speech-contexts></osrzeph>";
}

// Engine settings loaded from GrammarConfig(), once per process.
inline Zeph::EngineSettings& GrammarSettings() {
    static Zeph::EngineSettings* settings = [] {
        InitPlugin();
        static apr_pool_t* pool = nullptr;
        apr_pool_create(&pool, nullptr);
        auto* loaded = new Zeph::EngineSettings();
        const std::string text = GrammarConfig();
        const apr_xml_elem* root =
            Zeph::GrammarSet::ParseXmlDocument(text.data(), text.size(), pool);
        FUZZ_CHECK(root, "configuration fragment");
        for (const apr_xml_elem* elem = root->first_child; elem; elem = elem->next)
            loaded->LoadElement(elem, pool);
        return loaded;
    }();
    return *settings;
}

// A detector with `params` whose handlers do nothing.
inline mpf_sdi_detector_t* CreateDetector(const mpf_sdi_params_t* params, apr_pool_t* pool) {
    mpf_sdi_event_handlers_t handlers;
    mpf_sdi_event_handlers_init(&handlers);
    handlers.on_noinput = [](mpf_sdi_detector_t*) {};
    handlers.on_stop = [](mpf_sdi_detector_t*, const mpf_sdi_stats_t*) {};
    handlers.on_start_of_input = [](mpf_sdi_detector_t*, mpf_sdi_mode_e) {};
    handlers.on_speech_input = [](mpf_sdi_detector_t*, const void*, apr_size_t, mpf_sdi_state_e,
                                  const mpf_sdi_stats_t*) {};
    handlers.on_dtmf_input = [](mpf_sdi_detector_t*, const char*, apr_size_t, apt_bool_t,
                                mpf_sdi_state_e, const mpf_sdi_stats_t*) {};
    return mpf_sdi_detector_create("fuzz", &handlers, nullptr, params, pool);
}

}  // namespace ZephFuzz
