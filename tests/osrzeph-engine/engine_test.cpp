// Engine lifecycle, credentials, channel bookkeeping and usage reports, through the
// plugin's entry points and tables as the server calls them. One engine per process: run
// through ctest (each test in its own process) or with --gtest_filter for a single test.
#include <apr_general.h>
#include <apr_pools.h>
#include <apr_tables.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <ostrin/ostrin.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../common/nothing_left_behind.h"
#include "server_root.h"

namespace fs = std::filesystem;

namespace {

using ZephEngineTest::kCredentialsDir;
using ZephEngineTest::ReadFile;
using ZephEngineTest::WriteFile;

const std::string kServiceAccount = kCredentialsDir + "/service-account.json";
const std::string kPluginPath = std::string(ZEPH_LIB_DIR) + "/osrzeph.so";
// Generous bound for answers that come from the plugin's threads; never a timing check.
const auto kWait = std::chrono::seconds(30);

// Every record of the host log, as the server's log handler sees it.
class LogCapture {
public:
    struct Line {
        std::string source;
        std::string file;
        apt_log_priority_e priority;
        std::string message;
    };

    static void Handler(void* obj, const char* file, int /*line*/, const apt_log_source_t* source,
                        apt_log_priority_e priority, const char* message) {
        auto* self = static_cast<LogCapture*>(obj);
        std::unique_lock<std::mutex> lock(self->m_mutex);
        self->m_lines.push_back(
            {apt_log_source_name_get(source), file ? file : "", priority, message});
        self->m_cond.notify_all();
        // The thread that logs the held text waits here until Release().
        if (!self->m_holdAt.empty() &&
            std::string(message).find(self->m_holdAt) != std::string::npos)
            self->m_cond.wait(lock, [&] { return self->m_holdAt.empty(); });
    }

    void HoldAt(const std::string& text) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_holdAt = text;
    }
    void Release() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_holdAt.clear();
        m_cond.notify_all();
    }

    size_t Count(const std::string& text) {
        std::lock_guard<std::mutex> lock(m_mutex);
        size_t count = 0;
        for (const Line& line : m_lines)
            count += line.message.find(text) != std::string::npos;
        return count;
    }
    bool Contains(const std::string& text) { return Count(text) > 0; }

    // Waits until `text` has been logged `count` times.
    bool WaitFor(const std::string& text, size_t count = 1) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, kWait, [&] {
            size_t seen = 0;
            for (const Line& line : m_lines)
                seen += line.message.find(text) != std::string::npos;
            return seen >= count;
        });
    }

    std::vector<Line> Lines() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::vector<Line> m_lines;
    std::string m_holdAt;
};

// The server's side: loads the plugin, fills in the records and waits for the plugin's
// answers, which come from the plugin's own threads.
class TestServer {
public:
    struct Channel {
        apr_pool_t* pool = nullptr;
        mrcp_engine_channel_t* record = nullptr;
    };

    explicit TestServer(const std::string& root) : m_root(root) {
        apr_pool_create(&m_pool, nullptr);
        m_handle = dlopen(kPluginPath.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!m_handle)
            return;
        m_create = reinterpret_cast<mrcp_plugin_create_f>(dlsym(m_handle, "mrcp_plugin_create"));
        auto logSourceSet = reinterpret_cast<mrcp_plugin_log_source_set_f>(
            dlsym(m_handle, "mrcp_plugin_log_source_set"));
        auto loggerSet =
            reinterpret_cast<mrcp_plugin_logger_set_f>(dlsym(m_handle, "mrcp_plugin_logger_set"));
        if (loggerSet)
            loggerSet(apt_log_instance_get());
        if (logSourceSet)
            logSourceSet(apt_def_log_source_get());
    }

    ~TestServer() {
        for (auto& entry : m_channels)
            DestroyChannel(entry.second);
        if (m_engine) {
            if (m_openAnswer == 1)
                CloseEngine();
            mrcp_engine_virtual_destroy(m_engine);
        }
        apr_pool_destroy(m_pool);
        // The plugin stays loaded: gRPC keeps threads and state for the process's lifetime.
    }

    bool Loaded() const { return m_handle && m_create; }

    mrcp_engine_t* CreateEngine() {
        mrcp_engine_t* engine = m_create(m_pool);
        if (!engine)
            return nullptr;
        engine->event_vtable = &kEngineEvents;
        engine->event_obj = this;
        engine->config = mrcp_engine_config_alloc("zeph", 100, m_pool);
        engine->dir_layout = apt_dir_layout_defaults_create(m_root.c_str(), m_pool);
        if (!m_engine)
            m_engine = engine;
        return engine;
    }

    // The open answer: TRUE or FALSE, whether given at once or later.
    bool OpenEngine() {
        if (!mrcp_engine_virtual_open(m_engine)) {
            m_openAnswer = 0;
            return false;
        }
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cond.wait_for(lock, kWait, [&] { return m_openAnswer >= 0; });
        return m_openAnswer == 1;
    }

