// The grammars of one recognizer channel: DEFINE-GRAMMAR, and the activation of the grammars
// a RECOGNIZE names.
//
// A channel keeps three maps of grammars by key (speech, event, DTMF) and the three grammars
// active in the current recognition. Grammars are held by shared pointer, in the maps and in
// the active slots alike: a recognition that must outlive a replacement, a removal or the
// channel's Clear() copies the active pointers and keeps its grammars (and the contexts they
// own) alive until it lets go of them. Configured speech contexts and built-in records belong
// to the engine's settings, which outlive every channel.
//
// Bound: a long call may define a new Content-Id or name a new inline built-in grammar in
// every request, so a channel keeps at most kMaxStoredGrammars grammars over its three maps.
// Storing one more drops the grammar stored or activated longest ago (logged at NOTICE); a
// later "session:" reference to it fails like any unknown one.
//
// Threads: the engine's event processor thread only (construction, every call, destruction).
// No locks.
#pragma once

#include <map>
#include <memory>
#include <string>

#include <apr_pools.h>
#include <apr_xml.h>
#include <ostrin/apt_text_stream.h>
#include <ostrin/mrcp_message.h>

#include "OsrGrammar.h"
#include "mpf_sdi_detector.h"

namespace Zeph {

class EngineSettings;

class GrammarSet {
public:
    using GrammarPtr = std::shared_ptr<GrammarRef>;
    using GrammarMap = std::map<std::string, GrammarPtr>;

    // Most grammars a channel keeps, the three maps together.
    static constexpr size_t kMaxStoredGrammars = 100;

    // `settings` are the engine's (accept-srgs, skip-unsupported-grammars,
    // transcription-grammar, configured contexts and built-in grammars); they must outlive
    // the set. `channelId` fills the " <id@zeph>" suffix of log lines.
    explicit GrammarSet(const EngineSettings& settings, std::string channelId = std::string());
    ~GrammarSet();
    GrammarSet(const GrammarSet&) = delete;
    GrammarSet& operator=(const GrammarSet&) = delete;

    // The host channel id, when it is known only after construction.
    void SetChannelId(std::string channelId) { m_channelId = std::move(channelId); }

    // ---- DEFINE-GRAMMAR -------------------------------------------------------------------

    // Handles a DEFINE-GRAMMAR request: stores (or, without Content-Type and body, removes)
    // the grammar under its Content-Id. On failure sets the response's status and a
    // Completion-Cause of grammar-load-failure (004); on success leaves the response at 200.
    // Returns the status. Never sends the response.
    mrcp_status_code_e DefineGrammar(mrcp_message_t* request, mrcp_message_t* response);
    // A "text/uri-list" (refList false) or "text/grammar-ref-list" body of built-in URIs, all
    // stored under `id`.
    mrcp_status_code_e DefineGrammarList(const std::string& id, const apt_str_t& body,
                                         bool refList);
    // One built-in URI, the stream just after "builtin:".
    mrcp_status_code_e DefineBuiltinGrammar(const std::string& id, apt_text_stream_t* stream);
    // An "application/xml" speech-context document in the request's body.
    mrcp_status_code_e DefineSpeechContext(mrcp_message_t* request, const std::string& id);
    // An SRGS document in the request's body.
    mrcp_status_code_e DefineSrgsGrammar(mrcp_message_t* request, const std::string& id);

    // Parses an XML document into `pool`: its root element, or null (logged).
    static apr_xml_elem* ParseXmlDocument(const char* text, apr_size_t length, apr_pool_t* pool);

    // ---- Activation in RECOGNIZE ----------------------------------------------------------

