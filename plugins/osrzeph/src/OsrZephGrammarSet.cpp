#include "OsrZephGrammarSet.h"

#include <strings.h>
#include <cstring>

#include "OsrZephLog.h"
#include "OsrZephSettings.h"

namespace Zeph {

namespace {

const char* const kSuffix = "zeph";

const char* const kUriList = "text/uri-list";
const char* const kGrammarRefList = "text/grammar-ref-list";
const char* const kSpeechContextType = "application/xml";
const char* const kSrgsType = "application/srgs+xml";
const char* const kGrammarXmlType = "application/grammar+xml";

// The header's value when it is present and not empty, else null.
const apt_str_t* GenericHeader(const mrcp_message_t* message, mrcp_generic_header_id id,
                               const apt_str_t& value) {
    if (!mrcp_generic_header_property_check(message, id) || !value.buf || value.length == 0)
        return nullptr;
    return &value;
}

bool Equals(const apt_str_t* text, const char* expected) {
    return text && text->length == strlen(expected) &&
           memcmp(text->buf, expected, text->length) == 0;
}

// Consumes `prefix` (without case) at the stream's position.
bool ReadPrefix(apt_text_stream_t* stream, const char* prefix) {
    const size_t length = strlen(prefix);
    if (apt_text_is_eos(stream) || static_cast<size_t>(stream->end - stream->pos) < length ||
        strncasecmp(stream->pos, prefix, length) != 0) {
        return false;
    }
    stream->pos += length;
    return true;
}

std::string Rest(const apt_text_stream_t* stream) {
    if (apt_text_is_eos(stream))
        return std::string();
    return std::string(stream->pos, static_cast<size_t>(stream->end - stream->pos));
}

int RestLength(const apt_text_stream_t* stream) {
    return apt_text_is_eos(stream) ? 0 : static_cast<int>(stream->end - stream->pos);
}

// Reads the next entry of a URI list into `line`: blank lines are passed over, leading spaces
// (and in a grammar-ref list, the quotes) are skipped. False at the end of the list.
bool NextListEntry(apt_text_stream_t* list, bool refList, apt_text_stream_t* line) {
    apt_str_t lineText;
    while (apt_text_line_read(list, &lineText)) {
        apt_text_stream_init(line, lineText.buf, lineText.length);
        apt_text_spaces_skip(line);
        if (apt_text_is_eos(line))
            continue;  // empty or blank line
        if (refList) {
            GrammarRef::UnquoteGrammarUri(line);
            apt_text_spaces_skip(line);
        }
        return true;
    }
    return false;
}

// The one of three per-type things that belongs to grammar type `type`; null for any other.
template <typename T>
T* ByType(uint32_t type, T* speech, T* event, T* dtmf) {
    switch (type) {
        case GrammarRef::TYPE_SPEECH:
            return speech;
        case GrammarRef::TYPE_EVENT:
            return event;
        case GrammarRef::TYPE_DTMF:
            return dtmf;
        default:
            return nullptr;
    }
}

// A pool for one parsed document: the tree is read into our own records and then dropped,
// so that it does not stay in the request's pool for the whole recognition.
class ScratchPool {
public:
    explicit ScratchPool(apr_pool_t* parent) { apr_pool_create(&m_pool, parent); }
    ~ScratchPool() { apr_pool_destroy(m_pool); }
    ScratchPool(const ScratchPool&) = delete;
    ScratchPool& operator=(const ScratchPool&) = delete;
    apr_pool_t* Get() const { return m_pool; }

private:
    apr_pool_t* m_pool = nullptr;
};

}  // namespace

// The type paths of built-in URIs, in matching order: "grammar/event_" before "grammar/".
struct GrammarSet::TypePath {
    const char* m_text;    // matched without case
    const char* m_path;    // GrammarRef::m_typePath
    const char* m_prefix;  // GrammarRef::m_namePrefix
    uint32_t m_type;
};

GrammarSet::GrammarSet(const EngineSettings& settings, std::string channelId)
    : m_settings(settings), m_channelId(std::move(channelId)) {}

GrammarSet::~GrammarSet() = default;

bool GrammarSet::SkipUnsupported() const {
    return m_settings.m_streaming.m_skipUnsupportedGrammars;
}

// ---- DEFINE-GRAMMAR -----------------------------------------------------------------------

mrcp_status_code_e GrammarSet::DefineGrammar(mrcp_message_t* request, mrcp_message_t* response) {
    const mrcp_generic_header_t& header = request->generic_header;
    const apt_str_t* type =
        GenericHeader(request, GENERIC_HEADER_CONTENT_TYPE, header.content_type);
    const apt_str_t* idText = GenericHeader(request, GENERIC_HEADER_CONTENT_ID, header.content_id);

    mrcp_status_code_e status = MRCP_STATUS_CODE_SUCCESS;
    if (!idText) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Missing Content-Id <%s@%s>",
                ChannelId(), kSuffix);
        status = MRCP_STATUS_CODE_MISSING_PARAM;
    } else if (type) {
        const std::string id(idText->buf, idText->length);
        if (Equals(type, kUriList)) {
            status = DefineGrammarList(id, request->body, false);
        } else if (Equals(type, kGrammarRefList)) {
            status = DefineGrammarList(id, request->body, true);
        } else if (Equals(type, kSpeechContextType)) {
            status = DefineSpeechContext(request, id);
        } else if (m_settings.m_streaming.m_acceptSrgs &&
                   (Equals(type, kSrgsType) || Equals(type, kGrammarXmlType))) {
            status = DefineSrgsGrammar(request, id);
        } else {
            const std::string typeText(type->buf, type->length);
            apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Unsupported Content Type [%s] <%s@%s>", typeText.c_str(), ChannelId(),
                    kSuffix);
            if (!SkipUnsupported())
                status = MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE;
        }
    } else if (request->body.length > 0) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Missing Content-Type <%s@%s>",
                ChannelId(), kSuffix);
        status = MRCP_STATUS_CODE_MISSING_PARAM;
    } else {
        // Removal: speech grammars only.
        const std::string id(idText->buf, idText->length);
        auto it = m_speechGrammars.find(id);
        if (it == m_speechGrammars.end()) {
            apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Non-Existent Content-Id [%s] <%s@%s>", id.c_str(), ChannelId(), kSuffix);
            status = MRCP_STATUS_CODE_MISSING_PARAM;
        } else {
            apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG,
                    "Remove Existing Speech Context [%s] <%s@%s>", id.c_str(), ChannelId(),
                    kSuffix);
            m_speechGrammars.erase(it);
        }
    }

    if (status != MRCP_STATUS_CODE_SUCCESS && response) {
        response->start_line.status_code = status;
        response->resource_header.completion_cause =
            RECOGNIZER_COMPLETION_CAUSE_GRAMMAR_LOAD_FAILURE;
        mrcp_resource_header_property_add(response, RECOGNIZER_HEADER_COMPLETION_CAUSE);
    }
    return status;
}

