// Configuration loading of the engine: the document, every settings record, path rules and
// the credentials file, through real APR XML parsing and real files.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <apr_general.h>
#include <apr_strings.h>
#include <gtest/gtest.h>
#include <ostrin/apt_dir_layout.h>
#include <ostrin/apt_log.h>

#include "../common/log_capture.h"
#include "../common/test_audio.h"
#include "OsrGrammar.h"
#include "OsrZephLog.h"
#include "OsrZephSettings.h"

namespace {

using Zeph::EngineSettings;

using ZephTest::LogCapture;
using ZephTest::LogRecord;

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Writes `path` so that its change time (as APR reads it, in microseconds) is later than that
// of every file written before with this function.
void WriteNewer(const std::string& path, const std::string& text) {
    static long long last = 0;
    for (;;) {
        WriteFile(path, text);
        struct stat info {};
        stat(path.c_str(), &info);
        const long long ctime = info.st_ctim.tv_sec * 1000000LL + info.st_ctim.tv_nsec / 1000;
        if (ctime > last) {
            last = ctime;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string CredentialsJson(const std::string& projectMember, size_t paddingBytes = 0) {
    return "{\"type\": \"service_account\", \"private_key\": \"" + std::string(paddingBytes, 'k') +
           "\"" + projectMember + "}";
}

// A server tree (conf, data, var/status) with a layout over it and a fresh settings object.
class SettingsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        apr_initialize();
        static apr_pool_t* logPool = nullptr;
        apr_pool_create(&logPool, nullptr);
        apt_log_instance_create(APT_LOG_OUTPUT_NONE, APT_PRIO_DEBUG, logPool);
        apt_log_source_assign("ZEPH-PLUGIN", &ZEPH_PLUGIN);
    }

    void SetUp() override {
        apr_pool_create(&m_pool, nullptr);
        m_root = ZephTest::MakeTempDir("zeph-settings");
        ASSERT_FALSE(m_root.empty());
        for (const char* dir : {"/conf", "/data", "/var", "/var/status"}) {
            ASSERT_EQ(mkdir((m_root + dir).c_str(), 0755), 0);
        }
        m_layout = apt_dir_layout_create(m_pool);
        apt_dir_layout_path_set(m_layout, APT_LAYOUT_CONF_DIR, (m_root + "/conf").c_str(), m_pool);
        apt_dir_layout_path_set(m_layout, APT_LAYOUT_DATA_DIR, (m_root + "/data").c_str(), m_pool);
        apt_dir_layout_path_set(m_layout, APT_LAYOUT_VAR_DIR, (m_root + "/var").c_str(), m_pool);
        WriteFile(Data("service-account.json"), CredentialsJson(", \"project_id\": \"proj-a\""));
    }

    void TearDown() override {
        ZephTest::RunCommand("rm -rf '" + m_root + "'");
        apr_pool_destroy(m_pool);
    }

    std::string Data(const std::string& name) const { return m_root + "/data/" + name; }

    // Writes conf/osrzeph.xml with the given root attributes and body, and loads it.
    bool Load(const std::string& body,
              const std::string& rootAttrs = "gapp-credentials-file=\"service-account.json\"",
              const std::string& rootName = "osrzeph") {
        WriteFile(m_root + "/conf/osrzeph.xml", "<?xml version=\"1.0\"?>\n<" + rootName + " " +
                                                    rootAttrs + ">\n" + body + "\n</" + rootName +
                                                    ">\n");
        return m_settings.LoadConfig("osrzeph.xml", "osrzeph", m_layout, m_pool);
    }

    apr_pool_t* m_pool = nullptr;
    std::string m_root;
    apt_dir_layout_t* m_layout = nullptr;
    EngineSettings m_settings;
    LogCapture m_log;
};

TEST_F(SettingsTest, RootElementMustBeThePluginIdExactly) {
    for (const char* root : {"OsrZeph", "zeph"}) {
        EngineSettings settings;
        WriteFile(m_root + "/conf/osrzeph.xml", std::string("<") + root + "/>");
        EXPECT_FALSE(settings.LoadConfig("osrzeph.xml", "osrzeph", m_layout, m_pool)) << root;
    }
    EXPECT_EQ(m_log.Count(APT_PRIO_ERROR, "Unknown Document <OsrZeph>, Expected <osrzeph>"), 1);
    EXPECT_EQ(m_log.Count(APT_PRIO_ERROR, "Unknown Document <zeph>, Expected <osrzeph>"), 1);
}

TEST_F(SettingsTest, MissingOrMalformedDocumentFails) {
    const std::string path = m_root + "/conf/osrzeph.xml";
    EXPECT_FALSE(m_settings.LoadConfig("osrzeph.xml", "osrzeph", m_layout, m_pool));
    EXPECT_EQ(m_log.Count(APT_PRIO_ERROR,
                          "Failed to Open Config File [" + path + "]: No such file or directory"),
              1);
    // The parser's own words and the line.
    WriteFile(path, "<osrzeph>\n<results>\n</osrzeph>");
    EXPECT_FALSE(m_settings.LoadConfig("osrzeph.xml", "osrzeph", m_layout, m_pool));
    EXPECT_EQ(m_log.Count(APT_PRIO_ERROR,
                          "Failed to Parse Config File [" + path + "]: line 3: mismatched tag"),
              1);
}

TEST_F(SettingsTest, NamesAndBooleansIgnoreCaseAndTheLaterDuplicateWins) {
    ASSERT_TRUE(Load(
        "<Streaming-Recognition Single-Utterance=\"FALSE\" INTERIM-RESULTS=\"True\" "
        "language=\"de-DE\" LANGUAGE=\"fr-FR\" start-of-input=\"internal\"/>"
        "<RESULTS format=\"json\" Skip-Empty-Elemnets=\"TRUE\" tag-format=\"swi-semantics/json\"/>",
        "GAPP-Credentials-File=\"service-account.json\""));
    const auto& streaming = m_settings.m_streaming;
    EXPECT_FALSE(streaming.m_singleUtterance);
    EXPECT_TRUE(streaming.m_interimResults);
    EXPECT_EQ(streaming.m_language, "fr-FR");
    EXPECT_EQ(streaming.m_startOfInput, Zeph::StreamingRecogSettings::START_OF_INPUT_INTERNAL);
    EXPECT_EQ(m_settings.m_results.m_format, Zeph::ResultsSettings::FORMAT_JSON);
    EXPECT_TRUE(m_settings.m_results.m_skipEmptyElements);
    EXPECT_EQ(m_settings.m_results.m_tagFormatFamily,
              Zeph::ResultsSettings::TAG_FORMAT_SWI_SEMANTICS);
    EXPECT_EQ(m_settings.m_results.m_tagFormatEncoding, Zeph::ResultsSettings::TAG_FORMAT_JSON);
    EXPECT_EQ(m_log.Warnings(), 0);
}

TEST_F(SettingsTest, BadValuesWarnAndKeepTheEarlierValue) {
    struct Case {
        const char* element;
        const char* warning;
    };
    const Case cases[] = {
        {"<streaming-recognition max-alternatives=\"two\"/>",
         "Unexpected Value <two> for Attribute <max-alternatives> in <streaming-recognition>, "
         "Using <1>"},
        {"<streaming-recognition single-utterance=\"yes\"/>",
         "Unexpected Value <yes> for Boolean Attribute <single-utterance> in "
         "<streaming-recognition>, Using <true>"},
        {"<results format=\"nlsml\"/>",
         "Unexpected Value <nlsml> for Format Attribute <format> in <results>, Using <standard>"},
        // Only names and the words "true" and "false" ignore case; enumerated values do not.
        {"<results format=\"JSON\"/>",
         "Unexpected Value <JSON> for Format Attribute <format> in <results>, Using <standard>"},
        {"<streaming-recognition start-of-input=\"Internal\"/>",
         "Unexpected Value <Internal> for Attribute <start-of-input> in <streaming-recognition>, "
         "Using <service-originated>"},
        {"<results confidence-format=\"MRCPv2\"/>",
         "Unexpected Value <MRCPv2> for Attribute <confidence-format> in <results>, Using <auto>"},
        {"<results tag-format=\"semantics\"/>",
         "Unexpected Value <semantics> for Attribute <tag-format> in <results>, Using "
         "<semantics/xml>"},
        {"<utterance-manager log-level=\"debug\"/>",
         "Unexpected Value <debug> for Attribute <log-level> in <utterance-manager>, Using "
         "<NOTICE>"},
        // No channel could use a connection.
        {"<streaming-recognition channels-per-connection=\"0\"/>",
         "Unexpected Value <0> for Attribute <channels-per-connection> in "
         "<streaming-recognition>, Using <50>"},
        {"<streaming-recognition channels-per-connection=\"-5\"/>",
         "Unexpected Value <-5> for Attribute <channels-per-connection> in "
         "<streaming-recognition>, Using <50>"},
        // A number with a unit, a decimal comma, one out of range or too large for the field.
        {"<results indent=\"two\"/>",
         "Unexpected Value <two> for Attribute <indent> in <results>, Using <0>"},
        {"<streaming-recognition result-timeout=\"10 s\"/>",
         "Unexpected Value <10 s> for Attribute <result-timeout> in <streaming-recognition>, "
         "Using <35000>"},
        {"<streaming-recognition max-send-message-length=\"4294967296\"/>",
         "Unexpected Value <4294967296> for Attribute <max-send-message-length> in "
         "<streaming-recognition>, Using <-1>"},
        {"<rdr-manager max-file-count=\"-1\"/>",
         "Unexpected Value <-1> for Attribute <max-file-count> in <rdr-manager>, Using <100>"},
        {"<speech-dtmf-input-detector noinput-timeout=\"ten seconds\"/>",
         "Unexpected Value <ten seconds> for Attribute <noinput-timeout> in "
         "<speech-dtmf-input-detector>, Using <10000>"},
        {"<speech-dtmf-input-detector speech-complete-timeout=\"1,5\"/>",
         "Unexpected Value <1,5> for Attribute <speech-complete-timeout> in "
         "<speech-dtmf-input-detector>, Using <1000>"},
        {"<speech-dtmf-input-detector dtmf-length=\"-2\"/>",
         "Unexpected Value <-2> for Attribute <dtmf-length> in <speech-dtmf-input-detector>, "
         "Using <0>"},
        {"<speech-dtmf-input-detector dtmf-term-char=\"##\"/>",
         "Unexpected Value <##> for Attribute <dtmf-term-char> in <speech-dtmf-input-detector>, "
         "Using <>"},
        {"<streaming-recognition api=\"v3\"/>",
         "Unexpected Value <v3> for Attribute <api> in <streaming-recognition>, Using <>"},
    };
    std::string body;
    for (const Case& c : cases)
        body += c.element;
    ASSERT_TRUE(Load(body));
    for (const Case& c : cases) {
        if (c.warning) {
            EXPECT_EQ(m_log.Count(APT_PRIO_WARNING, c.warning), 1) << c.warning;
        }
    }
    EXPECT_EQ(m_settings.m_streaming.m_maxAlternatives, 1);
    EXPECT_EQ(m_settings.m_results.m_indent, 0);
    EXPECT_EQ(m_settings.m_streaming.m_resultTimeout, 35000);
    EXPECT_EQ(m_settings.m_sdiParams.noinput_timeout, 10000u);
    EXPECT_EQ(m_settings.m_sdiParams.speech_complete_timeout, 1000u);
    EXPECT_EQ(m_settings.m_rdrManager.m_maxFileCount, 100);
    EXPECT_TRUE(m_settings.m_streaming.m_singleUtterance);
    EXPECT_EQ(m_settings.m_results.m_format, Zeph::ResultsSettings::FORMAT_STANDARD);
    EXPECT_EQ(m_settings.m_results.m_tagFormatFamily, Zeph::ResultsSettings::TAG_FORMAT_SEMANTICS);
    EXPECT_EQ(m_settings.m_results.m_confidenceFormat,
              Zeph::ResultsSettings::CONFIDENCE_FORMAT_AUTO);
    EXPECT_EQ(m_settings.m_streaming.m_startOfInput,
              Zeph::StreamingRecogSettings::START_OF_INPUT_SERVICE_ORIGINATED);
    EXPECT_EQ(m_settings.m_utteranceManager.m_logLevel, APT_PRIO_NOTICE);
    EXPECT_EQ(m_settings.m_streaming.m_channelsPerConnection, 50);
    ASSERT_TRUE(Load("<streaming-recognition channels-per-connection=\"20\"/>"));
    EXPECT_EQ(m_settings.m_streaming.m_channelsPerConnection, 20);
}

TEST_F(SettingsTest, UnknownElementsAreLoggedAndLoadingGoesOn) {
    ASSERT_TRUE(
        Load("<streaming-recognitions language=\"x\"/><streaming-recognition language=\"it-IT\"/>"
             "<builtin-grammars><grammar/></builtin-grammars>"
             "<speech-contexts><context/><speech-context id=\"c\"><word/></speech-context>"
             "</speech-contexts>"
             "<monitoring-agent><usage-handler/><usage-change-handler><log/></usage-change-handler>"
             "</monitoring-agent>"));
    EXPECT_EQ(m_settings.m_streaming.m_language, "it-IT");
    EXPECT_EQ(m_log.Count(APT_PRIO_WARNING, "Unknown Element <streaming-recognitions>"), 1);
    // These go to the host's default log source.
    const std::pair<const char*, const char*> defaultSource[] = {
        {"Unknown Element <grammar> in Builtin Grammars", "OSTRIN"},
        {"Unknown Element <context> in Speech Contexts", "OSTRIN"},
        {"Unknown Element <word> in Speech Context <c>", "OSTRIN"},
        {"Unknown Element <usage-handler> in <monitoring-agent>", "OSTRIN"},
        {"Unknown Element <log> in <usage-change-handler>", "OSTRIN"},
    };
    for (const auto& expected : defaultSource) {
        auto found = m_log.Find(APT_PRIO_WARNING, expected.first);
        ASSERT_EQ(found.size(), 1u) << expected.first;
        EXPECT_EQ(found[0].source, apt_log_source_name_get(APT_LOG_SOURCE_DEFAULT));
    }
    EXPECT_EQ(m_log.Find(APT_PRIO_WARNING, "Unknown Element <streaming-recognitions>")[0].source,
              "ZEPH-PLUGIN");
}

// The sample configuration loads without a warning, and with every attribute name misspelled
// it still loads, with one warning per attribute.
TEST_F(SettingsTest, SampleConfiguration) {
    const std::string sample = ReadFile(ZEPH_SOURCE_DIR "/plugins/osrzeph/conf/osrzeph.xml");
    ASSERT_FALSE(sample.empty());
    WriteFile(m_root + "/conf/osrzeph.xml", sample);
    ASSERT_TRUE(m_settings.LoadConfig("osrzeph.xml", "osrzeph", m_layout, m_pool));
    EXPECT_EQ(m_log.Warnings(), 0);
    EXPECT_EQ(m_settings.m_credentialsFile, Data("service-account.json"));
    EXPECT_EQ(m_settings.m_streaming.m_serviceUri, "dialogflow.googleapis.com");
    EXPECT_EQ(m_settings.m_builtinDtmfGrammars.count("digits"), 1u);

    apr_xml_doc* doc = m_settings.ParseFile((m_root + "/conf/osrzeph.xml").c_str(), m_pool);
    ASSERT_NE(doc, nullptr);
    int attributes = 0;
    std::vector<apr_xml_elem*> pending{doc->root};
    while (!pending.empty()) {
        apr_xml_elem* elem = pending.back();
        pending.pop_back();
        // Phrases of a context whose id is misspelled are never read.
        if (strcmp(elem->name, "phrase") == 0)
            continue;
        for (apr_xml_attr* attr = elem->attr; attr; attr = attr->next) {
            attr->name = apr_pstrcat(m_pool, "x", attr->name, nullptr);
            ++attributes;
        }
        for (apr_xml_elem* child = elem->first_child; child; child = child->next) {
            pending.push_back(child);
        }
    }
    EngineSettings misspelled;
    const int before = static_cast<int>(m_log.Find(APT_PRIO_WARNING, "Unknown ").size());
    EXPECT_TRUE(misspelled.LoadDocument("osrzeph", doc, m_pool));
    const auto unknown = m_log.Find(APT_PRIO_WARNING, "Unknown ");
    EXPECT_GT(attributes, 100);
    EXPECT_EQ(static_cast<int>(unknown.size()) - before, attributes);
    for (const LogRecord& record : unknown) {
        EXPECT_NE(record.message.find("Attribute <x"), std::string::npos) << record.message;
    }
}

// Every attribute of the sample configuration is documented, and given a phrase where its
// value goes: a typed one is refused with one WARNING naming the element, the attribute, the
// phrase and the value kept (the sample shows the defaults); a text one takes the phrase
// without a word.
TEST_F(SettingsTest, EveryAttributeOfTheSampleChecksItsValue) {
    const std::set<std::string> text = {"gapp-credentials-file",
                                        "ssl-roots-file",
                                        "language",
                                        "project-id",
                                        "transcription-grammar",
                                        "http-proxy",
                                        "service-uri",
                                        "grpc-log-verbosity",
                                        "grpc-log-trace",
                                        "model",
                                        "model-variant",
                                        "environment",
                                        "agent",
                                        "event-input-mode",
                                        "name",
                                        "action",
                                        "parameter-name",
                                        "id",
                                        "tag",
                                        "waveform-folder",
                                        "waveform-base-uri",
                                        "record-folder",
                                        "file-prefix",
                                        "file-ext",
                                        "status-file"};
    // Kept values other than the sample's: a grammar's mode before it is read, "enable"
    // before a grammar record is read, a phrase without a weight.
    const std::map<std::string, std::string> kept = {{"builtin-grammar/mode", "none"},
                                                     {"builtin-grammar/enable", "true"},
                                                     {"phrase/weight", "-1"}};

    const std::string path = m_root + "/conf/osrzeph.xml";
    WriteFile(path, ReadFile(ZEPH_SOURCE_DIR "/plugins/osrzeph/conf/osrzeph.xml"));
    apr_xml_doc* doc = m_settings.ParseFile(path.c_str(), m_pool);
    ASSERT_NE(doc, nullptr);
    std::vector<std::pair<apr_xml_elem*, apr_xml_attr*>> attributes;
    std::vector<apr_xml_elem*> pending{doc->root};
    while (!pending.empty()) {
        apr_xml_elem* elem = pending.back();
        pending.pop_back();
        for (apr_xml_attr* attr = elem->attr; attr; attr = attr->next) {
            // The phrases of a disabled context are never read.
            if (strcmp(elem->name, "speech-context") == 0 && strcmp(attr->name, "enable") == 0)
                attr->value = "true";
            attributes.emplace_back(elem, attr);
        }
        for (apr_xml_elem* child = elem->first_child; child; child = child->next)
            pending.push_back(child);
    }
    EXPECT_GT(attributes.size(), 100u);
    const std::string reference = ReadFile(ZEPH_SOURCE_DIR "/docs/configuration.md");
    for (const auto& entry : attributes) {
        const std::string element = entry.first->name;
        const std::string name = entry.second->name;
        EXPECT_NE(reference.find("`" + name + "`"), std::string::npos)
            << name << " is missing from docs/configuration.md";
        const std::string sampleValue = entry.second->value;
        entry.second->value = "ten seconds";
        EngineSettings settings;
        LogCapture log;
        settings.LoadDocument("osrzeph", doc, m_pool);
        entry.second->value = apr_pstrdup(m_pool, sampleValue.c_str());
        const auto warnings = log.Find(APT_PRIO_WARNING, "");
        if (text.count(name)) {
            EXPECT_EQ(warnings.size(), 0u) << element << " " << name;
            continue;
        }
        ASSERT_EQ(warnings.size(), 1u) << element << " " << name;
        const auto known = kept.find(element + "/" + name);
        const std::string suffix = " <" + name + "> in <" + element + ">, Using <" +
                                   (known == kept.end() ? sampleValue : known->second) + ">";
        const std::string& message = warnings[0].message;
        EXPECT_EQ(message.rfind("Unexpected Value <ten seconds> for ", 0), 0u) << message;
        EXPECT_TRUE(message.size() > suffix.size() &&
                    message.compare(message.size() - suffix.size(), suffix.size(), suffix) == 0)
            << message << " (expected the end " << suffix << ")";
    }
}

TEST_F(SettingsTest, DetectorParameters) {
    struct Case {
        const char* attributes;
        apr_uint64_t vadMode;
        apr_uint32_t inputMode;
        apt_bool_t normalize;
        const char* warning;
    };
    const Case cases[] = {
        {"vad-mode=\"7\"", 0, 3, TRUE, "Inapropriate Vad Mode [7], Allowed Range [0..3]"},
        {"vad-mode=\"-1\"", 0, 3, TRUE, "Inapropriate Vad Mode [-1], Allowed Range [0..3]"},
        {"vad-mode=\"3\" input-mode=\"DTMF\"", 3, 2, TRUE, nullptr},
        {"vad-mode=\"loud\"", 2, 3, TRUE,
         "Unexpected Value <loud> for Attribute <vad-mode> in <speech-dtmf-input-detector>, "
         "Using <2>"},
        {"normalize-input=\"yes\"", 2, 3, TRUE,
         "Unexpected Value <yes> for Boolean Attribute <normalize-input> in "
         "<speech-dtmf-input-detector>, Using <true>"},
        {"Normalize-Input=\"FALSE\"", 2, 3, FALSE, nullptr},
    };
    for (const Case& c : cases) {
        EngineSettings settings;
        LogCapture log;
        WriteFile(m_root + "/conf/osrzeph.xml",
                  std::string("<osrzeph gapp-credentials-file=\"service-account.json\">"
                              "<speech-dtmf-input-detector ") +
                      c.attributes + "/></osrzeph>");
        ASSERT_TRUE(settings.LoadConfig("osrzeph.xml", "osrzeph", m_layout, m_pool));
        EXPECT_EQ(settings.m_sdiParams.vad_mode, c.vadMode) << c.attributes;
        EXPECT_EQ(settings.m_sdiParams.input_mode, c.inputMode) << c.attributes;
        EXPECT_EQ(settings.m_sdiParams.normalize_input, c.normalize) << c.attributes;
        EXPECT_EQ(log.Warnings(), c.warning ? 1 : 0) << c.attributes;
        if (c.warning) {
            EXPECT_EQ(log.Count(APT_PRIO_WARNING, c.warning), 1) << c.attributes;
        }
    }
}

TEST_F(SettingsTest, PathsResolveAgainstTheServerDirectories) {
    EXPECT_FALSE(
        Load("<utterance-manager waveform-folder=\"utterances\"/>"
             "<rdr-manager record-folder=\"/srv/records\"/>"
             "<monitoring-agent>"
             "<usage-change-handler><update-usage enable=\"true\" status-file=\"usage.txt\"/>"
             "<dump-channels enable=\"false\" status-file=\"channels.txt\"/></usage-change-handler>"
             "<usage-refresh-handler><dump-channels enable=\"true\" status-file=\"/tmp/ch.txt\"/>"
             "</usage-refresh-handler></monitoring-agent>",
             "gapp-credentials-file=\"service-account.json\" ssl-roots-file=\"roots.pem\""));
    // The roots file does not exist yet.
    EXPECT_EQ(m_log.Count(APT_PRIO_ERROR, "Failed to Stat SSL Roots File " + Data("roots.pem")), 1);

    WriteFile(Data("roots.pem"), "pem");
    EngineSettings settings;
    ASSERT_TRUE(settings.LoadConfig("osrzeph.xml", "osrzeph", m_layout, m_pool));
    EXPECT_EQ(settings.m_sslRootsFile, Data("roots.pem"));
    EXPECT_EQ(settings.m_utteranceManager.m_waveformFolder, m_root + "/var/utterances");
    EXPECT_EQ(settings.m_rdrManager.m_recordFolder, "/srv/records");
    const auto& change = settings.m_monitoring.m_usageChangeHandler;
    EXPECT_EQ(change.m_updateUsage.m_statusFile, m_root + "/var/status/usage.txt");
    EXPECT_EQ(change.m_dumpChannels.m_statusFile, "channels.txt");  // disabled: untouched
    EXPECT_EQ(settings.m_monitoring.m_usageRefreshHandler.m_dumpChannels.m_statusFile,
              "/tmp/ch.txt");
}

TEST_F(SettingsTest, WildcardCredentialsFilePicksTheNewestRegularMatch) {
    WriteNewer(Data("key-1.json"), CredentialsJson(", \"project_id\": \"one\""));
    WriteNewer(Data("key-2.json"), CredentialsJson(", \"project_id\": \"two\""));
    ASSERT_EQ(mkdir(Data("key-3.json").c_str(), 0755), 0);  // newest, but not a file
    WriteNewer(Data("other.json"), CredentialsJson(", \"project_id\": \"other\""));

    ASSERT_TRUE(Load("", "gapp-credentials-file=\"key-*.json\""));
    EXPECT_EQ(m_settings.m_credentialsFile, Data("key-2.json"));
    EXPECT_EQ(m_settings.m_streaming.m_projectId, "two");
    EXPECT_EQ(m_log.Count(APT_PRIO_NOTICE, "Determined Credentials File " + Data("key-2.json")), 1);
    EXPECT_EQ(m_log.Count(APT_PRIO_NOTICE, "Determined Project ID two"), 1);

    WriteNewer(Data("key-1.json"), CredentialsJson(", \"project_id\": \"one again\""));
    EngineSettings settings;
    ASSERT_TRUE(settings.LoadConfig("osrzeph.xml", "osrzeph", m_layout, m_pool));
    EXPECT_EQ(settings.m_credentialsFile, Data("key-1.json"));

    EngineSettings none;
    Load("", "gapp-credentials-file=\"nokey-*.json\"");
    EXPECT_FALSE(none.LoadConfig("osrzeph.xml", "osrzeph", m_layout, m_pool));
    EXPECT_EQ(
        m_log.Count(APT_PRIO_ERROR, "Failed to Find Credentials File " + Data("nokey-*.json")), 2);
}

TEST_F(SettingsTest, ProjectIdComesFromTheCredentialsFileOnlyWhenNotConfigured) {
    WriteFile(Data("noproject.json"), CredentialsJson(""));
    ASSERT_TRUE(Load("", "gapp-credentials-file=\"noproject.json\""));
    EXPECT_EQ(m_settings.m_streaming.m_projectId, "");

    EngineSettings configured;
    Load("<streaming-recognition project-id=\"mine\"/>");
    ASSERT_TRUE(configured.LoadConfig("osrzeph.xml", "osrzeph", m_layout, m_pool));
    EXPECT_EQ(configured.m_streaming.m_projectId, "mine");
    EXPECT_EQ(m_log.Find(APT_PRIO_NOTICE, "Determined Project ID").size(), 0u);
}

TEST_F(SettingsTest, LoadCredentialsFile) {
    const std::string bigKey = CredentialsJson(", \"project_id\": \"big\"", 6000);
    ASSERT_GT(bigKey.size(), 4096u);
    struct Case {
        const char* name;
        std::string content;  // empty name content with `exists` false: no file
        bool exists;
        bool ok;
        const char* projectId;
        const char* warning;
    };
    const Case cases[] = {
        {"big.json", bigKey, true, true, "big", nullptr},
        {"huge.json", CredentialsJson(", \"project_id\": \"huge\"", 1024 * 1024), true, false,
         "unchanged", "Failed to Read Credentials File "},
        {"empty.json", "", true, false, "unchanged", "Failed to Read Credentials File "},
        {"missing.json", "", false, false, "unchanged", "Failed to Open Credentials File "},
        {"bad.json", "{\"project_id\": ", true, false, "unchanged",
         "Failed to Parse Credentials File "},
        {"array.json", "[1, 2]", true, true, "unchanged", nullptr},
        {"number.json", "{\"project_id\": 7}", true, true, "unchanged", nullptr},
    };
    for (const Case& c : cases) {
        LogCapture log;
        const std::string path = Data(c.name);
        if (c.exists)
            WriteFile(path, c.content);
        std::string json = "old";
        std::string projectId = "unchanged";
        EXPECT_EQ(EngineSettings::LoadCredentialsFile(path, json, projectId), c.ok) << c.name;
        EXPECT_EQ(projectId, c.projectId) << c.name;
        EXPECT_EQ(json, c.ok ? c.content : "old") << c.name;
        if (c.warning) {
            EXPECT_EQ(log.Count(APT_PRIO_WARNING, c.warning + path), 1) << c.name;
        }
    }
}

TEST_F(SettingsTest, GeneratedTestCredentials) {
    const std::string dir = ZEPH_TEST_CREDENTIALS_DIR;
    std::string json;
    std::string projectId;
    ASSERT_TRUE(
        EngineSettings::LoadCredentialsFile(dir + "/service-account.json", json, projectId));
    EXPECT_EQ(projectId, "zeph-test-project");
    EXPECT_NE(json.find("\"private_key\""), std::string::npos);
    EXPECT_EQ(EngineSettings::CheckServiceAccountKey(json), "");
    projectId.clear();
    ASSERT_TRUE(EngineSettings::LoadCredentialsFile(dir + "/service-account-noproject.json", json,
                                                    projectId));
    EXPECT_EQ(projectId, "");
}

// What keeps gRPC from making service-account credentials, said before gRPC is asked.
TEST_F(SettingsTest, CheckServiceAccountKeySaysWhatIsWrong) {
    const std::string fields =
        "\"private_key_id\": \"k\", \"private_key\": \"p\", \"client_email\": \"e\"";
    const std::pair<std::string, std::string> cases[] = {
        {"this is not json", "is not JSON (line 1: Invalid value.)"},
        {"{\n\"type\": \"service_account\",\n", "is not JSON (line 3: "},
        {"[1, 2]", "is not a JSON object"},
        {"{\"project_id\": \"p\"}", "is not a service-account key (no \"type\")"},
        {"{\"type\": \"authorized_user\"}",
         "is not a service-account key (\"type\" is \"authorized_user\")"},
        {"{\"type\": \"service_account\", " + fields + "}", "lacks \"client_id\""},
        {"{\"type\": \"service_account\", \"client_id\": 7}",
         "lacks \"private_key_id\", \"private_key\", \"client_email\", \"client_id\""},
        {"{\"type\": \"service_account\", \"client_id\": \"c\", " + fields + "}", ""},
    };
    for (const auto& c : cases) {
        const std::string problem = EngineSettings::CheckServiceAccountKey(c.first);
        EXPECT_EQ(problem.substr(0, c.second.size()), c.second) << c.first;
        EXPECT_EQ(problem.empty(), c.second.empty()) << c.first;
    }
}

TEST_F(SettingsTest, BuiltinGrammarsAndSpeechContexts) {
    ASSERT_TRUE(
        Load("<builtin-grammars>"
             "<builtin-grammar name=\"digits\" mode=\"DTMF\" input=\"Event\" min-length=\"2\" "
             "max-length=\"6\" project-id=\"p\"/>"
             "<builtin-grammar name=\"digits\" mode=\"dtmf\" length=\"4\"/>"
             "<builtin-grammar name=\"menu\" mode=\"speech\" action=\"a\" parameter-name=\"n\"/>"
             "<builtin-grammar name=\"off\" mode=\"speech\" enable=\"FALSE\"/>"
             "<builtin-grammar name=\"modeless\"/>"
             "<builtin-grammar mode=\"speech\"/>"
             "<builtin-grammar name=\"x\" mode=\"voice\" input=\"keys\"/>"
             "</builtin-grammars>"
             "<speech-contexts>"
             "<speech-context id=\"yn\" language=\"en-GB\" speech-complete=\"true\">"
             "<phrase tag=\"Y\">Yes</phrase><phrase tag=\"y2\">yes</phrase>"
             "<phrase weight=\"2.5\">  no </phrase><phrase/><phrase boost=\"1\" color=\"red\">"
             "\n  maybe <b/>ignored</phrase>"
             "</speech-context>"
             "<speech-context id=\"yn\"><phrase>other</phrase></speech-context>"
             "<speech-context id=\"off\" enable=\"false\"/>"
             "<speech-context id=\"caps\" enable=\"TRUE\" speech-complete=\"on\"/>"
             "<speech-context language=\"de\"/>"
             "</speech-contexts>"));

    ASSERT_EQ(m_settings.m_builtinDtmfGrammars.size(), 1u);
    const Zeph::BuiltinGrammar* digits = m_settings.m_builtinDtmfGrammars.at("digits");
    EXPECT_EQ(digits->m_input, Zeph::BuiltinGrammar::INPUT_EVENT);
    EXPECT_EQ(digits->m_dtmf.m_length, 0);  // the first record of a name wins
    EXPECT_EQ(digits->m_dtmf.m_minLength, 2);
    EXPECT_EQ(digits->m_dtmf.m_maxLength, 6);
    EXPECT_EQ(digits->m_projectId, "p");
    ASSERT_EQ(m_settings.m_builtinSpeechGrammars.size(), 1u);
    EXPECT_EQ(m_settings.m_builtinSpeechGrammars.at("menu")->m_parameterName, "n");
    EXPECT_EQ(m_log.Count(APT_PRIO_DEBUG, "Skip Disabled Builtin Grammar <off>"), 1);
    EXPECT_EQ(m_log.Count(APT_PRIO_WARNING, "Missing Builtin Grammar Name"), 1);
    EXPECT_EQ(m_log.Count(APT_PRIO_WARNING,
                          "Unexpected Value <voice> for Mode Attribute <mode> in "
                          "<builtin-grammar>, Using <none>"),
              1);
    EXPECT_EQ(m_log.Count(APT_PRIO_WARNING,
                          "Unexpected Value <keys> for Input Attribute <input> in "
                          "<builtin-grammar>, Using <text>"),
              1);

    // "enable" of a speech context takes "true" and "false" as written only.
    ASSERT_EQ(m_settings.m_speechContexts.size(), 2u);
    const Zeph::SpeechContext* yn = m_settings.m_speechContexts.at("yn");
    EXPECT_TRUE(yn->m_loaded);
    EXPECT_TRUE(yn->m_speechComplete);
    EXPECT_EQ(yn->m_language, "en-GB");
    ASSERT_EQ(yn->m_phrases.size(), 3u);
    EXPECT_EQ(yn->m_phrases.at("yes").m_phrase, "Yes");
    EXPECT_EQ(yn->m_phrases.at("yes").m_value, "Y");
    EXPECT_FLOAT_EQ(yn->m_phrases.at("no").m_weight, 2.5f);  // white space trimmed
    EXPECT_LT(yn->m_phrases.at("yes").m_weight, 0.0f);
    EXPECT_EQ(yn->m_phrases.count("maybe"), 1u);  // text before the first child only
    EXPECT_EQ(m_log.Count(APT_PRIO_WARNING, "Unknown Phrase Attribute <color>"), 1);
    EXPECT_FALSE(m_settings.m_speechContexts.at("caps")->m_speechComplete);
    EXPECT_EQ(m_log.Count(APT_PRIO_WARNING,
                          "Unexpected Value <TRUE> for Boolean Attribute <enable> in "
                          "<speech-context>, Using <true>"),
              1);
    EXPECT_EQ(m_log.Count(APT_PRIO_WARNING,
                          "Unexpected Value <on> for Boolean Attribute <speech-complete> in "
                          "<speech-context>, Using <false>"),
              1);
    EXPECT_EQ(m_log.Count(APT_PRIO_DEBUG, "Skip Disabled Speech Context <off>"), 1);
    EXPECT_EQ(m_log.Count(APT_PRIO_WARNING, "Missing Speech Context Id"), 1);
    EXPECT_EQ(m_log.Count(APT_PRIO_DEBUG,
                          "Add Phrase [  no ] with Weight [2.50] to Speech "
                          "Context [yn]"),
              0);
    EXPECT_EQ(
        m_log.Count(APT_PRIO_DEBUG, "Add Phrase [no] with Weight [2.50] to Speech Context [yn]"),
        1);
}

TEST_F(SettingsTest, MonitoringAndManagerSettings) {
    ASSERT_TRUE(
        Load("<monitoring-agent refresh-period=\"30\">"
             "<usage-refresh-handler period=\"5\"><log-usage enable=\"true\" priority=\"DEBUG\"/>"
             "</usage-refresh-handler></monitoring-agent>"
             "<utterance-manager save-waveforms=\"true\" max-file-count=\"7\" log-level=\"INFO\" "
             "file-prefix=\"u-\" use-logging-tag=\"TRUE\" waveform-base-uri=\"http://h/w\"/>"
             "<rdr-manager save-records=\"True\" max-file-age=\"0\" file-ext=\".rdr\" "
             "log-level=\"ERROR\" records=\"x\" purge-existing=\"true\"/>"));
    // A handler has no attributes: like any unknown attribute, one is reported and skipped.
    EXPECT_EQ(m_log.Count(APT_PRIO_WARNING, "Unknown Monitoring Handler Attribute <period>"), 1);
    const auto& monitoring = m_settings.m_monitoring;
    EXPECT_EQ(monitoring.m_refreshPeriod, 30);
    EXPECT_TRUE(monitoring.m_usageRefreshHandler.IsEnabled());
    EXPECT_EQ(monitoring.m_usageRefreshHandler.m_logUsage.m_priority, APT_PRIO_DEBUG);
    EXPECT_FALSE(monitoring.m_usageChangeHandler.IsEnabled());
    EXPECT_EQ(monitoring.m_usageChangeHandler.m_logUsage.m_priority, APT_PRIO_NOTICE);

    const auto& utterances = m_settings.m_utteranceManager;
    EXPECT_TRUE(utterances.m_saveWaveforms);
    EXPECT_EQ(utterances.m_maxFileCount, 7);
    EXPECT_EQ(utterances.m_maxFileAge, 60);
    EXPECT_EQ(utterances.m_logLevel, APT_PRIO_INFO);
    EXPECT_EQ(utterances.m_filePrefix, "u-");
    EXPECT_EQ(utterances.m_fileExt, ".wav");
    EXPECT_TRUE(utterances.m_useLoggingTag);
    EXPECT_FALSE(utterances.m_purgeExisting);
    EXPECT_EQ(utterances.m_waveformBaseUri, "http://h/w");
    const auto& records = m_settings.m_rdrManager;
    EXPECT_TRUE(records.m_saveRecords);
    EXPECT_EQ(records.m_maxFileAge, 0);
    EXPECT_EQ(records.m_fileExt, ".rdr");
    EXPECT_EQ(records.m_logLevel, APT_PRIO_ERROR);
    EXPECT_TRUE(records.m_purgeExisting);
    EXPECT_FALSE(records.m_useLoggingTag);
    EXPECT_EQ(records.m_filePrefix, "osrzeph-");
    EXPECT_EQ(m_log.Count(APT_PRIO_WARNING, "Unknown RDR Manager Attribute <records>"), 1);
    EXPECT_EQ(m_log.Count(APT_PRIO_DEBUG, "Load RDR Manager Attribute: records = x"), 1);
}

}  // namespace
