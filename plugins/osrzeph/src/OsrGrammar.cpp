#include "OsrGrammar.h"

#include <locale.h>
#include <strings.h>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "OsrZephLog.h"
#include "OsrZephSettings.h"

namespace Zeph {

namespace {

// Phrase keys and lookups: every byte through tolower.
std::string LowerCase(const std::string& text) {
    std::string key = text;
    for (char& c : key)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return key;
}

// White space as XML defines it.
const char* const kXmlSpace = " \t\r\n";

bool IsXmlSpace(char c) {
    return c != '\0' && strchr(kXmlSpace, c) != nullptr;
}

// The element's character data before its first child, whole: the parser delivers it in
// pieces split at line breaks and references ("caf", "\xc3\xa9", " au lait"). FALSE when
// the element has none.
bool GetCharacterData(const apr_xml_elem* elem, std::string& data) {
    const apr_text* piece = elem->first_cdata.first;
    if (!piece)
        return false;
    for (; piece; piece = piece->next) {
        if (piece->text)
            data += piece->text;
    }
    return true;
}

bool NameIs(const char* name, const char* expected) {
    return name && strcasecmp(name, expected) == 0;
}

bool NameStartsWith(const std::string& name, const char* prefix) {
    return strncasecmp(name.c_str(), prefix, strlen(prefix)) == 0;
}

// A weight written in a document: a decimal number with a point, whatever numeric locale
// the host process set (strtod alone would read "0.5" as 0 under a comma locale).
float ParseWeight(const char* text) {
    static const locale_t classic = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
    return static_cast<float>(classic ? strtod_l(text, nullptr, classic) : strtod(text, nullptr));
}

template <typename Map>
typename Map::mapped_type FindRecord(const Map& map, const std::string& name) {
    auto it = map.find(name);
    return it == map.end() ? nullptr : it->second;
}

}  // namespace

bool DtmfContext::SetParams(const GrammarParams& params) {
    for (const auto& param : params) {
        const char* value = param.second.c_str();
        if (NameStartsWith(param.first, "length")) {
            m_length = strtol(value, nullptr, 10);
        } else if (NameStartsWith(param.first, "minlength")) {
            m_minLength = strtol(value, nullptr, 10);
        } else if (NameStartsWith(param.first, "maxlength")) {
            m_maxLength = strtol(value, nullptr, 10);
        }
    }
    return true;
}

bool ParseBooleanString(const char* text, bool& value) {
    if (strcmp(text, "false") == 0) {
        value = false;
        return true;
    }
    if (strcmp(text, "true") == 0) {
        value = true;
        return true;
    }
    return false;
}

// ---- BuiltinGrammar -----------------------------------------------------------------------

bool BuiltinGrammar::Load(const apr_xml_elem* elem) {
    bool enable = true;
    LoadConfigAttribs(elem, "Builtin Grammar", [this, &enable](const ConfigAttrib& a) {
        if (a.Is("name")) {
            a.GetString(m_name);
        } else if (a.Is("mode")) {
            if (a.ValueIs("speech")) {
                m_mode = MODE_SPEECH;
            } else if (a.ValueIs("dtmf")) {
                m_mode = MODE_DTMF;
            } else {
                a.WarnUnexpectedValue("Mode Attribute");
            }
        } else if (a.Is("input")) {
            if (a.ValueIs("event")) {
                m_input = INPUT_EVENT;
            } else if (a.ValueIs("text")) {
                m_input = INPUT_TEXT;
            } else {
                a.WarnUnexpectedValue("Input Attribute");
            }
        } else if (a.Is("enable")) {
            a.GetBool(enable);
        } else if (a.Is("action")) {
            a.GetString(m_action);
        } else if (a.Is("parameter-name")) {
            a.GetString(m_parameterName);
        } else if (a.Is("project-id")) {
            a.GetString(m_projectId);
        } else if (a.Is("length")) {
            m_dtmf.m_length = a.GetInt();
        } else if (a.Is("min-length")) {
            m_dtmf.m_minLength = a.GetInt();
        } else if (a.Is("max-length")) {
            m_dtmf.m_maxLength = a.GetInt();
        } else {
            return false;
        }
        return true;
    });
    if (!enable) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Skip Disabled Builtin Grammar <%s>",
                m_name.c_str());
        return false;
    }
    if (m_name.empty()) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Missing Builtin Grammar Name");
        return false;
    }
    return true;
}

// ---- SpeechContext ------------------------------------------------------------------------

bool SpeechContext::Load(const apr_xml_elem* elem) {
    m_enable = true;
    LoadAttribs(elem);
    if (!m_enable) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Skip Disabled Speech Context <%s>",
                m_id.c_str());
        return false;
    }
    if (m_id.empty()) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Missing Speech Context Id");
        return false;
    }
    LoadPhrases(elem);
    m_loaded = true;
    return true;
}