mrcp_status_code_e GrammarSet::DefineGrammarList(const std::string& id, const apt_str_t& body,
                                                 bool refList) {
    apt_text_stream_t stream;
    apt_text_stream_init(&stream, body.buf, body.length);
    apt_text_stream_t line;
    while (NextListEntry(&stream, refList, &line)) {
        if (ReadPrefix(&line, "builtin:")) {
            apt_text_spaces_skip(&line);
            const mrcp_status_code_e status = DefineBuiltinGrammar(id, &line);
            if (status != MRCP_STATUS_CODE_SUCCESS && !SkipUnsupported())
                return status;
        } else {
            apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Unsupported Grammar Format [%.*s] <%s@%s>", RestLength(&line), line.pos,
                    ChannelId(), kSuffix);
            if (!SkipUnsupported())
                return MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE;
        }
    }
    return MRCP_STATUS_CODE_SUCCESS;
}

mrcp_status_code_e GrammarSet::DefineBuiltinGrammar(const std::string& id,
                                                    apt_text_stream_t* stream) {
    const TypePath* typePath = ReadTypePath(stream);
    if (!typePath)
        return MRCP_STATUS_CODE_MISSING_PARAM;
    auto grammar = std::make_shared<GrammarRef>();
    const mrcp_status_code_e status = ReadBuiltin(stream, *typePath, *grammar);
    if (status != MRCP_STATUS_CODE_SUCCESS)
        return status;
    grammar->m_id = id;
    grammar->m_source = GrammarRef::SOURCE_SESSION;
    GrammarMap* map = MapOf(grammar->m_type);
    Store(*map, id, std::move(grammar), false);
    return MRCP_STATUS_CODE_SUCCESS;
}

