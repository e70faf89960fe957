// Mutated JSON values for every query-parameter name, and mutated query-parameter texts:
// never a crash, leak or hang (the sanitizers and ctest's timeout watch those), and every
// outcome is one of the documented ones.
#include <google/protobuf/stubs/logging.h>

#include <iterator>
#include <ostream>
#include <random>
#include <type_traits>

#include "query_test_support.h"

namespace {

using namespace QueryTest;
using Zeph::QueryScope;

const int kMutationsPerName = 3000;

struct Seed {
    const char* name;
    const char* value;
};

// Test names show the parameter name, not the bytes of the struct.
void PrintTo(const Seed& seed, std::ostream* out) {
    *out << seed.name;
}

const Seed kSeeds[] = {
    {"timeZone", "America/New_York"},
    {"geoLocation", R"({"latitude":37.422,"longitude":-122.084})"},
    {"contexts",
     R"([{"name":"ctx1","lifespanCount":2,"parameters":{"a":[1,"x",null,true,{"b":-0.5e3}]}},)"
     R"({"name":"projects/p/agent/sessions/s/contexts/c2"}])"},
    {"resetContexts", "true"},
    {"sessionEntityTypes",
     R"([{"name":"fruit","entityOverrideMode":"ENTITY_OVERRIDE_MODE_SUPPLEMENT",)"
     R"("entities":[{"value":"apple","synonyms":["apple","pomme"]}]}])"},
    {"payload", R"({"caller":{"id":"42","tags":["a","b"],"vip":false,"score":1.25}})"},
    {"sentimentAnalysisRequestConfig", R"({"analyzeQueryTextSentiment":true})"},
};

const char* const kTokens[] = {"{",
                               "}",
                               "[",
                               "]",
                               "\"",
                               ":",
                               ",",
                               "\\",
                               "\\u0000",
                               "\\ud800",
                               "\\uDC00\\uD800",
                               "null",
                               "true",
                               "false",
                               "-0",
                               "1e999999",
                               "-1e-999999",
                               "9223372036854775808",
                               "NaN",
                               "\"NaN\"",
                               "\"Infinity\"",
                               "0x10",
                               "\"@type\"",
                               "\"fields\":",
                               "\"name\":",
                               "\"lifespanCount\":",
                               "\"entities\":",
                               "\"entityOverrideMode\":",
                               "\"ENTITY_OVERRIDE_MODE_UNSPECIFIED\"",
                               "\xff",
                               "\xc3\xa9",
                               "\xe2\x82",
                               "\t",
                               "\n",
                               " ",
                               "/*",
                               "//",
                               "'",
                               "\"\\\"",
                               "123456789012345678901234567890"};

class Mutator {
public:
    explicit Mutator(unsigned seed) : rng_(seed) {}

    std::string Mutate(std::string text, const std::string& donor) {
        const int steps = 1 + Below(4);
        for (int i = 0; i < steps; ++i)
            text = Step(text, donor);
        if (text.size() > kMaxSize)
            text.resize(kMaxSize);
        return text;
    }

private:
    static const size_t kMaxSize = 64 * 1024;

    int Below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
    size_t Pos(const std::string& text) {
        return text.empty() ? 0 : static_cast<size_t>(Below(static_cast<int>(text.size()) + 1));
    }

