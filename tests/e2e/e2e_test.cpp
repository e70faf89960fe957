// The end-to-end suite: a caller's turn as an MRCP client and the media send it, through the
// real host (`ostrin run --strict`, the conformance checker on) and the plugin, to
// dialogflow-sim over TLS with the test credentials, once per API flavour (the channel's
// "api" attribute).
//
// One runner, one table. For every case and flavour the runner:
//   - compares the exact messages the plugin sent (message lengths and times left out, the
//     saved file names made stable) with the transcript in expected/CASE.FLAVOUR.txt;
//   - parses every NLSML body with APR's XML parser and every JSON body with RapidJSON;
//   - parses every recognition-details record and every line of the sim's record file as
//     JSON; one record per recognition, with the cause the client was sent;
//   - checks that every stream the sim saw has ended before the sim stops (its record file
//     does not grow at shutdown, when a stream still open would be ended and recorded) and
//     that nothing else is left behind.
// ZEPH_E2E_UPDATE=1 writes the transcripts from the run instead of comparing them;
// ZEPH_E2E_DUMP_LOG=1 prints each run's host log.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "json_path.h"
#include "nothing_left_behind.h"
#include "result_bodies.h"
#include "scenario_run.h"
#include "sim_process.h"
#include "test_audio.h"

namespace {

using ZephTest::JsonAt;
using ZephTest::JsonString;

using ZephChannelTest::Count;
using ZephChannelTest::DropLengths;
using ZephChannelTest::ReadFile;
using ZephChannelTest::RunResult;
using ZephChannelTest::ServerRoot;
using ZephChannelTest::WriteFile;

const int kRate = 8000;
const char kBaseUri[] = "http://localhost/utterances";

// The agent of every case unless the case brings its own: one intent that speech, DTMF
// digits "12" (as text, as an event, as a CX DTMF input) and the event "order" (for CX the
// event grammar names the intent) select.
const char kAgent[] = R"({
  "intents": [{"name": "order", "display_name": "Order Pizza", "action": "pizza.order",
               "parameters": {"size": "large"}, "fulfillment_text": "One large pizza.",
               "output_audio": "answer.wav", "texts": ["12"], "events": ["order", "12"],
               "dtmf": ["12"], "confidence": 0.8}],
  "utterances": [{"interim": [{"at_bytes": 3200, "transcript": "a large"}],
                  "transcript": "a large pizza", "confidence": 0.9, "intent": "order"}]})";

// An utterance that does not end by itself: an early interim transcript, and the final one
// only after the half-close.
const char kUnending[] = R"({
  "intents": [{"name": "order", "display_name": "Order Pizza", "dtmf": ["12"], "texts": ["12"]}],
  "utterances": [{"interim": [{"at_bytes": 1600, "transcript": "a"}], "end_of_utterance": "never",
                  "transcript": "a large pizza", "intent": "order"}]})";

// An agent with the default utterance and these faults for every stream.
std::string FaultAgent(const std::string& faults) {
    std::string agent = kAgent;
    agent.insert(agent.rfind('}'), ", \"faults\": " + faults);
    return agent;
}

// "send" of a request on channel A and the wait for its response. Every RECOGNIZE asks for
// a confidence of 0.5 (VoiceXML's default) unless it names its own: a recognized input must
// pass it in every flavour.
std::string Request(const std::string& method, int id, const std::string& headers = "",
                    const std::string& uri = "") {
    std::string body = uri.empty() ? "\n" : "Content-Type: text/uri-list\n\n" + uri + "\n";
    std::string threshold;
    if (method == "RECOGNIZE" && headers.find("Confidence-Threshold:") == std::string::npos)
        threshold = "Confidence-Threshold: 0.5\n";
    return "send A <<END\nMRCP/2.0 0 " + method + " " + std::to_string(id) + "\n" + threshold +
           headers + body + "END\nwait A response\n";
}

std::string Recognize(const std::string& uri, const std::string& headers = "") {
    return Request("RECOGNIZE", 1, headers, uri);
}

const char kSpeak[] = "audio A speech.wav\nsilence A 1500\n";
const char kComplete[] = "wait A RECOGNITION-COMPLETE timeout=30000\nclose A\n";

struct Outcome;

// One scenario of the table; it runs once per flavour.
struct Case {
    std::string name;
    std::string steps;  // after "channel A api=FLAVOUR ATTRIBUTES"
    std::string channelAttributes;
    std::string agent = kAgent;
    std::string streaming;  // more <streaming-recognition> attributes
    std::string elements;   // more configuration elements
    std::vector<std::string> simArgs;
    bool realtime = false;  // the scenario's timing matters: audio at its own pace
    size_t streams = 1;     // streams the sim sees
    int status = 0;         // gRPC status code of every stream; -1: any
    std::string logLine;    // a line the host log holds
    std::function<void(const Outcome&)> check;