    bool CloseEngine() {
        mrcp_engine_virtual_close(m_engine);
        std::unique_lock<std::mutex> lock(m_mutex);
        bool closed = m_cond.wait_for(lock, kWait, [&] { return m_engineClosed; });
        m_openAnswer = -1;
        return closed;
    }

    bool OpenChannel(const std::string& id,
                     const std::map<std::string, std::string>& attributes = {}) {
        Channel channel;
        apr_pool_create(&channel.pool, nullptr);
        channel.record = mrcp_engine_channel_virtual_create(m_engine, channel.pool);
        if (!channel.record) {
            apr_pool_destroy(channel.pool);
            return false;
        }
        channel.record->event_vtable = &kChannelEvents;
        channel.record->event_obj = this;
        apt_string_assign(&channel.record->id, id.c_str(), channel.pool);
        for (const auto& attribute : attributes)
            apr_table_set(channel.record->attribs, attribute.first.c_str(),
                          attribute.second.c_str());
        m_channels[id] = channel;
        mrcp_engine_channel_virtual_open(channel.record);
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cond.wait_for(lock, kWait, [&] { return m_channelOpen.count(channel.record) != 0; });
        return m_channelOpen.count(channel.record) && m_channelOpen[channel.record];
    }

    bool CloseChannel(const std::string& id) {
        Channel channel = m_channels.at(id);
        m_channels.erase(id);
        mrcp_engine_channel_virtual_close(channel.record);
        bool closed;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            closed = m_cond.wait_for(lock, kWait,
                                     [&] { return m_channelClosed.count(channel.record) != 0; });
        }
        DestroyChannel(channel);
        return closed;
    }

    // A server that destroys a channel it never closed.
    void DestroyWithoutClose(const std::string& id) {
        Channel channel = m_channels.at(id);
        m_channels.erase(id);
        DestroyChannel(channel);
    }

    // Sends a request and waits for the first message the plugin sends for the channel.
    mrcp_message_t* Request(const std::string& id, mrcp_method_id method, apr_pool_t* pool) {
        mrcp_engine_channel_t* record = m_channels.at(id).record;
        mrcp_message_t* request = mrcp_request_create(MRCP_VERSION_2, method, pool);
        request->start_line.request_id = ++m_requestId;
        mrcp_engine_channel_request_process(record, request);
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cond.wait_for(lock, kWait, [&] { return !m_messages[record].empty(); });
        return m_messages[record].empty() ? nullptr : m_messages[record].front();
    }

private:
    void DestroyChannel(Channel& channel) {
        mrcp_engine_channel_virtual_destroy(channel.record);
        {
            // A later channel may get the same record address.
            std::lock_guard<std::mutex> lock(m_mutex);
            m_channelOpen.erase(channel.record);
            m_channelClosed.erase(channel.record);
            m_messages.erase(channel.record);
        }
        apr_pool_destroy(channel.pool);
    }

    static TestServer* Of(mrcp_engine_t* engine) {
        return static_cast<TestServer*>(engine->event_obj);
    }
    static TestServer* Of(mrcp_engine_channel_t* channel) {
        return static_cast<TestServer*>(channel->event_obj);
    }

    static apt_bool_t OnEngineOpen(mrcp_engine_t* engine, apt_bool_t status) {
        TestServer* self = Of(engine);
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_openAnswer = status ? 1 : 0;
        self->m_cond.notify_all();
        return TRUE;
    }
    static apt_bool_t OnEngineClose(mrcp_engine_t* engine) {
        TestServer* self = Of(engine);
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_engineClosed = true;
        self->m_cond.notify_all();
        return TRUE;
    }
    static apt_bool_t OnChannelOpen(mrcp_engine_channel_t* channel, apt_bool_t status) {
        TestServer* self = Of(channel);
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_channelOpen[channel] = status == TRUE;
        self->m_cond.notify_all();
        return TRUE;
    }
    static apt_bool_t OnChannelClose(mrcp_engine_channel_t* channel) {
        TestServer* self = Of(channel);
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_channelClosed.insert(channel);
        self->m_cond.notify_all();
        return TRUE;
    }
    static apt_bool_t OnMessage(mrcp_engine_channel_t* channel, mrcp_message_t* message) {
        TestServer* self = Of(channel);
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_messages[channel].push_back(message);
        self->m_cond.notify_all();
        return TRUE;
    }

    static const mrcp_engine_event_vtable_t kEngineEvents;
    static const mrcp_engine_channel_event_vtable_t kChannelEvents;

    std::string m_root;
    apr_pool_t* m_pool = nullptr;
    void* m_handle = nullptr;
    mrcp_plugin_create_f m_create = nullptr;
    mrcp_engine_t* m_engine = nullptr;
    std::map<std::string, Channel> m_channels;
    mrcp_request_id m_requestId = 0;

    std::mutex m_mutex;
    std::condition_variable m_cond;
    int m_openAnswer = -1;  // -1 none yet, 0 FALSE, 1 TRUE
    bool m_engineClosed = false;
    std::map<mrcp_engine_channel_t*, bool> m_channelOpen;
    std::set<mrcp_engine_channel_t*> m_channelClosed;
    std::map<mrcp_engine_channel_t*, std::vector<mrcp_message_t*>> m_messages;
};