mrcp_status_code_e GrammarSet::DefineSpeechContext(mrcp_message_t* request, const std::string& id) {
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Parse Speech Context [%s] <%s@%s>",
            id.c_str(), ChannelId(), kSuffix);
    ScratchPool pool(request->pool);
    const apr_xml_elem* root =
        ParseXmlDocument(request->body.buf, request->body.length, pool.Get());
    if (!root)
        return MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE;
    if (!root->name || strcmp(root->name, "speech-context") != 0) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Unexpected XML root element <%s> <%s@%s>", root->name ? root->name : "",
                ChannelId(), kSuffix);
        return MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE;
    }
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Load Speech Context [%s] <%s@%s>",
            id.c_str(), ChannelId(), kSuffix);
    auto context = std::make_unique<SpeechContext>();
    context->LoadAttribs(root);
    context->m_id = id;  // the Content-Id names it, whatever the document says
    context->m_loaded = false;
    context->LoadPhrases(root);
    if (context->m_phrases.empty())
        return MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE;

    auto grammar = std::make_shared<GrammarRef>();
    grammar->m_id = id;
    grammar->m_name = id;
    grammar->m_type = GrammarRef::TYPE_SPEECH;
    grammar->m_source = GrammarRef::SOURCE_SESSION;
    grammar->SetOwnSpeechContext(std::move(context));
    Store(m_speechGrammars, id, std::move(grammar), true);
    return MRCP_STATUS_CODE_SUCCESS;
}

mrcp_status_code_e GrammarSet::DefineSrgsGrammar(mrcp_message_t* request, const std::string& id) {
    return DefineSrgs(request, id, nullptr);
}

mrcp_status_code_e GrammarSet::DefineSrgs(mrcp_message_t* request, const std::string& id,
                                          GrammarPtr* defined) {
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Parse SRGS Grammar [%s] <%s@%s>",
            id.c_str(), ChannelId(), kSuffix);
    ScratchPool pool(request->pool);
    const apr_xml_elem* root =
        ParseXmlDocument(request->body.buf, request->body.length, pool.Get());
    if (!root)
        return MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE;
    auto grammar = std::make_shared<GrammarRef>();
    grammar->m_id = id;
    if (!grammar->LoadSrgsGrammar(
            root, m_settings.m_speechContexts, m_settings.m_builtinSpeechGrammars,
            m_settings.m_builtinDtmfGrammars, m_settings.m_streaming.m_transcriptionGrammar)) {
        return MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE;
    }
    if (grammar->m_type == GrammarRef::TYPE_DTMF && grammar->m_name.empty())
        grammar->m_name = id;
    if (defined)
        *defined = grammar;
    if (GrammarMap* map = MapOf(grammar->m_type))
        Store(*map, id, std::move(grammar), false);
    return MRCP_STATUS_CODE_SUCCESS;
}

apr_xml_elem* GrammarSet::ParseXmlDocument(const char* text, apr_size_t length, apr_pool_t* pool) {
    if (!text || length == 0) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "XML Content Emtpy");
        return nullptr;
    }
    apr_xml_parser* parser = apr_xml_parser_create(pool);
    if (!parser || apr_xml_parser_feed(parser, text, length) != APR_SUCCESS) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Failed to feed XML Content to Parser");
        return nullptr;
    }
    apr_xml_doc* doc = nullptr;
    if (apr_xml_parser_done(parser, &doc) != APR_SUCCESS) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Terminate XML parsing");
        return nullptr;
    }
    if (!doc || !doc->root) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "No XML Root Element");
        return nullptr;
    }
    return doc->root;
}

// ---- Activation ---------------------------------------------------------------------------