    // Clears the active slots, then activates the grammars of a RECOGNIZE request (its body,
    // by Content-Type). A DTMF grammar sets the detector's DTMF lengths (`detector` may be
    // null: nothing is set). Returns the MRCP status, 200 on success; the caller answers a
    // failure with that status and Completion-Cause 004. Inline built-in grammars are also
    // stored under their names. A speech-context document with enable="false" is stored but
    // never placed in the speech slot.
    mrcp_status_code_e SetActiveGrammar(mrcp_message_t* request, mpf_sdi_detector_t* detector);
    mrcp_status_code_e SetActiveGrammarList(const apt_str_t& body, bool refList,
                                            mpf_sdi_detector_t* detector);
    // One built-in URI, the stream just after "builtin:".
    mrcp_status_code_e SetActiveBuiltinGrammar(apt_text_stream_t* stream,
                                               mpf_sdi_detector_t* detector);

    // The DTMF lengths a grammar asks for: its built-in record's limits, overridden by its
    // parameters. FALSE when it has neither (the detector then keeps its values). Negative
    // values read as 0 (not set).
    static bool GetDtmfLengths(const GrammarRef& grammar, DtmfContext& lengths);

    // The grammars active in the current recognition, or null. A recognition that must keep
    // them past the channel's next change copies these pointers.
    const GrammarPtr& GetSpeechGrammar() const { return m_speechGrammar; }
    const GrammarPtr& GetEventGrammar() const { return m_eventGrammar; }
    const GrammarPtr& GetDtmfGrammar() const { return m_dtmfGrammar; }
    // Empties the three active slots (the stored grammars stay).
    void ClearActive();

    // Drops every stored and active grammar (channel close). Grammars still held by a
    // recognition live on until it lets them go.
    void Clear();

    // The stored grammars by key.
    const GrammarMap& GetSpeechGrammars() const { return m_speechGrammars; }
    const GrammarMap& GetEventGrammars() const { return m_eventGrammars; }
    const GrammarMap& GetDtmfGrammars() const { return m_dtmfGrammars; }

private:
    struct TypePath;

    const char* ChannelId() const { return m_channelId.c_str(); }
    // skip-unsupported-grammars: skippable failures count as success.
    bool SkipUnsupported() const;
    // The type path at the stream (consumed), or null (logged).
    const TypePath* ReadTypePath(apt_text_stream_t* stream) const;
    // Name, parameters and the configured records of a built-in URI after its type path.
    mrcp_status_code_e ReadBuiltin(apt_text_stream_t* stream, const TypePath& typePath,
                                   GrammarRef& grammar) const;
    // Stores under `key`, replacing (and logging) a grammar already there; then drops the
    // least recently used grammars beyond the bound.
    void Store(GrammarMap& map, const std::string& key, GrammarPtr grammar,
               bool speechContextWords);
    void DropLeastRecentlyUsed();
    // The map and the active slot of a grammar type; null for a grammar of no type.
    GrammarMap* MapOf(uint32_t type);
    GrammarPtr* SlotOf(uint32_t type);
    // 409 (logged) when the slot of `type` is taken.
    mrcp_status_code_e CheckSlotFree(uint32_t type) const;
    // Puts a stored grammar into the slot of its type; a DTMF grammar sets the lengths.
    mrcp_status_code_e PlaceGrammar(const GrammarPtr& grammar, mpf_sdi_detector_t* detector);
    // DefineSrgsGrammar, also handing back the grammar it stored.
    mrcp_status_code_e DefineSrgs(mrcp_message_t* request, const std::string& id,
                                  GrammarPtr* defined);
    void ApplyDtmfLengths(const GrammarRef& grammar, mpf_sdi_detector_t* detector) const;

    const EngineSettings& m_settings;  // the engine's, read-only
    std::string m_channelId;           // for the " <id@zeph>" suffix of log lines

    // Stored grammars by key (Content-Id, or the name of an inline built-in grammar).
    GrammarMap m_speechGrammars;
    GrammarMap m_eventGrammars;
    GrammarMap m_dtmfGrammars;

    // The grammars of the current recognition; each is also in its map (or was, until
    // replaced or removed).
    GrammarPtr m_speechGrammar;
    GrammarPtr m_eventGrammar;
    GrammarPtr m_dtmfGrammar;

    uint64_t m_useCount = 0;  // stamps GrammarRef::m_lastUse
};

}  // namespace Zeph