const mrcp_engine_event_vtable_t TestServer::kEngineEvents = {OnEngineOpen, OnEngineClose};
const mrcp_engine_channel_event_vtable_t TestServer::kChannelEvents = {OnChannelOpen,
                                                                       OnChannelClose, OnMessage};

// A monitoring handler element with the given outputs enabled.
std::string Handler(const std::string& name, bool logUsage, bool updateUsage, bool dumpChannels) {
    auto flag = [](bool on) { return on ? "true" : "false"; };
    return "<" + name + "><log-usage enable=\"" + flag(logUsage) +
           "\" priority=\"NOTICE\"/><update-usage enable=\"" + flag(updateUsage) +
           "\" status-file=\"" + name + "-usage.txt\"/><dump-channels enable=\"" +
           flag(dumpChannels) + "\" status-file=\"" + name + "-channels.txt\"/></" + name + ">";
}

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_leftovers.reset(new ZephTest::NothingLeftBehind());
        ASSERT_TRUE(fs::exists(kServiceAccount)) << "build the test_credentials target";
        // gRPC must never look for a metadata server: credentials always come from a file.
        setenv("GOOGLE_APPLICATION_CREDENTIALS", kServiceAccount.c_str(), 1);
        apr_initialize();
        apr_pool_create(&m_pool, nullptr);
        m_root = ZephEngineTest::MakeServerRoot("zeph-engine");
        ASSERT_FALSE(m_root.empty());
        apt_log_instance_create(APT_LOG_OUTPUT_CONSOLE, APT_PRIO_DEBUG, m_pool);
        apt_log_handler_set(LogCapture::Handler, &m_log);
    }

    void TearDown() override {
        m_server.reset();
        // The engine's processor, the logger's thread and the gRPC task ended with it.
        EXPECT_TRUE(m_leftovers->Check());
        apt_log_handler_set(nullptr, nullptr);
        apt_log_instance_destroy();
        apr_pool_destroy(m_pool);
        fs::remove_all(m_root);
    }

    // "osrzeph.xml" with the test credentials, a loopback service and `elements`.
    void WriteConfig(const std::string& elements, const std::string& rootAttributes = "") {
        std::string credentials = rootAttributes.find("gapp-credentials-file") == std::string::npos
                                      ? "gapp-credentials-file=\"" + kServiceAccount + "\" "
                                      : "";
        WriteFile(m_root + "/conf/osrzeph.xml",
                  "<?xml version=\"1.0\"?>\n<osrzeph " + credentials + rootAttributes +
                      ">\n<streaming-recognition service-uri=\"127.0.0.1:1\"/>\n" + elements +
                      "\n</osrzeph>\n");
    }

    void WriteMonitoring(const std::string& changeHandler, const std::string& refreshHandler,
                         const std::string& refreshPeriod = "") {
        std::string period =
            refreshPeriod.empty() ? "" : " refresh-period=\"" + refreshPeriod + "\"";
        WriteConfig("<monitoring-agent" + period + ">" + changeHandler + refreshHandler +
                    "</monitoring-agent>");
    }

    TestServer& Server() {
        if (!m_server)
            m_server.reset(new TestServer(m_root));
        return *m_server;
    }

    // Loads the plugin, creates its engine and opens it.
    bool StartEngine() {
        if (!Server().Loaded()) {
            ADD_FAILURE() << "cannot load " << kPluginPath << ": " << dlerror();
            return false;
        }
        if (!Server().CreateEngine()) {
            ADD_FAILURE() << "mrcp_plugin_create returned null";
            return false;
        }
        return Server().OpenEngine();
    }

    std::string Status(const std::string& name) { return ReadFile(m_root + "/var/status/" + name); }

    // A status file rewritten by the refresh timer is truncated and then written on every
    // tick, so a reader may catch it empty: wait (bounded) until it holds `expected`.
    bool StatusBecomes(const std::string& name, const std::string& expected) {
        const auto deadline = std::chrono::steady_clock::now() + kWait;
        while (Status(name) != expected) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    apr_pool_t* m_pool = nullptr;
    std::string m_root;
    LogCapture m_log;
    std::unique_ptr<TestServer> m_server;
    std::unique_ptr<ZephTest::NothingLeftBehind> m_leftovers;
};

