// Recognition details records: the layout of each kind of recognition, text that needs
// escaping, every record read back by a JSON parser, the per-recognition resets, and the
// record folder with its names and bounds.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <random>
#include <string>

#include "OsrRdrManager.h"
#include "OsrUtteranceManager.h"
#include "records_test_support.h"

namespace {

using Zeph::RdrManager;
using Details = Zeph::RdrManager::RecognitionDetails;
using ZephRecordsTest::Exists;
using ZephRecordsTest::ListDir;
using ZephRecordsTest::ReadFile;

// 2026-01-01 00:00:00 UTC.
const apr_time_t kStart = apr_time_from_sec(1767225600);

apr_time_t At(int64_t ms) {
    return kStart + ms * 1000;
}

// A speech recognition on MRCPv2 that streamed and got a query result.
Details SpeechDetails() {
    Details d;
    d.m_enabled = true;
    d.m_name = "osrzeph-ab12-3.json";
    d.m_channelId = "ab12";
    d.m_sessionId = "call-7";
    d.m_loggingTag = "order.wav";
    d.m_mrcpVersion = MRCP_VERSION_2;
    d.m_samplingRate = 16000;
    d.m_streamingSettings.m_language = "en-GB";
    d.m_streamingSettings.m_maxAlternatives = 2;
    d.m_startTime = kStart;
    d.m_startOfInputTime = At(250);
    d.m_endOfInputTime = At(1750);
    d.m_streamCreationTime = At(5);
    d.m_startOfStreamingTime = At(260);
    d.m_endOfStreamingTime = At(2100);
    d.m_completionTime = At(2150);
    d.m_bytesSent = 48000;
    d.m_inputMode = MPF_SDI_MODE_SPEECH;
    d.m_inputStats.cause = MPF_SDI_COMPLETION_CAUSE_SUCCESS;
    d.m_inputStats.duration = 1500;
    d.m_inputStats.size = 48000;
    d.m_endOfUtterance = true;
    d.m_completionCause = RECOGNIZER_COMPLETION_CAUSE_SUCCESS;
    d.m_inputText = "book a table";
    d.m_confidence = 0.875f;
    d.m_queryResults = "{\n  \"queryText\": \"book a table\",\n  \"languageCode\": \"en-gb\"\n}";
    return d;
}

class RdrManagerTest : public ZephRecordsTest::RecordsTest {
protected:
    void SetUp() override {
        RecordsTest::SetUp();
        // "datetime" is local time: pin the zone so the expected text is known.
        const char* tz = getenv("TZ");
        m_savedTz = tz ? tz : "";
        m_hadTz = tz != nullptr;
        setenv("TZ", "UTC", 1);
        tzset();
        m_settings.m_recordFolder = m_dir;
        m_settings.m_logLevel = OstEdpf::LOG_LEVEL_DEBUG;
    }
    void TearDown() override {
        if (m_hadTz)
            setenv("TZ", m_savedTz.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
        RecordsTest::TearDown();
    }

    RdrManager& Manager() {
        if (!m_manager) {
            m_manager.reset(new RdrManager(m_settings));
            m_manager->SetTimerProcessor(&m_processor);
            EXPECT_TRUE(m_manager->LoadFileEntries());
        }
        return *m_manager;
    }

    // Saves `details` and returns the record's text; the record must be one JSON object.
    std::string SaveAndRead(const Details& details, rapidjson::Document* doc = nullptr) {
        const std::string path = m_dir + "/record.json";
        EXPECT_TRUE(details.Save(path));
        const std::string text = ReadFile(path);
        rapidjson::Document parsed;
        rapidjson::Document& target = doc ? *doc : parsed;
        target.Parse<rapidjson::kParseValidateEncodingFlag>(text.c_str(), text.size());
        EXPECT_FALSE(target.HasParseError()) << "offset " << target.GetErrorOffset() << "\n"
                                             << text;
        EXPECT_TRUE(!target.HasParseError() && target.IsObject() &&
                    target.HasMember("recog-details-record"))
            << text;
        return text;
    }

    void DestroyManagers() override { m_manager.reset(); }

    RdrManager::Settings m_settings;
    std::unique_ptr<RdrManager> m_manager;
    std::string m_savedTz;
    bool m_hadTz = false;
};

TEST_F(RdrManagerTest, SpeechRecordLayout) {
    rapidjson::Document doc;
    EXPECT_EQ(SaveAndRead(SpeechDetails(), &doc),
              "{\"recog-details-record\": {\n"
              "   \"datetime\": \"2026-01-01T00:00:00.000+00:00\",\n"
              "   \"channel-id\": \"ab12\",\n"
              "   \"session-id\": \"call-7\",\n"
              "   \"logging-tag\": \"order.wav\",\n"
              "   \"language\": \"en-GB\",\n"
              "   \"sampling-rate\": 16000,\n"
              "   \"max-alternatives\": 2,\n"
              "   \"input\": {\n"
              "      \"type\": \"speech\",\n"
              "      \"start-of-input-ts\": 250,\n"
              "      \"end-of-input-ts\": 1750,\n"
              "      \"end-of-input-cause\": \"success\",\n"
              "      \"duration\": 1500,\n"
              "      \"size\": 48000\n"
              "   },\n"
              "   \"gRPC\": {\n"
              "      \"creation-ts\": 5,\n"
              "      \"start-of-streaming-ts\": 260,\n"
              "      \"end-of-streaming-ts\": 2100,\n"
              "      \"end-of-utterance\": true,\n"
              "      \"sent\": 48000\n"
              "   },\n"
              "   \"completion-cause\": \"success\",\n"
              "   \"completion-ts\": 2150,\n"
              "   \"transcript\": \"book a table\",\n"
              "   \"confidence\": 0.875,\n"
              "   \"query-results\":\n"
              "{\n  \"queryText\": \"book a table\",\n  \"languageCode\": \"en-gb\"\n}}}\n");
    // The query results are a JSON object inside the record, not a string.
    const auto& record = doc["recog-details-record"];
    ASSERT_TRUE(record["query-results"].IsObject());
    EXPECT_STREQ(record["query-results"]["languageCode"].GetString(), "en-gb");
    EXPECT_DOUBLE_EQ(record["confidence"].GetDouble(), 0.875);
}

// The start time is local time with its offset, so a reader elsewhere knows the instant.
TEST_F(RdrManagerTest, DatetimeCarriesTheZoneOffset) {
    setenv("TZ", "IST-5:30", 1);
    tzset();
    EXPECT_NE(SaveAndRead(SpeechDetails()).find("\"datetime\": \"2026-01-01T05:30:00.000+05:30\""),
              std::string::npos);
}

TEST_F(RdrManagerTest, DtmfRecordHasNoDurationOrSize) {
    Details d = SpeechDetails();
    d.m_mrcpVersion = MRCP_VERSION_1;
    d.m_inputMode = MPF_SDI_MODE_DTMF;
    d.m_inputStats.cause = MPF_SDI_COMPLETION_CAUSE_TIMEDOUT;
    d.m_endOfUtterance = false;
    d.m_completionCause = RECOGNIZER_COMPLETION_CAUSE_HOTWORD_MAXTIME;
    d.m_inputText = "1234#";
    d.m_confidence = 1;
    d.m_queryResults.clear();
    EXPECT_EQ(SaveAndRead(d),
              "{\"recog-details-record\": {\n"
              "   \"datetime\": \"2026-01-01T00:00:00.000+00:00\",\n"
              "   \"channel-id\": \"ab12\",\n"
              "   \"session-id\": \"call-7\",\n"
              "   \"logging-tag\": \"order.wav\",\n"
              "   \"language\": \"en-GB\",\n"
              "   \"sampling-rate\": 16000,\n"
              "   \"max-alternatives\": 2,\n"
              "   \"input\": {\n"
              "      \"type\": \"dtmf\",\n"
              "      \"start-of-input-ts\": 250,\n"
              "      \"end-of-input-ts\": 1750,\n"
              "      \"end-of-input-cause\": \"timedout\"\n"
              "   },\n"
              "   \"gRPC\": {\n"
              "      \"creation-ts\": 5,\n"
              "      \"start-of-streaming-ts\": 260,\n"
              "      \"end-of-streaming-ts\": 2100,\n"
              "      \"sent\": 48000\n"
              "   },\n"
              "   \"completion-cause\": \"recognition-timeout\",\n"
              "   \"completion-ts\": 2150,\n"
              "   \"transcript\": \"1234#\",\n"
              "   \"confidence\": 1\n"
              "}}\n");
}

TEST_F(RdrManagerTest, NoInputAndNoStreamingLeaveTheirObjectsOut) {
    Details d;
    d.m_mrcpVersion = MRCP_VERSION_2;
    d.m_samplingRate = 8000;
    d.m_startTime = kStart;
    // A stream was created but never started streaming: no "gRPC".
    d.m_streamCreationTime = At(3);
    d.m_completionTime = At(5000);
    d.m_completionCause = RECOGNIZER_COMPLETION_CAUSE_NO_INPUT_TIMEOUT;
    EXPECT_EQ(SaveAndRead(d),
              "{\"recog-details-record\": {\n"
              "   \"datetime\": \"2026-01-01T00:00:00.000+00:00\",\n"
              "   \"channel-id\": \"\",\n"
              "   \"session-id\": \"\",\n"
              "   \"logging-tag\": \"\",\n"
              "   \"language\": \"en-US\",\n"
              "   \"sampling-rate\": 8000,\n"
              "   \"max-alternatives\": 1,\n"
              "   \"completion-cause\": \"no-input-timeout\",\n"
              "   \"completion-ts\": 5000,\n"
              "   \"transcript\": \"\",\n"
              "   \"confidence\": 0\n"
              "}}\n");

    // Input but no gRPC at all; a start of input before the start time is left out, and a
    // cause the detector has no name for is written as the detector names it: "UNKNOWN".
    d.m_inputMode = MPF_SDI_MODE_SPEECH;
    d.m_startOfInputTime = kStart - 1000;
    d.m_endOfInputTime = At(900);
    d.m_inputStats.cause = 99;
    d.m_inputStats.duration = 600;
    d.m_inputStats.size = 9600;
    d.m_streamCreationTime = 0;
    const std::string text = SaveAndRead(d);
    EXPECT_EQ(text.find("start-of-input-ts"), std::string::npos);
    EXPECT_NE(text.find("      \"end-of-input-ts\": 900,\n"
                        "      \"end-of-input-cause\": \"UNKNOWN\",\n"
                        "      \"duration\": 600,\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("gRPC"), std::string::npos);

    // Without a start time there is no datetime nor completion time (null); an unknown
    // completion cause gives "".
    Details empty;
    EXPECT_EQ(SaveAndRead(empty),
              "{\"recog-details-record\": {\n"
              "   \"datetime\": \"\",\n"
              "   \"channel-id\": \"\",\n"
              "   \"session-id\": \"\",\n"
              "   \"logging-tag\": \"\",\n"
              "   \"language\": \"en-US\",\n"
              "   \"sampling-rate\": 0,\n"
              "   \"max-alternatives\": 1,\n"
              "   \"completion-cause\": \"\",\n"
              "   \"completion-ts\": null,\n"
              "   \"transcript\": \"\",\n"
              "   \"confidence\": 0\n"
              "}}\n");
}

TEST_F(RdrManagerTest, TextValuesAreEscapedAndEveryRecordParses) {
    Details d = SpeechDetails();
    d.m_streamingSettings.m_language = "en\"US";
    d.m_inputText =
        std::string("say \"hi\" \\ back\nslash\t\x01\x1f end \xc3\xa9t\xc3\xa9 \xff\xfe");
    d.m_queryResults.clear();
    rapidjson::Document doc;
    SaveAndRead(d, &doc);
    const auto& record = doc["recog-details-record"];
    EXPECT_STREQ(record["language"].GetString(), "en\"US");
    // Text comes back as it was, but for bytes that were not UTF-8 (U+FFFD each).
    EXPECT_EQ(std::string(record["transcript"].GetString()),
              "say \"hi\" \\ back\nslash\t\x01\x1f end \xc3\xa9t\xc3\xa9 \xef\xbf\xbd\xef\xbf\xbd");

    // Query results that are not JSON go in as a string rather than break the record.
    d.m_queryResults = "not {json";
    SaveAndRead(d, &doc);
    EXPECT_STREQ(doc["recog-details-record"]["query-results"].GetString(), "not {json");
    d.m_queryResults = "{\"a\": 1} trailing";
    SaveAndRead(d, &doc);
    EXPECT_TRUE(doc["recog-details-record"]["query-results"].IsString());

    // JSON has no NaN: such a confidence is written as 0.
    d.m_confidence = std::numeric_limits<float>::quiet_NaN();
    SaveAndRead(d, &doc);
    EXPECT_EQ(doc["recog-details-record"]["confidence"].GetDouble(), 0.0);
    d.m_confidence = 0.123456789f;
    const std::string text = SaveAndRead(d, &doc);
    EXPECT_NE(text.find("\"confidence\": 0.123457,\n"), std::string::npos) << text;
}

// Whatever bytes the service or a client puts into the texts, the record parses as JSON in
// UTF-8 and gives the well-formed text back unchanged.
TEST_F(RdrManagerTest, RandomBytesInEveryTextStillParse) {
    std::mt19937 random(20261207);
    rapidjson::Document doc;
    for (int round = 0; round < 200; ++round) {
        auto bytes = [&](size_t length) {
            std::string text;
            for (size_t i = 0; i < length; ++i)
                text += static_cast<char>(random() & 0xFF);
            return text;
        };
        Details d = SpeechDetails();
        d.m_streamingSettings.m_language = bytes(random() % 8);
        d.m_inputText = bytes(random() % 64);
        d.m_queryResults = round % 2 ? bytes(random() % 32) : std::string(5000, '[');
        SaveAndRead(d, &doc);
        ASSERT_FALSE(doc.HasParseError()) << "round " << round;
        // Unbalanced nesting is no JSON value: it goes in as a string.
        if (round % 2 == 0) {
            EXPECT_TRUE(doc["recog-details-record"]["query-results"].IsString());
        }
    }
}

TEST_F(RdrManagerTest, TimestampAndInputTypeTexts) {
    Details d = SpeechDetails();
    std::string text = "kept";
    EXPECT_TRUE(d.GetTimestampStr(At(1234), text));
    EXPECT_EQ(text, "1234");
    EXPECT_TRUE(d.GetTimestampStr(kStart - 2000, text));
    EXPECT_EQ(text, "-2");
    EXPECT_TRUE(d.GetTimestampStr(At(0) + 999, text));
    EXPECT_EQ(text, "0");
    EXPECT_FALSE(d.GetTimestampStr(0, text));
    EXPECT_EQ(text, "");
    EXPECT_TRUE(Details::GetInputTypeStr(1, text));
    EXPECT_EQ(text, "speech");
    EXPECT_TRUE(Details::GetInputTypeStr(2, text));
    EXPECT_EQ(text, "dtmf");
    EXPECT_FALSE(Details::GetInputTypeStr(0, text));
    EXPECT_FALSE(Details::GetInputTypeStr(3, text));
}

TEST_F(RdrManagerTest, ResetsClearWhatARecognitionOrARestartNeedsCleared) {
    Details d = SpeechDetails();
    d.m_confidenceThreshold = 0.5f;
    d.m_loggingTag = "tag";
    d.m_streamingSettings.m_singleUtterance = false;
    d.m_resultsSettings.m_format = Zeph::ResultsSettings::FORMAT_JSON;
    d.m_speechInputStarted = d.m_dtmfInputStarted = d.m_startOfInputSent = true;
    d.m_inputComplete = d.m_streamCreated = true;
    d.m_queryResultV2.set_query_text("v2");
    d.m_queryResultV2beta1.set_query_text("v2beta1");
    d.m_queryResultV3beta1.set_text("v3beta1");

    d.PartialReset();
    EXPECT_EQ(d.m_startTime, 0);
    EXPECT_EQ(d.m_startOfInputTime, 0);
    EXPECT_EQ(d.m_endOfInputTime, 0);
    EXPECT_EQ(d.m_streamCreationTime, 0);
    EXPECT_EQ(d.m_startOfStreamingTime, 0);
    EXPECT_EQ(d.m_endOfStreamingTime, 0);
    EXPECT_EQ(d.m_completionTime, 0);
    EXPECT_FALSE(d.m_endOfUtterance);
    EXPECT_TRUE(d.m_queryResults.empty());
    // Everything else stays.
    EXPECT_EQ(d.m_inputText, "book a table");
    EXPECT_EQ(d.m_bytesSent, 48000u);
    EXPECT_EQ(d.m_inputMode, MPF_SDI_MODE_SPEECH);
    EXPECT_EQ(d.m_completionCause, RECOGNIZER_COMPLETION_CAUSE_SUCCESS);
    EXPECT_TRUE(d.m_streamCreated);
    EXPECT_EQ(d.m_queryResultV2.query_text(), "v2");

    d.Reset();
    EXPECT_FALSE(d.m_enabled);
    EXPECT_TRUE(d.m_name.empty());
    EXPECT_EQ(d.m_mrcpVersion, MRCP_VERSION_UNKNOWN);
    EXPECT_EQ(d.m_samplingRate, 0);
    EXPECT_EQ(d.m_bytesSent, 0u);
    EXPECT_EQ(d.m_inputMode, MPF_SDI_MODE_NONE);
    EXPECT_EQ(d.m_inputStats.cause, 0u);
    EXPECT_EQ(d.m_inputStats.duration, 0u);
    EXPECT_EQ(d.m_inputStats.size, 0u);
    EXPECT_EQ(d.m_completionCause, 17);
    EXPECT_TRUE(d.m_inputText.empty());
    EXPECT_EQ(d.m_confidence, 0.0f);
    EXPECT_EQ(d.m_confidenceThreshold, 0.0f);
    EXPECT_TRUE(d.m_loggingTag.empty());
    EXPECT_TRUE(d.m_streamingSettings.m_singleUtterance);
    EXPECT_EQ(d.m_streamingSettings.m_language, "en-US");
    EXPECT_EQ(d.m_resultsSettings.m_format, Zeph::ResultsSettings::FORMAT_STANDARD);
    EXPECT_FALSE(d.m_speechInputStarted || d.m_dtmfInputStarted || d.m_startOfInputSent ||
                 d.m_inputComplete || d.m_streamCreated);
    EXPECT_EQ(d.m_queryResultV2.ByteSizeLong(), 0u);
    EXPECT_EQ(d.m_queryResultV2beta1.ByteSizeLong(), 0u);
    EXPECT_EQ(d.m_queryResultV3beta1.ByteSizeLong(), 0u);
}

TEST_F(RdrManagerTest, NamesAndTraversalThroughTheLoggingTag) {
    std::string name;
    ASSERT_TRUE(Manager().ComposeName(name, "ab12", 3, "call-7", m_pool));
    EXPECT_EQ(name, "osrzeph-ab12-3.json");
    m_settings.m_useLoggingTag = true;
    RdrManager tagged(m_settings);
    ASSERT_TRUE(tagged.ComposeName(name, "ab12", 3, "call-7", m_pool));
    EXPECT_EQ(name, "osrzeph-ab12-3-call-7.json");
    ASSERT_TRUE(tagged.ComposeName(name, "ab12", 3, "", m_pool));
    EXPECT_EQ(name, "osrzeph-ab12-3.json");
    ASSERT_TRUE(tagged.ComposeName(name, "ab12", 3, "../../x", m_pool));
    EXPECT_EQ(name, "osrzeph-ab12-3-_._.._x.json");

    std::string path;
    ASSERT_TRUE(tagged.ComposePath(path, name, m_pool));
    EXPECT_EQ(path, m_dir + "/" + name);
    EXPECT_FALSE(tagged.ComposePath(path, "../x.json", m_pool));
    EXPECT_TRUE(Logged("Failed to Compose RDR File Path for [../x.json]"));
}

TEST_F(RdrManagerTest, SaveRecordEntersTheFileAndAnUnopenableOneIsReported) {
    Details d = SpeechDetails();
    d.m_completionTime = 0;
    ASSERT_TRUE(Manager().SaveRecord(d, m_pool));
    EXPECT_GT(d.m_completionTime, 0);
    EXPECT_EQ(Manager().GetFileNames(), (std::multiset<std::string>{"osrzeph-ab12-3.json"}));
    EXPECT_TRUE(Exists(m_dir + "/osrzeph-ab12-3.json"));

    // Not enabled: nothing is written.
    Details off = SpeechDetails();
    off.m_enabled = false;
    off.m_name = "osrzeph-ab12-4.json";
    EXPECT_FALSE(Manager().SaveRecord(off, m_pool));
    EXPECT_FALSE(Exists(m_dir + "/osrzeph-ab12-4.json"));

    // A folder where the file should be: logged, nothing entered.
    Details blocked = SpeechDetails();
    blocked.m_name = "osrzeph-ab12-5.json";
    ASSERT_EQ(mkdir((m_dir + "/" + blocked.m_name).c_str(), 0700), 0);
    EXPECT_FALSE(Manager().SaveRecord(blocked, m_pool));
    EXPECT_EQ(Manager().GetFileCount(), 1u);
    EXPECT_TRUE(Logged("Save RDR " + m_dir + "/osrzeph-ab12-3.json"));
    EXPECT_TRUE(m_log.Contains("Failed to Open RDR File " + m_dir + "/osrzeph-ab12-5.json"));
}

TEST_F(RdrManagerTest, FolderIsBoundedByAge) {
    m_settings.m_maxFileAge = 2;
    Details d = SpeechDetails();
    ASSERT_TRUE(Manager().SaveRecord(d, m_pool));
    Elapse(119999);
    EXPECT_TRUE(Exists(m_dir + "/" + d.m_name));
    Elapse(1);
    EXPECT_FALSE(Exists(m_dir + "/" + d.m_name));
    EXPECT_EQ(Manager().GetFileCount(), 0u);
}

// A thousand recognitions that save both files, with at most 100 of each kind: exactly 100
// remain of each, and no file descriptor is left open.
TEST_F(RdrManagerTest, ThousandRecognitionsLeaveTheNewestHundredAndNoOpenFiles) {
    Zeph::UtteranceManager::Settings uttSettings;
    uttSettings.m_waveformFolder = m_dir;
    uttSettings.m_maxFileCount = 100;
    m_settings.m_maxFileCount = 100;
    const size_t fdsBefore = ZephRecordsTest::OpenFdCount();
    {
        Zeph::UtteranceManager utterances(uttSettings);
        utterances.SetTimerProcessor(&m_processor);
        ASSERT_TRUE(utterances.LoadFileEntries());
        const std::string audio(3200, '\x01');
        Details d;
        for (uint32_t id = 1; id <= 1000; ++id) {
            d.Reset();
            d.m_enabled = true;
            d.m_startTime = apr_time_now();
            ASSERT_TRUE(Manager().ComposeName(d.m_name, "ch", id, "", m_pool));
            Zeph::UtteranceManager::WaveFile wave;
            ASSERT_TRUE(utterances.ComposeName(wave.m_fileName, "ch", id, 0, "", m_pool));
            ASSERT_TRUE(utterances.OpenWavefile(wave, 8000, m_pool));
            apr_size_t size = audio.size();
            ASSERT_EQ(apr_file_write(wave.m_file, audio.data(), &size), APR_SUCCESS);
            wave.m_contentLength += size;
            ASSERT_TRUE(utterances.CloseWavefile(wave));
            ASSERT_TRUE(Manager().SaveRecord(d, m_pool));
        }
        EXPECT_EQ(utterances.GetFileCount(), 100u);
        EXPECT_EQ(Manager().GetFileCount(), 100u);
        size_t wav = 0, json = 0;
        for (const std::string& name : ListDir(m_dir)) {
            wav += name.size() > 4 && name.compare(name.size() - 4, 4, ".wav") == 0;
            json += name.size() > 5 && name.compare(name.size() - 5, 5, ".json") == 0;
        }
        EXPECT_EQ(wav, 100u);
        EXPECT_EQ(json, 100u);
        EXPECT_EQ(ListDir(m_dir).size(), 200u);
        EXPECT_TRUE(Exists(m_dir + "/osrzeph-ch-1000.wav"));
        EXPECT_TRUE(Exists(m_dir + "/osrzeph-ch-901.json"));
        EXPECT_FALSE(Exists(m_dir + "/osrzeph-ch-900.json"));
    }
    m_manager.reset();
    EXPECT_EQ(ZephRecordsTest::OpenFdCount(), fdsBefore);
}

}  // namespace
