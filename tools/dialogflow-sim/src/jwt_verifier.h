// Checks the self-signed JWTs that gRPC's service-account JWT access credentials send
// ("authorization: Bearer <header>.<claims>.<signature>", RS256). Loaded once at start;
// Verify() is const and may be called from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

typedef struct evp_pkey_st EVP_PKEY;

namespace DialogflowSim {

struct JwtClaims {
    std::string key_id;  // "kid" of the header
    std::string issuer;
    std::string audience;
    int64_t expires_at = 0;  // seconds since the epoch, 0 when absent
    // Set by Verify: the "project_id" of the service-account file whose key signed the
    // token (empty when that file has none).
    std::string key_project;
};

// Base64url (or standard base64), with or without '=' padding; false on bad input.
bool DecodeBase64Url(const std::string& text, std::string* bytes);

// Splits and decodes a JWT without checking its signature; false with *error on bad form.
bool ParseJwt(const std::string& token, JwtClaims* claims, std::string* error);

class JwtVerifier {
public:
    JwtVerifier();
    ~JwtVerifier();
    JwtVerifier(const JwtVerifier&) = delete;
    JwtVerifier& operator=(const JwtVerifier&) = delete;

    // Adds the key of a service-account JSON file; false with *error when unusable.
    bool AddServiceAccountFile(const std::string& path, std::string* error);
    bool HasKeys() const { return !keys_.empty(); }

    // A token that parses, is RS256, is signed by one of the keys (the one its "kid"
    // names, else any), has not expired at now_seconds and whose audience is
    // expected_audience. False with the reason in *error.
    bool Verify(const std::string& token, const std::string& expected_audience, int64_t now_seconds,
                JwtClaims* claims, std::string* error) const;

private:
    struct KeyDeleter {
        void operator()(EVP_PKEY* key) const;
    };
    struct Key {
        std::unique_ptr<EVP_PKEY, KeyDeleter> pkey;
        std::string project;  // the file's "project_id"
    };
    std::map<std::string, Key> keys_;  // by private_key_id
};

}  // namespace DialogflowSim
