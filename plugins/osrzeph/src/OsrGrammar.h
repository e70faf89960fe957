// Grammar records: built-in grammars and speech contexts from the configuration, and the
// DTMF length limits a grammar carries.
//
// A grammar never constrains recognition; it only selects what is sent to the service
// (transcription, phrase hints, digits or an event) and carries per-grammar parameters.
//
// Threads: configured records are loaded on the server thread in Engine::Open and are
// read-only afterwards; records built for a channel's grammar live on the engine's event
// processor thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include <apr_xml.h>

namespace Zeph {

// "true" gives true, "false" gives false (exactly, as written); anything else returns false
// and leaves `value` as it was.
bool ParseBooleanString(const char* text, bool& value);

// DTMF length limits; 0 means not set.
struct DtmfContext {
    int64_t m_length = 0;
    int64_t m_minLength = 0;
    int64_t m_maxLength = 0;
};

// A named built-in grammar from the configuration ("builtin-grammar").
class BuiltinGrammar {
public:
    enum Mode : uint32_t { MODE_NONE = 0, MODE_SPEECH = 1, MODE_DTMF = 2 };
    // How DTMF input is sent to the service.
    enum Input : uint8_t { INPUT_TEXT = 0, INPUT_EVENT = 1 };

    // Reads the element's attributes. FALSE (logged) when the record is disabled or has no
    // name; the caller then drops it. A record without mode loads but belongs in no map.
    bool Load(const apr_xml_elem* elem);

    std::string m_name;
    uint32_t m_mode = MODE_NONE;
    std::string m_action;         // action the query result must carry for this grammar
    std::string m_parameterName;  // query-result parameter that becomes the result instance
    std::string m_projectId;
    uint8_t m_input = INPUT_TEXT;
    DtmfContext m_dtmf;
};

// A list of phrases with its attributes: sent to the service as hints and used to end the
// input early once a complete phrase was said.
class SpeechContext {
public:
    enum Scope { SCOPE_BUILTIN = 0, SCOPE_HINT = 1, SCOPE_STRICT = 2 };

    struct Value {
        std::string m_phrase;  // as written
        std::string m_value;   // the phrase's tag; may be empty
        float m_weight;        // negative: none
    };
    // Keyed by the phrase in lower case, in ascending byte order.
    using PhraseMap = std::map<std::string, Value>;

    // A configured "speech-context": attributes, then phrases. FALSE (logged) when the context
    // is disabled or has no id; the caller then drops it.
    bool Load(const apr_xml_elem* elem);
    // Attributes "id", "language", "enable", "speech-complete".
    bool LoadAttribs(const apr_xml_elem* elem);
    // Every "phrase" child. Always TRUE.
    bool LoadPhrases(const apr_xml_elem* elem);
    bool LoadPhrase(const apr_xml_elem* elem);
    // Adds a phrase unless one with the same lower-case text is already there (the first
    // one wins). A negative weight means none.
    bool AddPhrase(const std::string& text, const std::string& value, float weight);

    // The element's own character data before its first child: each piece as the parser
    // delivered it, without its leading white space, all-blank pieces skipped. FALSE (text
    // unchanged) when the element has no character data.
    static bool GetElementText(const apr_xml_elem* elem, std::string& text);

    std::string m_id;
    std::string m_language;  // overrides the recognition language when not empty
    bool m_enable = true;
    bool m_loaded = false;  // from the configuration: shared, never deleted by a grammar
    bool m_speechComplete = false;
    Scope m_scope = SCOPE_HINT;
    PhraseMap m_phrases;
    std::string m_ruleTag;  // text of a "tag" directly inside an SRGS root rule
};

}  // namespace Zeph
