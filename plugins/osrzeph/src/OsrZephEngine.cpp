#include "OsrZephEngine.h"

#include <apr_env.h>
#include <apr_file_info.h>
#include <apr_general.h>
#include <grpcpp/security/credentials.h>

#include <climits>

#include "OsrRdrManager.h"
#include "OsrUtteranceManager.h"
#include "OsrZephChannel.h"
#include "OsrZephLog.h"
#include "OsrZephStream.h"
#include "OsrZephTask.h"

namespace Zeph {

namespace {

// Deletes its channel on the event processor thread, behind every event posted for the
// channel before it. Released unprocessed (refused while the engine closes, or left by a
// processor whose thread ended early), it hands the channel to the engine, which deletes
// it once the processor's thread is gone.
class ChannelDestroyEvent : public OstEdpf::AsyncEvent {
public:
    explicit ChannelDestroyEvent(Channel* channel) : m_channel(channel) {}
    ~ChannelDestroyEvent() override {
        if (m_channel)
            m_channel->GetEngine()->RetireChannel(m_channel);
    }

    // A channel destroyed without a close would still be counted and dumped: forget it.
    void Process() override {
        Engine* engine = m_channel->GetEngine();
        if (engine->HasChannel(m_channel))
            engine->OnCloseChannel(m_channel);
        delete m_channel;
        m_channel = nullptr;
    }

private:
    Channel* m_channel;
};

// The longest usage refresh period: its line prints the seconds as an int, and in
// milliseconds it stays far inside the timer's range.
constexpr long kMaxRefreshPeriod = INT_MAX;

}  // namespace

Engine::Engine(const std::string& name) : m_name(name) {
    m_aprInitialized = apr_initialize() == APR_SUCCESS;
    if (!m_aprInitialized)
        apr_terminate();
}

Engine::~Engine() {
    DestroyEventProcessor();
    DeleteRetiredChannels();
    // Normally gone with the processor; a processor that never started leaves them here.
    Cleanup();
    DestroyLogger();
    if (m_aprInitialized)
        apr_terminate();
}

bool Engine::Open() {
    if (!m_settings.LoadConfig("osrzeph.xml", "osrzeph", m_hostEngine->dir_layout,
                               m_hostEngine->pool)) {
        const char* path =
            apt_confdir_filepath_get(m_hostEngine->dir_layout, "osrzeph.xml", m_hostEngine->pool);
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_ERROR, "Failed to Load OSR ZEPH Config [%s]",
                path ? path : "osrzeph.xml");
        return false;
    }
    CreateLogger();
    if (!CreateEventProcessor()) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_ERROR, "Failed to Create Event Processor");
        return false;
    }
    return true;
}

bool Engine::Close() {
    DestroyEventProcessor();
    DeleteRetiredChannels();
    DestroyLogger();
    mrcp_engine_close_respond(m_hostEngine);
    return true;
}

bool Engine::OnStart(OstEdpf::SoftEventProcessor* /*processor*/) {
    bool result = ProcessStart();
    mrcp_engine_open_respond(m_hostEngine, result ? TRUE : FALSE);
    return result;
}

void Engine::OnShutdown(OstEdpf::SoftEventProcessor* /*processor*/) {
    ProcessShutdown();
}

void Engine::OnTimeoutElapsed(OstEdpf::Timer* timer) {
    if (timer != m_usageRefreshTimer)
        return;
    Report(m_settings.m_monitoring.m_usageRefreshHandler);
}

bool Engine::ProcessStart() {
    OnUsageChange();
    if (!ProcessOpen()) {
        Cleanup();
        return false;
    }
    if (!CreateManagers()) {
        Cleanup();
        return false;
    }
    OnUsageChange();
    StartUsageRefreshTimer();
    return true;
}

