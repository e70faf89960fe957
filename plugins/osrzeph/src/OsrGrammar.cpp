#include "OsrGrammar.h"

#include <strings.h>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "OsrZephLog.h"
#include "OsrZephSettings.h"

namespace Zeph {

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
            weight = static_cast<float>(strtod(a.Value(), nullptr));
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
    std::string key = text;
    for (char& c : key)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    m_phrases.emplace(std::move(key), Value{text, value, weight});
    return true;
}

bool SpeechContext::GetElementText(const apr_xml_elem* elem, std::string& text) {
    const apr_text* piece = elem->first_cdata.first;
    if (!piece)
        return false;
    std::string result;
    for (; piece; piece = piece->next) {
        const char* start = piece->text;
        if (!start)
            continue;
        start += strspn(start, " \t\r\n");
        result += start;  // an all-blank piece adds nothing
    }
    text = std::move(result);
    return true;
}

}  // namespace Zeph