TEST_F(EngineTest, OpensAndClosesWithTestCredentials) {
    WriteConfig("", "ssl-roots-file=\"" + kCredentialsDir + "/ca.crt\"");
    ASSERT_TRUE(StartEngine());
    EXPECT_TRUE(m_log.Contains("Set SSL Roots " + kCredentialsDir + "/ca.crt"));
    EXPECT_TRUE(m_log.Contains("Set Google App Credentials " + kServiceAccount));
    EXPECT_STREQ(getenv("GOOGLE_APPLICATION_CREDENTIALS"), kServiceAccount.c_str());
    EXPECT_FALSE(m_log.Contains("Completion Queue Shutdown"));

    ASSERT_TRUE(Server().CloseEngine());
    // The gRPC task has drained its queue and ended before the close was answered.
    EXPECT_EQ(m_log.Count("Completion Queue Shutdown"), 1u);
}

TEST_F(EngineTest, SecondEngineInProcessIsRefused) {
    WriteConfig("");
    ASSERT_TRUE(Server().Loaded());
    mrcp_engine_t* first = Server().CreateEngine();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(Server().CreateEngine(), nullptr);
    EXPECT_EQ(m_log.Count("Zeph Plugin Version [1.17.0] Date [2020-11-25]"), 2u);
    for (const LogCapture::Line& line : m_log.Lines())
        EXPECT_GT(line.priority, APT_PRIO_WARNING) << line.message;
    // The first engine is unharmed.
    ASSERT_TRUE(Server().OpenEngine());
    EXPECT_TRUE(Server().OpenChannel("one@speechrecog"));
}

TEST_F(EngineTest, UsageFilesFollowChannelsOpenedAndClosed) {
    WriteMonitoring(Handler("usage-change-handler", true, true, true),
                    Handler("usage-refresh-handler", false, false, false));
    ASSERT_TRUE(StartEngine());
    EXPECT_EQ(Status("usage-change-handler-channels.txt"), "");
    EXPECT_TRUE(Server().OpenChannel("a1@speechrecog"));
    EXPECT_TRUE(Server().OpenChannel("b2@speechrecog"));
    EXPECT_TRUE(Server().OpenChannel("c3@speechrecog"));
    EXPECT_TRUE(Server().CloseChannel("b2@speechrecog"));

    EXPECT_EQ(Status("usage-change-handler-usage.txt"),
              "in-use channels: 2\nmax used channels: 3\ntotal channels: 100\n");
    EXPECT_EQ(Status("usage-change-handler-channels.txt"), "a1@speechrecog\nc3@speechrecog\n");
    EXPECT_TRUE(m_log.Contains("ZEPH Usage: 2/3/100"));

    EXPECT_TRUE(Server().CloseChannel("a1@speechrecog"));
    EXPECT_TRUE(Server().CloseChannel("c3@speechrecog"));
    EXPECT_EQ(Status("usage-change-handler-usage.txt"),
              "in-use channels: 0\nmax used channels: 3\ntotal channels: 100\n");
    EXPECT_EQ(Status("usage-change-handler-channels.txt"), "");
    EXPECT_FALSE(m_log.Contains("Set Usage Refresh Timer"));
}

TEST_F(EngineTest, ChannelDestroyedWithoutCloseIsForgotten) {
    WriteMonitoring(Handler("usage-change-handler", false, true, true), "");
    ASSERT_TRUE(StartEngine());
    ASSERT_TRUE(Server().OpenChannel("a@speechrecog"));
    ASSERT_TRUE(Server().OpenChannel("b@speechrecog"));
    Server().DestroyWithoutClose("b@speechrecog");
    // Processed in order on the engine's thread: the destroyed channel is gone from the
    // count and the dump before the next channel opens.
    ASSERT_TRUE(Server().OpenChannel("c@speechrecog"));
    EXPECT_EQ(Status("usage-change-handler-usage.txt"),
              "in-use channels: 2\nmax used channels: 2\ntotal channels: 100\n");
    EXPECT_EQ(Status("usage-change-handler-channels.txt"), "a@speechrecog\nc@speechrecog\n");
}

