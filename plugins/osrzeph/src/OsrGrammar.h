// Grammar records: built-in grammars and speech contexts from the configuration, and the
// DTMF length limits a grammar carries.
//
// A grammar never constrains recognition; it only selects what is sent to the service
// (transcription, phrase hints, digits or an event) and carries per-grammar parameters.
//
// Threads: configured records are loaded on the server thread in Engine::Open and are
// read-only afterwards; grammars and the records built for them live on the engine's event
// processor thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include <apr_xml.h>
#include <ostrin/apt_text_stream.h>

namespace Zeph {

// "true" gives true, "false" gives false (exactly, as written); anything else returns false
// and leaves `value` as it was.
bool ParseBooleanString(const char* text, bool& value);

class BuiltinGrammar;
class SpeechContext;

// A grammar's own parameters (URI parameters, SRGS meta tags): ascending name order, the
// first value of a name wins.
using GrammarParams = std::map<std::string, std::string>;

// DTMF length limits; 0 means not set.
struct DtmfContext {
    // Overrides the limits from grammar parameters whose names start with "length",
    // "minlength" or "maxlength" (without case), read as decimal integers. Always TRUE.
    bool SetParams(const GrammarParams& params);

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

    // The element's own character data before its first child, as one text: each run of
    // white space (space, tab, CR, LF) becomes one space, none at either end. FALSE (text
    // unchanged) when the element has no character data.
    static bool GetElementText(const apr_xml_elem* elem, std::string& text);
    // The same character data for a "tag": white space trimmed at both ends only, since
    // the content is the application's (JSON query parameters, a phrase's value).
    static bool GetTagText(const apr_xml_elem* elem, std::string& text);

    // Looks up a transcript among the phrases (without case). TRUE when it is a phrase;
    // `complete` is then FALSE when a longer phrase starts with it (more may still come).
    bool FindPhrase(const std::string& text, bool& complete) const;

    // SRGS phrase extraction. Reads the "rule" children of `root` whose id equals
    // `rootName` exactly (with an empty root name: the rules without id); in a read rule,
    // the items of each "one-of" become phrases and a "tag" sets the rule tag. Always TRUE.
    bool LoadSrgsRules(const apr_xml_elem* root, const std::string& rootName);
    bool LoadSrgsRule(const apr_xml_elem* rule, const std::string& rootName);
    bool LoadSrgsOneOf(const apr_xml_elem* oneOf);
    // One "item": its text is the phrase, its "tag" text the value, "weight" the weight.
    // FALSE when the item has no text (skipped).
    bool LoadSrgsItem(const apr_xml_elem* item);
    // The text of a "tag" element into `value`; FALSE (value unchanged) when it has none.
    static bool LoadSrgsItemTag(const apr_xml_elem* tag, std::string& value);

    std::string m_id;
    std::string m_language;  // overrides the recognition language when not empty
    bool m_enable = true;
    bool m_loaded = false;  // from the configuration: shared, never deleted by a grammar
    bool m_speechComplete = false;
    Scope m_scope = SCOPE_HINT;
    PhraseMap m_phrases;
    std::string m_ruleTag;  // text of a "tag" directly inside an SRGS root rule
};

using SpeechContextMap = std::map<std::string, SpeechContext*>;
using BuiltinGrammarMap = std::map<std::string, BuiltinGrammar*>;

// One grammar of a channel: what a recognition sends (transcription, phrase hints, digits
// or an event) and its per-grammar parameters.
//
// Threads: built, read and destroyed on the engine's event processor thread. Channels hold
// grammars by shared pointer so that a recognition in progress keeps the ones it uses alive
// after the channel replaced or removed them.
class GrammarRef {
public:
    enum Type : uint32_t { TYPE_NONE = 0, TYPE_SPEECH = 1, TYPE_EVENT = 2, TYPE_DTMF = 3 };
    enum Source : uint32_t {
        SOURCE_BUILTIN = 1,  // given inline in RECOGNIZE
        SOURCE_SESSION = 2   // DEFINE-GRAMMAR or an XML document
    };