bool Engine::ProcessOpen() {
    const StreamingRecogSettings& streaming = m_settings.m_streaming;
    if (!streaming.m_grpcLogVerbosity.empty()) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE, "Set gRPC Verbosity %s",
                streaming.m_grpcLogVerbosity.c_str());
        SetEnv("GRPC_VERBOSITY", streaming.m_grpcLogVerbosity);
    }
    if (!streaming.m_grpcLogTrace.empty()) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE, "Set gRPC Trace %s",
                streaming.m_grpcLogTrace.c_str());
        SetEnv("GRPC_TRACE", streaming.m_grpcLogTrace);
    }
    if (streaming.m_grpcLogRedirection) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE, "Enable gRPC Log Redirection");
        EnableGrpcLogRedirection();
        m_grpcLogRedirected = true;
    }
    if (!m_settings.m_sslRootsFile.empty()) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE, "Set SSL Roots %s",
                m_settings.m_sslRootsFile.c_str());
        SetEnv("GRPC_DEFAULT_SSL_ROOTS_FILE_PATH", m_settings.m_sslRootsFile);
    }
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE, "Set Google App Credentials %s",
            m_settings.m_credentialsFile.c_str());
    SetEnv("GOOGLE_APPLICATION_CREDENTIALS", m_settings.m_credentialsFile);

    // gRPC would only dump what went wrong with the file, and then with a file the operator
    // never named: the file is checked first.
    std::string key;
    std::string problem;
    if (EngineSettings::ReadCredentialsFile(m_settings.m_credentialsFile, key, problem))
        problem = EngineSettings::CheckServiceAccountKey(key);
    if (!problem.empty()) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_ERROR,
                "Failed to Create Google Credentials: %s %s", m_settings.m_credentialsFile.c_str(),
                problem.c_str());
        return false;
    }
    m_defaultProfile.m_credentials = grpc::GoogleDefaultCredentials();
    if (!m_defaultProfile.m_credentials) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Create Google Credentials");
        return false;
    }
    m_defaultProfile.m_projectId = streaming.m_projectId;
    m_profiles.emplace(m_settings.m_credentialsFile, m_defaultProfile);

    if (!streaming.m_httpProxy.empty()) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE, "Set HTTP Proxy %s",
                streaming.m_httpProxy.c_str());
        SetEnv("http_proxy", streaming.m_httpProxy);
    }
    m_connectionPool.SetChannelsPerConnection(streaming.m_channelsPerConnection);
    return CreateGrpcTask();
}

void Engine::ProcessShutdown() {
    // No completion is processed after this: every open stream is cancelled and its
    // recognition answered now; the queue then drains when the task stops.
    ShutdownStreams();
    OnUsageChange();
    // The processor's timer queue deletes the timer with the processor.
    m_usageRefreshTimer = nullptr;
    StopGrpcLogRedirection();
    Cleanup();
}

void Engine::ShutdownStreams() {
    for (Channel* channel : std::list<Channel*>(m_channels)) {
        if (auto* method = dynamic_cast<StreamingMethod*>(channel->GetMethod()))
            method->Shutdown();
        // What waited for the stream to finish is answered now.
        mrcp_message_t* request = nullptr;
        mrcp_message_t* response = nullptr;
        while (channel->TakeDeferredRequest(request, response)) {
            Channel::ComposeResponse(response, MRCP_STATUS_CODE_METHOD_FAILED,
                                     RECOGNIZER_COMPLETION_CAUSE_ERROR);
            channel->SendMessage(response);
        }
        channel->ProcessPendingClose();
    }
}

void Engine::Cleanup() {
    // Channels still open keep their connections until they are deleted.
    m_connectionPool.Clear();
    DestroyGrpcTask();
    DestroyManagers();
    // The log function lives in this library: after a failed start (no shutdown runs on the
    // processor then) it must not stay installed in gRPC either.
    StopGrpcLogRedirection();
}

void Engine::StopGrpcLogRedirection() {
    if (!m_grpcLogRedirected)
        return;
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE, "Disable gRPC Log Redirection");
    DisableGrpcLogRedirection();
    m_grpcLogRedirected = false;
}

bool Engine::CreateLogger() {
    if (m_loggerCreated)
        return true;
    OstEdpf::Logger* logger = OstEdpf::Logger::CreateInstance();
    m_loggerCreated = true;
    auto* device = new LogRedirectDevice();
    if (!logger->AddLogDevice(device))
        delete device;  // the process's logger already has its device
    logger->Start();
    return true;
}

void Engine::DestroyLogger() {
    if (!m_loggerCreated)
        return;
    OstEdpf::Logger::DestroyInstance();
    m_loggerCreated = false;
}

bool Engine::CreateEventProcessor() {
    if (m_eventProcessor)
        return false;
    m_eventProcessor = new OstEdpf::SoftEventProcessor();
    m_eventProcessor->AddObserver(this);
    m_mediaBatch.SetProcessor(m_eventProcessor);
    {
        std::lock_guard<std::mutex> lock(m_retiredMutex);
        m_processorThreadGone = false;
    }
    if (!m_eventProcessor->Start()) {
        m_mediaBatch.SetProcessor(nullptr);
        delete m_eventProcessor;
        m_eventProcessor = nullptr;
        std::lock_guard<std::mutex> lock(m_retiredMutex);
        m_processorThreadGone = true;
        return false;
    }
    return true;
}

