// The detector's parameter record and its loader from the configuration element.
#include <gtest/gtest.h>

#include <apr_xml.h>

#include <string>

#include "detector_harness.h"

using SdiTest::LogCapture;

namespace {

class ParamsLoad : public ::testing::Test {
protected:
    void SetUp() override {
        SdiTest::InitProcess();
        apr_pool_create(&pool_, nullptr);
        mpf_sdi_params_init(&params_);
    }
    void TearDown() override { apr_pool_destroy(pool_); }

    void Load(const std::string& attributes) {
        std::string doc = "<speech-dtmf-input-detector " + attributes + "/>";
        apr_xml_parser* parser = apr_xml_parser_create(pool_);
        apr_xml_doc* xml = nullptr;
        ASSERT_EQ(apr_xml_parser_feed(parser, doc.data(), doc.size()), APR_SUCCESS);
        ASSERT_EQ(apr_xml_parser_done(parser, &xml), APR_SUCCESS);
        EXPECT_TRUE(mpf_sdi_params_load(&params_, xml->root, pool_));
    }

    apr_pool_t* pool_ = nullptr;
    mpf_sdi_params_t params_;
};

TEST_F(ParamsLoad, DefaultsAndAnElementWithoutAttributes) {
    Load("");
    EXPECT_EQ(params_.input_mode, static_cast<apr_uint32_t>(MPF_SDI_MODE_SPEECH_DTMF));
    EXPECT_EQ(params_.vad_mode, 2u);
    EXPECT_EQ(params_.speech_start_timeout, 300u);
    EXPECT_EQ(params_.speech_complete_timeout, 1000u);
    EXPECT_EQ(params_.speech_incomplete_timeout, 3000u);
    EXPECT_EQ(params_.noinput_timeout, 10000u);
    EXPECT_EQ(params_.input_timeout, 20000u);
    EXPECT_EQ(params_.dtmf_interdigit_timeout, 5000u);
    EXPECT_EQ(params_.dtmf_term_timeout, 5000u);
    EXPECT_EQ(params_.dtmf_term_char, '\0');
    EXPECT_EQ(params_.dtmf_length + params_.dtmf_min_length + params_.dtmf_max_length, 0u);
    EXPECT_TRUE(params_.normalize_input);
    EXPECT_EQ(params_.speech_leading_silence, 50u);
    EXPECT_EQ(params_.speech_trailing_silence, 50u);
    EXPECT_EQ(params_.speech_output_period, 80u);
}

TEST_F(ParamsLoad, EveryAttributeCaseInsensitively) {
    LogCapture log;
    Load(
        "Input-Mode=\"DTMF\" vad-mode=\"1\" speech-start-timeout=\" 200\" "
        "SPEECH-COMPLETE-TIMEOUT=\"900\" speech-incomplete-timeout=\"2500\" "
        "noinput-timeout=\"7000\" input-timeout=\"15000\" dtmf-interdigit-timeout=\"3000\" "
        "dtmf-term-timeout=\"2000\" dtmf-term-char=\"#\" dtmf-max-length=\"9\" "
        "dtmf-min-length=\"2\" dtmf-length=\"4\" normalize-input=\"FALSE\" "
        "speech-leading-silence=\"100\" speech-trailing-silence=\"70\" "
        "speech-output-period=\"85\"");
    EXPECT_EQ(params_.input_mode, static_cast<apr_uint32_t>(MPF_SDI_MODE_DTMF));
    EXPECT_EQ(params_.vad_mode, 1u);
    EXPECT_EQ(params_.speech_start_timeout, 200u);
    EXPECT_EQ(params_.speech_complete_timeout, 900u);
    EXPECT_EQ(params_.speech_incomplete_timeout, 2500u);
    EXPECT_EQ(params_.noinput_timeout, 7000u);
    EXPECT_EQ(params_.input_timeout, 15000u);
    EXPECT_EQ(params_.dtmf_interdigit_timeout, 3000u);
    EXPECT_EQ(params_.dtmf_term_timeout, 2000u);
    EXPECT_EQ(params_.dtmf_term_char, '#');
    EXPECT_EQ(params_.dtmf_max_length, 9u);
    EXPECT_EQ(params_.dtmf_min_length, 2u);
    EXPECT_EQ(params_.dtmf_length, 4u);
    EXPECT_FALSE(params_.normalize_input);
    EXPECT_EQ(params_.speech_leading_silence, 100u);
    EXPECT_EQ(params_.speech_trailing_silence, 70u);
    EXPECT_EQ(params_.speech_output_period, 85u);
    EXPECT_TRUE(log.Contains(APT_PRIO_DEBUG, "Load SDI Attribute: Input-Mode = DTMF"));
    // Document order: the first line logged is the first attribute.
    std::vector<SdiTest::LogLine> lines = log.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front().message, "Load SDI Attribute: Input-Mode = DTMF");
    EXPECT_EQ(lines.back().message, "Load SDI Attribute: speech-output-period = 85");
}

