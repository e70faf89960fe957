// Any protobuf message written as nested XML elements, through reflection.
//
// The NLSML result uses it for the instance, where the query result and above all its
// google.protobuf.Struct parameters must read as the application's own XML: a parameter
// "date" becomes an element "date". The well-known types Struct, Value and ListValue are
// recognised by the names of their fields ("fields", "key", "value", "struct_value",
// "string_value", "number_value", "bool_value"), so the generator knows nothing of the
// service's messages.
//
// What is written is decided by field presence alone: every field that reflection lists as
// set, in ascending field-number order; map entries in ascending order of their keys so that
// equal messages always give equal bytes.
//
// The output is always well-formed XML 1.0, whatever the message holds: element names are
// made valid names, and text is escaped (see QuoteXmlElementText).
//
// Threads: one generator per document, used by one thread (the engine's event processor);
// the static functions are pure and may be called from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

namespace Zeph {

class PbXmlGenerator {
public:
    // `level`: nesting level of the message's own fields; every element line is indented by
    // level × `indent` spaces, and `indent` 0 also suppresses every line break. Dots and
    // dashes in element names become "_" when `replaceDots` and `replaceDashes` are on.
    PbXmlGenerator(int level, int indent, bool replaceDots, bool replaceDashes);
    ~PbXmlGenerator();
    PbXmlGenerator(const PbXmlGenerator&) = delete;
    PbXmlGenerator& operator=(const PbXmlGenerator&) = delete;

    // Spaces written per level for `indent`: negative counts as 0, and more than 64 as 64 (a
    // larger value would only bloat the document).
    static int IndentSpaces(int indent);

    // Appends every set field of `message` to `out`.
    void ComposeXml(const google::protobuf::Message& message, std::string& out);

    // Escapes `text` for element content (and attribute values) into `quoted`. TRUE when
    // `quoted` was filled (the text needed a change), FALSE when the text can be written as
    // it is. "<", ">", "&", '"' and "'" become entity references; a line feed and the other
    // control characters that XML 1.0 cannot carry (NUL to 0x1F except tab and carriage
    // return) become a space; a byte sequence that is not UTF-8, an encoded surrogate and
    // U+FFFE/U+FFFF become U+FFFD. Any length.
    static bool QuoteXmlElementText(const std::string& text, std::string& quoted);
    // Appends `text` escaped as above.
    static void AppendXmlText(const std::string& text, std::string& out);

    // A number as an output stream writes it in its default notation with `precision`
    // significant digits (0.5, 3, 1.23457e+06 for 6), always with a decimal point: the
    // classic locale, whatever locale the host process set.
    static std::string FormatNumber(double value, int precision);

    // Replaces in place each byte of `text` that does not belong to a well-formed UTF-8
    // sequence with U+FFFD; TRUE when something was replaced.
    static bool ReplaceInvalidUtf8(std::string& text);

    // `name` made a valid XML element name in place: dots and dashes replaced as configured,
    // a space always becomes "_", then every character that cannot stand in a name (a byte
    // that is not UTF-8 counts as one character) becomes "_" and "_" is put before a name that
    // cannot start one (an empty name becomes "_"). Colons are replaced as well, so that a
    // namespace-aware parser accepts the name. A valid name without dots, dashes or colons
    // is unchanged.
    void ValidateXmlElementName(std::string& name) const;

private:
    void ComposeXmlField(const google::protobuf::Message& message,
                         const google::protobuf::Reflection* reflection,
                         const google::protobuf::FieldDescriptor* field, std::string& out);
    // One value; `index` −1 for a singular field.
    void ComposeXmlFieldValue(const google::protobuf::Message& message,
                              const google::protobuf::Reflection* reflection,
                              const google::protobuf::FieldDescriptor* field, int index,
                              std::string& out);
    void ComposeMessageField(const google::protobuf::FieldDescriptor* field,
                             const google::protobuf::Message& value, std::string& out);
    void ComposeNumber(const std::string& name, const std::string& text, std::string& out);
    // "<name>text</name>" on a line of its own; `text` already escaped.
    void ComposeSimpleElement(const std::string& name, const std::string& text, std::string& out);
    void CloseOpenKey(std::string& out);
    void InsertIndent(std::string& out, int count) const;
    void InsertNewLine(std::string& out) const;
    static void InsertStartOfElement(std::string& out, const std::string& name);
    static void InsertEndOfElement(std::string& out, const std::string& name);
    // The element name of `field` (already validated).
    std::string GetXmlFieldName(const google::protobuf::FieldDescriptor* field) const;

    int m_level;
    const int m_indent;  // as configured: 0 suppresses line breaks
    const int m_spaces;  // per level
    const bool m_replaceDots;
    const bool m_replaceDashes;
    // Struct keys whose elements are open, by the level they were opened at: a sequence
    // number (which message opened it) and the element name.
    std::map<int, std::pair<uint64_t, std::string>> m_openKeys;
    uint64_t m_keySequence = 0;
};

}  // namespace Zeph
