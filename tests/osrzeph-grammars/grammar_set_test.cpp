// A channel's grammars driven by real MRCP requests (DEFINE-GRAMMAR and the activation step
// of RECOGNIZE) parsed from wire text: statuses, Completion-Cause, stored and active grammars,
// the log lines, the detector's DTMF lengths and who owns which context.
#include <memory>
#include <string>

#include "grammar_test_support.h"

namespace {

using Zeph::GrammarRef;
using Zeph::GrammarSet;
using Zeph::SpeechContext;
using ZephTest::GrammarTest;

const char* const kUriList = "text/uri-list";
const char* const kRefList = "text/grammar-ref-list";
const char* const kXml = "application/xml";
const char* const kSrgs = "application/srgs+xml";

std::string SpeechContextDoc(const std::string& phrases) {
    return "<?xml version=\"1.0\"?><speech-context>" + phrases + "</speech-context>";
}

std::string SrgsDoc(const std::string& attributes, const std::string& content) {
    return "<?xml version=\"1.0\"?><grammar xmlns=\"http://www.w3.org/2001/06/grammar\" " +
           attributes + ">" + content + "</grammar>";
}

class GrammarSetTest : public GrammarTest {
protected:
    GrammarSet::GrammarPtr Stored(const GrammarSet::GrammarMap& map, const std::string& key) {
        auto it = map.find(key);
        return it == map.end() ? nullptr : it->second;
    }
    int Warned(const std::string& message) { return m_log.Count(APT_PRIO_WARNING, message); }
};

// The fixture's configuration: a "builtin-grammar" without mode goes nowhere, silently.
TEST_F(GrammarSetTest, ConfiguredRecords) {
    EXPECT_EQ(m_log.Warnings(), 0);
    EXPECT_EQ(m_settings.m_builtinSpeechGrammars.count("nomode"), 0u);
    EXPECT_EQ(m_settings.m_builtinDtmfGrammars.count("nomode"), 0u);
    EXPECT_EQ(m_settings.m_builtinDtmfGrammars.size(), 2u);
    EXPECT_EQ(m_settings.m_speechContexts.size(), 4u);
    EXPECT_EQ(Recognize(kUriList, "", "builtin:dtmf/nomode"), 200);
    EXPECT_EQ(m_set.GetDtmfGrammar()->m_builtinGrammar, nullptr);
}

// ---- DEFINE-GRAMMAR ------------------------------------------------------------------------

// Prefix and type path without case, the name as written; every type path.
TEST_F(GrammarSetTest, BuiltinUrisOfEveryTypePath) {
    ASSERT_EQ(Define(kUriList, "g1", "BUILTIN:SPEECH/Weather\r\n"), 200);
    GrammarSet::GrammarPtr speech = Stored(m_set.GetSpeechGrammars(), "g1");
    ASSERT_TRUE(speech);
    EXPECT_EQ(speech->m_name, "Weather");
    EXPECT_EQ(speech->m_id, "g1");
    EXPECT_EQ(speech->m_typePath, "speech/");
    EXPECT_EQ(speech->m_source, GrammarRef::SOURCE_SESSION);
    EXPECT_EQ(speech->GetSpeechContext(), m_settings.m_speechContexts.at("Weather"));
    EXPECT_EQ(speech->GetText(), "session:g1");
    // The name is looked up as written.
    EXPECT_EQ(Define(kUriList, "g1", "builtin:speech/weather"), 409);
    EXPECT_EQ(Warned("No Such Builtin Speech Grammar [weather] <ch1@zeph>"), 1);

    ASSERT_EQ(Define(kUriList, "e1", " \t builtin:grammar/event_WELCOME"), 200);
    GrammarSet::GrammarPtr event = Stored(m_set.GetEventGrammars(), "e1");
    ASSERT_TRUE(event);
    EXPECT_EQ(event->m_type, GrammarRef::TYPE_EVENT);
    EXPECT_EQ(event->m_name, "WELCOME");
    EXPECT_EQ(event->m_namePrefix, "event_");
    EXPECT_EQ(event->m_typePath, "grammar/");

    ASSERT_EQ(Define(kUriList, "s1", "builtin:  Grammar/foo"), 200);
    GrammarSet::GrammarPtr foo = Stored(m_set.GetSpeechGrammars(), "s1");
    ASSERT_TRUE(foo);
    EXPECT_EQ(foo->m_type, GrammarRef::TYPE_SPEECH);
    EXPECT_EQ(foo->m_name, "foo");
    EXPECT_EQ(foo->m_namePrefix, "");

    ASSERT_EQ(Define(kUriList, "e2", "builtin:event/Goodbye?projectid=p"), 200);
    EXPECT_EQ(Stored(m_set.GetEventGrammars(), "e2")->m_projectId, "p");
    ASSERT_EQ(Define(kUriList, "d1", "builtin:dtmf/unknown-digits"), 200);
    EXPECT_EQ(Stored(m_set.GetDtmfGrammars(), "d1")->m_builtinGrammar, nullptr);
    ASSERT_EQ(Define(kUriList, "t1", "builtin:speech/transcribe"), 200);
    GrammarSet::GrammarPtr plain = Stored(m_set.GetSpeechGrammars(), "t1");
    EXPECT_EQ(plain->GetSpeechContext(), nullptr);
    EXPECT_EQ(plain->m_builtinGrammar, nullptr);
}

// Every line of one body goes under the same id; a later line of a type replaces the earlier.
TEST_F(GrammarSetTest, ListLinesShareTheContentIdAndReplaceByType) {
    ASSERT_EQ(Define(kRefList, "g1",
                     "<builtin:speech/foo>;weight=1\r\n\r\n   \r\n<builtin:dtmf/digits>\n"
                     "builtin:speech/menu?ProjectID=p1;projectid2=p2\r\n"),
              200);
    GrammarSet::GrammarPtr speech = Stored(m_set.GetSpeechGrammars(), "g1");
    ASSERT_TRUE(speech);
    EXPECT_EQ(speech->m_name, "menu");
    EXPECT_EQ(speech->m_projectId, "p2");  // any name that starts with "projectid"
    EXPECT_EQ(speech->m_builtinGrammar, m_settings.m_builtinSpeechGrammars.at("menu"));
    ASSERT_TRUE(Stored(m_set.GetDtmfGrammars(), "g1"));
    EXPECT_EQ(m_log.Count(APT_PRIO_DEBUG, "Remove Existing Context [g1] <ch1@zeph>"), 1);
    EXPECT_EQ(m_log.Count(APT_PRIO_DEBUG, "Add Context [g1] <ch1@zeph>"), 3);
}

TEST_F(GrammarSetTest, DefineFailuresWithStatusAndSkipping) {
    struct Case {
        const char* type;
        const char* id;
        const char* body;
        int status;         // without skipping
        int skippedStatus;  // with skip-unsupported-grammars
        const char* warning;
    } cases[] = {
        {kUriList, "", "builtin:speech/foo", 406, 406, "Missing Content-Id <ch1@zeph>"},
        {"", "g", "builtin:speech/foo", 406, 406, "Missing Content-Type <ch1@zeph>"},
        {"", "absent", "", 406, 406, "Non-Existent Content-Id [absent] <ch1@zeph>"},
        {"text/plain", "g", "x", 409, 200, "Unsupported Content Type [text/plain] <ch1@zeph>"},
        {"Text/URI-List", "g", "builtin:speech/foo", 409, 200,
         "Unsupported Content Type [Text/URI-List] <ch1@zeph>"},
        {kUriList, "g", "session:g1", 409, 200,
         "Unsupported Grammar Format [session:g1] <ch1@zeph>"},
        {kUriList, "g", "http://x/g.grxml", 409, 200,
         "Unsupported Grammar Format [http://x/g.grxml] <ch1@zeph>"},
        {kUriList, "g", "builtin:voice/x?a=1", 406, 200,
         "Unknown Builtin Grammar Type [voice/x?a=1] <ch1@zeph>"},
        {kUriList, "g", "builtin:speech/?a=1", 406, 200, "Missing Builtin Grammar Name <ch1@zeph>"},
        {kUriList, "g", "builtin:speech/nope", 409, 200,
         "No Such Builtin Speech Grammar [nope] <ch1@zeph>"},
        // A built-in grammar without mode was dropped from the configuration.
        {kUriList, "g", "builtin:speech/nomode", 409, 200,
         "No Such Builtin Speech Grammar [nomode] <ch1@zeph>"},
        {kXml, "g", "<speech-context><phrase>a</phrase>", 409, 409,
         "Failed to Terminate XML parsing"},
        {kXml, "g", "<phrases><phrase>a</phrase></phrases>", 409, 409,
         "Unexpected XML root element <phrases> <ch1@zeph>"},
        {kXml, "g", "<speech-context><phrase/><phrase>  </phrase></speech-context>", 409, 409,
         nullptr},
        {kSrgs, "g", "<grammar mode=\"DTMF\"/>", 409, 409, "Unexpected SRGS Grammar Mode [DTMF]"},
        {kSrgs, "g", "", 409, 409, "XML Content Emtpy"},
    };
    for (bool skip : {false, true}) {
        SetSkip(skip);
        for (const Case& c : cases) {
            m_log.Clear();
            EXPECT_EQ(Define(c.type, c.id, c.body), skip ? c.skippedStatus : c.status)
                << c.type << " " << c.body << " skip " << skip;
            if (c.warning) {
                EXPECT_EQ(Warned(c.warning), 1) << c.warning;
            }
        }
    }
    // Nothing was stored by a failed or skipped line.
    EXPECT_TRUE(m_set.GetSpeechGrammars().empty());
    EXPECT_TRUE(m_set.GetEventGrammars().empty());
    EXPECT_TRUE(m_set.GetDtmfGrammars().empty());
}

// What the client receives for a refused grammar, generated by the host.
TEST_F(GrammarSetTest, RefusalOnTheWire) {
    mrcp_message_t* response = nullptr;
    ASSERT_EQ(Define(kUriList, "g", "builtin:speech/nope", &response), 409);
    apt_str_t text;
    ASSERT_EQ(mrcp_message_generate(response, m_pool, &text, nullptr), MRCP_WIRE_OK);
    const std::string wire(text.buf, text.length);
    EXPECT_NE(wire.find(" 1 409 COMPLETE\r\n"), std::string::npos) << wire;
    EXPECT_NE(wire.find("\r\nCompletion-Cause: 004 grammar-load-failure\r\n"), std::string::npos)
        << wire;

    ASSERT_EQ(Define(kUriList, "g", "builtin:speech/foo", &response), 200);
    ASSERT_EQ(mrcp_message_generate(response, m_pool, &text, nullptr), MRCP_WIRE_OK);
    EXPECT_EQ(std::string(text.buf, text.length).find("Completion-Cause"), std::string::npos);
}

// Removal takes speech grammars only.
TEST_F(GrammarSetTest, RemovalWithoutTypeAndBody) {
    ASSERT_EQ(Define(kUriList, "s", "builtin:speech/foo"), 200);
    ASSERT_EQ(Define(kUriList, "e", "builtin:event/E"), 200);
    ASSERT_EQ(Define(kUriList, "d", "builtin:dtmf/digits"), 200);
    EXPECT_EQ(Define("", "s", ""), 200);
    EXPECT_EQ(m_log.Count(APT_PRIO_DEBUG, "Remove Existing Speech Context [s] <ch1@zeph>"), 1);
    EXPECT_TRUE(m_set.GetSpeechGrammars().empty());
    EXPECT_EQ(Define("", "s", ""), 406);
    EXPECT_EQ(Define("", "e", ""), 406);
    EXPECT_EQ(Define("", "d", ""), 406);
    EXPECT_EQ(Warned("Non-Existent Content-Id [e] <ch1@zeph>"), 1);
    EXPECT_EQ(m_set.GetEventGrammars().size(), 1u);
    EXPECT_EQ(m_set.GetDtmfGrammars().size(), 1u);
}

// An SRGS body while accept-srgs is off is an unsupported content type.
TEST_F(GrammarSetTest, SrgsRefusedWhenNotAccepted) {
    m_settings.m_streaming.m_acceptSrgs = false;
    const std::string doc =
        SrgsDoc("root=\"r\"", "<rule id=\"r\"><one-of><item>a</item></one-of></rule>");
    EXPECT_EQ(Define(kSrgs, "g", doc), 409);
    EXPECT_EQ(Warned("Unsupported Content Type [application/srgs+xml] <ch1@zeph>"), 1);
    EXPECT_EQ(Recognize("application/grammar+xml", "g", doc), 409);
    SetSkip(true);
    EXPECT_EQ(Define(kSrgs, "g", doc), 200);
    EXPECT_TRUE(m_set.GetSpeechGrammars().empty());
    m_settings.m_streaming.m_acceptSrgs = true;
    EXPECT_EQ(Define("application/grammar+xml", "g", doc), 200);
    EXPECT_EQ(m_set.GetSpeechGrammars().size(), 1u);
}

// Phrases that differ only in case give one entry: the first as written, with its tag.
TEST_F(GrammarSetTest, SpeechContextDocuments) {
    ASSERT_EQ(Define(kXml, "yn",
                     SpeechContextDoc("<phrase tag=\"Y\">Yes</phrase><phrase tag=\"y2\">yes"
                                      "</phrase><phrase>  stop </phrase><other/>")),
              200);
    EXPECT_EQ(m_log.Count(APT_PRIO_DEBUG, "Parse Speech Context [yn] <ch1@zeph>"), 1);
    EXPECT_EQ(m_log.Count(APT_PRIO_DEBUG, "Load Speech Context [yn] <ch1@zeph>"), 1);
    EXPECT_EQ(m_log.Count(APT_PRIO_DEBUG, "Add Speech Context [yn] <ch1@zeph>"), 1);
    GrammarSet::GrammarPtr grammar = Stored(m_set.GetSpeechGrammars(), "yn");
    ASSERT_TRUE(grammar);
    EXPECT_EQ(grammar->m_name, "yn");
    const SpeechContext* context = grammar->GetSpeechContext();
    ASSERT_NE(context, nullptr);
    EXPECT_FALSE(context->m_loaded);
    EXPECT_EQ(context->m_id, "yn");
    ASSERT_EQ(context->m_phrases.size(), 2u);
    EXPECT_EQ(context->m_phrases.at("yes").m_phrase, "Yes");
    EXPECT_EQ(context->m_phrases.at("yes").m_value, "Y");
    bool complete = false;
    EXPECT_TRUE(context->FindPhrase("STOP", complete));  // white space trimmed

    // The same id again replaces it, with the speech-context words.
    ASSERT_EQ(Define(kXml, "yn", SpeechContextDoc("<phrase>no</phrase>")), 200);
    EXPECT_EQ(m_log.Count(APT_PRIO_DEBUG, "Remove Existing Speech Context [yn] <ch1@zeph>"), 1);
    EXPECT_EQ(Stored(m_set.GetSpeechGrammars(), "yn")->GetSpeechContext()->m_phrases.count("no"),
              1u);
}

// A speech-context document that turns itself off is stored but never active.
TEST_F(GrammarSetTest, DisabledSpeechContextIsNeverActive) {
    const std::string off =
        SpeechContextDoc("<phrase>a</phrase>")
            .replace(strlen("<?xml version=\"1.0\"?><speech-context"), 0, " enable=\"false\"");
    ASSERT_EQ(Define(kXml, "off", off), 200);
    EXPECT_TRUE(Stored(m_set.GetSpeechGrammars(), "off"));
    EXPECT_EQ(Recognize(kUriList, "", "session:off\r\nbuiltin:dtmf/digits"), 200);
    EXPECT_FALSE(m_set.GetSpeechGrammar());
    EXPECT_TRUE(m_set.GetDtmfGrammar());
    EXPECT_EQ(Recognize(kXml, "off", off), 200);
    EXPECT_FALSE(m_set.GetSpeechGrammar());
    EXPECT_EQ(m_log.Count(APT_PRIO_DEBUG, "Skip Disabled Speech Context [off] <ch1@zeph>"), 2);
}

// A long call naming a new grammar in every request keeps a bounded number of them: the
// one stored or used longest ago goes (logged); one used by every recognition stays.
TEST_F(GrammarSetTest, StoredGrammarsAreBounded) {
    const size_t max = GrammarSet::kMaxStoredGrammars;
    ASSERT_EQ(Define(kUriList, "main", "builtin:speech/yesno"), 200);
    for (size_t n = 0; n < 2 * max; ++n) {
        ASSERT_EQ(Recognize(kUriList, "", "session:main\r\nbuiltin:event/E" + std::to_string(n)),
                  200);
    }
    EXPECT_EQ(m_set.GetSpeechGrammars().size() + m_set.GetEventGrammars().size() +
                  m_set.GetDtmfGrammars().size(),
              max);
    EXPECT_TRUE(Stored(m_set.GetSpeechGrammars(), "main"));
    EXPECT_TRUE(Stored(m_set.GetEventGrammars(), "E" + std::to_string(2 * max - 1)));
    EXPECT_FALSE(Stored(m_set.GetEventGrammars(), "E0"));
    EXPECT_EQ(m_log.Count(APT_PRIO_NOTICE, "Drop Least Recently Used Grammar [E0] <ch1@zeph>"), 1);
    EXPECT_EQ(m_log.Find(APT_PRIO_NOTICE, "Drop Least Recently Used Grammar").size(), max + 1);
    EXPECT_EQ(Recognize(kUriList, "", "session:E0"), 404);
}

// Text of a request reaches the log with its control characters escaped: a client cannot
// write log lines of its own.
TEST_F(GrammarSetTest, ClientTextInLogLinesIsEscaped) {
    const struct {
        const char* type;
        const char* id;
        std::string body;
        apt_log_priority_e priority;
        const char* line;
    } cases[] = {
        {kSrgs, "g", SrgsDoc("mode=\"x&#10;2026-12-07 [ERROR] forged\"", ""), APT_PRIO_WARNING,
         "Unexpected SRGS Grammar Mode [x\\n2026-12-07 [ERROR] forged]"},
        {kSrgs, "g", SrgsDoc("root=\"r&#13;&#10;x\"", "<meta name=\"scope\" content=\"builtin\"/>"),
         APT_PRIO_WARNING, "No Such Builtin Speech Grammar [r\\r\\nx] "},
        {kXml, "g", "<speech-context language=\"en&#9;x\"><phrase>a</phrase></speech-context>",
         APT_PRIO_DEBUG, "Load Speech Context Attribute: language = en\\tx"},
        {kUriList, "g", "builtin:bogus/\x1b[31mred", APT_PRIO_WARNING,
         "Unknown Builtin Grammar Type [bogus/\\x1b[31mred] <ch1@zeph>"},
        {kUriList, "g", "foo\x01\x7f", APT_PRIO_WARNING,
         "Unsupported Grammar Format [foo\\x01\\x7f] <ch1@zeph>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        m_log.Clear();
        Define(c.type, c.id, c.body);
        EXPECT_EQ(m_log.Count(c.priority, c.line), 1);
        for (int priority = APT_PRIO_EMERGENCY; priority < APT_PRIO_COUNT; ++priority) {
            for (const auto& record : m_log.Find(static_cast<apt_log_priority_e>(priority), "")) {
                for (char ch : record.message)
                    EXPECT_TRUE(static_cast<unsigned char>(ch) >= 0x20 && ch != 0x7f)
                        << record.message;
            }
        }
    }
}

TEST_F(GrammarSetTest, SrgsDocumentsStoredByType) {
    ASSERT_EQ(Define(kSrgs, "v",
                     SrgsDoc("root=\"r\"",
                             "<rule id=\"r\"><one-of><item>a</item>"
                             "</one-of></rule>")),
              200);
    EXPECT_EQ(m_log.Count(APT_PRIO_DEBUG, "Parse SRGS Grammar [v] <ch1@zeph>"), 1);
    ASSERT_TRUE(Stored(m_set.GetSpeechGrammars(), "v"));
    ASSERT_EQ(Define(kSrgs, "d", SrgsDoc("mode=\"dtmf\"", "")), 200);
    GrammarSet::GrammarPtr dtmf = Stored(m_set.GetDtmfGrammars(), "d");
    ASSERT_TRUE(dtmf);
    EXPECT_EQ(dtmf->m_name, "d");  // no root rule: named by its id
    ASSERT_EQ(
        Define(kSrgs, "e", SrgsDoc("root=\"HELLO\"", "<meta name=\"scope\" content=\"event\"/>")),
        200);
    EXPECT_EQ(Stored(m_set.GetEventGrammars(), "e")->m_name, "HELLO");
    EXPECT_EQ(Define(kSrgs, "x",
                     SrgsDoc("root=\"nothing\"", "<meta name=\"scope\" content=\"builtin\"/>")),
              409);
}

// ---- Activation ---------------------------------------------------------------------------

TEST_F(GrammarSetTest, ActivateInlineBuiltinsAndStoreThemUnderTheirNames) {
    ASSERT_EQ(Recognize(kUriList, "",
                        "builtin:speech/yesno\r\nbuiltin:grammar/event_WELCOME\r\n"
                        "builtin:dtmf/digits?length=5\r\n"),
              200);
    ASSERT_TRUE(m_set.GetSpeechGrammar());
    ASSERT_TRUE(m_set.GetEventGrammar());
    ASSERT_TRUE(m_set.GetDtmfGrammar());
    EXPECT_EQ(m_set.GetSpeechGrammar()->GetText(), "builtin:speech/yesno");
    EXPECT_EQ(m_set.GetEventGrammar()->GetText(), "builtin:grammar/event_WELCOME");
    EXPECT_EQ(m_set.GetDtmfGrammar()->m_source, GrammarRef::SOURCE_BUILTIN);
    EXPECT_EQ(Stored(m_set.GetSpeechGrammars(), "yesno"), m_set.GetSpeechGrammar());
    EXPECT_EQ(Stored(m_set.GetEventGrammars(), "WELCOME"), m_set.GetEventGrammar());

    // A later RECOGNIZE starts with empty slots and may refer to them as session grammars.
    ASSERT_EQ(Recognize(kUriList, "", "session:digits"), 200);
    EXPECT_FALSE(m_set.GetSpeechGrammar());
    ASSERT_TRUE(m_set.GetDtmfGrammar());
    EXPECT_EQ(m_set.GetDtmfGrammar()->m_params.at("length"), "5");
}

// A weighted grammar-ref line in angle brackets activates the DTMF grammar with its length;
// the weight is not a parameter. The lengths reach a real detector.
TEST_F(GrammarSetTest, RefListDtmfLengthsReachTheDetector) {
    mpf_sdi_detector_t* detector = CreateDetector();
    ASSERT_NE(detector, nullptr);
    ASSERT_EQ(Recognize(kRefList, "", "<builtin:dtmf/digits?length=4>;weight=0.5\r\n", detector),
              200);
    GrammarSet::GrammarPtr dtmf = m_set.GetDtmfGrammar();
    ASSERT_TRUE(dtmf);
    EXPECT_EQ(dtmf->m_name, "digits");
    EXPECT_EQ(dtmf->m_params, (Zeph::GrammarParams{{"length", "4"}}));
    mpf_sdi_init(detector, MPF_SDI_MODE_DTMF, 8000, FALSE, FALSE);
    EXPECT_EQ(m_log.Find(APT_PRIO_INFO, "Init DTMF Detector:").size(), 1u);
    EXPECT_NE(m_log.Find(APT_PRIO_INFO, "Init DTMF Detector:")[0].message.find(
                  "length=4, min-length=0, max-length=0"),
              std::string::npos);

    // URI limits override the record's (length 4 from the configuration stays).
    m_log.Clear();
    ASSERT_EQ(Recognize(kUriList, "", "builtin:dtmf/digits?minlength=2;maxlength=6", detector),
              200);
    Zeph::DtmfContext lengths;
    ASSERT_TRUE(GrammarSet::GetDtmfLengths(*m_set.GetDtmfGrammar(), lengths));
    EXPECT_EQ(lengths.m_length, 4);
    EXPECT_EQ(lengths.m_minLength, 2);
    EXPECT_EQ(lengths.m_maxLength, 6);
    mpf_sdi_init(detector, MPF_SDI_MODE_DTMF, 8000, FALSE, FALSE);
    EXPECT_NE(m_log.Find(APT_PRIO_INFO, "Init DTMF Detector:")[0].message.find(
                  "length=4, min-length=2, max-length=6"),
              std::string::npos);

    // Neither a record nor parameters: the detector keeps its values. Negative limits read 0.
    ASSERT_EQ(Recognize(kUriList, "", "builtin:dtmf/free", detector), 200);
    EXPECT_FALSE(GrammarSet::GetDtmfLengths(*m_set.GetDtmfGrammar(), lengths));
    ASSERT_EQ(Recognize(kUriList, "", "builtin:dtmf/free2?length=-1", detector), 200);
    ASSERT_TRUE(GrammarSet::GetDtmfLengths(*m_set.GetDtmfGrammar(), lengths));
    EXPECT_EQ(lengths.m_length, 0);
    mpf_sdi_destroy(detector);
}

// Two grammars for one slot: 409 and the request fails, or with skipping the first one stays.
TEST_F(GrammarSetTest, SlotAlreadySpecified) {
    EXPECT_EQ(Recognize(kUriList, "", "builtin:speech/foo\r\nbuiltin:speech/menu"), 409);
    EXPECT_EQ(Warned("Speech Grammar Already Specified <ch1@zeph>"), 1);
    EXPECT_EQ(Recognize(kUriList, "", "builtin:event/A\r\nbuiltin:grammar/event_B"), 409);
    EXPECT_EQ(Warned("Event Grammar Already Specified <ch1@zeph>"), 1);
    EXPECT_EQ(Recognize(kUriList, "", "builtin:dtmf/digits\r\nsession:digits"), 409);
    EXPECT_EQ(Warned("DTMF Grammar Already Specified <ch1@zeph>"), 1);

    SetSkip(true);
    EXPECT_EQ(Recognize(kUriList, "", "builtin:speech/foo\r\nbuiltin:speech/menu"), 200);
    ASSERT_TRUE(m_set.GetSpeechGrammar());
    EXPECT_EQ(m_set.GetSpeechGrammar()->m_name, "foo");
    // The refused line built nothing.
    EXPECT_FALSE(Stored(m_set.GetSpeechGrammars(), "menu"));
}

// An id stored as a speech and as a DTMF grammar activates the speech grammar only.
TEST_F(GrammarSetTest, SessionReferenceFindsSpeechFirst) {
    ASSERT_EQ(Define(kUriList, "g1", "builtin:dtmf/digits\r\nbuiltin:speech/foo"), 200);
    ASSERT_EQ(Recognize(kRefList, "", "<session: g1>;weight=1"), 200);
    ASSERT_TRUE(m_set.GetSpeechGrammar());
    EXPECT_EQ(m_set.GetSpeechGrammar()->m_name, "foo");
    EXPECT_FALSE(m_set.GetDtmfGrammar());
}

TEST_F(GrammarSetTest, ActivationFailures) {
    for (bool skip : {false, true}) {
        SetSkip(skip);
        m_log.Clear();
        EXPECT_EQ(Recognize("", "", ""), 406);
        EXPECT_EQ(Warned("Missing Content-Type <ch1@zeph>"), 1);
        // Unknown session grammars are never skipped.
        EXPECT_EQ(Recognize(kUriList, "", "builtin:speech/foo\r\nsession:zz\r\n"), 404);
        EXPECT_EQ(Warned("No Such Session Grammar [zz] <ch1@zeph>"), 1);
        EXPECT_EQ(Recognize(kXml, "", SpeechContextDoc("<phrase>a</phrase>")), 406);
        EXPECT_EQ(Warned("Missing Content-Id <ch1@zeph>"), 1);
        EXPECT_EQ(Recognize(kSrgs, "", SrgsDoc("", "")), 406);
        EXPECT_EQ(Recognize(kXml, "c", "<speech-context/>"), 409);
        EXPECT_EQ(Recognize(kSrgs, "c", "<grammar"), 409);
        EXPECT_EQ(Recognize("text/plain", "", "x"), skip ? 200 : 409);
        EXPECT_EQ(Recognize(kUriList, "", "builtin:nothing/x"), skip ? 200 : 406);
        EXPECT_EQ(Recognize(kUriList, "", "ftp://g"), skip ? 200 : 409);
    }
}

TEST_F(GrammarSetTest, XmlGrammarsInRecognize) {
    ASSERT_EQ(Recognize(kXml, "ctx", SpeechContextDoc("<phrase>hello</phrase>")), 200);
    ASSERT_TRUE(m_set.GetSpeechGrammar());
    EXPECT_EQ(m_set.GetSpeechGrammar(), Stored(m_set.GetSpeechGrammars(), "ctx"));
    EXPECT_EQ(m_set.GetSpeechGrammar()->GetText(), "session:ctx");

    ASSERT_EQ(Recognize(kSrgs, "srgs",
                        SrgsDoc("root=\"HELLO\"", "<meta name=\"scope\" content=\"event\"/>")),
              200);
    EXPECT_FALSE(m_set.GetSpeechGrammar());
    ASSERT_TRUE(m_set.GetEventGrammar());
    EXPECT_EQ(m_set.GetEventGrammar()->m_name, "HELLO");

    // The document just read is activated even when the id also names an older grammar of
    // another type, which a lookup by id would find first.
    ASSERT_EQ(Define(kUriList, "g1", "builtin:speech/foo"), 200);
    mpf_sdi_detector_t* detector = CreateDetector();
    ASSERT_EQ(Recognize(kSrgs, "g1",
                        SrgsDoc("mode=\"dtmf\" root=\"pin\"",
                                "<meta name=\"scope\" content=\"builtin\"/>"),
                        detector),
              200);
    EXPECT_FALSE(m_set.GetSpeechGrammar());
    ASSERT_TRUE(m_set.GetDtmfGrammar());
    EXPECT_EQ(m_set.GetDtmfGrammar()->m_name, "pin");
    EXPECT_EQ(m_set.GetDtmfGrammar()->m_builtinGrammar, m_settings.m_builtinDtmfGrammars.at("pin"));
    mpf_sdi_destroy(detector);
}

// ---- Ownership ----------------------------------------------------------------------------

// A recognition that holds its active grammars keeps them, and the contexts they own, while
// the channel replaces, removes and finally clears them. Configured contexts are only shared.
TEST_F(GrammarSetTest, HeldGrammarsOutliveReplacementRemovalAndClear) {
    ASSERT_EQ(Define(kXml, "g1", SpeechContextDoc("<phrase>first</phrase>")), 200);
    ASSERT_EQ(Recognize(kUriList, "", "session:g1\r\nbuiltin:dtmf/digits"), 200);
    GrammarSet::GrammarPtr held = m_set.GetSpeechGrammar();
    GrammarSet::GrammarPtr heldDtmf = m_set.GetDtmfGrammar();
    std::weak_ptr<GrammarRef> watch = held;

    ASSERT_EQ(Define(kXml, "g1", SpeechContextDoc("<phrase>second</phrase>")), 200);
    ASSERT_EQ(Define("", "g1", ""), 200);
    m_set.Clear();
    EXPECT_FALSE(m_set.GetSpeechGrammar());
    bool complete = false;
    ASSERT_NE(held->GetSpeechContext(), nullptr);
    EXPECT_TRUE(held->GetSpeechContext()->FindPhrase("first", complete));
    EXPECT_EQ(heldDtmf->m_builtinGrammar, m_settings.m_builtinDtmfGrammars.at("digits"));
    held.reset();
    heldDtmf.reset();
    EXPECT_TRUE(watch.expired());

    // A configured context survives every grammar that used it.
    ASSERT_EQ(Recognize(kUriList, "", "builtin:speech/yesno"), 200);
    const SpeechContext* configured = m_settings.m_speechContexts.at("yesno");
    EXPECT_EQ(m_set.GetSpeechGrammar()->GetSpeechContext(), configured);
    ASSERT_EQ(Recognize(kUriList, "", "builtin:speech/yesno"), 200);  // replaces the stored one
    m_set.Clear();
    EXPECT_TRUE(configured->m_loaded);
    EXPECT_TRUE(configured->FindPhrase("yes", complete));
}

}  // namespace