bool SpeechContext::LoadAttribs(const apr_xml_elem* elem) {
    LoadConfigAttribs(elem, "Speech Context", [this](const ConfigAttrib& a) {
        if (a.Is("id")) {
            a.GetString(m_id);
        } else if (a.Is("language")) {
            a.GetString(m_language);
        } else if (a.Is("enable") || a.Is("speech-complete")) {
            bool& field = a.Is("enable") ? m_enable : m_speechComplete;
            if (!ParseBooleanString(a.Value(), field))
                a.WarnUnexpectedValue("Boolean Attribute");
        } else {
            return false;
        }
        return true;
    });
    return true;
}

bool SpeechContext::LoadPhrases(const apr_xml_elem* elem) {
    for (const apr_xml_elem* child = elem->first_child; child; child = child->next) {
        if (strcasecmp(child->name, "phrase") == 0) {
            LoadPhrase(child);
        } else {
            apt_log(APT_LOG_SOURCE_DEFAULT, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Unknown Element <%s> in Speech Context <%s>", child->name, m_id.c_str());
        }
    }
    return true;
}

bool SpeechContext::LoadPhrase(const apr_xml_elem* elem) {
    std::string text;
    if (!GetElementText(elem, text) || text.empty())
        return false;
    std::string value;
    float weight = -1;
    LoadConfigAttribs(elem, "Phrase", [&value, &weight](const ConfigAttrib& a) {
        if (a.Is("tag")) {
            a.GetString(value);
        } else if (a.Is("boost") || a.Is("weight")) {
            weight = ParseWeight(a.Value());
        } else {
            return false;
        }
        return true;
    });
    return AddPhrase(text, value, weight);
}

bool SpeechContext::AddPhrase(const std::string& text, const std::string& value, float weight) {
    if (weight >= 0) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG,
                "Add Phrase [%s] with Weight [%.2f] to Speech Context [%s]", text.c_str(),
                static_cast<double>(weight), m_id.c_str());
    } else {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Add Phrase [%s] to Speech Context [%s]",
                text.c_str(), m_id.c_str());
    }
    m_phrases.emplace(LowerCase(text), Value{text, value, weight});
    return true;
}

bool SpeechContext::FindPhrase(const std::string& text, bool& complete) const {
    const std::string key = LowerCase(text);
    auto it = m_phrases.find(key);
    if (it == m_phrases.end())
        return false;
    // Keys are sorted, so a longer phrase that starts with this one comes right after it.
    auto next = std::next(it);
    complete = next == m_phrases.end() || next->first.compare(0, key.size(), key) != 0;
    return true;
}

bool SpeechContext::LoadSrgsRules(const apr_xml_elem* root, const std::string& rootName) {
    for (const apr_xml_elem* child = root->first_child; child; child = child->next) {
        if (NameIs(child->name, "rule"))
            LoadSrgsRule(child, rootName);
    }
    return true;
}

bool SpeechContext::LoadSrgsRule(const apr_xml_elem* rule, const std::string& rootName) {
    const char* id = "";
    for (const apr_xml_attr* attr = rule->attr; attr; attr = attr->next) {
        if (NameIs(attr->name, "id"))
            id = attr->value ? attr->value : "";
    }
    if (rootName != id)
        return true;
    for (const apr_xml_elem* child = rule->first_child; child; child = child->next) {
        if (NameIs(child->name, "one-of")) {
            LoadSrgsOneOf(child);
        } else if (NameIs(child->name, "tag")) {
            GetTagText(child, m_ruleTag);
        }
    }
    return true;
}

bool SpeechContext::LoadSrgsOneOf(const apr_xml_elem* oneOf) {
    for (const apr_xml_elem* child = oneOf->first_child; child; child = child->next) {
        if (NameIs(child->name, "item"))
            LoadSrgsItem(child);
    }
    return true;
}

bool SpeechContext::LoadSrgsItem(const apr_xml_elem* item) {
    std::string text;
    // An empty phrase would match an empty transcript and means nothing as a hint.
    if (!GetElementText(item, text) || text.empty())
        return false;
    float weight = -1;
    for (const apr_xml_attr* attr = item->attr; attr; attr = attr->next) {
        if (NameIs(attr->name, "weight") && attr->value) {
            weight = ParseWeight(attr->value);
            break;
        }
    }
    std::string value;
    for (const apr_xml_elem* child = item->first_child; child; child = child->next) {
        if (NameIs(child->name, "tag"))
            LoadSrgsItemTag(child, value);
    }
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Add Phrase [%s] to Speech Context [%s]",
            text.c_str(), m_id.c_str());
    return AddPhrase(text, value, weight);
}

