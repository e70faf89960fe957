// Query parameters of first requests, checked on the request messages and the log lines:
// ES v2 and v2beta1 as one typed suite, CX on its own.
#include <google/protobuf/util/json_util.h>

#include "query_test_support.h"

namespace {

using namespace QueryTest;
using Zeph::FirstRequestKind;
using Zeph::QueryScope;

template <class Request>
struct EsFlavour {
    using StreamingDetectIntentRequest = Request;
    using QueryParameters = std::decay_t<decltype(Request().query_params())>;
    using EventInput = std::decay_t<decltype(Request().query_input().event())>;
};
// Named structs rather than aliases, so that test names show a short type name.
struct V2 : EsFlavour<v2::StreamingDetectIntentRequest> {};
struct V2beta1 : EsFlavour<v2beta1::StreamingDetectIntentRequest> {};

template <class Message>
Message FromJson(const std::string& json) {
    Message message;
    EXPECT_TRUE(google::protobuf::util::JsonStringToMessage(json, &message).ok()) << json;
    return message;
}

class QueryTestBase : public ::testing::Test {
protected:
    QueryTestBase() { InitProcess(); }
    LogCapture log_;
};

template <class Flavour>
class EsQueryTest : public QueryTestBase {
protected:
    using Params = typename Flavour::QueryParameters;
    using Request = typename Flavour::StreamingDetectIntentRequest;
    using EventInput = typename Flavour::EventInput;
    QueryScope scope_{kEsSession, "ch1"};
};
using EsFlavours = ::testing::Types<V2, V2beta1>;
TYPED_TEST_SUITE(EsQueryTest, EsFlavours);

// A short context name is completed against the session path; lifespan kept; the line
// announcing the parameter comes before the one with the full name.
TYPED_TEST(EsQueryTest, ShortContextNameCompletedToSessionPath) {
    typename TestFixture::Params params;
    const std::string value = R"([{"name":"ctx1","lifespanCount":2}])";
    EXPECT_TRUE(Zeph::SetQueryParameter("contexts", value, &params, this->scope_));
    ASSERT_EQ(params.contexts_size(), 1);
    EXPECT_EQ(params.contexts(0).name(), std::string(kEsSession) + "/contexts/ctx1");
    EXPECT_EQ(params.contexts(0).lifespan_count(), 2);
    const auto lines = this->log_.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].priority, APT_PRIO_INFO);
    EXPECT_EQ(lines[0].message, "Set Query Param: name=contexts, value=" + value + " <ch1@zeph>");
    EXPECT_EQ(lines[1].priority, APT_PRIO_DEBUG);
    EXPECT_EQ(lines[1].message,
              "Set Context Name [" + std::string(kEsSession) + "/contexts/ctx1] <ch1@zeph>");
}

// A full name is sent as it is, even one of another session; a new list replaces the old.
TYPED_TEST(EsQueryTest, FullContextNameKeptAndListReplaced) {
    typename TestFixture::Params params;
    Zeph::SetQueryParameter("contexts", R"([{"name":"a"},{"name":"b"}])", &params, this->scope_);
    ASSERT_EQ(params.contexts_size(), 2);
    this->log_.Clear();
    const std::string other = "projects/other/agent/sessions/x/contexts/c";
    EXPECT_TRUE(Zeph::SetQueryParameter("contexts", R"([{"name":")" + other + R"("}])", &params,
                                        this->scope_));
    ASSERT_EQ(params.contexts_size(), 1);
    EXPECT_EQ(params.contexts(0).name(), other);
    EXPECT_TRUE(this->log_.Starting("Set Context Name").empty());
}

// Only the exact word true resets contexts; other spellings give false and a warning.
TYPED_TEST(EsQueryTest, ResetContextsExactMatchOnly) {
    typename TestFixture::Params params;
    EXPECT_TRUE(Zeph::SetQueryParameter("resetContexts", "true", &params, this->scope_));
    EXPECT_TRUE(params.reset_contexts());
    EXPECT_FALSE(Zeph::SetQueryParameter("resetContexts", "TRUE", &params, this->scope_));
    EXPECT_FALSE(params.reset_contexts());
    EXPECT_TRUE(this->log_.Contains(
        APT_PRIO_WARNING,
        "Invalid Query Param [resetContexts]: neither true nor false, taken as false <ch1@zeph>"));
    EXPECT_TRUE(Zeph::SetQueryParameter("resetContexts", "true", &params, this->scope_));
    this->log_.Clear();
    EXPECT_TRUE(Zeph::SetQueryParameter("resetContexts", "false", &params, this->scope_));
    EXPECT_FALSE(params.reset_contexts());
    EXPECT_TRUE(this->log_.Starting("Invalid").empty());
    // Names are case-sensitive too: "ResetContexts" is not a parameter and logs nothing.
    this->log_.Clear();
    EXPECT_FALSE(Zeph::SetQueryParameter("ResetContexts", "true", &params, this->scope_));
    EXPECT_FALSE(params.reset_contexts());
    EXPECT_TRUE(this->log_.Lines().empty());
}

