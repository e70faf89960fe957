// The grammar readers on their own: URI unquoting and parameters, the text form, phrase
// lookup, DTMF limits from parameters and SRGS documents parsed with the APR XML parser.
#include <string>

#include "../common/comma_locale.h"
#include "grammar_test_support.h"

namespace {

using Zeph::DtmfContext;
using Zeph::GrammarRef;
using Zeph::SpeechContext;
using ZephTest::GrammarTest;

// The URI that UnquoteGrammarUri leaves of `line`.
std::string Unquote(std::string line) {
    apt_text_stream_t stream;
    apt_text_stream_init(&stream, line.empty() ? nullptr : &line[0], line.size());
    GrammarRef::UnquoteGrammarUri(&stream);
    if (apt_text_is_eos(&stream))
        return std::string();
    return std::string(stream.pos, static_cast<size_t>(stream.end - stream.pos));
}

void ParseParams(GrammarRef& grammar, std::string text) {
    apt_text_stream_t stream;
    apt_text_stream_init(&stream, text.empty() ? nullptr : &text[0], text.size());
    grammar.ParseBuiltinParams(&stream);
}

TEST(GrammarRefTest, UnquoteGrammarUri) {
    EXPECT_EQ(Unquote("<builtin:dtmf/digits?length=4>;weight=0.5"), "builtin:dtmf/digits?length=4");
    EXPECT_EQ(Unquote("<<<session:a>>"), "session:a");
    EXPECT_EQ(Unquote("<session:open"), "session:open");  // no ">": to the end of the line
    EXPECT_EQ(Unquote("session:a>;weight=2"), "session:a");
    EXPECT_EQ(Unquote("session:a"), "session:a");
    EXPECT_EQ(Unquote("<"), "");
    EXPECT_EQ(Unquote(">"), "");
    EXPECT_EQ(Unquote(""), "");
}

TEST(GrammarRefTest, BuiltinParamsByNamePrefixFirstValueWins) {
    GrammarRef grammar;
    ParseParams(grammar,
                " ProjectID=p1; x-goog-user-project = up ;DialogId=d1;method=m;AGENT=a;"
                "language=fr;language=de;flag;=skipped;empty=");
    EXPECT_EQ(grammar.m_projectId, "p1");
    EXPECT_EQ(grammar.m_userProject, "up ");  // trailing blanks of a value are kept
    EXPECT_EQ(grammar.m_dialogId, "d1");
    EXPECT_EQ(grammar.m_method, "m");
    EXPECT_EQ(grammar.m_agent, "a");
    const Zeph::GrammarParams expected = {{"empty", ""}, {"flag", ""}, {"language", "fr"}};
    EXPECT_EQ(grammar.m_params, expected);

    // The name only has to start with "projectid"; an empty field ends the list.
    GrammarRef second;
    ParseParams(second, "projectid2=p2;a=1;;b=2");
    EXPECT_EQ(second.m_projectId, "p2");
    EXPECT_EQ(second.m_params, (Zeph::GrammarParams{{"a", "1"}}));

    GrammarRef none;
    ParseParams(none, "");
    EXPECT_TRUE(none.m_params.empty());
}

TEST(GrammarRefTest, TextForm) {
    GrammarRef session;
    session.m_id = "g1";
    session.m_name = "menu";
    session.m_source = GrammarRef::SOURCE_SESSION;
    EXPECT_EQ(session.GetText(), "session:g1");
    GrammarRef builtin;
    builtin.m_id = builtin.m_name = "WELCOME";
    builtin.m_typePath = "grammar/";
    builtin.m_namePrefix = "event_";
    builtin.m_source = GrammarRef::SOURCE_BUILTIN;
    EXPECT_EQ(builtin.GetText(), "builtin:grammar/event_WELCOME");
}

TEST(GrammarRefTest, DtmfParamsOverrideByNamePrefix) {
    DtmfContext dtmf;
    dtmf.m_length = 4;
    EXPECT_TRUE(dtmf.SetParams({{"MinLength", "2"}, {"maxlength", "6"}, {"other", "9"}}));
    EXPECT_EQ(dtmf.m_length, 4);
    EXPECT_EQ(dtmf.m_minLength, 2);
    EXPECT_EQ(dtmf.m_maxLength, 6);
    EXPECT_TRUE(dtmf.SetParams({{"lengthx", "7"}, {"minlength", "abc"}}));
    EXPECT_EQ(dtmf.m_length, 7);
    EXPECT_EQ(dtmf.m_minLength, 0);  // not a number reads as 0
}

// Phrases "one" and "one two": a prefix of a longer phrase matches but is not complete.
TEST(GrammarRefTest, FindPhraseAndLongerPhrases) {
    SpeechContext context;
    context.AddPhrase("one", "", -1);
    context.AddPhrase("One Two", "", -1);
    context.AddPhrase("oneself", "", -1);
    context.AddPhrase("three", "", -1);
    bool complete = true;
    EXPECT_TRUE(context.FindPhrase("ONE", complete));
    EXPECT_FALSE(complete);
    complete = false;
    EXPECT_TRUE(context.FindPhrase("one two", complete));
    EXPECT_TRUE(complete);
    EXPECT_FALSE(context.FindPhrase("one t", complete));
    EXPECT_TRUE(context.FindPhrase("Three", complete));
    EXPECT_TRUE(complete);
    EXPECT_FALSE(context.FindPhrase("", complete));
    EXPECT_FALSE(SpeechContext().FindPhrase("one", complete));
}

// ---- SRGS ---------------------------------------------------------------------------------

class SrgsTest : public GrammarTest {
protected:
    // Loads an SRGS document into `grammar` as the channel would.
    bool Load(GrammarRef& grammar, const std::string& text) {
        const apr_xml_elem* root = Xml(text);
        EXPECT_NE(root, nullptr) << text;
        if (!root)
            return false;
        grammar.m_id = "g";
        return grammar.LoadSrgsGrammar(
            root, m_settings.m_speechContexts, m_settings.m_builtinSpeechGrammars,
            m_settings.m_builtinDtmfGrammars, m_settings.m_streaming.m_transcriptionGrammar);
    }