bool SpeechContext::LoadSrgsItemTag(const apr_xml_elem* tag, std::string& value) {
    return GetTagText(tag, value);
}

// ---- GrammarRef ---------------------------------------------------------------------------

std::string GrammarRef::GetText() const {
    if (m_source == SOURCE_SESSION)
        return "session:" + m_id;
    return "builtin:" + m_typePath + m_namePrefix + m_name;
}

void GrammarRef::UnquoteGrammarUri(apt_text_stream_t* stream) {
    if (apt_text_is_eos(stream))
        return;
    char* pos = stream->pos;
    while (pos < stream->end && *pos == '<')
        ++pos;
    const void* close = memchr(pos, '>', static_cast<size_t>(stream->end - pos));
    stream->pos = pos;
    if (close)
        stream->end = static_cast<const char*>(close);
}

void GrammarRef::ParseBuiltinParams(apt_text_stream_t* stream) {
    apt_str_t field;
    while (!apt_text_is_eos(stream) && apt_text_field_read(stream, ';', TRUE, &field)) {
        if (field.length == 0)
            break;
        apt_text_stream_t fieldStream;
        apt_text_stream_init(&fieldStream, field.buf, field.length);
        apt_str_t nameText;
        apt_text_field_read(&fieldStream, '=', TRUE, &nameText);
        if (nameText.length == 0)
            continue;
        apt_text_spaces_skip(&fieldStream);
        std::string name(nameText.buf, nameText.length);
        std::string value;
        if (!apt_text_is_eos(&fieldStream))
            value.assign(fieldStream.pos, static_cast<size_t>(fieldStream.end - fieldStream.pos));
        if (NameStartsWith(name, "projectid")) {
            m_projectId = std::move(value);
        } else if (NameStartsWith(name, "x-goog-user-project")) {
            m_userProject = std::move(value);
        } else if (NameStartsWith(name, "dialogid")) {
            m_dialogId = std::move(value);
        } else if (NameStartsWith(name, "method")) {
            m_method = std::move(value);
        } else if (NameStartsWith(name, "agent")) {
            m_agent = std::move(value);
        } else {
            m_params.emplace(std::move(name), std::move(value));
        }
    }
}

bool GrammarRef::LoadSrgsGrammar(const apr_xml_elem* root, const SpeechContextMap& speechContexts,
                                 const BuiltinGrammarMap& builtinSpeechGrammars,
                                 const BuiltinGrammarMap& builtinDtmfGrammars,
                                 const std::string& transcriptionGrammar) {
    if (!root->name || strcmp(root->name, "grammar") != 0) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Unexpected XML root element <%s>",
                root->name ? root->name : "");
        return false;
    }
    std::string mode = "voice";
    for (const apr_xml_attr* attr = root->attr; attr; attr = attr->next) {
        const char* value = attr->value ? attr->value : "";
        if (NameIs(attr->name, "mode")) {
            mode = value;
        } else if (NameIs(attr->name, "root")) {
            m_name = value;
        }
    }
    m_source = SOURCE_SESSION;
    m_type = TYPE_NONE;
    if (mode == "voice") {
        m_type = TYPE_SPEECH;
    } else if (mode == "dtmf") {
        m_type = TYPE_DTMF;
    } else {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Unexpected SRGS Grammar Mode [%s]",
                mode.c_str());
        return false;
    }

    bool own = true;
    SpeechContext::Scope scope = SpeechContext::SCOPE_STRICT;
    bool speechComplete = true;
    LoadSrgsMetaTags(root, transcriptionGrammar, own, scope, speechComplete);
    const char* language = root->lang;

    if (own) {
        std::unique_ptr<SpeechContext> context =
            CreateSpeechContext(language, scope, speechComplete);
        context->LoadSrgsRules(root, m_name);
        if (!context->m_ruleTag.empty())
            m_queryParamsText = context->m_ruleTag;
        SetOwnSpeechContext(std::move(context));
        m_builtinGrammar = nullptr;
        return true;
    }
    if (m_type == TYPE_SPEECH) {
        if (m_name == transcriptionGrammar) {
            SetOwnSpeechContext(CreateSpeechContext(language, scope, speechComplete));
        } else {
            const SpeechContext* context = FindRecord(speechContexts, m_name);
            const BuiltinGrammar* builtin = FindRecord(builtinSpeechGrammars, m_name);
            if (!context && !builtin) {
                apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                        "No Such Builtin Speech Grammar [%s] ", m_name.c_str());
                return false;
            }
            SetSharedSpeechContext(context);
            m_builtinGrammar = builtin;
        }
    } else if (m_type == TYPE_DTMF) {
        m_builtinGrammar = FindRecord(builtinDtmfGrammars, m_name);
    }
    return true;
}

