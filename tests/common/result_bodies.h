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
    static const bool initialized = apr_initialize() == APR_SUCCESS;
    if (!initialized) {
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
