// Result composition: a query result of any API flavour becomes the body of
// RECOGNITION-COMPLETE (an NLSML document or the query result as JSON) and its completion
// cause.
//
// Threads: called on the engine's event processor thread by the streaming method. Every
// function here is pure: no state is kept between calls and nothing is shared, so any thread
// may call them on its own arguments. Log lines (built-in grammar checks) go to "ZEPH-PLUGIN".
#pragma once

#include <string>

#include <google/cloud/dialogflow/cx/v3beta1/session.pb.h>
#include <google/cloud/dialogflow/v2/session.pb.h>
#include <google/cloud/dialogflow/v2beta1/session.pb.h>
#include <google/protobuf/message.h>
#include <ostrin/mrcp_message.h>

#include "OsrZephSettings.h"
#include "mpf_sdi_util.h"

namespace Zeph {

class BuiltinGrammar;

// One active grammar of the recognition, as the result names it.
struct ResultGrammar {
    // "session:" + id, or "builtin:" + type path + name prefix + name; empty: no grammar.
    std::string m_text;
    // The configured definition when the grammar is a built-in one that has one; its action
    // and required parameter then make the instance. Not owned; may be null.
    const BuiltinGrammar* m_builtin = nullptr;
};

// A recognition's confidence, and whether anything told it at all. The service's 0 means
// "not set" (the protos' own words), so 0 from every source is unknown, not a low score.
struct RecognitionConfidence {
    bool m_known = false;
    float m_value = 0.0f;
};

// What the recognition contributes to its result besides the query result. The
// interpretation names the event grammar when there is one, else the speech grammar for
// speech input, else the DTMF grammar for DTMF input; when none applies there is no body (and
// the cause becomes no-match when nothing came in but a speech grammar was active). The
// built-in definition of the input's own grammar (speech or DTMF) makes the instance.
struct RecogResultInput {
    ResultGrammar m_speechGrammar;
    ResultGrammar m_dtmfGrammar;
    ResultGrammar m_eventGrammar;  // when set, it names the interpretation whatever the input
    // Speech, DTMF, or anything else for an event recognition.
    mpf_sdi_mode_e m_inputMode = MPF_SDI_MODE_NONE;
    // The recognition's threshold: a known confidence at or above it is a success, below it
    // no-match; an unknown one is never held against it.
    float m_confidenceThreshold = 0.0f;
    // The utterance's final transcripts, concatenated as the service sent them (the whole
    // utterance, in the protos' words); empty: no final transcript came. For speech input it
    // is the recognized text.
    std::string m_transcript;
    // The lowest confidence among the final transcripts that carried one; 0: none did.
    float m_finalConfidence = 0.0f;
    // URI of the output audio the service sent; empty: none.
    std::string m_outputAudioUri;
    // Host channel id, for the log lines.
    std::string m_channelId;
};

// The body of RECOGNITION-COMPLETE.
struct RecogResult {
    // "application/x-nlsml" or "application/json"; empty (with an empty body) when there is
    // nothing to report (no grammar names the interpretation).
    std::string m_contentType;
    std::string m_body;
    // Decided once for every flavour: no-input-timeout (002) when the service heard no
    // speech (an empty transcript of speech input, a CX NO_INPUT match); no-match (001) for
    // a CX NO_MATCH, or a known confidence below the threshold; else success (000). The
    // grammar checks may then make it no-match or error.
    mrcp_recog_completion_cause_e m_cause = RECOGNIZER_COMPLETION_CAUSE_UNKNOWN;
    // What the interpretation's confidence attribute shows (left out when unknown).
    RecognitionConfidence m_confidence;
};

// The confidence of a recognition (RecogResult::m_confidence), one rule for every flavour;
// it is compared with the Confidence-Threshold and written into the NLSML.
//   - DTMF digits the detector collected are exact: 1.
//   - Speech: the lowest confidence among the utterance's final transcripts that carry one
//     (an utterance is as certain as its least certain portion; the streaming endpoint gives
//     its confidence there and leaves speech_recognition_confidence unset); else the query
//     result's speech_recognition_confidence (ES) when set; else (CX) the match's
//     confidence.
//   - An event or an intent input (no speech or DTMF input mode) is decided by the agent's
//     match, not by a speech score: the match's confidence.
// The match's confidence is ES intent_detection_confidence, CX match.confidence (the
// deprecated intent_detection_confidence only when the match carries none). A source at 0
// says nothing (the service's "not set"); when none says anything the confidence is unknown:
// the threshold is not applied and the NLSML leaves the optional confidence attribute out
// rather than show a 0 nobody measured.
//
// Composes the result of a completed recognition from its last query result. The format,
// indentation, confidence form, tag format, element naming and event input mode come from
// `settings` (a confidence format still "auto" is written as a decimal). Equal arguments
// always give equal bytes: map entries (Struct keys) are written in ascending byte order of
// their keys, in the XML instance and in JSON alike.
RecogResult ComposeRecogResult(const ResultsSettings& settings,
                               const google::cloud::dialogflow::v2::QueryResult& queryResult,
                               const RecogResultInput& input);
RecogResult ComposeRecogResult(const ResultsSettings& settings,
                               const google::cloud::dialogflow::v2beta1::QueryResult& queryResult,
                               const RecogResultInput& input);
// CX: the input text is the query (transcript, text, triggered event, DTMF digits, or the
// triggered intent; the deprecated intent's name only when the query names none), the match
// gives the confidence and the cause, and a built-in grammar definition adds nothing to the
// instance.
RecogResult ComposeRecogResult(
    const ResultsSettings& settings,
    const google::cloud::dialogflow::cx::v3beta1::QueryResult& queryResult,
    const RecogResultInput& input);

// The recognized text to store on the channel: query_text for ES. For CX the transcript or
// the text; FALSE (and `text` untouched) for any other query, whose stored text stays as it
// was.
bool RecognizedText(const google::cloud::dialogflow::v2::QueryResult& queryResult,
                    std::string& text);
bool RecognizedText(const google::cloud::dialogflow::v2beta1::QueryResult& queryResult,
                    std::string& text);
bool RecognizedText(const google::cloud::dialogflow::cx::v3beta1::QueryResult& queryResult,
                    std::string& text);

// `message` as JSON into `json` (replaced): lowerCamelCase names, enums by name, fields at
// their default left out, whitespace and line breaks when `addWhitespace`; map entries in
// ascending key order; bytes that are no UTF-8 replaced by U+FFFD. Always TRUE. When the
// conversion fails (a message nested deeper than the printer follows) a warning is logged and
// `json` is "{}", so that it stays JSON. Used for the channel's result text and its "Query
// Result" log line as well.
bool ComposeJsonQueryResult(const google::protobuf::Message& message, bool addWhitespace,
                            std::string& json);

// Rewrites JSON text (as ComposeJsonQueryResult prints it with whitespace) indented by
// `indent` spaces a level (at most 64), ending with a line break; 0 leaves it as it is.
void ReindentJson(std::string& json, int indent);

}  // namespace Zeph