// Pairs and built-in parameters add up; a valid JSON text then replaces all of it, and
// its own short names are completed.
TYPED_TEST(EsQueryTest, ValidJsonTextReplacesPairsAndBuiltins) {
    Pairs pairs;
    pairs.Add("timeZone", "Europe/Berlin").Add("contexts", R"([{"name":"c1"}])");
    const std::map<std::string, std::string> builtin{{"payload", R"({"k":"v"})"},
                                                     {"resetContexts", "true"}};
    const std::string text = R"({"timeZone":"Europe/Paris","sessionEntityTypes":[{"name":"fruit",)"
                             R"("entityOverrideMode":"ENTITY_OVERRIDE_MODE_SUPPLEMENT",)"
                             R"("entities":[{"value":"apple","synonyms":["apple"]}]}]})";
    typename TestFixture::Request request;
    Zeph::ComposeQueryParameters(FirstRequestKind::Audio, pairs.Get(), builtin, text, &request,
                                 this->scope_);
    auto expected = FromJson<typename TestFixture::Params>(text);
    expected.mutable_session_entity_types(0)->set_name(std::string(kEsSession) +
                                                       "/entityTypes/fruit");
    EXPECT_TRUE(SameMessage(expected, request.query_params()));
    EXPECT_TRUE(this->log_.Contains(APT_PRIO_INFO, "Set Query Params: " + text + " <ch1@zeph>"));
    EXPECT_TRUE(this->log_.Contains(APT_PRIO_DEBUG, "Set Entity Name [" + std::string(kEsSession) +
                                                        "/entityTypes/fruit] <ch1@zeph>"));
}

// Without a JSON text, pairs and built-in parameters add field by field and a later value
// of the same field wins; the built-in map is read in name order.
TYPED_TEST(EsQueryTest, PairsThenBuiltinsFieldByField) {
    Pairs pairs;
    pairs.Add("timeZone", "Europe/Berlin").Add("contexts", R"([{"name":"c1"}])");
    const std::map<std::string, std::string> builtin{{"timeZone", "Asia/Tokyo"},
                                                     {"geoLocation", R"({"latitude":1.5})"}};
    typename TestFixture::Request request;
    Zeph::ComposeQueryParameters(FirstRequestKind::Audio, pairs.Get(), builtin, "", &request,
                                 this->scope_);
    const auto& params = request.query_params();
    EXPECT_EQ(params.time_zone(), "Asia/Tokyo");
    ASSERT_EQ(params.contexts_size(), 1);
    EXPECT_EQ(params.contexts(0).name(), std::string(kEsSession) + "/contexts/c1");
    EXPECT_DOUBLE_EQ(params.geo_location().latitude(), 1.5);
    const auto set = this->log_.Starting("Set Query Param: ");
    ASSERT_EQ(set.size(), 4u);
    EXPECT_EQ(set[2].message,
              R"(Set Query Param: name=geoLocation, value={"latitude":1.5} <ch1@zeph>)");
    EXPECT_EQ(set[3].message, "Set Query Param: name=timeZone, value=Asia/Tokyo <ch1@zeph>");
    EXPECT_TRUE(this->log_.Starting("Set Query Params:").empty());
}

