#include "ostrin_runtime/conformance.h"

#include <gtest/gtest.h>

using namespace OstrinRuntime;

namespace {
MessageInfo OnChannelA() {
    MessageInfo info;
    info.version = 2;
    info.channel_session = "A";
    info.channel_resource = "speechrecog";
    return info;
}
MessageInfo Response(uint64_t id, MessageInfo::State state, int status = 200) {
    MessageInfo info = OnChannelA();
    info.kind = MessageInfo::Kind::kResponse;
    info.request_id = id;
    info.state = state;
    info.status_code = status;
    return info;
}
MessageInfo Event(uint64_t id, const char* name, MessageInfo::State state) {
    MessageInfo info = OnChannelA();
    info.kind = MessageInfo::Kind::kEvent;
    info.request_id = id;
    info.event_name = name;
    info.state = state;
    return info;
}
const auto kInProgress = MessageInfo::State::kInProgress;
const auto kComplete = MessageInfo::State::kComplete;
const auto kPending = MessageInfo::State::kPending;
MessageInfo Completion(uint64_t id, int cause = 0) {
    MessageInfo info = Event(id, "RECOGNITION-COMPLETE", kComplete);
    info.has_completion_cause = true;
    info.completion_cause = cause;
    info.completion_cause_known = cause >= 0 && cause <= 16;
    return info;
}
struct Checker : ConformanceChecker {
    Checker() { SetChannel("A", 2); }
};
}  // namespace

TEST(Conformance, ARecognitionThatKeepsTheRulesIsClean) {
    Checker checker;
    std::vector<Violation> violations;
    ASSERT_TRUE(checker.OnRequest(1, "RECOGNIZE"));
    EXPECT_TRUE(checker.OnMessage(Response(1, kInProgress), &violations).deliver);
    checker.OnMessage(Event(1, "START-OF-INPUT", kInProgress), &violations);
    MessageVerdict done = checker.OnMessage(Completion(1), &violations);
    EXPECT_EQ(done.finished_requests, std::vector<uint64_t>{1});
    checker.OnOpenResponse(&violations);
    checker.OnCloseResponse(&violations);
    checker.OnChannelClosed(&violations);
    EXPECT_TRUE(violations.empty());
    EXPECT_TRUE(checker.OnRequest(1, "RECOGNIZE"));  // a finished id may come again
}

TEST(Conformance, EachRuleIsReportedByName) {
    Checker checker;
    std::vector<Violation> v;
    checker.OnRequest(1, "RECOGNIZE");
    EXPECT_FALSE(checker.OnRequest(1, "RECOGNIZE"));  // still in use
    checker.OnMessage(Event(1, "START-OF-INPUT", kInProgress), &v);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].rule, ConformanceChecker::kRuleEventInProgress);
    EXPECT_EQ(v[0].method, "RECOGNIZE");
    checker.OnMessage(Response(1, kInProgress), &v);
    EXPECT_EQ(v.size(), 1u);  // the early event was not taken for the response
    checker.OnMessage(Response(1, kInProgress), &v);
    EXPECT_EQ(v.back().rule, ConformanceChecker::kRuleOneResponse);
    checker.OnMessage(Response(9, kComplete), &v);
    EXPECT_EQ(v.back().rule, ConformanceChecker::kRuleResponseId);
    checker.OnMessage(Completion(1), &v);
    size_t before = v.size();
    EXPECT_FALSE(checker.OnMessage(Completion(1), &v).deliver);
    ASSERT_EQ(v.size(), before + 1);
    EXPECT_EQ(v.back().rule, ConformanceChecker::kRuleAfterComplete);
    checker.OnRequest(2, "DEFINE-GRAMMAR");
    checker.OnCloseResponse(&v);
    EXPECT_EQ(v.back().rule, ConformanceChecker::kRuleResponseMissing);
    EXPECT_EQ(v.back().request_id, 2u);
    checker.OnOpenResponse(&v);
    checker.OnOpenResponse(&v);
    EXPECT_EQ(v.back().rule, ConformanceChecker::kRuleOpenOnce);
    checker.OnCloseResponse(&v);
    EXPECT_EQ(v.back().rule, ConformanceChecker::kRuleCloseOnce);
}

