// Checks of result bodies with real parsers, for every test that sees an RECOGNITION-COMPLETE
// body: NLSML through APR's XML parser (expat), JSON through RapidJSON with UTF-8 checked.
#pragma once

#include <string>

#include <apr_general.h>
#include <apr_pools.h>
#include <apr_xml.h>
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

namespace ZephTest {

// Parses `document` with APR's XML parser. Empty when it is well-formed, else the parser's
// error text.
inline std::string XmlError(const std::string& document) {
    if (apr_initialize() != APR_SUCCESS) {
        return "apr_initialize failed";
    }
    apr_pool_t* pool = nullptr;
    apr_pool_create(&pool, nullptr);
    apr_xml_parser* parser = apr_xml_parser_create(pool);
    apr_xml_doc* doc = nullptr;
    std::string error;
    if (apr_xml_parser_feed(parser, document.data(), document.size()) != APR_SUCCESS ||
        apr_xml_parser_done(parser, &doc) != APR_SUCCESS) {
        char text[512];
        apr_xml_parser_geterror(parser, text, sizeof(text));
        error = text[0] != '\0' ? text : "parse error";
    }
    apr_pool_destroy(pool);
    apr_terminate();
    return error;
}

// A fragment of elements and text (an instance) is well-formed inside one root element.
inline std::string FragmentXmlError(const std::string& fragment) {
    return XmlError("<root>" + fragment + "</root>");
}

// Empty when `json` is one JSON value that RapidJSON accepts (UTF-8 checked), else the error.
inline std::string JsonError(const std::string& json) {
    rapidjson::Document doc;
    doc.Parse<rapidjson::kParseValidateEncodingFlag>(json.data(), json.size());
    if (doc.HasParseError()) {
        return std::string(rapidjson::GetParseError_En(doc.GetParseError())) + " at " +
               std::to_string(doc.GetErrorOffset());
    }
    return "";
}

namespace detail {

inline const apr_xml_elem* FindElement(const apr_xml_elem* elem, const std::string& name) {
    for (; elem != nullptr; elem = elem->next) {
        if (name == elem->name) {
            return elem;
        }
        if (const apr_xml_elem* found = FindElement(elem->first_child, name)) {
            return found;
        }
    }
    return nullptr;
}

inline void AppendText(const apr_text_header& header, std::string& text) {
    for (const apr_text* piece = header.first; piece != nullptr; piece = piece->next) {
        text += piece->text;
    }
}

}  // namespace detail

// The character data directly inside the first element named `name` (depth first), as the
// parser decoded it (entities resolved, line ends normalised). FALSE when the document does
// not parse or has no such element.
inline bool XmlElementText(const std::string& document, const std::string& name,
                           std::string& text) {
    if (apr_initialize() != APR_SUCCESS) {
        return false;
    }
    apr_pool_t* pool = nullptr;
    apr_pool_create(&pool, nullptr);
    apr_xml_parser* parser = apr_xml_parser_create(pool);
    apr_xml_doc* doc = nullptr;
    bool found = false;
    if (apr_xml_parser_feed(parser, document.data(), document.size()) == APR_SUCCESS &&
        apr_xml_parser_done(parser, &doc) == APR_SUCCESS) {
        if (const apr_xml_elem* elem = detail::FindElement(doc->root, name)) {
            text.clear();
            detail::AppendText(elem->first_cdata, text);
            for (const apr_xml_elem* child = elem->first_child; child != nullptr;
                 child = child->next) {
                detail::AppendText(child->following_cdata, text);
            }
            found = true;
        }
    }
    apr_pool_destroy(pool);
    apr_terminate();
    return found;
}

// Empty when `body` of `contentType` parses: "application/x-nlsml" as XML,
// "application/json" as JSON; an empty body of no type passes too.
inline std::string ResultBodyError(const std::string& contentType, const std::string& body) {
    if (contentType == "application/x-nlsml") {
        return XmlError(body);
    }
    if (contentType == "application/json") {
        return JsonError(body);
    }
    if (contentType.empty() && body.empty()) {
        return "";
    }
    return "unexpected content type [" + contentType + "]";
}

}  // namespace ZephTest