TEST_F(ParamsLoad, BadValuesAreLoggedAndSkipped) {
    LogCapture log;
    Load(
        "vad-mode=\"7\" input-mode=\"loud\" normalize-input=\"yes\" colour=\"blue\" "
        "noinput-timeout=\"soon\" speech-start-timeout=\"100\"");
    EXPECT_EQ(params_.vad_mode, 0u);  // out of range gives 0, not the default
    EXPECT_TRUE(log.Contains(APT_PRIO_WARNING, "Inapropriate Vad Mode [7], Allowed Range [0..3]"));
    EXPECT_EQ(params_.input_mode, static_cast<apr_uint32_t>(MPF_SDI_MODE_SPEECH_DTMF));
    EXPECT_TRUE(log.Contains(APT_PRIO_WARNING,
                             "Unexpected Value <loud> for SDI Attribute <input-mode> in "
                             "<speech-dtmf-input-detector>, Using <both>"));
    EXPECT_TRUE(params_.normalize_input);
    EXPECT_TRUE(log.Contains(APT_PRIO_WARNING,
                             "Unexpected Value <yes> for Boolean Attribute <normalize-input> in "
                             "<speech-dtmf-input-detector>, Using <true>"));
    EXPECT_TRUE(log.Contains(APT_PRIO_WARNING, "Unknown SDI Attribute <colour>"));
    // A word is refused, not read as 0 (which would end every recognition at once).
    EXPECT_EQ(params_.noinput_timeout, 10000u);
    EXPECT_TRUE(log.Contains(APT_PRIO_WARNING,
                             "Unexpected Value <soon> for Attribute <noinput-timeout> in "
                             "<speech-dtmf-input-detector>, Using <10000>"));
    EXPECT_EQ(params_.speech_start_timeout, 100u);  // loading went on

    mpf_sdi_params_init(&params_);
    Load("vad-mode=\"-1\"");
    EXPECT_EQ(params_.vad_mode, 0u);
    EXPECT_TRUE(log.Contains(APT_PRIO_WARNING, "Inapropriate Vad Mode [-1], Allowed Range [0..3]"));
}

TEST_F(ParamsLoad, AnAttributeGivenTwiceTakesTheLaterValue) {
    // The XML parser rejects duplicate attribute names, so check the order through two
    // attributes that write the same field in two spellings of the same name.
    Load("input-timeout=\"100\" INPUT-TIMEOUT=\"200\"");
    EXPECT_EQ(params_.input_timeout, 200u);
}

TEST_F(ParamsLoad, TimesAboveAnHourAreClampedWithAWarningCountsAreNot) {
    LogCapture log;
    Load(
        "speech-complete-timeout=\"2147483648\" speech-output-period=\"3600001\" "
        "input-timeout=\"3600000\" dtmf-length=\"4000000\"");
    EXPECT_EQ(params_.speech_complete_timeout, static_cast<apr_uint64_t>(MPF_SDI_MAX_TIME));
    EXPECT_TRUE(log.Contains(APT_PRIO_WARNING,
                             "Clamp SDI Attribute <speech-complete-timeout> [2147483648 ms] to "
                             "Maximum [3600000 ms]"));
    EXPECT_EQ(params_.speech_output_period, 3600000u);
    EXPECT_TRUE(log.Contains(APT_PRIO_WARNING,
                             "Clamp SDI Attribute <speech-output-period> [3600001 ms] to Maximum "
                             "[3600000 ms]"));
    EXPECT_EQ(params_.input_timeout, 3600000u);  // the maximum itself passes
    EXPECT_EQ(params_.dtmf_length, 4000000u);
    EXPECT_EQ(log.Count("Clamp SDI Attribute"), 2u);
}

}  // namespace