// A missing status folder is created with the configured mode; a path through a file is
// reported and skipped.
TEST_F(EngineTest, StatusFoldersAreCreatedAndUnwritableFilesSkipped) {
    fs::remove_all(m_root + "/var/status");
    WriteFile(m_root + "/var/plain-file", "");
    WriteConfig(
        "<monitoring-agent folder-mode=\"0755\"><usage-change-handler><update-usage "
        "enable=\"true\" status-file=\"new-dir/usage.txt\"/><dump-channels enable=\"true\" "
        "status-file=\"" +
        m_root + "/var/plain-file/channels.txt\"/></usage-change-handler></monitoring-agent>");
    ASSERT_TRUE(StartEngine());
    EXPECT_TRUE(m_log.Contains("Failed to Open Status File " + m_root +
                               "/var/plain-file/channels.txt: Not a directory"));
    EXPECT_TRUE(Server().OpenChannel("a@speechrecog"));
    EXPECT_EQ(Status("new-dir/usage.txt"),
              "in-use channels: 1\nmax used channels: 1\ntotal channels: 100\n");
    struct stat info {};
    ASSERT_EQ(stat((m_root + "/var/status/new-dir").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0755u);
}

TEST_F(EngineTest, RefreshTimerOnlyWithAnEnabledOutput) {
    WriteMonitoring(Handler("usage-change-handler", false, false, false),
                    Handler("usage-refresh-handler", false, false, false), "1");
    ASSERT_TRUE(StartEngine());
    // The open is answered after the timer would have been set.
    EXPECT_FALSE(m_log.Contains("Set Usage Refresh Timer"));
    EXPECT_FALSE(m_log.Contains("ZEPH Usage"));
}

TEST_F(EngineTest, RefreshTimerReportsOnItsTicks) {
    WriteMonitoring(Handler("usage-change-handler", false, false, false),
                    Handler("usage-refresh-handler", true, true, true), "1");
    ASSERT_TRUE(StartEngine());
    EXPECT_TRUE(m_log.Contains("Set Usage Refresh Timer [1 sec]"));
    ASSERT_TRUE(Server().OpenChannel("a@speechrecog"));
    // Channel changes report nothing here; only the timer's ticks log and write.
    ASSERT_TRUE(m_log.WaitFor("ZEPH Usage: 1/1/100", 2));
    EXPECT_TRUE(StatusBecomes("usage-refresh-handler-usage.txt",
                              "in-use channels: 1\nmax used channels: 1\ntotal channels: 100\n"))
        << Status("usage-refresh-handler-usage.txt");
    EXPECT_TRUE(StatusBecomes("usage-refresh-handler-channels.txt", "a@speechrecog\n"))
        << Status("usage-refresh-handler-channels.txt");
}

TEST_F(EngineTest, DefaultRefreshPeriodIsInSeconds) {
    WriteMonitoring("", Handler("usage-refresh-handler", true, false, false));
    ASSERT_TRUE(StartEngine());
    EXPECT_TRUE(m_log.Contains("Set Usage Refresh Timer [60000 sec]"));
}

// A period of 0 would make the timer fire without pause on the engine's thread.
TEST_F(EngineTest, RefreshPeriodOfZeroSetsNoTimer) {
    WriteMonitoring("", Handler("usage-refresh-handler", true, false, false), "0");
    ASSERT_TRUE(StartEngine());
    EXPECT_TRUE(m_log.Contains("Invalid Usage Refresh Period [0 sec]"));
    EXPECT_FALSE(m_log.Contains("Set Usage Refresh Timer"));
    EXPECT_TRUE(Server().OpenChannel("a@speechrecog"));
}

// Seconds beyond what the timer (in milliseconds) and the log line can hold.
TEST_F(EngineTest, HugeRefreshPeriodIsBounded) {
    WriteMonitoring("", Handler("usage-refresh-handler", true, false, false),
                    "9223372036854775807");
    ASSERT_TRUE(StartEngine());
    EXPECT_TRUE(m_log.Contains(
        "Usage Refresh Period [9223372036854775807 sec] Above Maximum, Using [2147483647 sec]"));
    EXPECT_TRUE(m_log.Contains("Set Usage Refresh Timer [2147483647 sec]"));
    EXPECT_TRUE(Server().OpenChannel("a@speechrecog"));
    EXPECT_TRUE(Server().CloseChannel("a@speechrecog"));
}

TEST_F(EngineTest, BadCredentialsFileFailsOpenWithoutTask) {
    WriteFile(m_root + "/data/broken.json", "this is not a credentials file\n");
    WriteConfig("<streaming-recognition grpc-log-redirection=\"true\"/>",
                "gapp-credentials-file=\"broken.json\"");
    EXPECT_FALSE(StartEngine());
    // One ERROR names the file and what is wrong; gRPC, never asked, dumps nothing.
    EXPECT_EQ(m_log.Count("Failed to Create Google Credentials: " + m_root +
                          "/data/broken.json is not JSON (line 1: Invalid value.)"),
              1u);
    for (const LogCapture::Line& line : m_log.Lines()) {
        EXPECT_FALSE(line.priority == APT_PRIO_ERROR &&
                     line.file.find("OsrZeph") == std::string::npos)
            << line.message;
    }
    // gRPC must not keep calling into the plugin after a failed start.
    EXPECT_EQ(m_log.Count("Disable gRPC Log Redirection"), 1u);
    // The processor's thread has ended; closing still works and finds no task to stop.
    EXPECT_TRUE(Server().CloseEngine());
    EXPECT_FALSE(m_log.Contains("Completion Queue Shutdown"));
}

TEST_F(EngineTest, MissingConfigFailsOpenAtOnce) {
    EXPECT_FALSE(StartEngine());
    EXPECT_TRUE(m_log.Contains("Failed to Load OSR ZEPH Config"));
}

TEST_F(EngineTest, ChannelCredentialsAreCreatedOnceAndCached) {
    fs::copy_file(kCredentialsDir + "/service-account-2.json",
                  m_root + "/data/service-account-2.json");
    WriteFile(m_root + "/data/not-json.json", "{ broken");
    WriteFile(m_root + "/data/user.json", "{\"type\": \"authorized_user\"}");
    WriteConfig("");
    ASSERT_TRUE(StartEngine());
    const std::map<std::string, std::string> other = {
        {"gapp-credentials-file", "service-account-2.json"}};
    const std::string otherPath = m_root + "/data/service-account-2.json";

    EXPECT_TRUE(Server().OpenChannel("a@speechrecog", other));
    EXPECT_TRUE(Server().OpenChannel("b@speechrecog", other));
    EXPECT_EQ(m_log.Count("Find Credentials [" + otherPath + "]"), 2u);
    EXPECT_EQ(m_log.Count("Create Credentials [" + otherPath + "]"), 1u);
    EXPECT_TRUE(m_log.Contains("Determined Project ID zeph-other-project"));

    // A channel that names credentials never falls back to the engine's own.
    EXPECT_FALSE(Server().OpenChannel("c@speechrecog", {{"gapp-credentials-file", "nope.json"}}));
    EXPECT_FALSE(
        Server().OpenChannel("d@speechrecog", {{"gapp-credentials-file", "not-json.json"}}));
    EXPECT_FALSE(Server().OpenChannel("e@speechrecog", {{"gapp-credentials-file", "user.json"}}));
    EXPECT_EQ(m_log.Count("Failed to Load Google Credentials File"), 3u);
    EXPECT_EQ(m_log.Count("Failed to Load Google Credentials File: " + m_root +
                          "/data/user.json is not a service-account key"),
              1u);
    EXPECT_EQ(m_log.Count("Failed to Get Credentials <"), 3u);
}

// The server frees a channel's pool as soon as its destroy returns; the plugin deletes the
// channel later on its own thread, so nothing of the channel may live in that pool.
TEST_F(EngineTest, AChannelDestroyedWithoutACloseOutlivesItsPool) {
    WriteConfig("");
    ASSERT_TRUE(StartEngine());
    ASSERT_TRUE(Server().OpenChannel("busy@speechrecog"));
    ASSERT_TRUE(Server().OpenChannel("gone@speechrecog"));
    // The plugin's thread is held inside the close of another channel while the server
    // destroys this one and frees its pool.
    m_log.HoldAt("Close <busy@speechrecog");
    std::thread closer([&] { EXPECT_TRUE(Server().CloseChannel("busy@speechrecog")); });
    ASSERT_TRUE(m_log.WaitFor("Close <busy@speechrecog"));
    Server().DestroyWithoutClose("gone@speechrecog");
    // APR keeps freed pool memory for reuse, hidden from ASan: reuse and scribble over it so
    // that anything the channel still had there reads as garbage.
    std::vector<apr_pool_t*> scribbles(16);
    for (apr_pool_t*& scribble : scribbles) {
        apr_pool_create(&scribble, nullptr);
        memset(apr_palloc(scribble, 6000), 0xa5, 6000);
    }
    m_log.Release();
    closer.join();
    EXPECT_TRUE(Server().OpenChannel("last@speechrecog"));
    for (apr_pool_t* scribble : scribbles)
        apr_pool_destroy(scribble);
    EXPECT_TRUE(Server().CloseChannel("last@speechrecog"));
}

TEST_F(EngineTest, GrpcErrorsReachTheHostLogWhenRedirected) {
    // A service-account key whose private key is no key: gRPC logs an error as it reads it
    // (whether it then makes credentials is its own affair).
    WriteFile(m_root + "/data/not-a-key.json",
              "{\"type\": \"service_account\", \"project_id\": \"zeph-test-project\", "
              "\"private_key_id\": \"1\", \"private_key\": \"none\", "
              "\"client_email\": \"a@b\", \"client_id\": \"2\"}\n");
    WriteFile(m_root + "/conf/osrzeph.xml",
              "<osrzeph gapp-credentials-file=\"" + kServiceAccount +
                  "\"><streaming-recognition service-uri=\"127.0.0.1:1\" "
                  "grpc-log-redirection=\"true\"/></osrzeph>");
    ASSERT_TRUE(StartEngine());
    EXPECT_TRUE(m_log.Contains("Enable gRPC Log Redirection"));
    if (Server().OpenChannel("a@speechrecog", {{"gapp-credentials-file", "not-a-key.json"}})) {
        EXPECT_TRUE(Server().CloseChannel("a@speechrecog"));
    }

    bool grpcError = false;
    for (const LogCapture::Line& line : m_log.Lines()) {
        grpcError |= line.source == "ZEPH-PLUGIN" && line.priority == APT_PRIO_ERROR &&
                     line.file.find("OsrZeph") == std::string::npos;
    }
    EXPECT_TRUE(grpcError) << "no gRPC error on ZEPH-PLUGIN at ERROR";

    ASSERT_TRUE(Server().CloseEngine());
    EXPECT_TRUE(m_log.Contains("Disable gRPC Log Redirection"));
}

// A server whose channel has no audio codec (never attached a stream) gets RECOGNIZE
// refused with 401 and recognizer-error; other requests are answered as usual.
TEST_F(EngineTest, RecognizeWithoutCodecIsRefused) {
    WriteConfig("");
    ASSERT_TRUE(StartEngine());
    ASSERT_TRUE(Server().OpenChannel("a@speechrecog"));
    apr_pool_t* pool = nullptr;
    apr_pool_create(&pool, nullptr);
    mrcp_message_t* response = Server().Request("a@speechrecog", RECOGNIZER_RECOGNIZE, pool);
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(response->start_line.message_type, MRCP_MESSAGE_TYPE_RESPONSE);
    EXPECT_EQ(response->start_line.status_code, MRCP_STATUS_CODE_METHOD_NOT_ALLOWED);
    EXPECT_EQ(response->start_line.request_state, MRCP_REQUEST_STATE_COMPLETE);
    EXPECT_EQ(response->start_line.request_id, 1u);
    EXPECT_TRUE(mrcp_resource_header_property_check(response, RECOGNIZER_HEADER_COMPLETION_CAUSE));
    EXPECT_EQ(response->resource_header.completion_cause, RECOGNIZER_COMPLETION_CAUSE_ERROR);
    EXPECT_TRUE(m_log.Contains("No Codec Descriptor Available <a@speechrecog@zeph>"));
    EXPECT_TRUE(Server().CloseChannel("a@speechrecog"));
    apr_pool_destroy(pool);
}

// A channel whose open failed has no detector: a server that sends it a RECOGNIZE anyway
// gets 401 and recognizer-error.
TEST_F(EngineTest, RecognizeOnAChannelThatFailedToOpenIsRefused) {
    WriteConfig("");
    ASSERT_TRUE(StartEngine());
    EXPECT_FALSE(Server().OpenChannel("a@speechrecog", {{"api", "v4"}}));
    EXPECT_TRUE(m_log.Contains("Unknown API [v4] <a@speechrecog@zeph>"));
    apr_pool_t* pool = nullptr;
    apr_pool_create(&pool, nullptr);
    mrcp_message_t* response = Server().Request("a@speechrecog", RECOGNIZER_RECOGNIZE, pool);
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(response->start_line.status_code, MRCP_STATUS_CODE_METHOD_NOT_ALLOWED);
    EXPECT_EQ(response->resource_header.completion_cause, RECOGNIZER_COMPLETION_CAUSE_ERROR);
    EXPECT_TRUE(m_log.Contains("No Detector Available <a@speechrecog@zeph>"));
    EXPECT_TRUE(Server().CloseChannel("a@speechrecog"));
    apr_pool_destroy(pool);
}

// A server that goes on calling a channel after closing the engine still gets its answers.
TEST_F(EngineTest, ChannelCallsAfterEngineCloseAreAnsweredAtOnce) {
    WriteConfig("");
    ASSERT_TRUE(StartEngine());
    ASSERT_TRUE(Server().OpenChannel("a@speechrecog"));
    ASSERT_TRUE(Server().CloseEngine());

    apr_pool_t* pool = nullptr;
    apr_pool_create(&pool, nullptr);
    mrcp_message_t* response = Server().Request("a@speechrecog", RECOGNIZER_RECOGNIZE, pool);
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(response->start_line.status_code, MRCP_STATUS_CODE_METHOD_FAILED);
    EXPECT_TRUE(Server().CloseChannel("a@speechrecog"));
    EXPECT_FALSE(Server().OpenChannel("b@speechrecog"));
    apr_pool_destroy(pool);
}

// Calls that reach a channel while the engine closes are answered: by the engine's thread
// when they came before its exit, else at once by the caller's thread.
TEST_F(EngineTest, ChannelCallsDuringEngineCloseAreAnswered) {
    WriteMonitoring(Handler("usage-change-handler", true, true, false), "");
    ASSERT_TRUE(StartEngine());
    ASSERT_TRUE(Server().OpenChannel("a@speechrecog"));
    ASSERT_TRUE(Server().OpenChannel("b@speechrecog"));
    // The final usage report runs on the engine's thread after its exit event; a pipe as
    // its status file holds it there until the test reads the pipe.
    const std::string usage = m_root + "/var/status/usage-change-handler-usage.txt";
    ASSERT_EQ(unlink(usage.c_str()), 0);
    ASSERT_EQ(mkfifo(usage.c_str(), 0600), 0);
    size_t updates = m_log.Count("Update usage " + usage);
    bool closed = false;
    std::thread closer([&] { closed = Server().CloseEngine(); });
    ASSERT_TRUE(m_log.WaitFor("Update usage " + usage, updates + 1));

    apr_pool_t* pool = nullptr;
    apr_pool_create(&pool, nullptr);
    mrcp_message_t* response = Server().Request("a@speechrecog", RECOGNIZER_RECOGNIZE, pool);
    EXPECT_EQ(response ? response->start_line.status_code : 0, MRCP_STATUS_CODE_METHOD_FAILED);
    // Closed and destroyed while the engine's thread still runs: the channel is deleted
    // only after that thread, which still counts it, is gone.
    EXPECT_TRUE(Server().CloseChannel("b@speechrecog"));
    EXPECT_FALSE(Server().OpenChannel("c@speechrecog"));

    std::string report;
    {
        std::ifstream pipe(usage);  // lets the report through
        report.assign(std::istreambuf_iterator<char>(pipe), std::istreambuf_iterator<char>());
    }
    closer.join();
    EXPECT_TRUE(closed);
    EXPECT_EQ(report, "in-use channels: 2\nmax used channels: 2\ntotal channels: 100\n");
    apr_pool_destroy(pool);
}

// Position of the first line holding `text` in the host log, or -1.
long LinePosition(const std::vector<LogCapture::Line>& lines, const std::string& text) {
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].message.find(text) != std::string::npos)
            return static_cast<long>(i);
    }
    return -1;
}