    std::string Step(std::string text, const std::string& donor) {
        switch (Below(8)) {
            case 0:  // replace one byte by any byte
                if (!text.empty())
                    text[Pos(text) % text.size()] = static_cast<char>(Below(256));
                break;
            case 1: {  // delete a range
                const size_t at = Pos(text);
                text.erase(at, static_cast<size_t>(Below(8) + 1));
                break;
            }
            case 2:  // insert a JSON-ish token
                text.insert(Pos(text), kTokens[Below(static_cast<int>(std::size(kTokens)))]);
                break;
            case 3: {  // duplicate a slice
                const size_t at = Pos(text);
                const std::string slice = text.substr(at, static_cast<size_t>(Below(32) + 1));
                text.insert(Pos(text), slice);
                break;
            }
            case 4: {  // splice in part of another name's value
                const size_t from = Pos(donor);
                text.insert(Pos(text), donor.substr(from, static_cast<size_t>(Below(40) + 1)));
                break;
            }
            case 5: {  // nest deeply
                const int depth = 1 + Below(Below(10) == 0 ? 20000 : 200);
                const char* open = Below(2) ? "[" : "{\"k\":";
                std::string nested;
                for (int i = 0; i < depth; ++i)
                    nested += open;
                text.insert(Pos(text), nested);
                break;
            }
            case 6:  // truncate
                text.resize(Pos(text));
                break;
            default:  // change a digit or a letter's case
                for (int tries = 0; tries < 8 && !text.empty(); ++tries) {
                    char& c = text[Pos(text) % text.size()];
                    if (c >= '0' && c <= '9') {
                        c = static_cast<char>('0' + Below(10));
                        break;
                    }
                    if (c >= 'a' && c <= 'z') {
                        c = static_cast<char>(c - 'a' + 'A');
                        break;
                    }
                }
                break;
        }
        return text;
    }