// A vendor value between double quotes is used without them; a lone quote stays; pairs
// without a value are skipped and an absent list is reported.
TYPED_TEST(EsQueryTest, VendorValuesLoseEnclosingQuotes) {
    typename TestFixture::Params params;
    Pairs pairs;
    pairs.Add("timeZone", "\"America/New_York\"")
        .Add("payload", R"("{"caller":"alice"}")")
        .Add("resetContexts", std::nullopt);
    EXPECT_TRUE(Zeph::ReadQueryParameters(pairs.Get(), &params, this->scope_));
    EXPECT_EQ(params.time_zone(), "America/New_York");
    EXPECT_EQ(params.payload().fields().at("caller").string_value(), "alice");
    EXPECT_TRUE(this->log_.Contains(
        APT_PRIO_INFO, "Set Query Param: name=timeZone, value=America/New_York <ch1@zeph>"));
    EXPECT_TRUE(this->log_.Starting("Set Query Param: name=resetContexts").empty());

    Pairs lone;
    lone.Add("timeZone", "\"");
    EXPECT_TRUE(Zeph::ReadQueryParameters(lone.Get(), &params, this->scope_));
    EXPECT_EQ(params.time_zone(), "\"");
    EXPECT_FALSE(Zeph::ReadQueryParameters(nullptr, &params, this->scope_));
    EXPECT_EQ(params.time_zone(), "\"");
}

// Event parameters are string values whatever they look like; the Struct exists only
// when there are parameters.
TYPED_TEST(EsQueryTest, EventParametersAreStrings) {
    typename TestFixture::EventInput event;
    Zeph::AddEventParameters({}, &event, this->scope_);
    EXPECT_FALSE(event.has_parameters());
    Zeph::AddEventParameters({{"count", "42"}, {"flag", "true"}}, &event, this->scope_);
    ASSERT_TRUE(event.has_parameters());
    const auto& fields = event.parameters().fields();
    ASSERT_EQ(fields.size(), 2u);
    EXPECT_EQ(fields.at("count").kind_case(), google::protobuf::Value::kStringValue);
    EXPECT_EQ(fields.at("count").string_value(), "42");
    EXPECT_EQ(fields.at("flag").string_value(), "true");
    const auto lines = this->log_.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].message, "Add Event Param: name=count, value=42 <ch1@zeph>");
    EXPECT_EQ(lines[1].message, "Add Event Param: name=flag, value=true <ch1@zeph>");
}

// Text that is not UTF-8 would make the service refuse the whole request: a time zone is
// refused and the earlier one kept, an event parameter is left out.
TYPED_TEST(EsQueryTest, TextMustBeUtf8) {
    typename TestFixture::Params params;
    ASSERT_TRUE(Zeph::SetQueryParameter("timeZone", "Europe/Berlin", &params, this->scope_));
    for (const char* bad :
         {"Europe/\xff", "\xc0\xaf", "\xed\xa0\x80", "x\xe2\x82", "\xf4\x90\x80\x80"}) {
        this->log_.Clear();
        EXPECT_FALSE(Zeph::SetQueryParameter("timeZone", bad, &params, this->scope_));
        EXPECT_EQ(params.time_zone(), "Europe/Berlin");
        EXPECT_TRUE(this->log_.Contains(
            APT_PRIO_WARNING, "Invalid Query Param [timeZone]: not valid UTF-8 <ch1@zeph>"));
    }
    for (const char* good : {"Am\xc3\xa9rique/Montr\xc3\xa9"
                             "al",
                             "\xe2\x82\xac", "\xf0\x9f\x98\x80", ""}) {
        EXPECT_TRUE(Zeph::SetQueryParameter("timeZone", good, &params, this->scope_));
        EXPECT_EQ(params.time_zone(), good);
    }

    typename TestFixture::EventInput event;
    this->log_.Clear();
    Zeph::AddEventParameters({{"bad", "\xff"}, {"ok", "1"}}, &event, this->scope_);
    ASSERT_EQ(event.parameters().fields().size(), 1u);
    EXPECT_EQ(event.parameters().fields().at("ok").string_value(), "1");
    EXPECT_TRUE(this->log_.Contains(APT_PRIO_WARNING,
                                    "Invalid Event Param [bad]: not valid UTF-8 <ch1@zeph>"));
}

