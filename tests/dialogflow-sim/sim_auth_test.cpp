// The sim's JWT checks with hand-made tokens: each claim that must be right, both base64url
// forms, several accepted keys, and the per-connection stream limit.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <grpcpp/grpcpp.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <rapidjson/document.h>

#include "sim_client.h"
#include "sim_process.h"
#include "test_audio.h"

namespace ZephTest {
namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string Base64Url(const std::string& bytes, bool padded) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        uint32_t n = (static_cast<uint8_t>(bytes[i]) << 16) |
                     (static_cast<uint8_t>(bytes[i + 1]) << 8) | static_cast<uint8_t>(bytes[i + 2]);
        for (int shift = 18; shift >= 0; shift -= 6) {
            out.push_back(kAlphabet[(n >> shift) & 63]);
        }
    }
    size_t rest = bytes.size() - i;
    if (rest > 0) {
        uint32_t n = static_cast<uint8_t>(bytes[i]) << 16;
        if (rest == 2) {
            n |= static_cast<uint8_t>(bytes[i + 1]) << 8;
        }
        out.push_back(kAlphabet[(n >> 18) & 63]);
        out.push_back(kAlphabet[(n >> 12) & 63]);
        if (rest == 2) {
            out.push_back(kAlphabet[(n >> 6) & 63]);
        }
        if (padded) {
            out.append(3 - rest, '=');
        }
    }
    return out;
}

// A service account's key and id, as gRPC would use them to sign.
struct ServiceAccount {
    std::string key_id;
    std::string email;
    std::shared_ptr<EVP_PKEY> key;

    static ServiceAccount Load(const std::string& file) {
        rapidjson::Document json;
        json.Parse(ReadFile(TestCredentialsFile(file)).c_str());
        ServiceAccount account;
        account.key_id = json["private_key_id"].GetString();
        account.email = json["client_email"].GetString();
        std::string pem = json["private_key"].GetString();
        BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
        account.key.reset(PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr), EVP_PKEY_free);
        BIO_free(bio);
        return account;
    }

    std::string Sign(const std::string& signing_input) const {
        EVP_MD_CTX* context = EVP_MD_CTX_new();
        size_t length = 0;
        std::string signature;
        if (EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
            EVP_DigestSign(context, nullptr, &length,
                           reinterpret_cast<const unsigned char*>(signing_input.data()),
                           signing_input.size()) == 1) {
            signature.resize(length);
            EVP_DigestSign(context, reinterpret_cast<unsigned char*>(&signature[0]), &length,
                           reinterpret_cast<const unsigned char*>(signing_input.data()),
                           signing_input.size());
            signature.resize(length);
        }
        EVP_MD_CTX_free(context);
        return signature;
    }
};

struct TokenSpec {
    std::string alg = "RS256";
    std::string audience;  // filled in by the test
    int64_t expires_in_s = 3600;
    bool with_audience = true;  // the "aud" claim is there at all
    bool with_expiry = true;    // the "exp" claim is there at all
    bool padded = true;
    bool tamper = false;  // change the claims after signing
};

std::string MakeToken(const ServiceAccount& account, const TokenSpec& spec) {
    const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    const std::string header =
        R"({"alg":")" + spec.alg + R"(","typ":"JWT","kid":")" + account.key_id + R"("})";
    auto claims = [&](const std::string& subject) {
        std::string text = R"({"iss":")" + account.email + R"(","sub":")" + subject + R"(")";
        if (spec.with_audience)
            text += R"(,"aud":")" + spec.audience + R"(")";
        text += R"(,"iat":)" + std::to_string(now);
        if (spec.with_expiry)
            text += R"(,"exp":)" + std::to_string(now + spec.expires_in_s);
        return text + "}";
    };
    const std::string signing_input =
        Base64Url(header, spec.padded) + "." + Base64Url(claims(account.email), spec.padded);
    const std::string signature = Base64Url(account.Sign(signing_input), spec.padded);
    if (spec.tamper) {
        return Base64Url(header, spec.padded) + "." + Base64Url(claims("intruder"), spec.padded) +
               "." + signature;
    }
    return signing_input + "." + signature;
}

// An agent whose session "stall" never answers.
std::string MakeTempDirForAgent() {
    const std::string dir = MakeTempDir("zeph-sim-auth");
    std::ofstream(dir + "/agent.json")
        << R"({"sessions": {"stall": [{"transcript": "x", "faults": {"stall": true}}]}})";
    return dir;
}

class SimAuthTest : public ::testing::Test {
protected:
    void SetUp() override { UseTestCredentials(); }

    std::shared_ptr<grpc::Channel> TlsChannel(int connection = 0) {
        grpc::SslCredentialsOptions ssl;
        ssl.pem_root_certs = ReadFile(TestCredentialsFile("ca.crt"));
        grpc::ChannelArguments args;
        args.SetInt("zeph.test.connection", connection);
        return grpc::CreateCustomChannel(sim_.target(), grpc::SslCredentials(ssl), args);
    }

    // One text request with this bearer token, in a session of this project; the stream's
    // status.
    grpc::Status SendWithToken(const std::string& token,
                               const std::string& project = "zeph-test-project") {
        auto stub = google::cloud::dialogflow::v2::Sessions::NewStub(TlsChannel());
        grpc::ClientContext context;
        context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(20));
        context.AddMetadata("authorization", "Bearer " + token);
        auto stream = stub->StreamingDetectIntent(&context);
        stream->Write(V2Client::Text(V2Client::Session("auth", project), "hi"));
        stream->WritesDone();
        google::cloud::dialogflow::v2::StreamingDetectIntentResponse response;
        while (stream->Read(&response)) {
        }
        return stream->Finish();
    }

    std::string Audience() const { return "https://" + sim_.target() + "/"; }

    SimProcess sim_;
};

