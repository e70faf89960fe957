// Many more concurrent recognitions than one HTTP/2 connection of the service takes: the
// plugin in the `ostrin` command against dialogflow-sim over TLS, with the sim's cap on
// streams per connection and its gate that reads no stream until all of them are open at
// once. Should the plugin put more streams on a connection than the cap allows, the streams
// beyond it never reach the sim, the gate never opens and no recognition completes.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "../osrzeph-channel/scenario_run.h"
#include "sim_process.h"
#include "test_audio.h"

namespace {

using ZephChannelTest::Count;
using ZephChannelTest::ReadFile;
using ZephChannelTest::RunResult;
using ZephChannelTest::ServerRoot;

// The end of a long run's output: enough to see what went wrong.
std::string Tail(const std::string& text) {
    const size_t kKeep = 6000;
    return text.size() > kKeep ? "..." + text.substr(text.size() - kKeep) : text;
}

std::string Name(int i) {
    return "C" + std::to_string(i);
}

// One stream as the sim recorded it.
struct SimStream {
    std::string session;
    std::string peer;
    std::string authority;
    int code = -1;
    bool cancelled = true;
    long long startMs = 0;
};

std::vector<SimStream> ReadStreams(const std::string& text) {
    std::vector<SimStream> streams;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        rapidjson::Document record;
        record.Parse(line.c_str());
        if (record.HasParseError() || !record.IsObject())
            continue;
        SimStream stream;
        stream.session = record["session"].GetString();
        stream.peer = record["peer"].GetString();
        stream.authority = record["authority"].GetString();
        stream.code = record["status"]["code"].GetInt();
        stream.cancelled = record["cancelled"].GetBool();
        stream.startMs = record["start_ms"].GetInt64();
        streams.push_back(stream);
    }
    return streams;
}

// When the plugin started each channel's call: the host log's local time stamp of its
// "gRPC Streaming Detect Intent <NAME@zeph>" line, in ms since the epoch.
std::map<std::string, long long> CallStarts(const std::string& log) {
    std::map<std::string, long long> starts;
    std::istringstream in(log);
    std::string line;
    const std::string kMark = "gRPC Streaming Detect Intent <";
    while (std::getline(in, line)) {
        size_t at = line.find(kMark);
        if (at == std::string::npos)
            continue;
        std::tm stamp = {};
        long micros = 0;
        if (std::sscanf(line.c_str(), "%d-%d-%d %d:%d:%d.%ld", &stamp.tm_year, &stamp.tm_mon,
                        &stamp.tm_mday, &stamp.tm_hour, &stamp.tm_min, &stamp.tm_sec, &micros) != 7)
            continue;
        stamp.tm_year -= 1900;
        stamp.tm_mon -= 1;
        stamp.tm_isdst = -1;
        std::string name = line.substr(at + kMark.size());
        name = name.substr(0, name.find('@'));
        starts[name] = static_cast<long long>(std::mktime(&stamp)) * 1000 + micros / 1000;
    }
    return starts;
}

class ConnectionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_root.Path().empty());
        std::vector<int16_t> samples = ZephTest::SynthesizeSpeech("yes please", 8000);
        ASSERT_FALSE(samples.empty()) << "espeak-ng and sox make the test audio";
        ASSERT_TRUE(ZephTest::WriteWavFile(m_root.Path() + "/speech.wav", samples, 8000));
        ZephTest::UseTestCredentials();
    }

    // `channels` channels recognize at once, each with a session of its own; the sim reads
    // no stream until all of them are open.
    RunResult RecognizeAtOnce(int channels, int streamsPerConnection,
                              const std::string& streamingAttributes = "") {
        m_channels = channels;
        EXPECT_TRUE(
            m_sim.Start({"--record", m_root.Path() + "/streams.jsonl",
                         "--max-streams-per-connection", std::to_string(streamsPerConnection),
                         "--hold-streams-until", std::to_string(channels)}));
        m_root.WriteConfig(m_sim.target(), streamingAttributes,
                           "<utterance-manager save-waveforms=\"false\"/>");
        std::string scenario;
        for (int i = 0; i < channels; ++i)
            scenario += "channel " + Name(i) + "\n";
        for (int i = 0; i < channels; ++i) {
            scenario += "send " + Name(i) +
                        " <<END\nMRCP/2.0 0 RECOGNIZE 1\nContent-Type: text/uri-list\n\n"
                        "builtin:speech/transcribe?dialogid=call-" +
                        Name(i) + "\nEND\n";
        }
        for (int i = 0; i < channels; ++i)
            scenario += "wait " + Name(i) + " response\naudio " + Name(i) + " speech.wav\n";
        for (int i = 0; i < channels; ++i)
            scenario += "wait " + Name(i) + " RECOGNITION-COMPLETE timeout=60000\n";
        for (int i = 0; i < channels; ++i)
            scenario += "close " + Name(i) + "\n";
        return m_root.Run(scenario, "--pace fast --max-channels " + std::to_string(channels + 50));
    }

    // Every call ended at the sim, each on its own session; returns them.
    std::vector<SimStream> StreamsAtTheEnd() {
        EXPECT_EQ(m_sim.Stop(), 0);
        std::vector<SimStream> streams = ReadStreams(ReadFile(m_root.Path() + "/streams.jsonl"));
        EXPECT_EQ(streams.size(), static_cast<size_t>(m_channels));
        std::map<std::string, int> sessions;
        int ended = 0;
        for (const SimStream& stream : streams) {
            ended += stream.code == 0 && !stream.cancelled;
            ++sessions[stream.session];
        }
        EXPECT_EQ(ended, m_channels) << "calls cancelled or failed";
        EXPECT_EQ(sessions.size(), static_cast<size_t>(m_channels));
        return streams;
    }

    // How many streams each connection (the client's end of it) carried.
    static std::map<std::string, int> StreamsByConnection(const std::vector<SimStream>& streams) {
        std::map<std::string, int> connections;
        for (const SimStream& stream : streams)
            ++connections[stream.peer];
        return connections;
    }

    // From the plugin's start of each call to its arrival at the sim, in the order the calls
    // were started: the first, the 101st and the last, and the largest.
    static void ReportStartDelays(const std::string& log, const std::vector<SimStream>& streams) {
        std::map<std::string, long long> starts = CallStarts(log);
        std::vector<std::pair<long long, long long>> delays;  // (call start, delay)
        for (const SimStream& stream : streams) {
            size_t at = stream.session.rfind("call-");
            if (at == std::string::npos)
                continue;
            auto start = starts.find(stream.session.substr(at + 5));
            if (start != starts.end())
                delays.emplace_back(start->second, stream.startMs - start->second);
        }
        std::sort(delays.begin(), delays.end());
        if (delays.empty())
            return;
        long long largest = 0;
        for (const auto& delay : delays)
            largest = std::max(largest, delay.second);
        auto at = [&](size_t n) { return delays[std::min(n, delays.size()) - 1].second; };
        std::printf("stream start delays (ms): 1st %lld, 101st %lld, last (%zu) %lld, max %lld\n",
                    at(1), at(101), delays.size(), at(delays.size()), largest);
        ::testing::Test::RecordProperty("start_delay_1st_ms", static_cast<int>(at(1)));
        ::testing::Test::RecordProperty("start_delay_101st_ms", static_cast<int>(at(101)));
        ::testing::Test::RecordProperty("start_delay_last_ms", static_cast<int>(at(delays.size())));
        ::testing::Test::RecordProperty("start_delay_max_ms", static_cast<int>(largest));
    }

    ServerRoot m_root;
    ZephTest::SimProcess m_sim;
    int m_channels = 0;
};

// 250 channels against a service that takes 100 streams per connection: all 250 calls are
// open at the same time, and each channel gets exactly one RECOGNITION-COMPLETE.
TEST_F(ConnectionsTest, TwoHundredFiftyRecognitionsBeyondTheStreamCap) {
    RunResult run = RecognizeAtOnce(250, 100);
    EXPECT_EQ(run.status, 0) << Tail(run.messages) << Tail(run.log);
    EXPECT_EQ(Count(run.messages, "RECOGNITION-COMPLETE"), 250u) << Tail(run.messages);
    EXPECT_EQ(Count(run.messages, "Completion-Cause: 000 success"), 250u) << Tail(run.messages);
    EXPECT_EQ(Count(run.messages, "!!!"), 0u) << Tail(run.messages);
    std::vector<SimStream> streams = StreamsAtTheEnd();
    // 50 channels per connection unless configured: five connections, none beyond that.
    std::map<std::string, int> connections = StreamsByConnection(streams);
    EXPECT_EQ(connections.size(), 5u);
    for (const auto& connection : connections)
        EXPECT_LE(connection.second, 50) << connection.first;
    std::printf("%zu connections at the sim\n", connections.size());
    ReportStartDelays(run.log, streams);
}

// "channels-per-connection" sets how many channels share a connection: twelve channels,
// four per connection, against a service that takes four streams per connection.
TEST_F(ConnectionsTest, ChannelsPerConnectionIsConfigured) {
    RunResult run = RecognizeAtOnce(12, 4, "channels-per-connection=\"4\"");
    EXPECT_EQ(run.status, 0) << run.messages << run.log;
    EXPECT_EQ(Count(run.messages, "Completion-Cause: 000 success"), 12u) << run.messages;
    EXPECT_EQ(Count(run.messages, "RECOGNITION-COMPLETE"), 12u) << run.messages;
    std::vector<SimStream> streams = StreamsAtTheEnd();
    std::map<std::string, int> connections = StreamsByConnection(streams);
    EXPECT_EQ(connections.size(), 3u);
    for (const auto& connection : connections)
        EXPECT_EQ(connection.second, 4) << connection.first;
}