// Malformed values: the request is still built, sub-messages keep what they held (an
// absent one stays absent), lists become empty, and a warning names the parameter.
TYPED_TEST(EsQueryTest, MalformedValuesKeepEarlierContent) {
    typename TestFixture::Params params;
    const auto& scope = this->scope_;
    ASSERT_TRUE(Zeph::SetQueryParameter("geoLocation", "{\"latitude\":2}", &params, scope));
    ASSERT_TRUE(Zeph::SetQueryParameter("payload", "{\"a\":1}", &params, scope));
    ASSERT_TRUE(Zeph::SetQueryParameter("contexts", "[{\"name\":\"c\"}]", &params, scope));
    ASSERT_TRUE(
        Zeph::SetQueryParameter("sessionEntityTypes", "[{\"name\":\"e\"}]", &params, scope));
    const auto before = params;

    this->log_.Clear();
    EXPECT_FALSE(Zeph::SetQueryParameter("geoLocation", "{\"latitude\":", &params, scope));
    EXPECT_FALSE(Zeph::SetQueryParameter("payload", "[1,2]", &params, scope));
    EXPECT_FALSE(
        Zeph::SetQueryParameter("sentimentAnalysisRequestConfig", "{\"x\":1}", &params, scope));
    EXPECT_TRUE(SameMessage(before, params));
    EXPECT_FALSE(params.has_sentiment_analysis_request_config());
    for (const char* name : {"geoLocation", "payload", "sentimentAnalysisRequestConfig"}) {
        const auto warned =
            this->log_.Starting("Invalid Query Param [" + std::string(name) + "]: ");
        ASSERT_EQ(warned.size(), 1u) << name;
        EXPECT_EQ(warned[0].priority, APT_PRIO_WARNING);
        // The parser's message stands between the name and the channel.
        const std::string prefix = "Invalid Query Param [" + std::string(name) + "]: ";
        const std::string suffix = " <ch1@zeph>";
        ASSERT_GT(warned[0].message.size(), prefix.size() + suffix.size()) << warned[0].message;
        EXPECT_EQ(warned[0].message.substr(warned[0].message.size() - suffix.size()), suffix);
    }

    EXPECT_FALSE(Zeph::SetQueryParameter("contexts", "[{\"name\":\"c\",", &params, scope));
    EXPECT_FALSE(Zeph::SetQueryParameter("sessionEntityTypes", "{}", &params, scope));
    EXPECT_EQ(params.contexts_size(), 0);
    EXPECT_EQ(params.session_entity_types_size(), 0);
    EXPECT_TRUE(params.has_geo_location());
    EXPECT_EQ(this->log_.Starting("Invalid Query Param [contexts]: ").size(), 1u);
    EXPECT_EQ(this->log_.Starting("Invalid Query Param [sessionEntityTypes]: ").size(), 1u);
}

// Unknown fields and enumeration names in another case are errors, not silently dropped.
TYPED_TEST(EsQueryTest, UnknownFieldsAndEnumCaseRejected) {
    typename TestFixture::Params params;
    EXPECT_FALSE(Zeph::SetQueryParameter("geoLocation", R"({"latitude":1,"altitude":2})", &params,
                                         this->scope_));
    EXPECT_FALSE(params.has_geo_location());
    EXPECT_FALSE(Zeph::SetQueryParameter(
        "sessionEntityTypes",
        R"([{"name":"e","entityOverrideMode":"entity_override_mode_supplement"}])", &params,
        this->scope_));
    EXPECT_EQ(params.session_entity_types_size(), 0);
    EXPECT_TRUE(Zeph::SetQueryParameter(
        "sessionEntityTypes",
        R"([{"name":"e","entityOverrideMode":"ENTITY_OVERRIDE_MODE_SUPPLEMENT"}])", &params,
        this->scope_));
    EXPECT_EQ(params.session_entity_types_size(), 1);
    EXPECT_FALSE(Zeph::SetQueryParameter("sentimentAnalysisRequestConfig",
                                         R"({"analyzeQueryTextSentiment":true,"extra":1})", &params,
                                         this->scope_));
    EXPECT_TRUE(Zeph::SetQueryParameter("sentimentAnalysisRequestConfig",
                                        R"({"analyzeQueryTextSentiment":true})", &params,
                                        this->scope_));
    EXPECT_TRUE(params.sentiment_analysis_request_config().analyze_query_text_sentiment());
}

// A list value must be a JSON array: a lone object, null, or text that closes the wrapping
// object early and adds other members are refused and leave the list empty.
TYPED_TEST(EsQueryTest, ListValueMustBeArray) {
    typename TestFixture::Params params;
    const std::string refused = "Invalid Query Param [contexts]: not a JSON array <ch1@zeph>";
    for (const char* value :
         {R"([{"name":"c"}], "timeZone": "X/Y")", R"({"name":"c"})", "null", "", "  "}) {
        ASSERT_TRUE(
            Zeph::SetQueryParameter("contexts", "[{\"name\":\"a\"}]", &params, this->scope_));
        this->log_.Clear();
        EXPECT_FALSE(Zeph::SetQueryParameter("contexts", value, &params, this->scope_)) << value;
        EXPECT_EQ(params.contexts_size(), 0) << value;
        EXPECT_EQ(params.time_zone(), "");
        EXPECT_TRUE(this->log_.Contains(APT_PRIO_WARNING, refused)) << value;
    }
    EXPECT_TRUE(Zeph::SetQueryParameter("contexts", " \n[]", &params, this->scope_));
    EXPECT_FALSE(
        Zeph::SetQueryParameter("sessionEntityTypes", R"({"name":"e"})", &params, this->scope_));
    EXPECT_EQ(params.session_entity_types_size(), 0);
}