TEST(Conformance, StopResponseEndsTheRecognitionAndMustListIt) {
    Checker checker;
    std::vector<Violation> v;
    checker.OnRequest(1, "RECOGNIZE");
    checker.OnMessage(Response(1, kInProgress), &v);
    checker.OnRequest(2, "STOP");
    // Without the list: reported, and the server adds it for the client.
    MessageVerdict stop = checker.OnMessage(Response(2, kComplete), &v);
    EXPECT_EQ(stop.add_active_request_ids, std::vector<uint64_t>{1});
    EXPECT_EQ(stop.finished_requests, (std::vector<uint64_t>{2, 1}));
    EXPECT_FALSE(stop.conforming);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].rule, ConformanceChecker::kRuleStopLists);
    // The server sends nothing for the stopped request afterwards.
    EXPECT_FALSE(checker.OnMessage(Completion(1), &v).deliver);
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[1].rule, ConformanceChecker::kRuleStopEnds);

    // A list that leaves the recognition out is wrong; a STOP with nothing running is fine.
    Checker other;
    std::vector<Violation> w;
    other.OnRequest(3, "STOP");
    EXPECT_TRUE(other.OnMessage(Response(3, kComplete), &w).add_active_request_ids.empty());
    other.OnRequest(4, "RECOGNIZE");
    other.OnMessage(Response(4, kInProgress), &w);
    other.OnRequest(5, "STOP");
    MessageInfo listed = Response(5, kComplete);
    listed.has_active_request_id_list = true;
    listed.active_request_ids = {7};
    other.OnMessage(listed, &w);
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[0].rule, ConformanceChecker::kRuleStopEnds);
    EXPECT_EQ(w[1].rule, ConformanceChecker::kRuleStopLists);
}

TEST(Conformance, RequestsStillOpenAtTheCloseResponseAreReportedOnce) {
    Checker checker;
    std::vector<Violation> v;
    checker.OnRequest(1, "RECOGNIZE");
    checker.OnMessage(Response(1, kInProgress), &v);
    checker.OnRequest(2, "RECOGNIZE");
    checker.OnMessage(Response(2, kPending), &v);
    checker.OnRequest(3, "DEFINE-GRAMMAR");
    EXPECT_TRUE(v.empty());
    checker.OnCloseResponse(&v);
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(v[0].rule, ConformanceChecker::kRuleEndsBeforeClose);
    EXPECT_EQ(v[0].detail, "still IN-PROGRESS at the close response");
    EXPECT_EQ(v[1].detail, "still PENDING at the close response");
    EXPECT_EQ(v[2].rule, ConformanceChecker::kRuleResponseMissing);
    checker.OnChannelClosed(&v);
    EXPECT_EQ(v.size(), 3u);
}

TEST(Conformance, APendingRecognizeMayWaitButNotStartBesideARunningOne) {
    Checker checker;
    std::vector<Violation> v;
    checker.OnRequest(1, "RECOGNIZE");
    checker.OnMessage(Response(1, kInProgress), &v);
    checker.OnRequest(2, "RECOGNIZE");
    checker.OnMessage(Response(2, kPending), &v);
    EXPECT_TRUE(v.empty());
    checker.OnMessage(Event(2, "START-OF-INPUT", kInProgress), &v);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].rule, ConformanceChecker::kRuleOneRecognize);
    // Once the first has completed, the held one may start.
    Checker fine;
    std::vector<Violation> w;
    fine.OnRequest(1, "RECOGNIZE");
    fine.OnMessage(Response(1, kInProgress), &w);
    fine.OnRequest(2, "RECOGNIZE");
    fine.OnMessage(Response(2, kPending), &w);
    fine.OnMessage(Completion(1), &w);
    fine.OnMessage(Event(2, "START-OF-INPUT", kInProgress), &w);
    fine.OnMessage(Completion(2, 2), &w);
    EXPECT_TRUE(w.empty());
    // A STOP ends pending requests too.
    fine.OnRequest(3, "RECOGNIZE");
    fine.OnMessage(Response(3, kPending), &w);
    fine.OnRequest(4, "STOP");
    EXPECT_EQ(fine.OnMessage(Response(4, kComplete), &w).add_active_request_ids,
              std::vector<uint64_t>{3});
}