bool GrammarRef::LoadSrgsMetaTags(const apr_xml_elem* root, const std::string& transcriptionGrammar,
                                  bool& own, SpeechContext::Scope& scope, bool& speechComplete) {
    own = true;
    scope = SpeechContext::SCOPE_STRICT;
    bool speechCompleteGiven = false;
    for (const apr_xml_elem* child = root->first_child; child; child = child->next) {
        if (NameIs(child->name, "tag")) {
            SpeechContext::GetTagText(child, m_queryParamsText);
            continue;
        }
        if (!NameIs(child->name, "meta"))
            continue;
        std::string name;
        std::string content;
        LoadSrgsMetaTag(child, name, content);
        if (name == "projectid") {
            m_projectId = content;
        } else if (name == "x-goog-user-project") {
            m_userProject = content;
        } else if (name == "dialogid") {
            m_dialogId = content;
        } else if (name == "method") {
            m_method = content;
        } else if (name == "agent") {
            m_agent = content;
        } else if (name == "scope") {
            if (content == "builtin") {
                own = false;
                scope = SpeechContext::SCOPE_BUILTIN;
            } else if (content == "event") {
                own = false;
                scope = SpeechContext::SCOPE_BUILTIN;
                m_type = TYPE_EVENT;
            } else if (content == transcriptionGrammar) {
                own = false;
                m_name = content;
                scope = SpeechContext::SCOPE_BUILTIN;
            } else if (content == "hint") {
                scope = SpeechContext::SCOPE_HINT;
            } else if (content != "strict") {
                apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG,
                        "Unexpected SRGS Grammar Scope [%s]", content.c_str());
            }
        } else if (name == "speech-complete") {
            if (ParseBooleanString(content.c_str(), speechComplete)) {
                speechCompleteGiven = true;
            } else {
                apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                        "Unexpected Value <%s> for Boolean Attribute <%s>", content.c_str(),
                        name.c_str());
            }
        } else if (!name.empty()) {
            // A meta without name would become a parameter without name.
            m_params.emplace(name, content);
        }
    }
    if (!speechCompleteGiven)
        speechComplete = scope == SpeechContext::SCOPE_STRICT;
    return true;
}

bool GrammarRef::LoadSrgsMetaTag(const apr_xml_elem* elem, std::string& name,
                                 std::string& content) {
    for (const apr_xml_attr* attr = elem->attr; attr; attr = attr->next) {
        const char* value = attr->value ? attr->value : "";
        if (NameIs(attr->name, "name")) {
            name = value;
        } else if (NameIs(attr->name, "content")) {
            content = value;
        }
    }
    return true;
}

std::unique_ptr<SpeechContext> GrammarRef::CreateSpeechContext(const char* language,
                                                               SpeechContext::Scope scope,
                                                               bool speechComplete) const {
    auto context = std::make_unique<SpeechContext>();
    context->m_id = m_id;
    if (language && *language)
        context->m_language = language;
    context->m_scope = scope;
    context->m_speechComplete = speechComplete;
    context->m_loaded = false;
    return context;
}

void GrammarRef::SetSharedSpeechContext(const SpeechContext* context) {
    m_ownContext.reset();
    m_speechContext = context;
}

void GrammarRef::SetOwnSpeechContext(std::unique_ptr<SpeechContext> context) {
    m_ownContext = std::move(context);
    m_speechContext = m_ownContext.get();
}

bool SpeechContext::GetElementText(const apr_xml_elem* elem, std::string& text) {
    std::string data;
    if (!GetCharacterData(elem, data))
        return false;
    // Words separated by one space, whatever the layout of the document.
    std::string result;
    bool blank = false;  // white space seen since the last word
    for (char c : data) {
        if (IsXmlSpace(c)) {
            blank = true;
            continue;
        }
        if (blank && !result.empty())
            result += ' ';
        blank = false;
        result += c;
    }
    text = std::move(result);
    return true;
}

bool SpeechContext::GetTagText(const apr_xml_elem* elem, std::string& text) {
    std::string data;
    if (!GetCharacterData(elem, data))
        return false;
    // The content belongs to the application (JSON, for one): only the ends are trimmed.
    const size_t first = data.find_first_not_of(kXmlSpace);
    text = first == std::string::npos
               ? std::string()
               : data.substr(first, data.find_last_not_of(kXmlSpace) - first + 1);
    return true;
}

}  // namespace Zeph