mrcp_status_code_e GrammarSet::SetActiveGrammar(mrcp_message_t* request,
                                                mpf_sdi_detector_t* detector) {
    ClearActive();
    const mrcp_generic_header_t& header = request->generic_header;
    const apt_str_t* type =
        GenericHeader(request, GENERIC_HEADER_CONTENT_TYPE, header.content_type);
    if (!type) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Missing Content-Type <%s@%s>",
                ChannelId(), kSuffix);
        return MRCP_STATUS_CODE_MISSING_PARAM;
    }
    if (Equals(type, kUriList))
        return SetActiveGrammarList(request->body, false, detector);
    if (Equals(type, kGrammarRefList))
        return SetActiveGrammarList(request->body, true, detector);

    const bool speechContext = Equals(type, kSpeechContextType);
    const bool srgs = m_settings.m_streaming.m_acceptSrgs &&
                      (Equals(type, kSrgsType) || Equals(type, kGrammarXmlType));
    if (!speechContext && !srgs) {
        const std::string typeText(type->buf, type->length);
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Unsupported Content Type [%s] <%s@%s>", typeText.c_str(), ChannelId(), kSuffix);
        return SkipUnsupported() ? MRCP_STATUS_CODE_SUCCESS
                                 : MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE;
    }

    const apt_str_t* idText = GenericHeader(request, GENERIC_HEADER_CONTENT_ID, header.content_id);
    if (!idText) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Missing Content-Id <%s@%s>",
                ChannelId(), kSuffix);
        return MRCP_STATUS_CODE_MISSING_PARAM;
    }
    const std::string id(idText->buf, idText->length);
    if (speechContext) {
        const mrcp_status_code_e status = DefineSpeechContext(request, id);
        if (status != MRCP_STATUS_CODE_SUCCESS)
            return status;
        auto it = m_speechGrammars.find(id);
        if (it == m_speechGrammars.end()) {
            apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "No Such Session Speech Grammar [%s] <%s@%s>", id.c_str(), ChannelId(),
                    kSuffix);
            return MRCP_STATUS_CODE_ILLEGAL_PARAM_VALUE;
        }
        return PlaceGrammar(it->second, detector);
    }
    // The grammar just read is the one to activate, even when an older grammar of another
    // type is stored under the same id.
    GrammarPtr grammar;
    const mrcp_status_code_e status = DefineSrgs(request, id, &grammar);
    if (status != MRCP_STATUS_CODE_SUCCESS)
        return status;
    return PlaceGrammar(grammar, detector);
}

mrcp_status_code_e GrammarSet::SetActiveGrammarList(const apt_str_t& body, bool refList,
                                                    mpf_sdi_detector_t* detector) {
    apt_text_stream_t stream;
    apt_text_stream_init(&stream, body.buf, body.length);
    apt_text_stream_t line;
    while (NextListEntry(&stream, refList, &line)) {
        mrcp_status_code_e status = MRCP_STATUS_CODE_SUCCESS;
        if (ReadPrefix(&line, "builtin:")) {
            apt_text_spaces_skip(&line);
            status = SetActiveBuiltinGrammar(&line, detector);
        } else if (ReadPrefix(&line, "session:")) {
            apt_text_spaces_skip(&line);
            const std::string id = Rest(&line);
            GrammarPtr grammar;
            for (const GrammarMap* map : {&m_speechGrammars, &m_eventGrammars, &m_dtmfGrammars}) {
                auto it = map->find(id);
                if (it != map->end()) {
                    grammar = it->second;
                    if (!grammar) {
                        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                                "NULL Session Grammar [%s] <%s@%s>", id.c_str(), ChannelId(),
                                kSuffix);
                        return MRCP_STATUS_CODE_ILLEGAL_PARAM_VALUE;
                    }
                    break;
                }
            }
            if (!grammar) {
                apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                        "No Such Session Grammar [%s] <%s@%s>", id.c_str(), ChannelId(), kSuffix);
                return MRCP_STATUS_CODE_ILLEGAL_PARAM_VALUE;
            }
            status = PlaceGrammar(grammar, detector);
        } else {
            apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Unsupported Grammar Format [%.*s] <%s@%s>", RestLength(&line), line.pos,
                    ChannelId(), kSuffix);
            status = MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE;
        }
        if (status != MRCP_STATUS_CODE_SUCCESS && !SkipUnsupported())
            return status;
    }
    return MRCP_STATUS_CODE_SUCCESS;
}

mrcp_status_code_e GrammarSet::SetActiveBuiltinGrammar(apt_text_stream_t* stream,
                                                       mpf_sdi_detector_t* detector) {
    const TypePath* typePath = ReadTypePath(stream);
    if (!typePath)
        return MRCP_STATUS_CODE_MISSING_PARAM;
    mrcp_status_code_e status = CheckSlotFree(typePath->m_type);
    if (status != MRCP_STATUS_CODE_SUCCESS)
        return status;
    auto grammar = std::make_shared<GrammarRef>();
    status = ReadBuiltin(stream, *typePath, *grammar);
    if (status != MRCP_STATUS_CODE_SUCCESS)
        return status;
    grammar->m_id = grammar->m_name;
    grammar->m_source = GrammarRef::SOURCE_BUILTIN;
    if (grammar->m_type == GrammarRef::TYPE_DTMF)
        ApplyDtmfLengths(*grammar, detector);
    *SlotOf(grammar->m_type) = grammar;
    GrammarMap* map = MapOf(grammar->m_type);
    const std::string key = grammar->m_name;
    Store(*map, key, std::move(grammar), false);
    return MRCP_STATUS_CODE_SUCCESS;
}