void Engine::DestroyEventProcessor() {
    if (!m_eventProcessor)
        return;
    // Detector output still waiting is handled before the processor stops.
    m_mediaBatch.HandOver();
    m_eventProcessor->Shutdown(true);
    m_mediaBatch.SetProcessor(nullptr);
    delete m_eventProcessor;
    m_eventProcessor = nullptr;
}

bool Engine::CreateGrpcTask() {
    if (m_grpcTask)
        return false;
    m_grpcTask = new Task("GRPC");
    if (!m_grpcTask->Create(m_hostEngine->pool) || !m_grpcTask->Start()) {
        // Never started: nothing waits on its queue.
        m_grpcTask->Destroy();
        delete m_grpcTask;
        m_grpcTask = nullptr;
        return false;
    }
    return true;
}

void Engine::DestroyGrpcTask() {
    if (!m_grpcTask)
        return;
    m_grpcTask->Terminate();
    m_grpcTask->Destroy();
    delete m_grpcTask;
    m_grpcTask = nullptr;
}

bool Engine::CreateManagers() {
    return CreateUttManager() && CreateRdrManager();
}

bool Engine::CreateUttManager() {
    if (m_utteranceManager) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Utterance Manager Already Exists");
        return false;
    }
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Create Utterance Manager");
    m_utteranceManager = new UtteranceManager(m_settings.m_utteranceManager);
    m_utteranceManager->SetTimerProcessor(m_eventProcessor);
    if (!m_utteranceManager->LoadFileEntries()) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Create Utterance Manager");
        return false;
    }
    return true;
}

bool Engine::CreateRdrManager() {
    if (m_rdrManager) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "RDR Manager Already Exists");
        return false;
    }
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Create RDR Manager");
    m_rdrManager = new RdrManager(m_settings.m_rdrManager);
    m_rdrManager->SetTimerProcessor(m_eventProcessor);
    if (!m_rdrManager->LoadFileEntries()) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Create RDR Manager");
        return false;
    }
    return true;
}

void Engine::DestroyManagers() {
    if (m_utteranceManager) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Destroy Utterance Manager");
        delete m_utteranceManager;
        m_utteranceManager = nullptr;
    }
    if (m_rdrManager) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Destroy RDR Manager");
        delete m_rdrManager;
        m_rdrManager = nullptr;
    }
}

void Engine::StartUsageRefreshTimer() {
    const MonitoringSettings& monitoring = m_settings.m_monitoring;
    if (!monitoring.m_usageRefreshHandler.IsEnabled())
        return;
    if (monitoring.m_refreshPeriod <= 0) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Invalid Usage Refresh Period [%ld sec]", monitoring.m_refreshPeriod);
        return;
    }
    long period = monitoring.m_refreshPeriod;
    if (period > kMaxRefreshPeriod) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Usage Refresh Period [%ld sec] Above Maximum, Using [%ld sec]", period,
                kMaxRefreshPeriod);
        period = kMaxRefreshPeriod;
    }
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Set Usage Refresh Timer [%d sec]",
            static_cast<int>(period));
    auto* timer = new OstEdpf::Timer(this, static_cast<int64_t>(period) * 1000,
                                     OstEdpf::Timer::PERIODIC, OstEdpf::Timer::LIFETIME_QUEUE);
    if (!timer->Start(m_eventProcessor)) {
        delete timer;  // never reached the queue
        return;
    }
    m_usageRefreshTimer = timer;
}

Usage Engine::GetUsage() const {
    Usage usage;
    usage.m_current = m_channels.size();
    usage.m_peak = m_peakChannels;
    usage.m_turnTiming = &m_turnTimingStats;
    if (m_hostEngine && m_hostEngine->config)
        usage.m_max = m_hostEngine->config->max_channel_count;
    return usage;
}

ChannelIds Engine::GetChannelIds() const {
    ChannelIds ids;
    ids.reserve(m_channels.size());
    for (const Channel* channel : m_channels)
        ids.emplace_back(channel->GetId());
    return ids;
}

void Engine::Report(const MonitoringHandler& handler) const {
    // Ids only when they are dumped.
    ReportUsage(handler, GetUsage(),
                handler.m_dumpChannels.m_enable ? GetChannelIds() : ChannelIds());
}

void Engine::OnUsageChange() {
    Report(m_settings.m_monitoring.m_usageChangeHandler);
}

