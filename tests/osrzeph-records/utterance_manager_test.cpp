// The utterance manager: file names and URIs, the WAV header, the audio returned by the
// service, logging tags that try to leave the folder, and the folder's bounds.
#include <apr_file_io.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "OsrUtteranceManager.h"
#include "records_test_support.h"

namespace {

using Zeph::UtteranceManager;
using ZephRecordsTest::Exists;
using ZephRecordsTest::ListDir;
using ZephRecordsTest::ReadFile;

uint32_t Le32(const std::string& bytes, size_t offset) {
    return static_cast<uint32_t>(static_cast<unsigned char>(bytes[offset])) |
           static_cast<uint32_t>(static_cast<unsigned char>(bytes[offset + 1])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(bytes[offset + 2])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(bytes[offset + 3])) << 24;
}

uint16_t Le16(const std::string& bytes, size_t offset) {
    return static_cast<uint16_t>(static_cast<unsigned char>(bytes[offset]) |
                                 static_cast<unsigned char>(bytes[offset + 1]) << 8);
}

class UtteranceManagerTest : public ZephRecordsTest::RecordsTest {
protected:
    void SetUp() override {
        RecordsTest::SetUp();
        m_settings.m_waveformFolder = m_dir;
        m_settings.m_logLevel = OstEdpf::LOG_LEVEL_DEBUG;
    }

    // The manager as the engine makes it.
    UtteranceManager& Manager() {
        if (!m_manager) {
            m_manager.reset(new UtteranceManager(m_settings));
            m_manager->SetTimerProcessor(&m_processor);
            EXPECT_TRUE(m_manager->LoadFileEntries());
        }
        return *m_manager;
    }

    // What a channel does for one recognition: name, open, audio as the detector hands it
    // on, close. Returns the file's name, or "" when it could not be opened.
    std::string Record(const char* channelId, uint32_t requestId, size_t bytes, int rate = 16000,
                       const std::string& tag = "") {
        UtteranceManager::WaveFile file;
        file.m_save = true;
        if (!Manager().ComposeName(file.m_fileName, channelId, requestId, 0, tag, m_pool))
            return "";
        if (!Manager().OpenWavefile(file, rate, m_pool))
            return "";
        std::vector<char> audio(bytes);
        for (size_t i = 0; i < bytes; ++i)
            audio[i] = static_cast<char>(i * 7);
        apr_size_t written = audio.size();
        if (written) {
            EXPECT_EQ(apr_file_write(file.m_file, audio.data(), &written), APR_SUCCESS);
        }
        file.m_contentLength += written;
        EXPECT_TRUE(Manager().CloseWavefile(file));
        EXPECT_EQ(file.m_file, nullptr);
        EXPECT_EQ(file.m_pool, nullptr);
        return file.m_fileName;
    }

    void DestroyManagers() override { m_manager.reset(); }