bool GrammarSet::GetDtmfLengths(const GrammarRef& grammar, DtmfContext& lengths) {
    lengths = DtmfContext();
    bool given = false;
    if (grammar.m_builtinGrammar) {
        lengths.m_length = grammar.m_builtinGrammar->m_dtmf.m_length;
        lengths.m_minLength = grammar.m_builtinGrammar->m_dtmf.m_minLength;
        lengths.m_maxLength = grammar.m_builtinGrammar->m_dtmf.m_maxLength;
        given = true;
    }
    if (!grammar.m_params.empty()) {
        lengths.SetParams(grammar.m_params);
        given = true;
    }
    // The detector's limits are unsigned: a negative one would ask for billions of digits.
    for (int64_t* value : {&lengths.m_length, &lengths.m_minLength, &lengths.m_maxLength}) {
        if (*value < 0)
            *value = 0;
    }
    return given;
}

void GrammarSet::ClearActive() {
    m_speechGrammar.reset();
    m_eventGrammar.reset();
    m_dtmfGrammar.reset();
}

void GrammarSet::Clear() {
    ClearActive();
    m_speechGrammars.clear();
    m_eventGrammars.clear();
    m_dtmfGrammars.clear();
}

// ---- Helpers ------------------------------------------------------------------------------

const GrammarSet::TypePath* GrammarSet::ReadTypePath(apt_text_stream_t* stream) const {
    static const TypePath kTypePaths[] = {
        {"speech/", "speech/", "", GrammarRef::TYPE_SPEECH},
        {"grammar/event_", "grammar/", "event_", GrammarRef::TYPE_EVENT},
        {"grammar/", "grammar/", "", GrammarRef::TYPE_SPEECH},
        {"event/", "event/", "", GrammarRef::TYPE_EVENT},
        {"dtmf/", "dtmf/", "", GrammarRef::TYPE_DTMF},
    };
    for (const TypePath& typePath : kTypePaths) {
        if (ReadPrefix(stream, typePath.m_text))
            return &typePath;
    }
    const std::string rest = Rest(stream);
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
            "Unknown Builtin Grammar Type [%s] <%s@%s>", rest.c_str(), ChannelId(), kSuffix);
    return nullptr;
}

mrcp_status_code_e GrammarSet::ReadBuiltin(apt_text_stream_t* stream, const TypePath& typePath,
                                           GrammarRef& grammar) const {
    apt_str_t name;
    apt_text_field_read(stream, '?', TRUE, &name);
    if (name.length == 0) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Missing Builtin Grammar Name <%s@%s>",
                ChannelId(), kSuffix);
        return MRCP_STATUS_CODE_MISSING_PARAM;
    }
    grammar.m_name.assign(name.buf, name.length);
    grammar.m_typePath = typePath.m_path;
    grammar.m_namePrefix = typePath.m_prefix;
    grammar.m_type = typePath.m_type;
    grammar.ParseBuiltinParams(stream);

    if (grammar.m_type == GrammarRef::TYPE_SPEECH) {
        // The transcription grammar is plain speech: no phrases, no record.
        if (grammar.m_name == m_settings.m_streaming.m_transcriptionGrammar)
            return MRCP_STATUS_CODE_SUCCESS;
        auto context = m_settings.m_speechContexts.find(grammar.m_name);
        auto builtin = m_settings.m_builtinSpeechGrammars.find(grammar.m_name);
        const bool hasContext = context != m_settings.m_speechContexts.end();
        const bool hasBuiltin = builtin != m_settings.m_builtinSpeechGrammars.end();
        if (!hasContext && !hasBuiltin) {
            apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                    "No Such Builtin Speech Grammar [%s] <%s@%s>", grammar.m_name.c_str(),
                    ChannelId(), kSuffix);
            return MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE;
        }
        grammar.SetSharedSpeechContext(hasContext ? context->second : nullptr);
        grammar.m_builtinGrammar = hasBuiltin ? builtin->second : nullptr;
    } else if (grammar.m_type == GrammarRef::TYPE_DTMF) {
        auto builtin = m_settings.m_builtinDtmfGrammars.find(grammar.m_name);
        if (builtin != m_settings.m_builtinDtmfGrammars.end())
            grammar.m_builtinGrammar = builtin->second;
    }
    return MRCP_STATUS_CODE_SUCCESS;
}

