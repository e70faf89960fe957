// The "api" channel attribute through the real host: each channel of one server gets the
// session stub of the flavour it names.
#include <gtest/gtest.h>

#include <string>

#include "../common/sim_process.h"
#include "../common/test_audio.h"
#include "../osrzeph-channel/scenario_run.h"

namespace {

using ZephChannelTest::Count;
using ZephChannelTest::RunResult;
using ZephChannelTest::ServerRoot;

TEST(FlavourChannels, EachChannelCreatesTheStubItsApiNames) {
    ServerRoot root;
    ASSERT_FALSE(root.Path().empty());
    // A loopback address where nothing listens: opening a channel reaches no service.
    root.WriteConfig("127.0.0.1:1", "api=\"v2beta1\"");
    RunResult run =
        root.Run("channel A api=v2\nchannel B api=v3beta1\nchannel C\nclose A\nclose B\nclose C\n");
    EXPECT_EQ(run.status, 0) << run.log;
    EXPECT_NE(run.log.find("Create gRPC Session Stub [v2] <A@zeph>"), std::string::npos) << run.log;
    EXPECT_NE(run.log.find("Create gRPC Session Stub [v3beta1] <B@zeph>"), std::string::npos)
        << run.log;
    // Without the attribute the configured flavour applies.
    EXPECT_NE(run.log.find("Create gRPC Session Stub [v2beta1] <C@zeph>"), std::string::npos)
        << run.log;
    EXPECT_EQ(run.log.find("Failed to Create gRPC"), std::string::npos) << run.log;
    EXPECT_EQ(run.log.find("Unknown API"), std::string::npos) << run.log;
    EXPECT_EQ(run.messages, "");
}

// Three channels of one server, one per flavour, recognize at the same time; each session
// has its own script at the sim, so each answer shows that it came from its own stream.
TEST(FlavourChannels, ThreeFlavoursRecognizeAtTheSameTime) {
    ServerRoot root;
    ASSERT_FALSE(root.Path().empty());
    ASSERT_TRUE(ZephTest::RunCommand(
        "espeak-ng -w " + root.Path() + "/voice.wav 'a table for two please' && sox " +
        root.Path() + "/voice.wav -r 8000 -c 1 -b 16 " + root.Path() + "/speech.wav"))
        << "espeak-ng and sox make the test audio";
    ZephChannelTest::WriteFile(root.Path() + "/agent.json", R"({
      "intents": [{"name": "book", "display_name": "Book a Table"}],
      "sessions": {
        "call-a": [{"transcript": "table for two", "intent": "book"}],
        "call-b": [{"transcript": "table for four", "intent": "book"}],
        "call-c": [{"transcript": "table for six", "intent": "book"}]}})");
    ZephTest::UseTestCredentials();
    ZephTest::SimProcess sim;
    ASSERT_TRUE(sim.Start(
        {"--agent", root.Path() + "/agent.json", "--record", root.Path() + "/streams.jsonl"}));
    root.WriteConfig(sim.target(), "", "<utterance-manager save-waveforms=\"false\"/>");
    const char* names[] = {"A", "B", "C"};
    const char* apis[] = {"v2", "v2beta1", "v3beta1"};
    const char* uris[] = {"builtin:speech/transcribe?dialogid=call-a",
                          "builtin:speech/transcribe?dialogid=call-b",
                          "builtin:speech/transcribe?dialogid=call-c;agent=agent-c"};
    std::string scenario;
    for (int i = 0; i < 3; ++i)
        scenario += std::string("channel ") + names[i] + " api=" + apis[i] + "\n";
    for (int i = 0; i < 3; ++i) {
        scenario += std::string("send ") + names[i] +
                    " <<END\nMRCP/2.0 0 RECOGNIZE 1\nContent-Type: text/uri-list\n\n" + uris[i] +
                    "\nEND\n";
    }
    for (int i = 0; i < 3; ++i)
        scenario +=
            std::string("wait ") + names[i] + " response\naudio " + names[i] + " speech.wav\n";
    for (int i = 0; i < 3; ++i)
        scenario += std::string("wait ") + names[i] + " RECOGNITION-COMPLETE timeout=30000\n";
    for (int i = 0; i < 3; ++i)
        scenario += std::string("close ") + names[i] + "\n";
    RunResult run = root.Run(scenario);
    EXPECT_EQ(run.status, 0) << run.messages << run.log;
    EXPECT_EQ(Count(run.messages, "RECOGNITION-COMPLETE"), 3u) << run.messages;
    EXPECT_EQ(Count(run.messages, "Completion-Cause: 000 success"), 3u) << run.messages;
    for (const char* text : {"table for two", "table for four", "table for six"}) {
        EXPECT_EQ(Count(run.messages, std::string("<input mode=\"speech\">") + text + "</input>"),
                  1u)
            << run.messages;
    }
    EXPECT_NE(run.log.find("Set Dialog ID ["), std::string::npos) << run.log;
    sim.Stop();
    std::string streams = ZephChannelTest::ReadFile(root.Path() + "/streams.jsonl");
    EXPECT_EQ(Count(streams, "\"flavour\":\"v2\""), 1u) << streams;
    EXPECT_EQ(Count(streams, "\"flavour\":\"v2beta1\""), 1u) << streams;
    EXPECT_EQ(Count(streams, "\"flavour\":\"v3beta1\""), 1u) << streams;
    EXPECT_NE(streams.find("/locations/global/agents/agent-c/sessions/call-c"), std::string::npos)
        << streams;
}

