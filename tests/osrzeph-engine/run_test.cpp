// The plugin in the `ostrin` command with the sample configuration: the engine starts,
// channels open and close, usage is reported, and the run ends cleanly.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "server_root.h"

namespace fs = std::filesystem;

namespace {

using ZephEngineTest::kCredentialsDir;
using ZephEngineTest::ReadFile;
using ZephEngineTest::WriteFile;

// Replaces the first `from` in `text`; false when the sample no longer has it.
bool ReplaceFirst(std::string& text, const std::string& from, const std::string& to) {
    size_t at = text.find(from);
    if (at == std::string::npos)
        return false;
    text.replace(at, from.size(), to);
    return true;
}

class OstrinRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_root = ZephEngineTest::MakeServerRoot("zeph-run");
        ASSERT_FALSE(m_root.empty());
    }
    void TearDown() override { fs::remove_all(m_root); }

    // Runs the command; its exit status and everything it printed.
    int Run(const std::string& arguments, std::string& output) {
        // No leak check in the child: see the channel tests' scenario runner.
        std::string command =
            "env ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" "
            "GOOGLE_APPLICATION_CREDENTIALS=" +
            kCredentialsDir + "/service-account.json " + ZEPH_BIN_DIR + "/ostrin " + arguments +
            " 2>&1";
        FILE* pipe = popen(command.c_str(), "r");
        if (!pipe)
            return -1;
        char buffer[4096];
        size_t count;
        while ((count = fread(buffer, 1, sizeof(buffer), pipe)) > 0)
            output.append(buffer, count);
        int status = pclose(pipe);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string m_root;
};

TEST_F(OstrinRunTest, SampleConfigurationOpensAndClosesChannels) {
    // The sample as shipped, with the test credentials in the data directory, a loopback
    // service and the usage-change outputs switched on.
    std::string config =
        ReadFile(std::string(ZEPH_SOURCE_DIR) + "/plugins/osrzeph/conf/osrzeph.xml");
    ASSERT_TRUE(ReplaceFirst(config, "service-uri=\"dialogflow.googleapis.com\"",
                             "service-uri=\"127.0.0.1:1\""));
    ASSERT_TRUE(ReplaceFirst(config, "<log-usage enable=\"false\"", "<log-usage enable=\"true\""));
    ASSERT_TRUE(
        ReplaceFirst(config, "<update-usage enable=\"false\"", "<update-usage enable=\"true\""));
    ASSERT_TRUE(
        ReplaceFirst(config, "<dump-channels enable=\"false\"", "<dump-channels enable=\"true\""));
    WriteFile(m_root + "/conf/osrzeph.xml", config);
    fs::copy_file(kCredentialsDir + "/service-account.json", m_root + "/data/service-account.json");
    WriteFile(m_root + "/channels.scenario",
              "# three channels, one closed while the others stay open\n"
              "channel a\nchannel b\nchannel c\nclose b\n");

    std::string output;
    int status = Run("run " + m_root + "/channels.scenario --plugin " + ZEPH_LIB_DIR +
                         "/osrzeph.so --root " + m_root + " --strict --log-level INFO",
                     output);
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("Zeph Plugin Version [1.17.0] Date [2020-11-25]"), std::string::npos)
        << output;
    EXPECT_NE(output.find("Set Google App Credentials " + m_root + "/data/service-account.json"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("ZEPH Usage: 3/3/100"), std::string::npos) << output;
    EXPECT_NE(output.find("ZEPH Usage: 2/3/100"), std::string::npos) << output;
    EXPECT_NE(output.find("Completion Queue Shutdown"), std::string::npos) << output;

    // The run closed the remaining channels before the engine.
    EXPECT_EQ(ReadFile(m_root + "/var/status/osrzeph-usage.status"),
              "in-use channels: 0\nmax used channels: 3\ntotal channels: 100\n");
    EXPECT_EQ(ReadFile(m_root + "/var/status/osrzeph-channels.status"), "");
}

}  // namespace