// Agents in two regions side by side from one engine, "service-uri" at the global endpoint:
// a CX agent in "europe-west1" is called at that region's endpoint, one in "global" at the
// global endpoint, an ES agent with a location at its region with the location in its
// session. The sim serves each endpoint on a port of its own, which "endpoint-addresses"
// reaches on loopback under the endpoint's name; its gate proves the three calls were open
// at once. Channel B then recognizes in the region and back at home: one connection per
// endpoint carries every channel's calls there. A location that is no location id is refused.
TEST_F(ConnectionsTest, AgentsInTwoRegionsRecognizeSideBySide) {
    const std::string global = "dialogflow.googleapis.com";
    const std::string europe = "europe-west1-dialogflow.googleapis.com";
    ASSERT_TRUE(m_sim.Start({"--record", m_root.Path() + "/streams.jsonl", "--location",
                             "europe-west1=0", "--hold-streams-until", "3"}));
    m_root.WriteConfig(
        global,
        "endpoint-addresses=\"" + global + "=127.0.0.1:" + std::to_string(m_sim.port()) + " " +
            europe + "=127.0.0.1:" + std::to_string(m_sim.LocationPort("europe-west1")) + "\"",
        "<utterance-manager save-waveforms=\"false\"/>");
    struct Call {
        const char* channel;
        const char* parameters;
        std::string session;
        std::string authority;
    };
    const std::string project = "projects/zeph-test-project/locations/";
    const Call calls[] = {
        {"A", "dialogid=call-a;agent=agent-a;location=europe-west1",
         project + "europe-west1/agents/agent-a/sessions/call-a", europe},
        {"B", "dialogid=call-b;agent=agent-b", project + "global/agents/agent-b/sessions/call-b",
         global},
        {"C", "dialogid=call-c;location=europe-west1",
         project + "europe-west1/agent/sessions/call-c", europe},
        {"B", "dialogid=call-b2;agent=agent-b;location=europe-west1",
         project + "europe-west1/agents/agent-b/sessions/call-b2", europe},
        {"B", "dialogid=call-b3;agent=agent-b;location=global",
         project + "global/agents/agent-b/sessions/call-b3", global},
    };
    auto recognize = [](const Call& call, int id) {
        return std::string("send ") + call.channel + " <<END\nMRCP/2.0 0 RECOGNIZE " +
               std::to_string(id) + "\nContent-Type: text/uri-list\n\nbuiltin:speech/transcribe?" +
               call.parameters + "\nEND\nwait " + call.channel + " response\naudio " +
               call.channel + " speech.wav\n";
    };
    std::string scenario = "channel A api=v3beta1\nchannel B api=v3beta1\nchannel C api=v2\n";
    for (int i = 0; i < 3; ++i)
        scenario += recognize(calls[i], 1);
    for (const char* channel : {"A", "C", "B"})
        scenario += std::string("wait ") + channel + " RECOGNITION-COMPLETE timeout=60000\n";
    for (int i = 3; i < 5; ++i)
        scenario += recognize(calls[i], i - 1) + "wait B RECOGNITION-COMPLETE timeout=60000\n";
    // A location that is no location id never becomes part of a host name.
    scenario +=
        "send B <<END\nMRCP/2.0 0 RECOGNIZE 4\nContent-Type: text/uri-list\n\n"
        "builtin:speech/transcribe?dialogid=call-b4;agent=agent-b;location=evil.example/x\n"
        "END\nwait B response\n";
    scenario += "close A\nclose B\nclose C\n";
    m_channels = 5;
    RunResult run = m_root.Run(scenario, "--pace fast");
    EXPECT_EQ(run.status, 0) << run.messages << run.log;
    EXPECT_EQ(Count(run.messages, "Completion-Cause: 000 success"), 5u) << run.messages;
    EXPECT_EQ(Count(run.messages, " 4 404 COMPLETE"), 1u) << run.messages;
    EXPECT_EQ(Count(run.log, "Invalid Location [evil.example/x] <B@zeph>"), 1u) << run.log;
    // Each channel reaches the global endpoint when it opens, and the region once.
    EXPECT_EQ(Count(run.log, "Connect to Endpoint [" + global + "]"), 3u) << run.log;
    EXPECT_EQ(Count(run.log, "Connect to Endpoint [" + europe + "]"), 3u) << run.log;
    std::map<std::string, std::set<std::string>> peers;  // by authority
    for (const SimStream& stream : StreamsAtTheEnd()) {
        const Call* call = nullptr;
        for (const Call& candidate : calls)
            call = candidate.session == stream.session ? &candidate : call;
        ASSERT_NE(call, nullptr) << stream.session;
        EXPECT_EQ(stream.authority, call->authority) << stream.session;
        peers[stream.authority].insert(stream.peer);
    }
    EXPECT_EQ(peers[europe].size(), 1u);
    EXPECT_EQ(peers[global].size(), 1u);
}

}  // namespace
