// The protobuf-to-XML generator: element naming, values by type, Struct/Value/ListValue
// layout, presence, indentation and escaping, each document checked byte for byte and by
// APR's XML parser.
#include <string>

#include <google/cloud/dialogflow/v2/session.pb.h>
#include <google/protobuf/struct.pb.h>
#include <gtest/gtest.h>

#include "OsrZephPbXml.h"
#include "results_test_support.h"

namespace {

using google::cloud::dialogflow::v2::QueryResult;
using google::protobuf::Struct;
using Zeph::PbXmlGenerator;
using ZephTest::BoolValue;
using ZephTest::FragmentXmlError;
using ZephTest::ListValue;
using ZephTest::NullValue;
using ZephTest::NumberValue;
using ZephTest::StringValue;
using ZephTest::StructValue;

struct Options {
    int level = 0;
    int indent = 0;
    bool replaceDots = true;
    bool replaceDashes = true;
};

// The generator's output for `message`; it must always be well-formed.
std::string Xml(const google::protobuf::Message& message, const Options& options = Options()) {
    PbXmlGenerator generator(options.level, options.indent, options.replaceDots,
                             options.replaceDashes);
    std::string out;
    generator.ComposeXml(message, out);
    EXPECT_EQ(FragmentXmlError(out), "") << out;
    return out;
}

Struct OneKey(const std::string& key, const google::protobuf::Value& value) {
    Struct fields;
    (*fields.mutable_fields())[key] = value;
    return fields;
}

std::string ValidName(const std::string& name, bool replaceDots = true, bool replaceDashes = true) {
    PbXmlGenerator generator(0, 0, replaceDots, replaceDashes);
    std::string valid = name;
    generator.ValidateXmlElementName(valid);
    return valid;
}

TEST(PbXmlNames, DotsDashesAndSpacesFollowTheSettings) {
    EXPECT_EQ(Xml(OneKey("first-name", StringValue("Ann"))), "<first_name>Ann</first_name>");
    Options keepDashes;
    keepDashes.replaceDashes = false;
    EXPECT_EQ(Xml(OneKey("first-name", StringValue("Ann")), keepDashes),
              "<first-name>Ann</first-name>");
    EXPECT_EQ(Xml(OneKey("a b", StringValue("x")), keepDashes), "<a_b>x</a_b>");
    EXPECT_EQ(Xml(OneKey("a.b", StringValue("x"))), "<a_b>x</a_b>");
    Options keepDots;
    keepDots.replaceDots = false;
    EXPECT_EQ(Xml(OneKey("a.b", StringValue("x")), keepDots), "<a.b>x</a.b>");
}

TEST(PbXmlNames, KeysThatAreNoXmlNamesAreMadeValid) {
    EXPECT_EQ(Xml(OneKey("2nd", StringValue("x"))), "<_2nd>x</_2nd>");
    EXPECT_EQ(Xml(OneKey("a&b", StringValue("x"))), "<a_b>x</a_b>");
    EXPECT_EQ(Xml(OneKey("x/y", StringValue("x"))), "<x_y>x</x_y>");
    EXPECT_EQ(Xml(OneKey("", StringValue("x"))), "<_>x</_>");
    EXPECT_EQ(ValidName("<tag attr=\"1\">"), "_tag_attr__1__");
    EXPECT_EQ(ValidName("ns:local"), "ns_local");
    EXPECT_EQ(ValidName("-x", true, false), "_-x");
    EXPECT_EQ(ValidName(".x", false, true), "_.x");
    EXPECT_EQ(ValidName("9"), "_9");
    EXPECT_EQ(ValidName("a\nb\tc"), "a_b_c");
    // Bytes that are no UTF-8 each count as one character.
    EXPECT_EQ(ValidName("a\xff\xfe"), "a__");
    EXPECT_EQ(ValidName("\xc3"), "_");
    // A character outside the name classes (multiplication sign), and a combining mark that
    // may follow but not start a name.
    EXPECT_EQ(ValidName("a\xc3\x97"
                        "b"),
              "a_b");
    EXPECT_EQ(ValidName("\xcc\x81"
                        "a"),
              "_\xcc\x81"
              "a");
}

TEST(PbXmlNames, ValidNamesAreUnchanged) {
    for (const char* name : {"date", "first_name", "Name2", "_x", "a.b", "x-y", "caf\xc3\xa9",
                             "\xe5\x90\x8d\xe5\x89\x8d", "\xd0\xb8\xd0\xbc\xd1\x8f"}) {
        EXPECT_EQ(ValidName(name, false, false), name);
        EXPECT_EQ(FragmentXmlError(std::string("<") + name + "/>"), "") << name;
    }
}

TEST(PbXmlValues, NumbersInTheStreamDefaultForm) {
    Struct fields;
    (*fields.mutable_fields())["a"] = NumberValue(42);
    (*fields.mutable_fields())["b"] = NumberValue(0.1);
    (*fields.mutable_fields())["c"] = NumberValue(1e21);
    (*fields.mutable_fields())["d"] = NumberValue(1234567);
    (*fields.mutable_fields())["e"] = NumberValue(-3);
    (*fields.mutable_fields())["f"] = NumberValue(0.5);
    EXPECT_EQ(Xml(fields), "<a>42</a><b>0.1</b><c>1e+21</c><d>1.23457e+06</d><e>-3</e><f>0.5</f>");
}

TEST(PbXmlValues, ScalarFieldsEnumsAndBooleans) {
    QueryResult result;
    result.set_speech_recognition_confidence(0.87f);  // a float, widened before writing
    result.set_all_required_params_present(true);
    result.mutable_intent()->set_webhook_state(
        google::cloud::dialogflow::v2::Intent::WEBHOOK_STATE_ENABLED);
    Options options;
    options.indent = 2;
    EXPECT_EQ(Xml(result, options),
              "<speech_recognition_confidence>0.87</speech_recognition_confidence>\n"
              "<all_required_params_present>true</all_required_params_present>\n"
              "<intent>\n"
              "  <webhook_state>WEBHOOK_STATE_ENABLED</webhook_state>\n"
              "</intent>\n");
}

TEST(PbXmlValues, StructLayoutWithIndentation) {
    QueryResult result;
    result.set_query_text("hi");
    auto& fields = *result.mutable_parameters()->mutable_fields();
    fields["n"] = NumberValue(42);
    fields["date"] = StringValue("today");
    fields["ok"] = BoolValue(true);
    fields["none"] = NullValue();
    fields["inner"] = StructValue(OneKey("b", StringValue("c")));
    fields["list"] = ListValue({StringValue("x"), NumberValue(1)});
    Options options;
    options.level = 1;
    options.indent = 2;
    // Map entries in ascending key order, whatever the map's own order.
    EXPECT_EQ(Xml(result, options),
              "  <query_text>hi</query_text>\n"
              "  <parameters>\n"
              "    <date>today</date>\n"
              "    <inner>\n"
              "      <b>c</b>\n"
              "    </inner>\n"
              "    <list>      <list_value>\n"
              "        <values>\n"
              "x        </values>\n"
              "        <values>\n"
              "1        </values>\n"
              "      </list_value>\n"
              "</list>\n"
              "    <n>42</n>\n"
              "    <none>      <null_value>NULL_VALUE</null_value>\n"
              "</none>\n"
              "    <ok>true</ok>\n"
              "  </parameters>\n");
}

TEST(PbXmlValues, IndentZeroIsOneLine) {
    QueryResult result;
    result.set_query_text("hi");
    auto& fields = *result.mutable_parameters()->mutable_fields();
    fields["inner"] = StructValue(OneKey("b", StringValue("c")));
    fields["n"] = NumberValue(1);
    EXPECT_EQ(Xml(result),
              "<query_text>hi</query_text><parameters><inner><b>c</b></inner><n>1</n>"
              "</parameters>");
}

TEST(PbXmlPresence, PresentEmptyMessagesAndEmptyStrings) {
    QueryResult result;
    result.set_query_text("");    // a proto3 scalar at its default is not set
    result.mutable_parameters();  // present though empty
    Options options;
    options.indent = 2;
    EXPECT_EQ(Xml(result, options), "<parameters>\n</parameters>\n");
    // A chosen oneof member is set even when empty.
    EXPECT_EQ(Xml(OneKey("k", StringValue(""))), "<k></k>");
    // A Value with no kind is present but holds nothing.
    EXPECT_EQ(Xml(OneKey("k", google::protobuf::Value())), "<k></k>");
}

TEST(PbXmlPresence, RepeatedMessagesInIndexOrder) {
    QueryResult result;
    for (const char* name : {"c1", "c2", "c3"}) {
        result.add_output_contexts()->set_name(name);
    }
    Options options;
    options.indent = 2;
    EXPECT_EQ(Xml(result, options),
              "<output_contexts>\n  <name>c1</name>\n</output_contexts>\n"
              "<output_contexts>\n  <name>c2</name>\n</output_contexts>\n"
              "<output_contexts>\n  <name>c3</name>\n</output_contexts>\n");
}

TEST(PbXmlPresence, KeyFieldOutsideAMapEntryIsClosedInItsMessage) {
    // A list item's key opens an element named by its value; no map value closes it.
    QueryResult result;
    auto* info =
        result.add_fulfillment_messages()->mutable_list_select()->add_items()->mutable_info();
    info->set_key("k1");
    info->add_synonyms("s");
    Options options;
    options.indent = 2;
    EXPECT_EQ(Xml(result, options),
              "<fulfillment_messages>\n"
              "  <list_select>\n"
              "    <items>\n"
              "      <info>\n"
              "        <k1>        <synonyms>s</synonyms>\n"
              "</k1>\n"
              "      </info>\n"
              "    </items>\n"
              "  </list_select>\n"
              "</fulfillment_messages>\n");
}

TEST(PbXmlText, MarkupAndLineFeedsAreEscaped) {
    EXPECT_EQ(Xml(OneKey("k", StringValue("a&b"))), "<k>a&amp;b</k>");
    EXPECT_EQ(Xml(OneKey("k", StringValue("x\ny"))), "<k>x y</k>");
    EXPECT_EQ(Xml(OneKey("k", StringValue("<\"'>"))), "<k>&lt;&quot;&apos;&gt;</k>");
    QueryResult result;
    result.set_query_text("<tom & jerry>");
    EXPECT_EQ(Xml(result), "<query_text>&lt;tom &amp; jerry&gt;</query_text>");
}

TEST(PbXmlText, QuoteReportsWhetherTheTextChanged) {
    std::string quoted = "untouched";
    EXPECT_FALSE(PbXmlGenerator::QuoteXmlElementText("plain text, caf\xc3\xa9\t\r", quoted));
    EXPECT_EQ(quoted, "untouched");
    EXPECT_TRUE(PbXmlGenerator::QuoteXmlElementText("a\nb", quoted));
    EXPECT_EQ(quoted, "a b");
    EXPECT_TRUE(PbXmlGenerator::QuoteXmlElementText("1 < 2 & 3", quoted));
    EXPECT_EQ(quoted, "1 &lt; 2 &amp; 3");
}

TEST(PbXmlText, TextOfAnyLengthIsEscapedInFull) {
    // Longer than 4096 bytes: the text itself is written, escaped, not its length.
    const std::string text = std::string(5000, 'a') + "&" + std::string(5000, 'b');
    std::string quoted;
    ASSERT_TRUE(PbXmlGenerator::QuoteXmlElementText(text, quoted));
    EXPECT_EQ(quoted, std::string(5000, 'a') + "&amp;" + std::string(5000, 'b'));
    const std::string plain(10000, 'z');
    EXPECT_FALSE(PbXmlGenerator::QuoteXmlElementText(plain, quoted));
    EXPECT_EQ(Xml(OneKey("k", StringValue(plain))), "<k>" + plain + "</k>");
}

TEST(PbXmlText, CharactersXmlCannotCarryAreReplaced) {
    std::string quoted;
    // Control characters read as spaces (tab and carriage return stay), NUL included.
    ASSERT_TRUE(PbXmlGenerator::QuoteXmlElementText(std::string("a\x01"
                                                                "b\0c\x1f\td\r",
                                                                9),
                                                    quoted));
    EXPECT_EQ(quoted, "a b c \td\r");
    // Bytes that are no UTF-8, encoded surrogates and U+FFFF become U+FFFD, byte by byte.
    ASSERT_TRUE(PbXmlGenerator::QuoteXmlElementText("\xc3(\xed\xa0\x80\xef\xbf\xbfok", quoted));
    EXPECT_EQ(quoted, "\xef\xbf\xbd(\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbdok");
    // An overlong form and a sequence cut short at the end.
    ASSERT_TRUE(
        PbXmlGenerator::QuoteXmlElementText("\xc0\xaf"
                                            "x\xe2\x82",
                                            quoted));
    EXPECT_EQ(quoted, "\xef\xbf\xbd\xef\xbf\xbdx\xef\xbf\xbd\xef\xbf\xbd");
    // Four-byte characters are kept.
    EXPECT_FALSE(PbXmlGenerator::QuoteXmlElementText("\xf0\x9f\x98\x80", quoted));
    EXPECT_EQ(Xml(OneKey("k", StringValue(std::string("\x01\xff\0", 3)))), "<k> \xef\xbf\xbd </k>");
}

TEST(PbXmlText, InvalidUtf8IsReplacedByteForByte) {
    std::string text =
        "a\xff"
        "b\xe5x\xc3\xa9";
    EXPECT_TRUE(PbXmlGenerator::ReplaceInvalidUtf8(text));
    EXPECT_EQ(text,
              "a\xef\xbf\xbd"
              "b\xef\xbf\xbdx\xc3\xa9");
    std::string valid = "caf\xc3\xa9 \xf0\x9f\x98\x80";
    EXPECT_FALSE(PbXmlGenerator::ReplaceInvalidUtf8(valid));
    EXPECT_EQ(valid, "caf\xc3\xa9 \xf0\x9f\x98\x80");
}

TEST(PbXmlText, HugeIndentIsBounded) {
    Options options;
    options.indent = 1 << 30;
    options.level = 3;
    QueryResult result;
    result.set_query_text("x");
    EXPECT_EQ(Xml(result, options), std::string(3 * 64, ' ') + "<query_text>x</query_text>\n");
    options.indent = -4;  // line breaks without indentation
    EXPECT_EQ(Xml(result, options), "<query_text>x</query_text>\n");
}

TEST(PbXmlDeterminism, EqualMapsGiveEqualBytesWhateverTheInsertionOrder) {
    Struct forward, backward;
    for (int i = 0; i < 200; ++i) {
        (*forward.mutable_fields())["k" + std::to_string(i)] = NumberValue(i);
        (*backward.mutable_fields())["k" + std::to_string(199 - i)] = NumberValue(199 - i);
    }
    const std::string xml = Xml(forward);
    EXPECT_EQ(xml, Xml(backward));
    EXPECT_EQ(xml.rfind("<k0>0</k0><k1>1</k1><k10>10</k10>", 0), 0u) << xml.substr(0, 80);
}

TEST(PbXmlDepth, DeepNestingStaysWellFormed) {
    Struct inner = OneKey("leaf", StringValue("x"));
    for (int depth = 0; depth < 200; ++depth) {
        inner = OneKey("d" + std::to_string(depth), StructValue(inner));
    }
    Options options;
    options.indent = 1;
    const std::string xml = Xml(inner, options);
    EXPECT_NE(xml.find("<leaf>x</leaf>"), std::string::npos);
}

}  // namespace