    static std::string Srgs(const std::string& rootAttributes, const std::string& content) {
        return "<?xml version=\"1.0\"?><grammar xmlns=\"http://www.w3.org/2001/06/grammar\" "
               "version=\"1.0\" " +
               rootAttributes + ">" + content + "</grammar>";
    }
};

TEST_F(SrgsTest, OwnPhrasesFromTheRootRule) {
    GrammarRef grammar;
    ASSERT_TRUE(
        Load(grammar, Srgs("xml:lang=\"de-DE\" root=\"main\"",
                           "<meta name=\"projectid\" content=\"proj\"/>"
                           "<meta name=\"agent\" content=\"ag\"/>"
                           "<meta name=\"ProjectId\" content=\"other\"/>"
                           "<meta name=\"language\" content=\"fr\"/>"
                           "<meta name=\"language\" content=\"it\"/>"
                           "<tag>{\"root\":1}</tag>"
                           "<rule id=\"main\"><tag>{\"timeZone\":\"UTC\"}</tag><one-of>"
                           "<item weight=\"2\">Yes<tag>Y</tag><tag/>"
                           "<tag>y2</tag></item>"
                           "<item>\n   no thanks </item><item/><item>  </item>"
                           "<one-of><item>nested</item></one-of></one-of>"
                           "<item>direct</item></rule>"
                           "<rule id=\"other\"><one-of><item>skipped</item></one-of></rule>")));
    EXPECT_EQ(grammar.m_type, GrammarRef::TYPE_SPEECH);
    EXPECT_EQ(grammar.m_source, GrammarRef::SOURCE_SESSION);
    EXPECT_EQ(grammar.m_name, "main");
    EXPECT_EQ(grammar.m_projectId, "proj");
    EXPECT_EQ(grammar.m_agent, "ag");
    // A meta name that is not exactly "projectid" is an ordinary parameter; first value wins.
    EXPECT_EQ(grammar.m_params, (Zeph::GrammarParams{{"ProjectId", "other"}, {"language", "fr"}}));
    // The rule's tag wins over the root's.
    EXPECT_EQ(grammar.m_queryParamsText, "{\"timeZone\":\"UTC\"}");
    EXPECT_EQ(grammar.m_builtinGrammar, nullptr);
    const SpeechContext* context = grammar.GetSpeechContext();
    ASSERT_NE(context, nullptr);
    EXPECT_FALSE(context->m_loaded);
    EXPECT_EQ(context->m_id, "g");
    EXPECT_EQ(context->m_language, "de-DE");
    EXPECT_EQ(context->m_scope, SpeechContext::SCOPE_STRICT);
    EXPECT_TRUE(context->m_speechComplete);
    ASSERT_EQ(context->m_phrases.size(), 2u);
    const SpeechContext::Value& yes = context->m_phrases.at("yes");
    EXPECT_EQ(yes.m_phrase, "Yes");
    EXPECT_EQ(yes.m_value, "y2");  // a later tag with text replaces an earlier one
    EXPECT_FLOAT_EQ(yes.m_weight, 2.0f);
    EXPECT_LT(context->m_phrases.at("no thanks").m_weight, 0.0f);
}

// A phrase is the element's whole text with its white space normalised, however the parser
// splits it (at references and line breaks); the same in a speech-context document and in an
// SRGS item. A tag keeps its inner text as written.
TEST_F(SrgsTest, PhraseTextIsTheWholeTextNormalised) {
    const struct {
        const char* written;
        const char* phrase;
    } cases[] = {
        {"no &amp; never", "no & never"},
        {"caf&#233; au lait", "caf\xc3\xa9 au lait"},
        {"\n    one\n    two\n  ", "one two"},
        {"\t stop  ", "stop"},
        {"a &lt;b&gt;", "a <b>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.written);
        SpeechContext document;
        document.LoadPhrases(Xml(std::string("<speech-context><phrase>") + c.written +
                                 "</phrase></speech-context>"));
        GrammarRef srgs;
        ASSERT_TRUE(Load(srgs, Srgs("", std::string("<rule><one-of><item>") + c.written +
                                            "<tag> x &amp;  y </tag></item></one-of></rule>")));
        for (const SpeechContext* context :
             {static_cast<const SpeechContext*>(&document), srgs.GetSpeechContext()}) {
            ASSERT_EQ(context->m_phrases.size(), 1u);
            EXPECT_EQ(context->m_phrases.begin()->second.m_phrase, c.phrase);
            bool complete = false;
            EXPECT_TRUE(context->FindPhrase(c.phrase, complete));
            EXPECT_TRUE(complete);
        }
        EXPECT_EQ(srgs.GetSpeechContext()->m_phrases.begin()->second.m_value, "x &  y");
    }
}

// Weights are read with a decimal point whatever numeric locale the host process set.
TEST_F(SrgsTest, WeightsIgnoreTheProcessLocale) {
    ZephTest::CommaLocale comma;
    ASSERT_TRUE(comma.Active());
    SpeechContext document;
    document.LoadPhrases(Xml("<speech-context><phrase weight=\"0.5\">a</phrase></speech-context>"));
    EXPECT_FLOAT_EQ(document.m_phrases.at("a").m_weight, 0.5f);
    GrammarRef srgs;
    ASSERT_TRUE(
        Load(srgs, Srgs("", "<rule><one-of><item weight=\"2.5\">b</item></one-of></rule>")));
    EXPECT_FLOAT_EQ(srgs.GetSpeechContext()->m_phrases.at("b").m_weight, 2.5f);
}

// Mode "dtmf" in upper case is refused; the attribute name in upper case is accepted.
TEST_F(SrgsTest, ModeValueExactNameWithoutCase) {
    GrammarRef upper;
    EXPECT_FALSE(Load(upper, Srgs("mode=\"DTMF\"", "")));
    EXPECT_EQ(m_log.Count(APT_PRIO_WARNING, "Unexpected SRGS Grammar Mode [DTMF]"), 1);

    GrammarRef dtmf;
    ASSERT_TRUE(Load(
        dtmf, Srgs("MODE=\"dtmf\" root=\"digits\"", "<meta name=\"scope\" content=\"builtin\"/>")));
    EXPECT_EQ(dtmf.m_type, GrammarRef::TYPE_DTMF);
    ASSERT_NE(dtmf.m_builtinGrammar, nullptr);  // the configured "digits"
    EXPECT_EQ(dtmf.m_builtinGrammar->m_dtmf.m_length, 4);

    GrammarRef wrongRoot;
    EXPECT_FALSE(Load(wrongRoot, "<Grammar/>"));
    EXPECT_EQ(m_log.Count(APT_PRIO_WARNING, "Unexpected XML root element <Grammar>"), 1);
}

// Without "root" every rule without "id" is read, rules with one are skipped.
TEST_F(SrgsTest, NoRootAttributeReadsRulesWithoutId) {
    GrammarRef grammar;
    ASSERT_TRUE(Load(grammar, Srgs("",
                                   "<rule><one-of><item>alpha</item></one-of></rule>"
                                   "<rule scope=\"public\"><one-of><item>beta</item>"
                                   "</one-of></rule>"
                                   "<rule id=\"x\"><one-of><item>gamma</item></one-of></rule>"
                                   "<rule id=\"\"><one-of><item>delta</item></one-of></rule>")));
    const SpeechContext* context = grammar.GetSpeechContext();
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(context->m_phrases.size(), 3u);
    EXPECT_EQ(context->m_phrases.count("alpha"), 1u);
    EXPECT_EQ(context->m_phrases.count("beta"), 1u);
    EXPECT_EQ(context->m_phrases.count("delta"), 1u);  // an empty id equals the empty root name
    EXPECT_EQ(context->m_phrases.count("gamma"), 0u);
}

// speech-complete follows the scope unless a valid meta sets it.
TEST_F(SrgsTest, ScopeAndSpeechComplete) {
    struct Case {
        const char* metas;
        SpeechContext::Scope scope;
        bool speechComplete;
    } cases[] = {
        {"", SpeechContext::SCOPE_STRICT, true},
        {"<meta name=\"scope\" content=\"hint\"/>", SpeechContext::SCOPE_HINT, false},
        {"<meta name=\"scope\" content=\"strict\"/>", SpeechContext::SCOPE_STRICT, true},
        {"<meta name=\"scope\" content=\"Hint\"/>", SpeechContext::SCOPE_STRICT, true},
        {"<meta name=\"scope\" content=\"hint\"/><meta name=\"speech-complete\" content=\"true\"/>",
         SpeechContext::SCOPE_HINT, true},
        {"<meta name=\"speech-complete\" content=\"false\"/>", SpeechContext::SCOPE_STRICT, false},
        {"<meta name=\"speech-complete\" content=\"TRUE\"/><meta name=\"scope\" content=\"hint\"/>",
         SpeechContext::SCOPE_HINT, false},
    };
    for (const Case& c : cases) {
        GrammarRef grammar;
        ASSERT_TRUE(Load(grammar, Srgs("", c.metas))) << c.metas;
        const SpeechContext* context = grammar.GetSpeechContext();
        ASSERT_NE(context, nullptr) << c.metas;
        EXPECT_EQ(context->m_scope, c.scope) << c.metas;
        EXPECT_EQ(context->m_speechComplete, c.speechComplete) << c.metas;
    }
    EXPECT_EQ(m_log.Count(APT_PRIO_DEBUG, "Unexpected SRGS Grammar Scope [Hint]"), 1);
    EXPECT_EQ(m_log.Count(APT_PRIO_WARNING,
                          "Unexpected Value <TRUE> for Boolean Attribute <speech-complete>"),
              1);
}

// Scopes that name a configured record, an event or the transcription grammar.
TEST_F(SrgsTest, ConfiguredRecordsEventsAndTranscription) {
    GrammarRef shared;
    ASSERT_TRUE(Load(shared, Srgs("root=\"menu\"", "<meta name=\"scope\" content=\"builtin\"/>")));
    EXPECT_EQ(shared.GetSpeechContext(), m_settings.m_speechContexts.at("menu"));
    EXPECT_EQ(shared.m_builtinGrammar, m_settings.m_builtinSpeechGrammars.at("menu"));

    GrammarRef missing;
    EXPECT_FALSE(
        Load(missing, Srgs("root=\"nothing\"", "<meta name=\"scope\" content=\"builtin\"/>")));
    EXPECT_EQ(m_log.Count(APT_PRIO_WARNING, "No Such Builtin Speech Grammar [nothing] "), 1);

    GrammarRef event;
    ASSERT_TRUE(Load(event, Srgs("root=\"WELCOME\"", "<meta name=\"scope\" content=\"event\"/>")));
    EXPECT_EQ(event.m_type, GrammarRef::TYPE_EVENT);
    EXPECT_EQ(event.m_name, "WELCOME");
    EXPECT_EQ(event.GetSpeechContext(), nullptr);

    GrammarRef transcribe;
    ASSERT_TRUE(Load(transcribe, Srgs("xml:lang=\"en-GB\" root=\"main\"",
                                      "<meta name=\"scope\" content=\"transcribe\"/>"
                                      "<rule id=\"main\"><one-of><item>x</item></one-of></rule>")));
    EXPECT_EQ(transcribe.m_name, "transcribe");
    const SpeechContext* context = transcribe.GetSpeechContext();
    ASSERT_NE(context, nullptr);
    EXPECT_FALSE(context->m_loaded);  // made for the grammar, dies with it
    EXPECT_TRUE(context->m_phrases.empty());
    EXPECT_EQ(context->m_language, "en-GB");
    EXPECT_EQ(context->m_scope, SpeechContext::SCOPE_BUILTIN);
}

TEST_F(SrgsTest, ParseXmlDocumentFailures) {
    EXPECT_EQ(Zeph::GrammarSet::ParseXmlDocument(nullptr, 0, m_pool), nullptr);
    EXPECT_EQ(m_log.Count(APT_PRIO_WARNING, "XML Content Emtpy"), 1);
    const std::string broken = "<grammar><rule></grammar>";
    EXPECT_EQ(Zeph::GrammarSet::ParseXmlDocument(broken.data(), broken.size(), m_pool), nullptr);
    EXPECT_EQ(m_log.Count(APT_PRIO_WARNING, "Failed to feed XML Content to Parser") +
                  m_log.Count(APT_PRIO_WARNING, "Failed to Terminate XML parsing"),
              1);
    const std::string open = "<grammar>";
    EXPECT_EQ(Zeph::GrammarSet::ParseXmlDocument(open.data(), open.size(), m_pool), nullptr);
    // Entity declarations are refused, so nested entities cannot blow up.
    const std::string laughs =
        "<?xml version=\"1.0\"?><!DOCTYPE g [<!ENTITY a \"aaaaaaaaaa\">"
        "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\"><!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;\">]>"
        "<grammar>&c;</grammar>";
    EXPECT_EQ(Zeph::GrammarSet::ParseXmlDocument(laughs.data(), laughs.size(), m_pool), nullptr);
}

}  // namespace
