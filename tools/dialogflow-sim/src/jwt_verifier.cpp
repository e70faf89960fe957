#include "jwt_verifier.h"

#include <fstream>
#include <iterator>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <rapidjson/document.h>

namespace DialogflowSim {
namespace {

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '-' || c == '+')
        return 62;
    if (c == '_' || c == '/')
        return 63;
    return -1;
}

bool ParseJsonObject(const std::string& text, rapidjson::Document* document) {
    document->Parse(text.c_str(), text.size());
    return !document->HasParseError() && document->IsObject();
}

std::string StringMember(const rapidjson::Value& object, const char* key) {
    auto it = object.FindMember(key);
    return it != object.MemberEnd() && it->value.IsString() ? it->value.GetString() : "";
}

}  // namespace

bool DecodeBase64Url(const std::string& text, std::string* bytes) {
    size_t length = text.size();
    while (length > 0 && text[length - 1] == '=') {
        --length;
    }
    if (length % 4 == 1 || text.size() - length > 2) {
        return false;
    }
    bytes->clear();
    uint32_t accumulator = 0;
    int bits = 0;
    for (size_t i = 0; i < length; ++i) {
        int value = Base64Value(text[i]);
        if (value < 0) {
            return false;
        }
        accumulator = (accumulator << 6) | static_cast<uint32_t>(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes->push_back(static_cast<char>((accumulator >> bits) & 0xFF));
        }
    }
    return true;
}

bool ParseJwt(const std::string& token, JwtClaims* claims, std::string* error) {
    size_t first_dot = token.find('.');
    size_t second_dot = first_dot == std::string::npos ? first_dot : token.find('.', first_dot + 1);
    if (second_dot == std::string::npos || token.find('.', second_dot + 1) != std::string::npos) {
        *error = "token is not a JWT";
        return false;
    }
    std::string header_json, claims_json;
    rapidjson::Document header, body;
    if (!DecodeBase64Url(token.substr(0, first_dot), &header_json) ||
        !DecodeBase64Url(token.substr(first_dot + 1, second_dot - first_dot - 1), &claims_json) ||
        !ParseJsonObject(header_json, &header) || !ParseJsonObject(claims_json, &body)) {
        *error = "malformed JWT";
        return false;
    }
    if (StringMember(header, "alg") != "RS256") {
        *error = "JWT algorithm is not RS256";
        return false;
    }
    claims->key_id = StringMember(header, "kid");
    claims->issuer = StringMember(body, "iss");
    claims->audience = StringMember(body, "aud");
    auto exp = body.FindMember("exp");
    claims->expires_at =
        exp != body.MemberEnd() && exp->value.IsInt64() ? exp->value.GetInt64() : 0;
    return true;
}

void JwtVerifier::KeyDeleter::operator()(EVP_PKEY* key) const {
    EVP_PKEY_free(key);
}

JwtVerifier::JwtVerifier() = default;
JwtVerifier::~JwtVerifier() = default;

bool JwtVerifier::AddServiceAccountFile(const std::string& path, std::string* error) {
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    rapidjson::Document document;
    if (!in || !ParseJsonObject(text, &document)) {
        *error = "cannot read service-account JSON \"" + path + "\"";
        return false;
    }
    std::string key_id = StringMember(document, "private_key_id");
    std::string pem = StringMember(document, "private_key");
    if (key_id.empty() || pem.empty()) {
        *error = "\"" + path + "\" has no private_key_id or private_key";
        return false;
    }
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(
        BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), &BIO_free);
    Key key{std::unique_ptr<EVP_PKEY, KeyDeleter>(
                bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr),
            StringMember(document, "project_id")};
    if (!key.pkey || EVP_PKEY_base_id(key.pkey.get()) != EVP_PKEY_RSA) {
        *error = "\"" + path + "\" has no usable RSA private_key";
        return false;
    }
    keys_[key_id] = std::move(key);
    return true;
}

bool JwtVerifier::Verify(const std::string& token, const std::string& expected_audience,
                         int64_t now_seconds, JwtClaims* claims, std::string* error) const {
    if (!ParseJwt(token, claims, error)) {
        return false;
    }
    size_t last_dot = token.rfind('.');
    std::string signature;
    if (!DecodeBase64Url(token.substr(last_dot + 1), &signature) || signature.empty()) {
        *error = "malformed JWT signature";
        return false;
    }
    auto signed_by = [&](EVP_PKEY* key) {
        std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                        &EVP_MD_CTX_free);
        return context &&
               EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key) == 1 &&
               EVP_DigestVerify(
                   context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                   signature.size(), reinterpret_cast<const unsigned char*>(token.data()),
                   last_dot) == 1;
    };
    const Key* verified = nullptr;
    auto named = keys_.find(claims->key_id);
    if (named != keys_.end()) {
        verified = signed_by(named->second.pkey.get()) ? &named->second : nullptr;
    } else {
        for (const auto& [id, key] : keys_) {
            if (signed_by(key.pkey.get())) {
                verified = &key;
                break;
            }
        }
    }
    if (!verified) {
        *error = "JWT signature does not verify with any known key";
        return false;
    }
    if (claims->expires_at == 0 || claims->expires_at <= now_seconds) {
        *error = "JWT has expired";
        return false;
    }
    if (claims->audience != expected_audience) {
        *error = "JWT audience \"" + claims->audience + "\" is not \"" + expected_audience + "\"";
        return false;
    }
    claims->key_project = verified->project;
    return true;
}

}  // namespace DialogflowSim