void GrammarSet::Store(GrammarMap& map, const std::string& key, GrammarPtr grammar,
                       bool speechContextWords) {
    auto it = map.find(key);
    if (it != map.end()) {
        if (speechContextWords) {
            apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG,
                    "Remove Existing Speech Context [%s] <%s@%s>", key.c_str(), ChannelId(),
                    kSuffix);
        } else {
            apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG,
                    "Remove Existing Context [%s] <%s@%s>", key.c_str(), ChannelId(), kSuffix);
        }
        map.erase(it);
    }
    if (speechContextWords) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Add Speech Context [%s] <%s@%s>",
                key.c_str(), ChannelId(), kSuffix);
    } else {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Add Context [%s] <%s@%s>", key.c_str(),
                ChannelId(), kSuffix);
    }
    grammar->m_lastUse = ++m_useCount;
    map.emplace(key, std::move(grammar));
    DropLeastRecentlyUsed();
}

void GrammarSet::DropLeastRecentlyUsed() {
    GrammarMap* const maps[] = {&m_speechGrammars, &m_eventGrammars, &m_dtmfGrammars};
    size_t stored = 0;
    for (const GrammarMap* map : maps)
        stored += map->size();
    for (; stored > kMaxStoredGrammars; --stored) {
        GrammarMap* oldestMap = nullptr;
        GrammarMap::iterator oldest;
        for (GrammarMap* map : maps) {
            for (auto it = map->begin(); it != map->end(); ++it) {
                if (!oldestMap || it->second->m_lastUse < oldest->second->m_lastUse) {
                    oldestMap = map;
                    oldest = it;
                }
            }
        }
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE,
                "Drop Least Recently Used Grammar [%s] <%s@%s>", oldest->first.c_str(), ChannelId(),
                kSuffix);
        oldestMap->erase(oldest);
    }
}

GrammarSet::GrammarMap* GrammarSet::MapOf(uint32_t type) {
    return ByType(type, &m_speechGrammars, &m_eventGrammars, &m_dtmfGrammars);
}

GrammarSet::GrammarPtr* GrammarSet::SlotOf(uint32_t type) {
    return ByType(type, &m_speechGrammar, &m_eventGrammar, &m_dtmfGrammar);
}

mrcp_status_code_e GrammarSet::CheckSlotFree(uint32_t type) const {
    const GrammarPtr* slot = ByType(type, &m_speechGrammar, &m_eventGrammar, &m_dtmfGrammar);
    if (!slot || !*slot)
        return MRCP_STATUS_CODE_SUCCESS;
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "%s Grammar Already Specified <%s@%s>",
            ByType(type, "Speech", "Event", "DTMF"), ChannelId(), kSuffix);
    return MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE;
}

mrcp_status_code_e GrammarSet::PlaceGrammar(const GrammarPtr& grammar,
                                            mpf_sdi_detector_t* detector) {
    GrammarPtr* slot = SlotOf(grammar->m_type);
    if (!slot)
        return MRCP_STATUS_CODE_SUCCESS;  // a grammar of no type is placed nowhere
    // A speech-context document may turn itself off: it stays defined, never active.
    const SpeechContext* context = grammar->GetSpeechContext();
    if (context && !context->m_enable) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG,
                "Skip Disabled Speech Context [%s] <%s@%s>", grammar->m_id.c_str(), ChannelId(),
                kSuffix);
        return MRCP_STATUS_CODE_SUCCESS;
    }
    const mrcp_status_code_e status = CheckSlotFree(grammar->m_type);
    if (status != MRCP_STATUS_CODE_SUCCESS)
        return status;
    if (grammar->m_type == GrammarRef::TYPE_DTMF)
        ApplyDtmfLengths(*grammar, detector);
    grammar->m_lastUse = ++m_useCount;
    *slot = grammar;
    return MRCP_STATUS_CODE_SUCCESS;
}

void GrammarSet::ApplyDtmfLengths(const GrammarRef& grammar, mpf_sdi_detector_t* detector) const {
    DtmfContext lengths;
    if (!detector || !GetDtmfLengths(grammar, lengths))
        return;
    mpf_sdi_dtmf_length_set(detector, static_cast<apr_uint64_t>(lengths.m_length),
                            static_cast<apr_uint64_t>(lengths.m_minLength),
                            static_cast<apr_uint64_t>(lengths.m_maxLength));
}

}  // namespace Zeph