TEST_F(EngineTest, ManagersAreCreatedAtOpenAndDestroyedAfterTheGrpcTask) {
    fs::create_directories(m_root + "/var/utt");
    for (const char* name : {"osrzeph-a-1.wav", "osrzeph-a-2.wav", "osrzeph-a-3.wav", "keep.wav"})
        WriteFile(m_root + "/var/utt/" + name, "x");
    WriteConfig(
        "<utterance-manager waveform-folder=\"utt\" max-file-count=\"2\"/>\n"
        "<rdr-manager record-folder=\"rdr\" purge-existing=\"true\"/>");
    ASSERT_TRUE(StartEngine());
    EXPECT_TRUE(m_log.Contains("Create Utterance Manager"));
    EXPECT_TRUE(m_log.Contains("Create RDR Manager"));
    // The record folder is made; the waveform folder keeps its newest two files and the file
    // that is not one of its own.
    EXPECT_TRUE(fs::is_directory(m_root + "/var/rdr"));
    size_t kept = 0;
    for (const auto& entry : fs::directory_iterator(m_root + "/var/utt"))
        kept += entry.path().filename().string().rfind("osrzeph-a-", 0) == 0;
    EXPECT_EQ(kept, 2u);
    EXPECT_TRUE(fs::exists(m_root + "/var/utt/keep.wav"));

    ASSERT_TRUE(Server().CloseEngine());
    const auto lines = m_log.Lines();
    const long task = LinePosition(lines, "Completion Queue Shutdown");
    const long utterances = LinePosition(lines, "Destroy Utterance Manager");
    const long records = LinePosition(lines, "Destroy RDR Manager");
    ASSERT_GE(task, 0);
    EXPECT_GT(utterances, task);
    EXPECT_GT(records, utterances);
}