// A CX channel whose DTMF grammar sends its digits as an event: the digits go out as a DTMF
// input, with the terminating key the caller pressed as the finish digit.
TEST(FlavourChannels, CxDtmfEventOptionSendsTheFinishDigit) {
    ServerRoot root;
    ASSERT_FALSE(root.Path().empty());
    ZephChannelTest::WriteFile(root.Path() + "/agent.json", R"({
      "intents": [{"name": "pay", "display_name": "Pay", "dtmf": ["12"]}]})");
    ZephTest::UseTestCredentials();
    ZephTest::SimProcess sim;
    ASSERT_TRUE(sim.Start(
        {"--agent", root.Path() + "/agent.json", "--record", root.Path() + "/streams.jsonl"}));
    root.WriteConfig(sim.target(), "api=\"v3beta1\" agent=\"agent-1\"",
                     "<builtin-grammars><builtin-grammar name=\"keys\" mode=\"dtmf\" "
                     "input=\"event\" max-length=\"8\"/></builtin-grammars>"
                     "<utterance-manager save-waveforms=\"false\"/>");
    RunResult run = root.Run(
        "channel A\nsend A <<END\nMRCP/2.0 0 RECOGNIZE 1\nDTMF-Term-Char: #\n"
        "Content-Type: text/uri-list\n\nbuiltin:dtmf/keys\nEND\nwait A response\n"
        "dtmf A 12#\nwait A RECOGNITION-COMPLETE timeout=30000\nclose A\n");
    EXPECT_EQ(run.status, 0) << run.messages << run.log;
    EXPECT_EQ(Count(run.messages, "Completion-Cause: 000 success"), 1u) << run.messages;
    EXPECT_EQ(Count(run.messages, "<input mode=\"dtmf\">12</input>"), 1u) << run.messages;
    EXPECT_NE(run.log.find("Init DTMF Request: name=keys, digits=12, language=en-US, input=event"),
              std::string::npos)
        << run.log;
    sim.Stop();
    std::string streams = ZephChannelTest::ReadFile(root.Path() + "/streams.jsonl");
    EXPECT_NE(streams.find("\"dtmf\":{\"digits\":\"12\",\"finishDigit\":\"#\"}"), std::string::npos)
        << streams;
}

}  // namespace