    GrammarRef() = default;
    GrammarRef(const GrammarRef&) = delete;
    GrammarRef& operator=(const GrammarRef&) = delete;

    // How results name the grammar: "session:" + id, or "builtin:" + type path + name
    // prefix + name.
    std::string GetText() const;

    // Narrows a line of a grammar-ref list to its URI: after any leading "<" up to the next
    // ">", or without "<" up to the first ">"; the rest (a weight) is dropped. An empty
    // stream stays empty.
    static void UnquoteGrammarUri(apt_text_stream_t* stream);
    // Reads "name=value" fields separated by ";" up to the first empty field. Names that
    // start with "projectid", "x-goog-user-project", "dialogid", "method" or "agent"
    // (without case) set those fields; any other goes into the parameters.
    void ParseBuiltinParams(apt_text_stream_t* stream);

    // Reads an SRGS document (root element "grammar"): mode, root rule, meta tags and, when
    // the grammar has its own context, the phrases of its root rule. Otherwise the root rule
    // names a configured speech context or built-in grammar (or the transcription grammar).
    // FALSE (logged) when the document is rejected. The maps are the engine's.
    bool LoadSrgsGrammar(const apr_xml_elem* root, const SpeechContextMap& speechContexts,
                         const BuiltinGrammarMap& builtinSpeechGrammars,
                         const BuiltinGrammarMap& builtinDtmfGrammars,
                         const std::string& transcriptionGrammar);
    // The "meta" and "tag" children of the SRGS root: parameters, scope and speech-complete.
    // `own` tells whether the grammar's phrases come from the document itself.
    bool LoadSrgsMetaTags(const apr_xml_elem* root, const std::string& transcriptionGrammar,
                          bool& own, SpeechContext::Scope& scope, bool& speechComplete);
    // The "name" and "content" attributes of a "meta" element (empty when absent).
    static bool LoadSrgsMetaTag(const apr_xml_elem* elem, std::string& name, std::string& content);
    // A context made for this grammar (id := the grammar's id, not loaded); the caller hands
    // it to SetOwnSpeechContext.
    std::unique_ptr<SpeechContext> CreateSpeechContext(const char* language,
                                                       SpeechContext::Scope scope,
                                                       bool speechComplete) const;

    // The phrase context, or null.
    const SpeechContext* GetSpeechContext() const { return m_speechContext; }
    // Uses a configured context: shared with the engine, never deleted by the grammar.
    void SetSharedSpeechContext(const SpeechContext* context);
    // Takes a context made for this grammar: it dies with the grammar (or the next Set).
    void SetOwnSpeechContext(std::unique_ptr<SpeechContext> context);

    std::string m_id;          // key in the channel's map: Content-Id, or built-in name
    std::string m_name;        // built-in name, SRGS root rule, or the Content-Id
    std::string m_namePrefix;  // "event_" for "grammar/event_..."; empty otherwise
    std::string m_typePath;    // "speech/", "grammar/", "event/", "dtmf/"; empty for XML
    std::string m_projectId;
    std::string m_userProject;  // "x-goog-user-project"
    std::string m_dialogId;
    std::string m_agent;
    std::string m_method;
    std::string m_queryParamsText;  // JSON QueryParameters from an SRGS tag
    GrammarParams m_params;         // every other parameter
    uint32_t m_type = TYPE_NONE;
    uint32_t m_source = SOURCE_SESSION;
    const BuiltinGrammar* m_builtinGrammar = nullptr;  // configured record; never owned
    // When the channel last stored or activated it (its own count): which grammar goes first
    // when the channel keeps too many.
    uint64_t m_lastUse = 0;

private:
    const SpeechContext* m_speechContext = nullptr;  // m_ownContext or a configured one
    std::unique_ptr<SpeechContext> m_ownContext;
};

}  // namespace Zeph