TEST_F(EngineTest, UnusableManagerFolderFailsOpen) {
    // A regular file where the waveform folder should be.
    WriteFile(m_root + "/var/not-a-folder", "x");
    WriteConfig("<utterance-manager waveform-folder=\"not-a-folder\"/>");
    EXPECT_FALSE(StartEngine());
    EXPECT_TRUE(m_log.Contains("Failed to Create Utterance Manager"));
    EXPECT_FALSE(m_log.Contains("Create RDR Manager"));
    // What was made before is released: the gRPC task has ended, the manager is gone.
    EXPECT_TRUE(m_log.WaitFor("Completion Queue Shutdown"));
    EXPECT_TRUE(m_log.WaitFor("Destroy Utterance Manager"));
}

TEST(PluginLibrary, ExportsExactlyTheFourEntryPoints) {
    std::string command = "nm -D --defined-only " + kPluginPath;
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> symbols;
    char line[1024];
    while (std::fgets(line, sizeof(line), pipe)) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (fields >> address >> type >> name)
            symbols.insert(name);
    }
    ASSERT_EQ(pclose(pipe), 0);
    EXPECT_EQ(symbols,
              (std::set<std::string>{"mrcp_plugin_create", "mrcp_plugin_version",
                                     "mrcp_plugin_logger_set", "mrcp_plugin_log_source_set"}));
}

}  // namespace