    Case(std::string caseName, std::string caseSteps)
        : name(std::move(caseName)), steps(std::move(caseSteps)) {}
    Case& Attributes(std::string value) { return channelAttributes = std::move(value), *this; }
    Case& Agent(std::string value) { return agent = std::move(value), *this; }
    Case& Streaming(std::string value) { return streaming = std::move(value), *this; }
    Case& Elements(std::string value) { return elements = std::move(value), *this; }
    Case& SimArgs(std::vector<std::string> value) { return simArgs = std::move(value), *this; }
    Case& Realtime() { return realtime = true, *this; }
    Case& Streams(size_t value) { return streams = value, *this; }
    Case& Status(int value) { return status = value, *this; }
    Case& Log(std::string value) { return logLine = std::move(value), *this; }
    Case& Check(std::function<void(const Outcome&)> value) {
        return check = std::move(value), *this;
    }
};

void PrintTo(const Case& scenario, std::ostream* out) {
    *out << scenario.name;
}

// What one run left: the plugin's messages, the host log, the sim's stream records and the
// recognition-details records, all parsed.
struct Outcome {
    std::string flavour;
    std::string root;
    std::string messages;  // raw, times dropped
    std::string log;
    std::vector<rapidjson::Document> streams;
    std::string streamLines;  // the sim's record file as it stands
    std::vector<rapidjson::Document> records;
};

// One message the plugin sent: its start line, headers and body.
struct Message {
    std::string startLine;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    std::string Header(const std::string& name) const {
        for (const auto& header : headers) {
            if (header.first == name)
                return header.second;
        }
        return "";
    }
};

// Splits the host's output into messages; a body is exactly Content-Length bytes.
std::vector<Message> SplitMessages(const std::string& output) {
    std::vector<Message> messages;
    size_t at = 0;
    while ((at = output.find("### ", at)) != std::string::npos) {
        size_t start = output.find('\n', at);
        if (start == std::string::npos)
            break;
        Message message;
        size_t end = output.find('\n', start + 1);
        message.startLine = output.substr(start + 1, end - start - 1);
        size_t line = end + 1;
        while (line < output.size() && output[line] != '\n') {
            size_t next = output.find('\n', line);
            std::string text = output.substr(line, next - line);
            size_t colon = text.find(": ");
            if (colon != std::string::npos)
                message.headers.emplace_back(text.substr(0, colon), text.substr(colon + 2));
            line = next == std::string::npos ? output.size() : next + 1;
        }
        size_t length = std::strtoul(message.Header("Content-Length").c_str(), nullptr, 10);
        if (line < output.size())
            message.body = output.substr(line + 1, length);
        messages.push_back(message);
        at = line;
    }
    return messages;
}

// Replaces the digits after each `key` with `stand`.
void ReplaceNumbers(std::string& text, const std::string& key, const std::string& stand) {
    for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at)) {
        at += key.size();
        text.replace(at, text.find_first_not_of("0123456789", at) - at, stand);
    }
}

// The names the plugin gives saved files carry the time, and how much audio the detector
// hands on before the end of speech depends on the scheduling; the transcripts show them as
// NAME, SIZE and DURATION (the cases check the figures against the file and the sim).
std::string Normalize(const std::string& messages) {
    std::string text = DropLengths(messages);
    ReplaceNumbers(text, ">;size=", "SIZE");
    ReplaceNumbers(text, ";duration=", "DURATION");
    const std::string prefix = std::string(kBaseUri) + "/";
    for (size_t at = text.find(prefix); at != std::string::npos; at = text.find(prefix, at)) {
        at += prefix.size();
        size_t end = text.find_first_of("<>;\n", at);
        text.replace(at, end == std::string::npos ? std::string::npos : end - at, "NAME");
    }
    return text;
}

std::vector<std::string> FilesIn(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
        if (entry.is_regular_file())
            names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty())
            lines.push_back(line);
    }
    return lines;
}

// The test audio, made once per build: espeak-ng speech at `rate` Hz.
std::string SpeechFile(int rate) {
    std::string dir = std::string(ZEPH_BINARY_DIR) + "/tests/e2e/audio";
    std::string file = dir + "/speech-" + std::to_string(rate) + ".wav";
    if (std::filesystem::exists(file))
        return file;
    std::filesystem::create_directories(dir);
    std::vector<int16_t> samples = ZephTest::SynthesizeSpeech("a large pizza", rate);
    // Written aside and renamed: tests running in parallel see the whole file or none.
    std::string part = file + "." + std::to_string(getpid());
    if (samples.empty() || !ZephTest::WriteWavFile(part, samples, rate))
        return std::string();
    std::filesystem::rename(part, file);
    return file;
}

