// Damaged grammars: every truncation and a few thousand byte mutations of valid URI lists,
// grammar-ref lists, speech-context documents and SRGS documents, sent as DEFINE-GRAMMAR and
// as RECOGNIZE, with and without skip-unsupported-grammars. Each must give one of the
// documented statuses; the sanitizers catch a crash or a leak, the test timeout a hang.
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "grammar_test_support.h"

namespace {

using Zeph::GrammarSet;
using ZephTest::GrammarTest;

struct Seed {
    const char* name;
    const char* contentType;
    std::string body;
    bool defineValid;  // "session:" lines are valid in RECOGNIZE only
};

std::vector<Seed> Seeds() {
    return {
        {"uri-list", "text/uri-list",
         "builtin:speech/yesno\r\nbuiltin:dtmf/digits?length=4;minlength=2;maxlength=6\r\n"
         "BUILTIN:grammar/event_WELCOME?projectid=p;x-goog-user-project=u;dialogid=d\r\n",
         true},
        {"uri-list-session", "text/uri-list", "session:g0\r\n\tbuiltin:event/BYE\n", false},
        {"grammar-ref-list", "text/grammar-ref-list",
         "<builtin:speech/transcribe?agent=a;method=m;language=fr>;weight=0.5\r\n"
         "  <<builtin:dtmf/pin?maxlength=6>>;weight=1\r\n<builtin:event/BYE>\r\n",
         true},
        {"grammar-ref-list-session", "text/grammar-ref-list", "<session:g0>;weight=0.3\r\n", false},
        {"speech-context", "application/xml",
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<speech-context language=\"en-US\" "
         "speech-complete=\"true\">\n  <phrase tag=\"Y\" weight=\"2\">Yes</phrase>\n"
         "  <phrase boost=\"1.5\">no thanks</phrase>\n  <phrase>one<b/>two</phrase>\n"
         "</speech-context>\n",
         true},
        {"srgs", "application/srgs+xml",
         "<?xml version=\"1.0\"?>\n<grammar xmlns=\"http://www.w3.org/2001/06/grammar\" "
         "xml:lang=\"en-US\" version=\"1.0\" mode=\"voice\" root=\"main\">\n"
         "<meta name=\"projectid\" content=\"p1\"/><meta name=\"scope\" content=\"hint\"/>\n"
         "<meta name=\"speech-complete\" content=\"true\"/><meta name=\"x\" content=\"y\"/>\n"
         "<tag>{\"timeZone\":\"UTC\"}</tag>\n<rule id=\"main\" scope=\"public\">\n"
         "<tag>{\"a\":1}</tag><one-of><item weight=\"2\">yes<tag>Y</tag></item>\n"
         "<item>no &amp; never</item><item><![CDATA[maybe]]></item></one-of></rule>\n"
         "<rule id=\"other\"><one-of><item>skip</item></one-of></rule>\n</grammar>\n",
         true},
        {"srgs-dtmf", "application/srgs+xml",
         "<?xml version=\"1.0\"?><grammar mode=\"dtmf\" root=\"pin\">"
         "<meta name=\"scope\" content=\"builtin\"/><meta name=\"minlength\" content=\"2\"/>"
         "</grammar>",
         true},
    };
}

// Bytes that matter to the grammar readers, mixed with random ones.
const char kInteresting[] = "<>/:?;=&\"' \t\r\n!-[]\x00\xff";

class GrammarMutationTest : public GrammarTest {
protected:
    void SetUp() override {
        GrammarTest::SetUp();
        m_detector = CreateDetector();
        ASSERT_NE(m_detector, nullptr);
    }
    void TearDown() override {
        mpf_sdi_destroy(m_detector);
        GrammarTest::TearDown();
    }

    // One request carrying `body`, in its own pool; checks the status of both methods.
    void Send(const Seed& seed, const std::string& body) {
        apr_pool_t* pool = nullptr;
        ASSERT_EQ(apr_pool_create(&pool, m_pool), APR_SUCCESS);
        for (mrcp_method_id method : {RECOGNIZER_DEFINE_GRAMMAR, RECOGNIZER_RECOGNIZE}) {
            mrcp_message_t* request = mrcp_request_create(MRCP_VERSION_2, method, pool);
            ASSERT_NE(request, nullptr);
            apt_string_assign(&request->generic_header.content_type, seed.contentType, pool);
            mrcp_generic_header_property_add(request, GENERIC_HEADER_CONTENT_TYPE);
            apt_string_assign(&request->generic_header.content_id, "m1", pool);
            mrcp_generic_header_property_add(request, GENERIC_HEADER_CONTENT_ID);
            mrcp_message_body_set(request, body.data(), body.size());
            int status = 0;
            if (method == RECOGNIZER_DEFINE_GRAMMAR) {
                mrcp_message_t* response = mrcp_response_create(request, pool);
                status = m_set.DefineGrammar(request, response);
                ASSERT_EQ(static_cast<int>(response->start_line.status_code), status);
            } else {
                status = m_set.SetActiveGrammar(request, m_detector);
            }
            ASSERT_TRUE(status == 200 || status == 404 || status == 406 || status == 409)
                << seed.name << " status " << status << " body:\n"
                << body;
            ++m_sent;
        }
        apr_pool_destroy(pool);
        m_log.Clear();
    }

    mpf_sdi_detector_t* m_detector = nullptr;
    long m_sent = 0;
};

TEST_F(GrammarMutationTest, TruncationsAndByteMutationsGiveAStatus) {
    std::mt19937 random(20261207);  // fixed: a failure can be replayed
    const int kMutations = 2500;
    for (const Seed& seed : Seeds()) {
        for (bool skip : {false, true}) {
            SetSkip(skip);
            m_set.Clear();
            // A stored grammar for the "session:" lines to find.
            ASSERT_EQ(Define("text/uri-list", "g0", "builtin:speech/foo"), 200);
            // The seed itself is valid.
            Send(seed, seed.body);
            for (size_t length = 0; length < seed.body.size(); ++length)
                Send(seed, seed.body.substr(0, length));
            for (int i = 0; i < kMutations; ++i) {
                std::string body = seed.body;
                const int edits = 1 + static_cast<int>(random() % 4);
                for (int e = 0; e < edits && !body.empty(); ++e) {
                    const size_t at = random() % body.size();
                    const char byte = random() % 2
                                          ? kInteresting[random() % (sizeof kInteresting - 1)]
                                          : static_cast<char>(random() % 256);
                    switch (random() % 3) {
                        case 0:
                            body[at] = byte;
                            break;
                        case 1:
                            body.insert(at, 1, byte);
                            break;
                        default:
                            body.erase(at, 1 + random() % 8);
                            break;
                    }
                }
                Send(seed, body);
                if (HasFatalFailure())
                    return;
            }
        }
    }
    EXPECT_GT(m_sent, static_cast<long>(Seeds().size()) * 2 * 2 * kMutations);
}

// The seeds are what they claim: each defines and activates without error.
TEST_F(GrammarMutationTest, SeedsAreValid) {
    for (const Seed& seed : Seeds()) {
        m_set.Clear();
        ASSERT_EQ(Define("text/uri-list", "g0", "builtin:speech/foo"), 200);
        if (seed.defineValid) {
            ASSERT_EQ(Define(seed.contentType, "m1", seed.body), 200) << seed.name;
        }
        EXPECT_EQ(Recognize(seed.contentType, "m1", seed.body), 200) << seed.name;
        EXPECT_EQ(m_log.Warnings(), 0) << seed.name;
    }
}

}  // namespace