    std::mt19937 rng_;
};

// Counts what protobuf itself reports while it exists (for example a string field that is
// not UTF-8 when the request is serialized): a value we let through must not cause any.
class ProtobufLogCount {
public:
    ProtobufLogCount() : previous_(google::protobuf::SetLogHandler(&ProtobufLogCount::Handle)) {
        count_ = 0;
    }
    ~ProtobufLogCount() { google::protobuf::SetLogHandler(previous_); }
    ProtobufLogCount(const ProtobufLogCount&) = delete;
    ProtobufLogCount& operator=(const ProtobufLogCount&) = delete;
    int Count() const { return count_; }

private:
    static void Handle(google::protobuf::LogLevel, const char*, int, const std::string& message) {
        if (count_++ == 0)
            ADD_FAILURE() << "protobuf: " << message;
    }
    static int count_;
    google::protobuf::LogHandler* previous_;
};
int ProtobufLogCount::count_ = 0;

// Params holding valid earlier content for every name the flavour knows.
template <class Params>
Params Filled(const QueryScope& scope) {
    Params params;
    for (const Seed& seed : kSeeds)
        Zeph::SetQueryParameter(seed.name, seed.value, &params, scope);
    return params;
}

// What a refused value leaves: the earlier content, except that a list becomes empty and
// a reset flag that is not exactly "true" becomes false. CX ignores the ES-only names.
template <class Params>
Params AfterRefusal(const Params& filled, const std::string& name) {
    Params expected = filled;
    if (name == "sessionEntityTypes")
        expected.clear_session_entity_types();
    if constexpr (!std::is_same<Params, cx::QueryParameters>::value) {
        if (name == "contexts")
            expected.clear_contexts();
        if (name == "resetContexts")
            expected.set_reset_contexts(false);
    }
    return expected;
}

// A fixed seed per name, so that a failure can be replayed.
unsigned RngSeed(const char* name, unsigned flavour) {
    unsigned seed = flavour;
    for (const char* c = name; *c; ++c)
        seed = seed * 31 + static_cast<unsigned char>(*c);
    return seed;
}

// Mutates the seed of one name kMutationsPerName times and checks each outcome: accepted,
// or refused with the earlier content kept (a list emptied).
template <class Params>
void MutateName(const Seed& seed, const char* session, unsigned rngSeed) {
    InitProcess();
    const QueryScope scope{session, "mut"};
    const Params filled = Filled<Params>(scope);
    const ProtobufLogCount protobufLog;
    Mutator mutator(rngSeed);
    int accepted = 0;
    for (int i = 0; i < kMutationsPerName; ++i) {
        const std::string value = mutator.Mutate(seed.value, kSeeds[i % std::size(kSeeds)].value);
        Params params = filled;
        const bool used = Zeph::SetQueryParameter(seed.name, value, &params, scope);
        accepted += used;
        std::string wire;
        ASSERT_TRUE(params.SerializeToString(&wire)) << value;
        if (used)
            continue;
        const Params expected = AfterRefusal(filled, seed.name);
        ASSERT_TRUE(SameMessage(expected, params)) << "value: " << value;
    }
    // Free text is refused only when it is not UTF-8; for every JSON value at least a tenth of the
    // mutations must be refused, or only the path of valid values was exercised.
    if (std::string(seed.name) != "timeZone") {
        EXPECT_GT(kMutationsPerName - accepted, kMutationsPerName / 10);
    }
    EXPECT_EQ(protobufLog.Count(), 0);
    ::testing::Test::RecordProperty("accepted", accepted);
}

// Whole query-parameter texts: parsed, or refused leaving the earlier parameters.
template <class Params>
void MutateText(const std::string& text, const char* session, unsigned rngSeed) {
    InitProcess();
    const QueryScope scope{session, "mut"};
    const Params filled = Filled<Params>(scope);
    const ProtobufLogCount protobufLog;
    Mutator mutator(rngSeed);
    int accepted = 0;
    for (int i = 0; i < kMutationsPerName; ++i) {
        const std::string mutated = mutator.Mutate(text, kSeeds[i % std::size(kSeeds)].value);
        Params params = filled;
        const bool used = Zeph::SetQueryParameters(mutated, &params, scope);
        accepted += used;
        std::string wire;
        ASSERT_TRUE(params.SerializeToString(&wire)) << mutated;
        if (!used) {
            ASSERT_TRUE(SameMessage(filled, params)) << "text: " << mutated;
        }
    }
    EXPECT_GT(kMutationsPerName - accepted, kMutationsPerName / 10);
    EXPECT_EQ(protobufLog.Count(), 0);
}

class EsMutationTest : public ::testing::TestWithParam<Seed> {};
class CxMutationTest : public ::testing::TestWithParam<Seed> {};

std::string SeedName(const ::testing::TestParamInfo<Seed>& info) {
    return info.param.name;
}

TEST_P(EsMutationTest, V2ValuesNeverCrash) {
    MutateName<v2::QueryParameters>(GetParam(), kEsSession, RngSeed(GetParam().name, 1));
}
TEST_P(EsMutationTest, V2beta1ValuesNeverCrash) {
    MutateName<v2beta1::QueryParameters>(GetParam(), kEsSession, RngSeed(GetParam().name, 2));
}
INSTANTIATE_TEST_SUITE_P(Names, EsMutationTest, ::testing::ValuesIn(kSeeds), SeedName);

TEST_P(CxMutationTest, ValuesNeverCrash) {
    MutateName<cx::QueryParameters>(GetParam(), kCxSession, RngSeed(GetParam().name, 3));
}
INSTANTIATE_TEST_SUITE_P(Names, CxMutationTest, ::testing::ValuesIn(kSeeds), SeedName);

const char* const kEsText =
    R"({"timeZone":"Europe/Paris","geoLocation":{"latitude":1,"longitude":2},)"
    R"("contexts":[{"name":"c","lifespanCount":1}],"resetContexts":true,)"
    R"("sessionEntityTypes":[{"name":"e","entityOverrideMode":"ENTITY_OVERRIDE_MODE_OVERRIDE",)"
    R"("entities":[{"value":"v","synonyms":["v"]}]}],"payload":{"a":{"b":[1,2]}}})";
const char* const kCxText =
    R"({"timeZone":"Europe/Paris","parameters":{"x":1},"currentPage":"projects/p/locations/l/)"
    R"(agents/a/flows/f/pages/p","sessionEntityTypes":[{"name":"e",)"
    R"("entityOverrideMode":"ENTITY_OVERRIDE_MODE_OVERRIDE"}],"payload":{"a":null}})";

TEST(QueryTextMutationTest, V2TextsNeverCrash) {
    MutateText<v2::QueryParameters>(kEsText, kEsSession, 41);
}
TEST(QueryTextMutationTest, CxTextsNeverCrash) {
    MutateText<cx::QueryParameters>(kCxText, kCxSession, 43);
}

}  // namespace