class EndToEnd : public ::testing::TestWithParam<std::tuple<Case, std::string>> {
protected:
    // The sim's record file once it holds `count` streams (each written when its status is
    // sent, so just after the client saw the end); bounded, so a stream that never ends
    // fails the test rather than hanging it.
    std::string WaitForStreams(const std::string& path, size_t count) {
        std::string text;
        for (int i = 0; i < 1000; ++i) {
            text = ReadFile(path);
            if (Lines(text).size() >= count)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return text;
    }

    void ExpectTranscript(const std::string& caseName, const std::string& flavour,
                          const std::string& messages) {
        std::string path = std::string(ZEPH_SOURCE_DIR) + "/tests/e2e/expected/" + caseName + "." +
                           flavour + ".txt";
        std::string actual = Normalize(messages);
        const char* update = std::getenv("ZEPH_E2E_UPDATE");
        if (update && std::string(update) == "1") {
            WriteFile(path, actual);
            return;
        }
        ASSERT_TRUE(std::filesystem::exists(path)) << path << " is missing; the run sent:\n"
                                                   << actual;
        EXPECT_EQ(actual, ReadFile(path)) << "expected transcript " << path;
    }
};

TEST_P(EndToEnd, Scenario) {
    const Case& scenario = std::get<0>(GetParam());
    const std::string& flavour = std::get<1>(GetParam());
    ZephTest::NothingLeftBehind leftovers;
    ServerRoot root;
    ASSERT_FALSE(root.Path().empty());
    for (int rate : {8000, 16000}) {
        std::string speech = SpeechFile(rate);
        ASSERT_FALSE(speech.empty()) << "espeak-ng and sox make the test audio";
        std::filesystem::copy_file(
            speech, root.Path() + (rate == kRate ? "/speech.wav" : "/speech-16k.wav"));
    }
    // The caller breaks off after 700 ms of speech (the header is 22 samples).
    std::vector<int16_t> cut = ZephTest::ReadRawSamples(root.Path() + "/speech.wav");
    ASSERT_GT(cut.size(), 22u + 7 * kRate / 10);
    cut = std::vector<int16_t>(cut.begin() + 22, cut.begin() + 22 + 7 * kRate / 10);
    ASSERT_TRUE(ZephTest::WriteWavFile(root.Path() + "/speech-cut.wav", cut, kRate));
    // The answer the agent speaks: a short tone.
    std::vector<int16_t> answer(1600);
    for (size_t i = 0; i < answer.size(); ++i)
        answer[i] = static_cast<int16_t>((i / 10) % 2 ? 3000 : -3000);
    ASSERT_TRUE(ZephTest::WriteWavFile(root.Path() + "/answer.wav", answer, 16000));

    WriteFile(root.Path() + "/agent.json", scenario.agent);
    std::string recordFile = root.Path() + "/streams.jsonl";
    std::vector<std::string> simArgs = {"--agent", root.Path() + "/agent.json", "--record",
                                        recordFile};
    simArgs.insert(simArgs.end(), scenario.simArgs.begin(), scenario.simArgs.end());
    ZephTest::SimProcess sim;
    ASSERT_TRUE(sim.Start(simArgs));
    root.WriteConfig(sim.target(), "agent=\"e2e-agent\" " + scenario.streaming,
                     "<utterance-manager save-waveforms=\"true\" waveform-folder=\"utterances\" "
                     "waveform-base-uri=\"" +
                         std::string(kBaseUri) +
                         "\"/>\n<rdr-manager save-records=\"true\" record-folder=\"records\"/>\n" +
                         scenario.elements);

    RunResult run = root.Run(
        "channel A api=" + flavour + " " + scenario.channelAttributes + "\n" + scenario.steps,
        scenario.realtime ? "" : "--pace fast");
    EXPECT_EQ(run.status, 0) << run.messages << run.log;
    EXPECT_EQ(run.messages.find("!!! "), std::string::npos) << run.messages;
    EXPECT_EQ(run.log.find("runtime error"), std::string::npos) << run.log;
    EXPECT_EQ(run.log.find("Sanitizer"), std::string::npos) << run.log;
    if (!scenario.logLine.empty()) {
        EXPECT_NE(run.log.find(scenario.logLine), std::string::npos) << run.log;
    }
    ExpectTranscript(scenario.name, flavour, run.messages);
    if (std::getenv("ZEPH_E2E_DUMP_LOG"))
        std::fprintf(stderr, "%s", run.log.c_str());

    Outcome outcome;
    outcome.flavour = flavour;
    outcome.root = root.Path();
    outcome.messages = run.messages;
    outcome.log = run.log;

    // Every body parses; every RECOGNITION-COMPLETE gives its cause name for the records.
    std::vector<std::string> causes;
    size_t recognitions = 0;
    for (const Message& message : SplitMessages(run.messages)) {
        EXPECT_EQ(ZephTest::ResultBodyError(message.Header("Content-Type"), message.body), "")
            << message.body;
        if (message.startLine.find(" 200 IN-PROGRESS") != std::string::npos)
            ++recognitions;
        if (message.startLine.find("RECOGNITION-COMPLETE") != std::string::npos) {
            std::string cause = message.Header("Completion-Cause");
            causes.push_back(cause.substr(cause.find(' ') + 1));
            // A recognized input has the confidence the service gave, or none: never the
            // service's "not set" passed off as a score.
            if (cause.rfind("000", 0) == 0) {
                EXPECT_EQ(message.body.find("confidence=\"0\""), std::string::npos) << message.body;
            }
        }
    }

    // One record per recognition, each a JSON document naming the cause the client got.
    std::string recordDir = root.Path() + "/var/records";
    std::vector<std::string> recordCauses;
    for (const std::string& name : FilesIn(recordDir)) {
        std::string text = ReadFile(recordDir + "/" + name);
        rapidjson::Document record;
        record.Parse<rapidjson::kParseValidateEncodingFlag>(text.c_str());
        EXPECT_FALSE(record.HasParseError()) << name << ": " << text;
        if (record.HasParseError() || !JsonAt(record, "recog-details-record"))
            continue;
        recordCauses.push_back(JsonString(record, "recog-details-record/completion-cause"));
        outcome.records.push_back(std::move(record));
    }
    EXPECT_EQ(outcome.records.size(), recognitions) << run.messages;
    if (causes.size() == recordCauses.size()) {
        std::sort(causes.begin(), causes.end());
        std::sort(recordCauses.begin(), recordCauses.end());
        EXPECT_EQ(recordCauses, causes);
    }

    // Every stream has ended while the sim still ran: stopping it adds no record.
    std::string streams = WaitForStreams(recordFile, scenario.streams);
    EXPECT_EQ(sim.Stop(), 0);
    std::string afterStop = ReadFile(recordFile);
    size_t open = Lines(afterStop).size() - Lines(streams).size();
    leftovers.Watch("streams open at the sim", [open] { return open; });
    outcome.streamLines = afterStop;
    std::vector<std::string> lines = Lines(afterStop);
    EXPECT_EQ(lines.size(), scenario.streams) << afterStop;
    for (const std::string& line : lines) {
        rapidjson::Document stream;
        stream.Parse<rapidjson::kParseValidateEncodingFlag>(line.c_str());
        EXPECT_FALSE(stream.HasParseError()) << line;
        if (stream.HasParseError())
            continue;
        EXPECT_EQ(JsonString(stream, "flavour"), flavour) << line;
        const rapidjson::Value* code = JsonAt(stream, "status/code");
        ASSERT_TRUE(code && code->IsInt()) << line;
        if (scenario.status >= 0) {
            EXPECT_EQ(code->GetInt(), scenario.status) << line;
        }
        outcome.streams.push_back(std::move(stream));
    }
    if (scenario.check)
        scenario.check(outcome);
    EXPECT_TRUE(leftovers.Check());
}

// The stream's first request, for the checks of one case.
const rapidjson::Value& FirstRequest(const Outcome& outcome) {
    static const rapidjson::Value kNull;
    if (outcome.streams.empty())
        return kNull;
    const rapidjson::Value* first = JsonAt(outcome.streams[0], "first_request");
    return first ? *first : kNull;
}

std::vector<Case> Cases() {
    const std::string dtmfGrammars =
        "<builtin-grammars>"
        "<builtin-grammar name=\"digits\" mode=\"dtmf\" input=\"text\" action=\"pizza.order\" "
        "parameter-name=\"size\" max-length=\"8\"/>"
        "<builtin-grammar name=\"keys\" mode=\"dtmf\" input=\"event\" action=\"pizza.order\" "
        "parameter-name=\"size\" max-length=\"8\"/>"
        "</builtin-grammars>";
    std::vector<Case> cases;

    // Speech, START-OF-INPUT with the first transcript, NLSML with intent and parameters.
    cases.push_back(Case("speech", Recognize("builtin:speech/transcribe") + kSpeak + kComplete)
                        .Check([](const Outcome& outcome) {
                            const rapidjson::Value* audio =
                                JsonAt(outcome.streams.at(0), "audio_bytes");
                            ASSERT_TRUE(audio && audio->IsUint64());
                            EXPECT_GT(audio->GetUint64(), 0u);
                        }));
    // The same with the query result as the JSON body.
    cases.push_back(Case("speech_json",
                         Recognize("builtin:speech/transcribe?format=json") + kSpeak + kComplete));
    // DTMF digits sent as a text query, then as an event (v2beta1: a telephony DTMF event;
    // CX: a DTMF input with the finish digit).
    cases.push_back(Case("dtmf_text", Recognize("builtin:dtmf/digits", "DTMF-Term-Char: #\n") +
                                          "dtmf A 12#\n" + kComplete)
                        .Elements(dtmfGrammars)
                        .Log("Init DTMF Request: name=digits, digits=12, language=en-US, "
                             "input=text"));
    cases.push_back(Case("dtmf_event", Recognize("builtin:dtmf/keys", "DTMF-Term-Char: #\n") +
                                           "dtmf A 12#\n" + kComplete)
                        .Elements(dtmfGrammars)
                        .Log("Init DTMF Request: name=keys, digits=12, language=en-US, "
                             "input=event"));
    // An event grammar: no input, the event goes out at once.
    cases.push_back(Case("event", Recognize("builtin:event/order") + kComplete)
                        .Check([](const Outcome& outcome) {
                            const rapidjson::Value& first = FirstRequest(outcome);
                            if (outcome.flavour == "v3beta1") {
                                EXPECT_EQ(JsonString(first, "queryInput/intent/intent"),
                                          "projects/zeph-test-project/locations/global/agents/"
                                          "e2e-agent/intents/order");
                            } else {
                                EXPECT_EQ(JsonString(first, "queryInput/event/name"), "order");
                            }
                        }));
    // Silence only: the no-input timer ends the recognition and the stream.
    cases.push_back(
        Case("no_input", Recognize("builtin:speech/transcribe", "No-Input-Timeout: 500\n") +
                             "silence A 3000\n" + kComplete)
            .Realtime()
            .Status(-1));
    // STOP and close in the middle of a stream: the first transcript (and so START-OF-INPUT)
    // shows that the stream is up and audio flows; the utterance has not ended yet.
    const std::string longSpeech = "audio A speech.wav\naudio A speech.wav\naudio A speech.wav\n";
    const std::string midStream = Recognize("builtin:speech/transcribe") + longSpeech +
                                  "wait A START-OF-INPUT timeout=30000\n";
    cases.push_back(
        Case("stop", midStream + Request("STOP", 2) + "close A\n")
            .Agent(kUnending)
            .Realtime()
            .Status(-1)
            .Check([](const Outcome& outcome) {
                // No RECOGNITION-COMPLETE; the record tells how it ended.
                ASSERT_EQ(outcome.records.size(), 1u);
                EXPECT_EQ(JsonString(outcome.records[0], "recog-details-record/completion-cause"),
                          "cancelled");
            }));
    cases.push_back(Case("close", midStream + "close A\n")
                        .Agent(kUnending)
                        .Realtime()
                        .Status(-1)
                        .Check([](const Outcome& outcome) {
                            EXPECT_TRUE(JsonAt(outcome.streams.at(0), "cancelled")->IsTrue());
                        }));
    // No transcript within the inter-result timeout after the interim one: the input ends
    // there and the result comes with the half-close.
    cases.push_back(Case("inter_result_timeout",
                         Recognize("builtin:speech/transcribe?inter-result-timeout=300") +
                             longSpeech + kComplete)
                        .Agent(kUnending)
                        .Realtime()
                        .Log("Inter-result Timeout Elapsed <A@zeph>"));
    // An interim transcript that is a complete phrase of a speech-complete context ends the
    // input.
    cases.push_back(
        Case("phrase_match", Recognize("builtin:speech/sizes") + longSpeech + kComplete)
            .Elements("<speech-contexts><speech-context id=\"sizes\" speech-complete=\"true\">"
                      "<phrase>a large</phrase><phrase>small</phrase></speech-context>"
                      "</speech-contexts>")
            .Agent(R"({"intents": [{"name": "order", "display_name": "Order Pizza"}],
                       "utterances": [{"interim": [{"at_bytes": 1600, "transcript": "a large"}],
                                       "end_of_utterance": "never",
                                       "transcript": "a large pizza", "intent": "order"}]})")
            .Realtime()
            .Log("Phrase Matched [a large] <A@zeph>"));
    // The agent's spoken answer is saved and named in the result.
    cases.push_back(
        Case("output_audio", Recognize("builtin:speech/transcribe") + kSpeak + kComplete)
            .Streaming("generate-output-audio=\"true\"")
            .Check([](const Outcome& outcome) {
                std::vector<std::string> files = FilesIn(outcome.root + "/var/utterances");
                ASSERT_EQ(files.size(), 2u);  // the caller's and the agent's
                EXPECT_NE(outcome.messages.find("<output_audio_uri>"), std::string::npos);
            }));
    // Query parameters from Vendor-Specific-Parameters reach the service.
    cases.push_back(
        Case("query_parameters", Recognize("builtin:speech/transcribe",
                                           "Vendor-Specific-Parameters: timeZone=Europe/Paris;"
                                           "payload={\"caller\":\"e2e\"}\n") +
                                     kSpeak + kComplete)
            .Check([](const Outcome& outcome) {
                const rapidjson::Value& first = FirstRequest(outcome);
                EXPECT_EQ(JsonString(first, "queryParams/timeZone"), "Europe/Paris");
                EXPECT_EQ(JsonString(first, "queryParams/payload/caller"), "e2e");
            }));
    // A channel with a credentials file of its own: its key signs, its project is used.
    cases.push_back(
        Case("channel_credentials", Recognize("builtin:event/order") + kComplete)
            .Attributes("gapp-credentials-file=" +
                        ZephTest::TestCredentialsFile("service-account-2.json"))
            .SimArgs({"--credentials", ZephTest::TestCredentialsFile("service-account-2.json")})
            .Check([](const Outcome& outcome) {
                EXPECT_NE(JsonString(outcome.streams.at(0), "session")
                              .find("projects/zeph-other-project/"),
                          std::string::npos);
                EXPECT_NE(
                    JsonString(outcome.streams.at(0), "jwt_issuer").find("zeph-other-project"),
                    std::string::npos);
            }));
    // Save-Waveform: the URI names the saved file, which holds what the sim received.
    cases.push_back(
        Case("save_waveform",
             Recognize("builtin:speech/transcribe", "Save-Waveform: true\n") + kSpeak + kComplete)
            .Check([](const Outcome& outcome) {
                std::vector<std::string> files = FilesIn(outcome.root + "/var/utterances");
                ASSERT_EQ(files.size(), 1u);
                uintmax_t size =
                    std::filesystem::file_size(outcome.root + "/var/utterances/" + files[0]);
                const rapidjson::Value* audio = JsonAt(outcome.streams.at(0), "audio_bytes");
                ASSERT_TRUE(audio && audio->IsUint64());
                EXPECT_EQ(size, audio->GetUint64() + 44);
                // "<URI>;size=N;duration=M": the file's audio, 16 bytes a ms.
                std::string uri = std::string(kBaseUri) + "/" + files[0] + ">";
                size_t at = outcome.messages.find(uri);
                ASSERT_NE(at, std::string::npos) << outcome.messages;
                unsigned long bytes = 0, ms = 0;
                ASSERT_EQ(std::sscanf(outcome.messages.c_str() + at + uri.size(),
                                      ";size=%lu;duration=%lu", &bytes, &ms),
                          2);
                EXPECT_EQ(bytes, audio->GetUint64());
                EXPECT_EQ(ms, bytes / 16);
                ASSERT_EQ(outcome.records.size(), 1u);
                EXPECT_EQ(JsonString(outcome.records[0], "recog-details-record/input/type"),
                          "speech");
            }));