TEST(Conformance, OutOfRangeValuesAreReportedByTheirRule) {
    Checker checker;
    std::vector<Violation> v;
    checker.OnRequest(1, "RECOGNIZE");
    MessageInfo bad_state = Response(1, MessageInfo::State::kInvalid);
    bad_state.raw_state = 7;
    bad_state.write_error = "cannot write the message";
    EXPECT_FALSE(checker.OnMessage(bad_state, &v).deliver);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].rule, ConformanceChecker::kRuleStates);
    MessageInfo other = Response(1, kInProgress);
    other.kind = MessageInfo::Kind::kOther;
    other.raw_type = 9;
    EXPECT_FALSE(checker.OnMessage(other, &v).deliver);
    EXPECT_EQ(v.back().rule, ConformanceChecker::kRuleUnknownMessage);
    MessageInfo version = Response(1, kInProgress);
    version.version = 5;
    EXPECT_FALSE(checker.OnMessage(version, &v).deliver);
    EXPECT_EQ(v.back().rule, ConformanceChecker::kRuleVersion);
    // None of them counted as the response.
    size_t before = v.size();
    MessageVerdict response = checker.OnMessage(Response(1, kInProgress, 999), &v);
    EXPECT_TRUE(response.deliver);
    EXPECT_FALSE(response.conforming);
    ASSERT_EQ(v.size(), before + 2);
    EXPECT_EQ(v[before].rule, ConformanceChecker::kRuleStatusCode);
    EXPECT_EQ(v[before + 1].rule, ConformanceChecker::kRuleFailureComplete);
    MessageInfo cause = Completion(1, 99);
    cause.write_error = "cannot write the message";
    EXPECT_FALSE(checker.OnMessage(cause, &v).deliver);
    EXPECT_EQ(v.back().rule, ConformanceChecker::kRuleRecognitionComplete);
}

// A result body must parse as its Content-Type says, or a client's NLSML or JSON parser
// refuses the result: malformed bodies are reported, well-formed ones and other types pass.
TEST(Conformance, AnNlsmlOrJsonBodyThatDoesNotParseIsReported) {
    struct Body {
        const char* type;
        const char* text;
        bool parses;
    };
    const Body bodies[] = {
        {"application/x-nlsml", "<?xml version=\"1.0\"?><result><input>a &amp; b</input></result>",
         true},
        {"application/x-nlsml", "<result><input>a & b</input></result>", false},
        {"Application/NLSML+XML; charset=UTF-8", "<result><interpretation></result>", false},
        {"application/json", "{\"queryText\":\"a\",\"confidence\":0.9}", true},
        {"application/json", "{\"queryText\":\"a\",}", false},
        {"application/json", "\"\xff\"", false},  // not UTF-8
        {"text/plain", "<not xml", true},
    };
    for (const Body& body : bodies) {
        Checker checker;
        std::vector<Violation> v;
        checker.OnRequest(1, "RECOGNIZE");
        checker.OnMessage(Response(1, kInProgress), &v);
        MessageInfo completion = Completion(1);
        completion.has_content_type = true;
        completion.content_type = body.type;
        completion.body = body.text;
        completion.body_length = completion.body.size();
        MessageVerdict verdict = checker.OnMessage(completion, &v);
        if (body.parses) {
            EXPECT_TRUE(v.empty()) << body.text << ": " << v.front().detail;
            continue;
        }
        ASSERT_EQ(v.size(), 1u) << body.text;
        EXPECT_EQ(v[0].rule, ConformanceChecker::kRuleBodyParses);
        EXPECT_EQ(v[0].request_id, 1u);
        EXPECT_FALSE(verdict.conforming);
        EXPECT_TRUE(verdict.deliver);  // the client gets it, as a real server would send it
    }
}

// MRCPv2's Waveform-URI is empty or "<URI>;size=N;duration=M"; MRCPv1's Waveform-URL is a
// bare URL and is not checked.
TEST(Conformance, AWaveformUriOutOfShapeIsReported) {
    struct Value {
        const char* text;
        bool good;
    };
    const Value values[] = {
        {"<http://host/a.wav>;size=16000;duration=1000", true},
        {"", true},
        {"http://host/a.wav", false},
        {"<http://host/a.wav>", false},
        {"<>;size=1;duration=0", false},
        {"<http://host/a.wav>;size=;duration=1", false},
        {"<http://host/a.wav>;duration=1;size=16", false},
        {"<http://host/a.wav>;size=16;duration=1x", false},
    };
    for (const Value& value : values) {
        for (int version : {1, 2}) {
            Checker checker;
            checker.SetChannel("A", version);
            std::vector<Violation> v;
            checker.OnRequest(1, "RECOGNIZE");
            MessageInfo response = Response(1, kInProgress);
            response.version = version;
            checker.OnMessage(response, &v);
            MessageInfo completion = Completion(1);
            completion.version = version;
            completion.has_waveform_uri = true;
            completion.waveform_uri = value.text;
            checker.OnMessage(completion, &v);
            if (value.good || version == 1) {
                EXPECT_TRUE(v.empty()) << value.text << ": " << v.front().detail;
                continue;
            }
            ASSERT_EQ(v.size(), 1u) << value.text;
            EXPECT_EQ(v[0].rule, ConformanceChecker::kRuleWaveformUri);
            EXPECT_EQ(v[0].detail, std::string("Waveform-URI [") + value.text + "]");
        }
    }
}