TEST_F(SimAuthTest, EveryClaimOfTheJwtIsChecked) {
    ASSERT_TRUE(sim_.Start());
    const ServiceAccount account = ServiceAccount::Load("service-account.json");
    ASSERT_TRUE(account.key);
    struct Case {
        const char* what;
        TokenSpec spec;
        grpc::StatusCode expected;
        const char* message;
    };
    TokenSpec good;
    good.audience = Audience();
    TokenSpec unpadded = good;
    unpadded.padded = false;
    TokenSpec expired = good;
    expired.expires_in_s = -10;
    TokenSpec other_audience = good;
    other_audience.audience = "https://dialogflow.googleapis.com/";
    TokenSpec hmac = good;
    hmac.alg = "HS256";
    TokenSpec tampered = good;
    tampered.tamper = true;
    TokenSpec no_audience = good;
    no_audience.with_audience = false;
    TokenSpec no_expiry = good;
    no_expiry.with_expiry = false;
    TokenSpec expiring_now = good;
    expiring_now.expires_in_s = 0;
    const std::vector<Case> cases = {
        {"padded", good, grpc::StatusCode::OK, ""},
        {"unpadded", unpadded, grpc::StatusCode::OK, ""},
        {"expired", expired, grpc::StatusCode::UNAUTHENTICATED, "expired"},
        {"audience", other_audience, grpc::StatusCode::UNAUTHENTICATED, "audience"},
        {"algorithm", hmac, grpc::StatusCode::UNAUTHENTICATED, "RS256"},
        {"tampered", tampered, grpc::StatusCode::UNAUTHENTICATED, "signature"},
        {"no audience", no_audience, grpc::StatusCode::UNAUTHENTICATED, "audience"},
        {"no expiry", no_expiry, grpc::StatusCode::UNAUTHENTICATED, "expired"},
        {"expiry now", expiring_now, grpc::StatusCode::UNAUTHENTICATED, "expired"},
    };
    for (const Case& c : cases) {
        grpc::Status status = SendWithToken(MakeToken(account, c.spec));
        EXPECT_EQ(status.error_code(), c.expected) << c.what << ": " << status.error_message();
        EXPECT_NE(status.error_message().find(c.message), std::string::npos)
            << c.what << ": " << status.error_message();
    }
    EXPECT_EQ(SendWithToken("not-a-jwt").error_code(), grpc::StatusCode::UNAUTHENTICATED);
    EXPECT_EQ(SendWithToken("a.b.c").error_code(), grpc::StatusCode::UNAUTHENTICATED);
    EXPECT_EQ(sim_.Stop(), 0);  // clean shutdown on SIGTERM
}

TEST_F(SimAuthTest, AnyOfSeveralCredentialsFilesMaySign) {
    ASSERT_TRUE(sim_.Start({"--credentials", TestCredentialsFile("service-account-2.json")}));
    TokenSpec spec;
    spec.audience = Audience();
    // Each key may use its own file's project, and no other.
    const std::string other = MakeToken(ServiceAccount::Load("service-account-2.json"), spec);
    EXPECT_TRUE(SendWithToken(MakeToken(ServiceAccount::Load("service-account.json"), spec)).ok());
    EXPECT_TRUE(SendWithToken(other, "zeph-other-project").ok());
    EXPECT_EQ(SendWithToken(other).error_code(), grpc::StatusCode::PERMISSION_DENIED);
    // A key the sim was not given.
    EXPECT_EQ(SendWithToken(MakeToken(ServiceAccount::Load("service-account-noproject.json"), spec))
                  .error_code(),
              grpc::StatusCode::UNAUTHENTICATED);
}

// With a limit of 2 streams per connection, a third stream on the same connection waits
// while one on another connection goes through.
TEST_F(SimAuthTest, StreamsPerConnectionAreLimited) {
    const std::string dir = MakeTempDirForAgent();
    ASSERT_TRUE(sim_.Start({"--max-streams-per-connection", "2", "--agent", dir + "/agent.json"}));
    auto channel = grpc::CreateChannel(sim_.target(), grpc::GoogleDefaultCredentials());
    std::vector<std::unique_ptr<SimStream<V2Client>>> stalled;
    for (int i = 0; i < 2; ++i) {
        stalled.push_back(std::make_unique<SimStream<V2Client>>(channel, 30000));
        ASSERT_TRUE(
            stalled.back()->Write(V2Client::FirstAudio(V2Client::Session("stall"), false, false)));
    }
    // Let both streams reach the sim before the third is opened.
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    {
        SimStream<V2Client> third(channel, 1500);
        third.Write(V2Client::Text(V2Client::Session("third"), "hi"));
        EXPECT_EQ(third.Finish().error_code(), grpc::StatusCode::DEADLINE_EXCEEDED);
    }
    {
        grpc::ChannelArguments args;
        args.SetInt("zeph.test.connection", 1);
        SimStream<V2Client> other(
            grpc::CreateCustomChannel(sim_.target(), grpc::GoogleDefaultCredentials(), args));
        other.Write(V2Client::Text(V2Client::Session("other"), "hi"));
        EXPECT_TRUE(other.Finish().ok());
    }
    for (auto& stream : stalled) {
        stream->Cancel();
        EXPECT_EQ(stream->Finish().error_code(), grpc::StatusCode::CANCELLED);
    }
    EXPECT_EQ(sim_.Stop(), 0);
    RunCommand("rm -rf '" + dir + "'");
}

}  // namespace
}  // namespace ZephTest