    // A call's turns on one channel: speech, then DTMF, then an event; nothing of one
    // recognition leaks into the next.
    cases.push_back(Case("three_turns",
                         Recognize("builtin:speech/transcribe") + kSpeak +
                             "wait A RECOGNITION-COMPLETE timeout=30000\n" +
                             Request("RECOGNIZE", 2, "DTMF-Term-Char: #\n", "builtin:dtmf/digits") +
                             "dtmf A 12#\nwait A RECOGNITION-COMPLETE "
                             "timeout=30000\n" +
                             Request("RECOGNIZE", 3, "", "builtin:event/order") + kComplete)
                        .Elements(dtmfGrammars)
                        .Streams(3));
    // MRCPv1: confidence as an integer percentage, the request's own wire format.
    cases.push_back(Case("mrcp_v1",
                         "send A <<END\nRECOGNIZE 1 MRCP/1.0\nConfidence-Threshold: 50\n"
                         "Content-Type: text/uri-list\n\n"
                         "builtin:speech/transcribe\nEND\nwait A response\n" +
                             std::string(kSpeak) + kComplete)
                        .Attributes("version=1"));
    // A 16 kHz channel.
    cases.push_back(Case("speech_16k", Recognize("builtin:speech/transcribe") +
                                           "audio A speech-16k.wav\nsilence A 1500\n" + kComplete)
                        .Attributes("rate=16000")
                        .Check([](const Outcome& outcome) {
                            EXPECT_FALSE(FirstRequest(outcome).IsNull());
                            const rapidjson::Value* rate =
                                JsonAt(FirstRequest(outcome),
                                       outcome.flavour == "v3beta1"
                                           ? "queryInput/audio/config/sampleRateHertz"
                                           : "queryInput/audioConfig/sampleRateHertz");
                            ASSERT_TRUE(rate && rate->IsInt());
                            EXPECT_EQ(rate->GetInt(), 16000);
                        }));
    // A speech context defined by DEFINE-GRAMMAR and used by its Content-Id: its phrases go
    // out as hints.
    cases.push_back(
        Case("session_grammar",
             "send A <<END\nMRCP/2.0 0 DEFINE-GRAMMAR 1\nContent-Type: application/xml\n"
             "Content-Id: menu\n\n<speech-context><phrase>a large pizza</phrase>"
             "<phrase>a small pizza</phrase></speech-context>\nEND\nwait A response\n" +
                 Request("RECOGNIZE", 2, "", "session:menu") + kSpeak + kComplete)
            .Check([](const Outcome& outcome) {
                EXPECT_NE(outcome.streamLines.find("\"a small pizza\""), std::string::npos)
                    << outcome.streamLines;
            }));
    // The caller starts to speak, then presses keys before the service has transcribed
    // anything (a byte-timed script: no transcript before the half-close): the speech stream's
    // result is skipped and the digits go out on a stream of their own.
    cases.push_back(
        Case("dtmf_barge_in",
             Recognize("builtin:speech/transcribe\nbuiltin:dtmf/digits", "DTMF-Term-Char: #\n") +
                 "audio A speech-cut.wav\ndtmf A 12#\n" + kComplete)
            .Elements(dtmfGrammars)
            .Agent(R"({"intents": [{"name": "order", "display_name": "Order Pizza",
                                    "action": "pizza.order", "parameters": {"size": "large"},
                                    "dtmf": ["12"], "texts": ["12"]}],
                       "utterances": [{"end_of_utterance": 1000000,
                                       "transcript": "a large pizza", "intent": "order"}]})")
            .Realtime()
            .Streams(2)
            .Status(-1));
    // A result below the Confidence-Threshold is no match, with the result still attached.
    cases.push_back(Case("below_threshold",
                         Recognize("builtin:speech/transcribe", "Confidence-Threshold: 0.95\n") +
                             kSpeak + kComplete));
    // Speech and DTMF grammars together; the caller speaks.
    cases.push_back(
        Case("speech_or_dtmf",
             Recognize("builtin:speech/transcribe\nbuiltin:dtmf/digits") + kSpeak + kComplete)
            .Elements(dtmfGrammars));
    // Timers held back until START-INPUT-TIMERS: no no-input before it, then no-input.
    cases.push_back(
        Case("start_input_timers", Recognize("builtin:speech/transcribe",
                                             "Start-Input-Timers: false\nNo-Input-Timeout: 300\n") +
                                       "silence A 1000\n" + Request("START-INPUT-TIMERS", 2) +
                                       "silence A 2000\n" + kComplete)
            .Realtime()
            .Status(-1));

    // Every fault the sim can inject.
    const std::string speech = Recognize("builtin:speech/transcribe") + kSpeak + kComplete;
    cases.push_back(Case("fault_refuse", speech)
                        .Agent(FaultAgent(
                            R"({"refuse": {"code": "PERMISSION_DENIED", "message": "no access"}})"))
                        .Status(7)
                        .Log("gRPC Status: no access <A@zeph>"));
    cases.push_back(Case("fault_refuse_after_first_request", speech)
                        .Agent(R"({"utterances": [{"transcript": "x", "faults": {"refuse":
                       {"code": "RESOURCE_EXHAUSTED", "message": "quota"}}}]})")
                        .Streams(3)  // a transient refusal: retried, up to three attempts
                        .Status(8)
                        .Log("gRPC Status: quota <A@zeph>"));
    cases.push_back(Case("fault_delay_accept", speech)
                        .Agent(FaultAgent(R"({"delay_accept_ms": 500})"))
                        .Realtime());
    cases.push_back(Case("fault_delay_answer", speech)
                        .Agent(FaultAgent(R"({"delay_answer_ms": 300})"))
                        .Realtime());
    cases.push_back(Case("fault_abort_after_bytes", speech)
                        .Agent(FaultAgent(R"({"abort_after_bytes": 4000})"))
                        .Status(10)
                        .Log("gRPC Status: Scripted abort. <A@zeph>"));
    // A reset throws away what the client has not read yet: the reset comes well after the
    // interim (at 3200 bytes) in time, so that START-OF-INPUT, which the interim brings, is
    // always sent.
    cases.push_back(Case("fault_reset_after_bytes", speech)
                        .Agent(FaultAgent(R"({"reset_after_bytes": 8000})"))
                        .Realtime()
                        .Status(-1));
    cases.push_back(Case("fault_end_without_result", speech)
                        .Agent(FaultAgent(R"({"end_without_result": true})")));
    cases.push_back(Case("fault_no_end_of_utterance", speech)
                        .Agent(FaultAgent(R"({"no_end_of_utterance": true})")));
    cases.push_back(Case("fault_stall", speech)
                        .Agent(FaultAgent(R"({"stall": true})"))
                        .Streaming("result-timeout=\"500\"")
                        .Status(-1)
                        .Log("No Result within Result Timeout [500 ms]: Cancel Stream <A@zeph>"));

    // The service's answers as documented, and the variants it may choose, each in every
    // flavour (a CX "match" of a turn means nothing to ES, which answers as it does).
    auto turn = [](const std::string& json) {
        std::string agent = kAgent;
        return agent.substr(0, agent.find("\"utterances\"")) + "\"utterances\": [" + json + "]}";
    };
    // Several final portions, the last without a confidence: the utterance is all of them,
    // as certain as its least certain portion.
    cases.push_back(Case("finals", speech)
                        .Agent(turn(R"({"finals": [{"transcript": "a large", "confidence": 0.82},
                                                   {"transcript": " pizza", "confidence": 0.64},
                                                   {"transcript": " please"}],
                                        "intent": "order"})")));
    // Continuous recognition: a final portion at each pause while the audio still flows.
    cases.push_back(
        Case("continuous", Recognize("builtin:speech/transcribe") +
                               "audio A speech.wav\nsilence A 700\n" + kSpeak + kComplete)
            .Streaming("single-utterance=\"false\"")
            .Agent(turn(R"({"finals": [{"transcript": "a large pizza", "confidence": 0.9},
                                                   {"transcript": " a large pizza", "confidence": 0.7}],
                                        "intent": "order"})")));
    // The service heard no speech (the audio it gets begins with a second of silence): the
    // empty result is no input, not a success with nothing in it.
    cases.push_back(Case("no_speech", speech)
                        .Elements("<speech-dtmf-input-detector speech-leading-silence=\"1000\"/>")
                        .Agent(turn(R"({"no_speech_timeout_ms": 500, "transcript": "a large pizza",
                                        "intent": "order"})")));
    // The service hears no speech in the first stream and ends it at once with the empty
    // result, while the caller goes on to speak (in real time: the detector has not ended
    // the input when the result comes): with "skip-empty-results" the empty result is
    // dropped and a new stream hears the utterance; without it the empty result ends the
    // input and is the answer (no match: the caller's sound was heard here), and nothing
    // more goes to the service.
    const std::string emptyFirst = turn(
        R"({"no_speech_timeout_ms": 500, "end_stream_early": true, "transcript": "a large pizza",
            "intent": "order"}, {"transcript": "a large pizza", "intent": "order"})");
    const std::string leadingSilence =
        "<speech-dtmf-input-detector speech-leading-silence=\"1000\"/>";
    cases.push_back(Case("skip_empty_result", speech)
                        .Elements(leadingSilence)
                        .Agent(emptyFirst)
                        .Realtime()
                        .Streams(2));
    cases.push_back(Case("keep_empty_result", speech)
                        .Elements(leadingSilence)
                        .Streaming("skip-empty-results=\"false\"")
                        .Agent(emptyFirst)
                        .Realtime());
    // The agent's answer comes after the result, in three chunks whose messages carry sparse
    // query results: one WAV file as the agent made it, and the full result.
    cases.push_back(Case("output_audio_chunks", speech)
                        .Streaming("generate-output-audio=\"true\"")
                        .Agent(turn(R"({"transcript": "a large pizza", "intent": "order",
                            "audio_delivery": {"after_result": true, "chunks": 3,
                                               "sparse_query_result": true}})"))
                        .Check([](const Outcome& outcome) {
                            std::vector<std::string> files =
                                FilesIn(outcome.root + "/var/utterances");
                            ASSERT_EQ(files.size(), 2u);  // the caller's and the agent's
                            std::string answer =
                                files[0].find("-1-1.") != std::string::npos ? files[0] : files[1];
                            EXPECT_EQ(ReadFile(outcome.root + "/var/utterances/" + answer),
                                      ReadFile(outcome.root + "/answer.wav"))
                                << answer;
                            EXPECT_NE(outcome.messages.find("Order Pizza"), std::string::npos);
                        }));
    // The service ends the stream with its result right after the end of the utterance,
    // before the half-close, while audio is still on its way: the result counts.
    cases.push_back(Case("end_stream_early", speech)
                        .Agent(turn(R"({"transcript": "a large pizza", "intent": "order",
                                        "end_stream_early": true})")));
    // CX form filling: the answer fills a parameter of the page, no intent is matched.
    cases.push_back(
        Case("parameter_filling", speech).Agent(turn(R"({"transcript": "large", "intent": "order",
                                        "match": {"type": "PARAMETER_FILLING",
                                                  "parameters": {"size": "large"}}})")));
    // CX no input: the service's NO_INPUT match.
    cases.push_back(
        Case("cx_no_input", speech).Agent(turn(R"({"transcript": "a large pizza", "intent": "order",
                                        "match": {"type": "NO_INPUT"}})")));
    return cases;
}

const std::vector<std::string> kFlavours = {"v2", "v2beta1", "v3beta1"};

INSTANTIATE_TEST_SUITE_P(Flavours, EndToEnd,
                         ::testing::Combine(::testing::ValuesIn(Cases()),
                                            ::testing::ValuesIn(kFlavours)),
                         [](const ::testing::TestParamInfo<EndToEnd::ParamType>& info) {
                             return std::get<0>(info.param).name + "_" + std::get<1>(info.param);
                         });

}  // namespace