mrcp_engine_channel_t* Engine::CreateChannel(apr_pool_t* pool) {
    auto* channel = new Channel(this);
    mpf_stream_capabilities_t* capabilities =
        mpf_stream_capabilities_create(STREAM_DIRECTION_SEND, pool);
    mpf_codec_capabilities_add(&capabilities->codecs, MPF_SAMPLE_RATE_8000 | MPF_SAMPLE_RATE_16000,
                               MPF_CODEC_LPCM);
    mpf_termination_t* termination = mrcp_engine_audio_termination_create(
        channel, Channel::GetAudioStreamVtable(), capabilities, pool);
    mrcp_engine_channel_t* hostChannel = mrcp_engine_channel_create(
        m_hostEngine, Channel::GetMethodVtable(), channel, termination, pool);
    if (!hostChannel) {
        // The server never destroys a channel it did not get.
        delete channel;
        return nullptr;
    }
    channel->SetHostChannel(hostChannel);
    return hostChannel;
}

void Engine::DestroyChannel(Channel* channel) {
    auto* event = new ChannelDestroyEvent(channel);
    event->Ref();
    PostEvent(event);  // released (retiring the channel) if refused
}

bool Engine::PostEvent(OstEdpf::AsyncEvent* event) {
    // What the media threads produced before this call is handled before it.
    m_mediaBatch.HandOver();
    if (!m_eventProcessor) {
        event->Unref();
        return false;
    }
    return m_eventProcessor->PostEvent(event);
}

void Engine::RetireChannel(Channel* channel) {
    {
        std::lock_guard<std::mutex> lock(m_retiredMutex);
        if (!m_processorThreadGone) {
            // The processor's thread may still read the channel (its last events, the
            // final usage report): deleted after the join.
            m_retiredChannels.push_back(channel);
            return;
        }
    }
    // No processor thread any more: the channel list is the server thread's now.
    m_channels.remove(channel);
    delete channel;
}

void Engine::DeleteRetiredChannels() {
    std::list<Channel*> retired;
    {
        std::lock_guard<std::mutex> lock(m_retiredMutex);
        m_processorThreadGone = true;
        retired.swap(m_retiredChannels);
    }
    for (Channel* channel : retired) {
        m_channels.remove(channel);
        delete channel;
    }
}

void Engine::OnOpenChannel(Channel* channel) {
    m_channels.push_back(channel);
    if (m_channels.size() > m_peakChannels)
        m_peakChannels = m_channels.size();
    OnUsageChange();
}

bool Engine::HasChannel(const Channel* channel) const {
    for (const Channel* open : m_channels) {
        if (open == channel)
            return true;
    }
    return false;
}

void Engine::OnCloseChannel(Channel* channel) {
    m_channels.remove(channel);
    OnUsageChange();
}

bool Engine::FindCredentials(const std::string& path, CredentialsProfile& profile) const {
    auto it = m_profiles.find(path);
    if (it == m_profiles.end())
        return false;
    profile = it->second;
    return true;
}

bool Engine::CreateCredentials(const std::string& path, CredentialsProfile& profile) {
    CredentialsProfile created = profile;
    std::string json;
    if (!EngineSettings::LoadCredentialsFile(path, json, created.m_projectId)) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
                "Failed to Load Google Credentials File");
        return false;
    }
    const std::string problem = EngineSettings::CheckServiceAccountKey(json);
    if (!problem.empty()) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_ERROR,
                "Failed to Load Google Credentials File: %s %s", path.c_str(), problem.c_str());
        return false;
    }
    const long tokenLifetimeSeconds = 3600;
    std::shared_ptr<grpc::CallCredentials> callCredentials =
        grpc::ServiceAccountJWTAccessCredentials(json, tokenLifetimeSeconds);
    if (!callCredentials) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Create Call Credentials");
        return false;
    }
    created.m_credentials = grpc::CompositeChannelCredentials(
        grpc::SslCredentials(grpc::SslCredentialsOptions()), callCredentials);
    if (!created.m_credentials) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Create Google Credentials");
        return false;
    }
    profile = created;
    m_profiles.emplace(path, created);
    return true;
}

bool Engine::GetCredentialsFilePath(std::string& path, const std::string& name,
                                    apr_pool_t* pool) const {
    const char* dataDir =
        apt_dir_layout_path_get(m_hostEngine->dir_layout, APT_LAYOUT_DATA_DIR, pool);
    if (!dataDir)
        return false;
    path = name;
    return ResolvePath(path, dataDir, pool);
}

void Engine::SetEnv(const char* name, const std::string& value) {
    apr_env_set(name, value.c_str(), m_hostEngine->pool);
}

}  // namespace Zeph