// A JSON text that does not parse leaves what the pairs set, with a warning.
TYPED_TEST(EsQueryTest, InvalidJsonTextKeepsPairs) {
    Pairs pairs;
    pairs.Add("timeZone", "Europe/Berlin");
    typename TestFixture::Request request;
    Zeph::ComposeQueryParameters(FirstRequestKind::Audio, pairs.Get(), {}, R"({"timeZone":)",
                                 &request, this->scope_);
    EXPECT_EQ(request.query_params().time_zone(), "Europe/Berlin");
    const auto warned = this->log_.Starting("Invalid Query Params: ");
    ASSERT_EQ(warned.size(), 1u);
    EXPECT_EQ(warned[0].priority, APT_PRIO_WARNING);

    typename TestFixture::Params params;
    EXPECT_FALSE(
        Zeph::SetQueryParameters(R"({"timeZone":"A/B","bogus":1})", &params, this->scope_));
    EXPECT_EQ(params.time_zone(), "");
}

// DTMF reads the same three sources without the "Set Query Params" line; an event reads
// only the vendor pairs; nothing set leaves query_params absent; unknown names log nothing.
TYPED_TEST(EsQueryTest, SourcesByFirstRequestKind) {
    Pairs pairs;
    pairs.Add("timeZone", "Europe/Berlin").Add("projectid", "p2");
    const std::map<std::string, std::string> builtin{{"payload", R"({"b":1})"}};
    const std::string text = R"({"timeZone":"Europe/Paris","contexts":[{"name":"d"}]})";

    typename TestFixture::Request dtmf;
    Zeph::ComposeQueryParameters(FirstRequestKind::Dtmf, pairs.Get(), builtin, text, &dtmf,
                                 this->scope_);
    EXPECT_EQ(dtmf.query_params().time_zone(), "Europe/Paris");
    EXPECT_EQ(dtmf.query_params().contexts(0).name(), std::string(kEsSession) + "/contexts/d");
    EXPECT_FALSE(dtmf.query_params().has_payload());
    EXPECT_TRUE(this->log_.Starting("Set Query Params").empty());

    this->log_.Clear();
    typename TestFixture::Request event;
    Zeph::ComposeQueryParameters(FirstRequestKind::Event, pairs.Get(), builtin, text, &event,
                                 this->scope_);
    typename TestFixture::Params expected;
    expected.set_time_zone("Europe/Berlin");
    EXPECT_TRUE(SameMessage(expected, event.query_params()));
    const auto lines = this->log_.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].message, "Set Query Param: name=timeZone, value=Europe/Berlin <ch1@zeph>");

    typename TestFixture::Request none;
    Pairs unknown;
    unknown.Add("dialogid", "x");
    Zeph::ComposeQueryParameters(FirstRequestKind::Audio, unknown.Get(), {}, "", &none,
                                 this->scope_);
    EXPECT_FALSE(none.has_query_params());
}

// ---- CX -------------------------------------------------------------------------------

class CxQueryTest : public QueryTestBase {
protected:
    QueryScope scope_{kCxSession, "ch2"};
};

// "contexts" and the other ES-only names have no effect and log nothing.
TEST_F(CxQueryTest, EsOnlyNamesHaveNoEffect) {
    cx::QueryParameters params;
    EXPECT_FALSE(Zeph::SetQueryParameter("contexts", R"([{"name":"ctx1","lifespanCount":2}])",
                                         &params, scope_));
    EXPECT_FALSE(Zeph::SetQueryParameter("resetContexts", "true", &params, scope_));
    EXPECT_FALSE(Zeph::SetQueryParameter("sentimentAnalysisRequestConfig",
                                         R"({"analyzeQueryTextSentiment":true})", &params, scope_));
    EXPECT_EQ(params.ByteSizeLong(), 0u);
    EXPECT_TRUE(log_.Lines().empty());

    Pairs pairs;
    pairs.Add("contexts", R"([{"name":"ctx1"}])");
    cx::StreamingDetectIntentRequest request;
    Zeph::ComposeQueryParameters(FirstRequestKind::Audio, pairs.Get(), {}, "", &request, scope_);
    EXPECT_FALSE(request.has_query_params());
    EXPECT_TRUE(log_.Lines().empty());
}