    UtteranceManager::Settings m_settings;
    std::unique_ptr<UtteranceManager> m_manager;
};

TEST_F(UtteranceManagerTest, HeaderHoldsTheFormatAndTheFinalLengths) {
    UtteranceManager::WaveFile file;
    ASSERT_TRUE(Manager().ComposeName(file.m_fileName, "ab12", 3, 0, "", m_pool));
    ASSERT_EQ(file.m_fileName, "osrzeph-ab12-3.wav");
    ASSERT_TRUE(Manager().OpenWavefile(file, 16000, m_pool));
    const std::string path = m_dir + "/osrzeph-ab12-3.wav";

    // While the file is open both lengths are 0.
    std::string header = ReadFile(path);
    ASSERT_EQ(header.size(), UtteranceManager::kWaveHeaderSize);
    EXPECT_EQ(Le32(header, 4), 0u);
    EXPECT_EQ(Le32(header, 40), 0u);
    EXPECT_EQ(Manager().GetFileCount(), 0u);

    std::vector<char> audio(16000, 0x11);
    apr_size_t written = audio.size();
    ASSERT_EQ(apr_file_write(file.m_file, audio.data(), &written), APR_SUCCESS);
    file.m_contentLength += written;
    ASSERT_TRUE(Manager().CloseWavefile(file));

    const std::string bytes = ReadFile(path);
    ASSERT_EQ(bytes.size(), 16044u);
    EXPECT_EQ(bytes.substr(0, 4), "RIFF");
    EXPECT_EQ(Le32(bytes, 4), 16036u);
    EXPECT_EQ(bytes.substr(8, 8), "WAVEfmt ");
    EXPECT_EQ(Le32(bytes, 16), 16u);
    EXPECT_EQ(Le16(bytes, 20), 1u);  // PCM
    EXPECT_EQ(Le16(bytes, 22), 1u);  // one channel
    EXPECT_EQ(Le32(bytes, 24), 16000u);
    EXPECT_EQ(Le32(bytes, 28), 32000u);
    EXPECT_EQ(Le16(bytes, 32), 2u);
    EXPECT_EQ(Le16(bytes, 34), 16u);
    EXPECT_EQ(bytes.substr(36, 4), "data");
    EXPECT_EQ(Le32(bytes, 40), 16000u);
    EXPECT_EQ(bytes.substr(44), std::string(16000, 0x11));

    // sox reads it as half a second of 16 kHz mono audio.
    EXPECT_TRUE(ZephTest::RunCommand("test \"$(soxi -s '" + path + "')\" = 8000"));
    EXPECT_TRUE(ZephTest::RunCommand("test \"$(soxi -r '" + path + "')\" = 16000"));

    EXPECT_EQ(Manager().GetFileNames(), (std::multiset<std::string>{"osrzeph-ab12-3.wav"}));
    EXPECT_TRUE(Logged("Open Waveform File for Writing " + path + ", sampling-rate [16000]"));
    EXPECT_TRUE(m_log.Contains("Close Waveform File " + path + ", content-length [16000]"));
}

TEST_F(UtteranceManagerTest, EightKilohertzAndEmptyUtterances) {
    const std::string name = Record("c8", 1, 0, 8000);
    const std::string bytes = ReadFile(m_dir + "/" + name);
    ASSERT_EQ(bytes.size(), 44u);
    EXPECT_EQ(Le32(bytes, 4), 36u);
    EXPECT_EQ(Le32(bytes, 24), 8000u);
    EXPECT_EQ(Le32(bytes, 28), 16000u);
    EXPECT_EQ(Le32(bytes, 40), 0u);
}

TEST_F(UtteranceManagerTest, NamesPathsAndUris) {
    std::string name;
    ASSERT_TRUE(Manager().ComposeName(name, "ab12", 3, 1, "", m_pool));
    EXPECT_EQ(name, "osrzeph-ab12-3-1.wav");
    // The tag only with use-logging-tag.
    ASSERT_TRUE(Manager().ComposeName(name, "ab12", 3, 0, "call-7", m_pool));
    EXPECT_EQ(name, "osrzeph-ab12-3.wav");

    m_settings.m_useLoggingTag = true;
    m_settings.m_filePrefix = "utt_";
    m_settings.m_fileExt = ".wave";
    UtteranceManager tagged(m_settings);
    ASSERT_TRUE(tagged.ComposeName(name, "ab12", 3, 0, "call-7", m_pool));
    EXPECT_EQ(name, "utt_ab12-3-call-7.wave");
    ASSERT_TRUE(tagged.ComposeName(name, "ab12", 4294967295u, 2, "call-7", m_pool));
    EXPECT_EQ(name, "utt_ab12-4294967295-2-call-7.wave");
    // An empty tag adds no "-".
    ASSERT_TRUE(tagged.ComposeName(name, "ab12", 3, 0, "", m_pool));
    EXPECT_EQ(name, "utt_ab12-3.wave");

    std::string path;
    ASSERT_TRUE(Manager().ComposePath(path, "osrzeph-ab12-3.wav", m_pool));
    EXPECT_EQ(path, m_dir + "/osrzeph-ab12-3.wav");

    // The "//" of the scheme stays; a base with or without a final "/" gives one "/".
    std::string uri;
    ASSERT_TRUE(Manager().ComposeUri(uri, "osrzeph-ab12-3.wav", m_pool));
    EXPECT_EQ(uri, "http://localhost/utterances/osrzeph-ab12-3.wav");
    EXPECT_EQ(Manager().GetBaseUri(), "http://localhost/utterances");
    m_settings.m_waveformBaseUri = "https://media.example:8443/u/";
    m_settings.m_saveWaveforms = true;
    UtteranceManager other(m_settings);
    ASSERT_TRUE(other.ComposeUri(uri, "x.wav", m_pool));
    EXPECT_EQ(uri, "https://media.example:8443/u/x.wav");
    EXPECT_TRUE(other.GetSaveWaveforms());
    EXPECT_FALSE(Manager().GetSaveWaveforms());
}

TEST_F(UtteranceManagerTest, LoggingTagsCannotNameAFileOutsideTheFolder) {
    EXPECT_EQ(UtteranceManager::SanitizeLoggingTag("../../x"), "_._.._x");
    EXPECT_EQ(UtteranceManager::SanitizeLoggingTag("a/b\\c"), "a_b_c");
    EXPECT_EQ(UtteranceManager::SanitizeLoggingTag(".hidden"), "_hidden");
    EXPECT_EQ(UtteranceManager::SanitizeLoggingTag("Call_1.2-x"), "Call_1.2-x");
    EXPECT_EQ(UtteranceManager::SanitizeLoggingTag(std::string("n\0l\n \xc3\xbc", 7)), "n_l____");
    EXPECT_EQ(UtteranceManager::SanitizeLoggingTag(""), "");

    m_settings.m_useLoggingTag = true;
    const std::multiset<std::string> outside = ListDir(m_root);
    // Another program may have made /tmp/x: only that the recording did not is checked.
    const bool existedBefore = Exists("/tmp/x");
    const std::vector<std::string> tags = {
        "../../x", "/tmp/x", "..", "a/../../b", "../" + m_root, std::string(300, '/') + "etc"};
    for (const std::string& tag : tags) {
        const std::string name = Record("c1", 1, 320, 16000, tag);
        ASSERT_FALSE(name.empty()) << tag;
        EXPECT_EQ(name.find('/'), std::string::npos) << name;
        EXPECT_TRUE(Exists(m_dir + "/" + name)) << name;
    }
    // Everything written is in the folder, nothing beside it or above it.
    EXPECT_EQ(ListDir(m_dir).size(), tags.size());
    EXPECT_EQ(ListDir(m_root), outside);
    EXPECT_EQ(Exists("/tmp/x"), existedBefore);

    // A name holding a separator is refused outright, whatever put it there.
    std::string path;
    EXPECT_FALSE(Manager().ComposePath(path, "osrzeph-a/../../b-1.wav", m_pool));
    UtteranceManager::WaveFile file;
    file.m_fileName = "../escape.wav";
    EXPECT_FALSE(Manager().OpenWavefile(file, 16000, m_pool));
    EXPECT_EQ(file.m_file, nullptr);
    EXPECT_FALSE(Exists(m_root + "/escape.wav"));
    EXPECT_TRUE(Logged("Failed to Compose Waveform File Path for [../escape.wav]"));
}

TEST_F(UtteranceManagerTest, UnopenableFileIsReportedAndNotEntered) {
    m_settings.m_waveformFolder = m_dir;
    UtteranceManager::WaveFile file;
    file.m_fileName = "osrzeph-c1-1.wav";
    ASSERT_EQ(mkdir((m_dir + "/osrzeph-c1-1.wav").c_str(), 0700), 0);  // a folder in the way
    EXPECT_FALSE(Manager().OpenWavefile(file, 16000, m_pool));
    EXPECT_EQ(file.m_file, nullptr);
    EXPECT_EQ(file.m_pool, nullptr);
    EXPECT_FALSE(Manager().CloseWavefile(file));
    EXPECT_EQ(Manager().GetFileCount(), 0u);
    EXPECT_TRUE(Logged("Cannot Open Waveform File for Writing " + m_dir + "/osrzeph-c1-1.wav"));
}

// The audio the service returns, in one or several chunks, is one WAV file whose lengths are
// right: the service's own header kept (whatever lengths it said), or one of ours before bare
// samples.
TEST_F(UtteranceManagerTest, AudioReturnedByTheServiceIsOneFile) {
    // A service header with a LIST chunk before "data", its lengths not yet known (0).
    std::string header("RIFF\0\0\0\0WAVEfmt \x10\0\0\0", 20);
    header += std::string(16, '\x01') + std::string("LIST\x02\0\0\0ab", 10);
    header += std::string("data\0\0\0\0", 8);
    const std::string samples = "0123456789";
    struct Case {
        std::vector<std::string> chunks;
        size_t headerSize;
    } cases[] = {
        {{header + samples}, header.size()},
        {{header + "0123", "456", "789"}, header.size()},
        {{"01234", "56789"}, UtteranceManager::kWaveHeaderSize},
    };
    uint32_t id = 0;
    for (const Case& c : cases) {
        UtteranceManager::WaveFile output;
        ASSERT_TRUE(Manager().ComposeName(output.m_fileName, "c2", ++id, 1, "", m_pool));
        output.m_created = true;
        for (const std::string& chunk : c.chunks)
            ASSERT_TRUE(
                Manager().AppendOutputFile(output, chunk.data(), chunk.size(), 8000, m_pool));
        EXPECT_EQ(output.m_file, nullptr);
        EXPECT_EQ(output.m_contentLength, samples.size());
        const std::string file = ReadFile(m_dir + "/" + output.m_fileName);
        ASSERT_EQ(file.size(), c.headerSize + samples.size());
        EXPECT_EQ(file.substr(c.headerSize), samples);
        EXPECT_EQ(file.substr(0, 4), "RIFF");
        EXPECT_EQ(Le32(file, 4), file.size() - 8);
        EXPECT_EQ(Le32(file, c.headerSize - 4), samples.size());
        if (c.headerSize == header.size())
            EXPECT_EQ(file.substr(8, header.size() - 12), header.substr(8, header.size() - 12));
        else
            EXPECT_EQ(Le32(file, 24), 8000u);  // our header, at the channel's rate
    }
    // Each file entered in the folder once.
    EXPECT_EQ(Manager().GetFileNames(),
              (std::multiset<std::string>{"osrzeph-c2-1-1.wav", "osrzeph-c2-2-1.wav",
                                          "osrzeph-c2-3-1.wav"}));
}

// Audio that the service sends in several chunks is one file, which the folder counts once:
// with room for two files, the one the client was given is still there.
TEST_F(UtteranceManagerTest, ChunkedOutputAudioIsOneFileOfTheFolder) {
    m_settings.m_maxFileCount = 2;
    UtteranceManager::WaveFile output;
    ASSERT_TRUE(Manager().ComposeName(output.m_fileName, "c2", 5, 1, "", m_pool));
    std::string audio;
    for (const std::string chunk : {"RIFF", " more", " more", " more"}) {
        audio += chunk;
        ASSERT_TRUE(Manager().AppendOutputFile(output, chunk.data(), chunk.size(), 8000, m_pool));
    }
    ASSERT_EQ(Record("c2", 5, 320), "osrzeph-c2-5.wav");
    const std::multiset<std::string> both{"osrzeph-c2-5-1.wav", "osrzeph-c2-5.wav"};
    EXPECT_EQ(ListDir(m_dir), both);
    EXPECT_EQ(Manager().GetFileNames(), both);
    EXPECT_EQ(ReadFile(m_dir + "/osrzeph-c2-5-1.wav"), audio);
    EXPECT_TRUE(Logged("Open Waveform File for Writing " + m_dir + "/osrzeph-c2-5-1.wav"));
}

TEST_F(UtteranceManagerTest, FolderIsBoundedByCount) {
    m_settings.m_maxFileCount = 3;
    for (uint32_t id = 1; id <= 5; ++id)
        ASSERT_FALSE(Record("c3", id, 320).empty());
    EXPECT_EQ(ListDir(m_dir), (std::multiset<std::string>{"osrzeph-c3-3.wav", "osrzeph-c3-4.wav",
                                                          "osrzeph-c3-5.wav"}));
    EXPECT_TRUE(Logged("Remove file osrzeph-c3-1.wav [max file count]"));
}

TEST_F(UtteranceManagerTest, FolderIsBoundedByAge) {
    m_settings.m_maxFileAge = 1;
    m_settings.m_maxFileCount = 0;
    const std::string first = Record("c4", 1, 320);
    Elapse(30000);
    const std::string second = Record("c4", 2, 320);
    Elapse(29999);
    EXPECT_TRUE(Exists(m_dir + "/" + first));
    Elapse(1);
    EXPECT_FALSE(Exists(m_dir + "/" + first));
    EXPECT_TRUE(Exists(m_dir + "/" + second));
    Elapse(30000);
    EXPECT_TRUE(ListDir(m_dir).empty());
    EXPECT_EQ(Manager().GetFileCount(), 0u);
    EXPECT_EQ(Manager().GetTimerCount(), 0u);
    EXPECT_TRUE(Logged("Remove file " + first + " [timed out]"));
}

// Limits straight from the configuration: a negative one is no limit, and a huge age
// neither overflows on its way to a timer nor expires the file early.
TEST_F(UtteranceManagerTest, OutOfRangeLimitsAreNoLimitOrCapped) {
    m_settings.m_maxFileCount = -1;
    m_settings.m_maxFileAge = LONG_MAX;
    for (uint32_t id = 1; id <= 3; ++id)
        ASSERT_FALSE(Record("c5", id, 32).empty());
    EXPECT_EQ(ListDir(m_dir).size(), 3u);
    EXPECT_EQ(Manager().GetTimerCount(), 3u);
    Elapse(24 * 3600 * 1000LL);
    EXPECT_EQ(ListDir(m_dir).size(), 3u);

    m_manager.reset();
    m_settings.m_maxFileAge = -5;
    Record("c5", 4, 32);
    EXPECT_EQ(Manager().GetTimerCount(), 0u);
}

// At start a file found in the folder keeps only the rest of its age: one a minute and a
// half old goes at once, one half a minute old half a minute later.
TEST_F(UtteranceManagerTest, FilesFoundAtStartKeepTheRestOfTheirAge) {
    ZephTest::RunCommand("touch '" + m_dir + "/osrzeph-old-1.wav' '" + m_dir +
                         "/osrzeph-old-2.wav'");
    struct stat info;
    ASSERT_EQ(stat((m_dir + "/osrzeph-old-2.wav").c_str(), &info), 0);
    const apr_time_t changed = apr_time_from_sec(info.st_ctim.tv_sec) + info.st_ctim.tv_nsec / 1000;
    m_settings.m_maxFileAge = 1;

    m_manager.reset(new UtteranceManager(m_settings));
    m_manager->SetTimerProcessor(&m_processor);
    m_manager->SetClock([changed] { return changed + apr_time_from_sec(30); });
    ASSERT_TRUE(m_manager->LoadFileEntries());
    EXPECT_EQ(m_manager->GetFileCount(), 2u);
    Elapse(29000);
    EXPECT_EQ(ListDir(m_dir).size(), 2u);
    Elapse(2000);
    EXPECT_TRUE(ListDir(m_dir).empty());

    ZephTest::RunCommand("touch '" + m_dir + "/osrzeph-old-3.wav'");
    m_manager.reset(new UtteranceManager(m_settings));
    m_manager->SetTimerProcessor(&m_processor);
    m_manager->SetClock([] { return apr_time_now() + apr_time_from_sec(90); });
    ASSERT_TRUE(m_manager->LoadFileEntries());
    EXPECT_TRUE(ListDir(m_dir).empty());
    EXPECT_TRUE(Logged("Remove file osrzeph-old-3.wav [max file age]"));
}

TEST_F(UtteranceManagerTest, LoadKeepsMatchingFilesWithinTheLimitsAndLeavesOthersAlone) {
    for (const char* name : {"osrzeph-old-1.wav", "osrzeph-old-2.wav", "osrzeph-old-3.wav",
                             "other-1.wav", "osrzeph-old-4.json"}) {
        ZephTest::RunCommand(std::string("touch '") + m_dir + "/" + name + "'");
    }
    m_settings.m_maxFileCount = 2;
    Manager();
    EXPECT_EQ(Manager().GetFileCount(), 2u);
    EXPECT_EQ(ListDir(m_dir).size(), 4u);
    EXPECT_TRUE(Exists(m_dir + "/other-1.wav"));
    EXPECT_TRUE(Exists(m_dir + "/osrzeph-old-4.json"));

    m_manager.reset();
    m_settings.m_purgeExisting = true;
    Manager();
    EXPECT_EQ(ListDir(m_dir), (std::multiset<std::string>{"other-1.wav", "osrzeph-old-4.json"}));
}

}  // namespace
