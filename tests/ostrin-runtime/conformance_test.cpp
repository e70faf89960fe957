#include "ostrin_runtime/conformance.h"

#include <gtest/gtest.h>

using namespace OstrinRuntime;

namespace {
MessageInfo Response(uint64_t id, MessageInfo::State state, int status = 200) {
    MessageInfo info;
    info.kind = MessageInfo::Kind::kResponse;
    info.request_id = id;
    info.state = state;
    info.status_code = status;
    return info;
}
MessageInfo Event(uint64_t id, const char* name, MessageInfo::State state) {
    MessageInfo info;
    info.kind = MessageInfo::Kind::kEvent;
    info.request_id = id;
    info.event_name = name;
    info.state = state;
    return info;
}
const auto kInProgress = MessageInfo::State::kInProgress;
const auto kComplete = MessageInfo::State::kComplete;
}  // namespace

TEST(Conformance, ARecognitionThatKeepsTheRulesIsClean) {
    ConformanceChecker checker;
    std::vector<Violation> violations;
    ASSERT_TRUE(checker.OnRequest(1, "RECOGNIZE"));
    EXPECT_TRUE(checker.OnMessage(Response(1, kInProgress), &violations).deliver);
    checker.OnMessage(Event(1, "START-OF-INPUT", kInProgress), &violations);
    MessageVerdict done =
        checker.OnMessage(Event(1, "RECOGNITION-COMPLETE", kComplete), &violations);
    EXPECT_EQ(done.finished_requests, std::vector<uint64_t>{1});
    checker.OnOpenResponse(&violations);
    checker.OnCloseResponse(&violations);
    checker.OnChannelClosed(&violations);
    EXPECT_TRUE(violations.empty());
    EXPECT_TRUE(checker.OnRequest(1, "RECOGNIZE"));  // a finished id may come again
}

TEST(Conformance, EachRuleIsReportedByName) {
    ConformanceChecker checker;
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
    checker.OnMessage(Event(1, "RECOGNITION-COMPLETE", kComplete), &v);
    size_t before = v.size();
    EXPECT_FALSE(checker.OnMessage(Event(1, "RECOGNITION-COMPLETE", kComplete), &v).deliver);
    ASSERT_EQ(v.size(), before + 1);
    EXPECT_EQ(v.back().rule, ConformanceChecker::kRuleAfterComplete);
    checker.OnRequest(2, "DEFINE-GRAMMAR");
    checker.OnChannelClosed(&v);
    EXPECT_EQ(v.back().rule, ConformanceChecker::kRuleResponseMissing);
    EXPECT_EQ(v.back().request_id, 2u);
    checker.OnOpenResponse(&v);
    checker.OnOpenResponse(&v);
    EXPECT_EQ(v.back().rule, ConformanceChecker::kRuleOpenOnce);
    checker.OnCloseResponse(&v);
    checker.OnCloseResponse(&v);
    EXPECT_EQ(v.back().rule, ConformanceChecker::kRuleCloseOnce);
}

TEST(Conformance, StopResponseEndsTheRecognitionAndGetsItsActiveRequestIdList) {
    ConformanceChecker checker;
    std::vector<Violation> v;
    checker.OnRequest(1, "RECOGNIZE");
    checker.OnMessage(Response(1, kInProgress), &v);
    checker.OnRequest(2, "STOP");
    MessageVerdict stop = checker.OnMessage(Response(2, kComplete), &v);
    EXPECT_EQ(stop.add_active_request_ids, std::vector<uint64_t>{1});
    EXPECT_EQ(stop.finished_requests, (std::vector<uint64_t>{2, 1}));
    EXPECT_TRUE(v.empty());
    // The server sends nothing for the stopped request afterwards.
    EXPECT_FALSE(checker.OnMessage(Event(1, "RECOGNITION-COMPLETE", kComplete), &v).deliver);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].rule, ConformanceChecker::kRuleStopEnds);

    // A list that leaves the recognition out is wrong; a STOP with nothing running is fine.
    ConformanceChecker other;
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
    EXPECT_EQ(w[1].rule, ConformanceChecker::kRuleStopEnds);
}