// The four CX names; short session entity type names complete against the CX session
// path, full ones stay; quoted vendor values lose their quotes.
TEST_F(CxQueryTest, FourNamesAndEntityNames) {
    Pairs pairs;
    pairs.Add("timeZone", "\"Europe/Rome\"")
        .Add("geoLocation", R"({"latitude":45.5,"longitude":9.2})")
        .Add("payload", R"({"n":3})")
        .Add("sessionEntityTypes",
             R"([{"name":"fruit","entityOverrideMode":"ENTITY_OVERRIDE_MODE_OVERRIDE",)"
             R"("entities":[{"value":"kiwi","synonyms":["kiwi"]}]},)"
             R"({"name":"projects/x/locations/y/agents/z/sessions/s/entityTypes/veg"}])");
    cx::StreamingDetectIntentRequest request;
    Zeph::ComposeQueryParameters(FirstRequestKind::Audio, pairs.Get(), {}, "", &request, scope_);
    const auto& params = request.query_params();
    EXPECT_EQ(params.time_zone(), "Europe/Rome");
    EXPECT_DOUBLE_EQ(params.geo_location().longitude(), 9.2);
    EXPECT_EQ(params.payload().fields().at("n").number_value(), 3);
    ASSERT_EQ(params.session_entity_types_size(), 2);
    const std::string full = std::string(kCxSession) + "/entityTypes/fruit";
    EXPECT_EQ(params.session_entity_types(0).name(), full);
    EXPECT_EQ(params.session_entity_types(0).entities(0).value(), "kiwi");
    EXPECT_EQ(params.session_entity_types(1).name(),
              "projects/x/locations/y/agents/z/sessions/s/entityTypes/veg");
    const auto named = log_.Starting("Set Entity Name");
    ASSERT_EQ(named.size(), 1u);
    EXPECT_EQ(named[0].priority, APT_PRIO_DEBUG);
    EXPECT_EQ(named[0].message, "Set Entity Name [" + full + "] <ch2@zeph>");
    EXPECT_EQ(log_.Starting("Set Query Param: ").size(), 4u);
}

// A valid JSON text replaces what pairs set and may carry any CX field; its short entity
// type names are completed; an invalid one leaves the pairs' values.
TEST_F(CxQueryTest, JsonTextReplacesPairs) {
    Pairs pairs;
    pairs.Add("timeZone", "Europe/Rome").Add("payload", R"({"n":3})");
    const std::string text =
        R"({"parameters":{"account":"1234"},"sessionEntityTypes":[{"name":"acct",)"
        R"("entityOverrideMode":"ENTITY_OVERRIDE_MODE_SUPPLEMENT"}]})";
    cx::StreamingDetectIntentRequest request;
    Zeph::ComposeQueryParameters(FirstRequestKind::Dtmf, pairs.Get(), {}, text, &request, scope_);
    auto expected = FromJson<cx::QueryParameters>(text);
    expected.mutable_session_entity_types(0)->set_name(std::string(kCxSession) +
                                                       "/entityTypes/acct");
    EXPECT_TRUE(SameMessage(expected, request.query_params()));

    cx::StreamingDetectIntentRequest bad;
    Zeph::ComposeQueryParameters(FirstRequestKind::Audio, pairs.Get(), {},
                                 R"({"contexts":[{"name":"c"}]})", &bad, scope_);
    EXPECT_EQ(bad.query_params().time_zone(), "Europe/Rome");
    EXPECT_EQ(log_.Starting("Invalid Query Params: ").size(), 1u);
}

// Event first requests take the vendor pairs only.
TEST_F(CxQueryTest, EventReadsPairsOnly) {
    Pairs pairs;
    pairs.Add("timeZone", "Europe/Rome");
    cx::StreamingDetectIntentRequest request;
    Zeph::ComposeQueryParameters(FirstRequestKind::Event, pairs.Get(), {{"payload", "{}"}},
                                 R"({"timeZone":"Europe/Paris"})", &request, scope_);
    cx::QueryParameters expected;
    expected.set_time_zone("Europe/Rome");
    EXPECT_TRUE(SameMessage(expected, request.query_params()));
}

}  // namespace
