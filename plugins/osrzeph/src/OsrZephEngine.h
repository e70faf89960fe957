// The recognizer engine: configuration, the event processor that carries all channel work,
// the gRPC completion-queue task, Google credentials, channel bookkeeping and usage reports.
#pragma once

#include <grpcpp/security/credentials.h>

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <ostedpf/OstEdpfSoftEventProcessor.h>
#include <ostedpf/OstEdpfTimer.h>
#include <ostrin/mrcp_engine.h>

#include "OsrZephConnectionPool.h"
#include "OsrZephMediaBatch.h"
#include "OsrZephSettings.h"
#include "OsrZephUsage.h"

namespace Zeph {

class Channel;
class RdrManager;
class Task;
class UtteranceManager;

// The Google project and the channel credentials a channel authenticates with. Copies
// share the credentials object.
struct CredentialsProfile {
    std::string m_projectId;
    std::shared_ptr<grpc::ChannelCredentials> m_credentials;
};

// One per process (mrcp_plugin_create refuses a second).
//
// Threads:
// - Server thread: construction, SetHostEngine, Open, Close, CreateChannel,
//   DestroyChannel, destruction.
// - Event processor thread: OnStart, OnShutdown, the refresh timer, OnOpenChannel,
//   OnCloseChannel, FindCredentials, CreateCredentials, GetCredentialsFilePath, and
//   everything the channels do.
//   The channel list, the counters, the credentials profiles, the gRPC task, the
//   connection pool and the managers belong to this thread and have no lock.
// - The settings are written by Open (server thread, before the processor starts) and
//   only read afterwards.
class Engine : public OstEdpf::SoftEventProcessor::Observer, public OstEdpf::TimerHandler {
public:
    explicit Engine(const std::string& name);
    ~Engine() override;
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Loads the configuration and starts the event processor. TRUE means the answer to
    // the server's open follows from the processor's thread (OnStart).
    virtual bool Open();
    // Stops the processor (running ProcessShutdown on it), then answers the server.
    virtual bool Close();

    bool OnStart(OstEdpf::SoftEventProcessor* processor) override;
    void OnShutdown(OstEdpf::SoftEventProcessor* processor) override;
    void OnTimeoutElapsed(OstEdpf::Timer* timer) override;

    void SetHostEngine(mrcp_engine_t* hostEngine) { m_hostEngine = hostEngine; }
    mrcp_engine_t* GetHostEngine() const { return m_hostEngine; }
    const std::string& GetName() const { return m_name; }

    // The create_channel entry: a channel record for the server, or null.
    mrcp_engine_channel_t* CreateChannel(apr_pool_t* pool);
    // The channel destroy entry. The channel is deleted on the event processor thread
    // behind every event already posted for it, so that none of them runs on a deleted
    // channel, and a channel destroyed without a close leaves the channel list; without a
    // processor both happen at once.
    void DestroyChannel(Channel* channel);
    // A destroyed channel whose deletion the processor did not carry out (it refuses
    // events once the engine closes): deleted at once when the processor's thread is gone,
    // else once Close() has joined it. Any thread.
    void RetireChannel(Channel* channel);

    // Channel bookkeeping, reported as usage.
    void OnOpenChannel(Channel* channel);
    void OnCloseChannel(Channel* channel);
    bool HasChannel(const Channel* channel) const;

    // Copies the cached profile of a credentials file; FALSE when there is none.
    bool FindCredentials(const std::string& path, CredentialsProfile& profile) const;
    // Builds the profile of a service-account credentials file (self-signed JWT over TLS)
    // and caches it under `path`. `profile` is changed only on success.
    bool CreateCredentials(const std::string& path, CredentialsProfile& profile);
    // Resolves a credentials file name against the server's data directory.
    bool GetCredentialsFilePath(std::string& path, const std::string& name, apr_pool_t* pool) const;

    const EngineSettings& GetSettings() const { return m_settings; }
    const CredentialsProfile& GetDefaultProfile() const { return m_defaultProfile; }
    OstEdpf::SoftEventProcessor* GetEventProcessor() const { return m_eventProcessor; }
    // Server thread (or any but a media thread): posts the event to the processor behind
    // everything the media threads have handed to the media batch so far. FALSE (the event
    // released) without a running processor.
    bool PostEvent(OstEdpf::AsyncEvent* event);
    // Where the channels' detector output goes (media threads).
    MediaBatch& GetMediaBatch() { return m_mediaBatch; }
    Task* GetGrpcTask() const { return m_grpcTask; }
    ConnectionPool& GetConnectionPool() { return m_connectionPool; }
    // The channels' turn timings, for the usage status file.
    TurnTimingStats& GetTurnTimingStats() { return m_turnTimingStats; }
    // Null until the engine has started (and after it has stopped).
    UtteranceManager* GetUtteranceManager() const { return m_utteranceManager; }
    RdrManager* GetRdrManager() const { return m_rdrManager; }
    Usage GetUsage() const;
    // The open channels' ids, in order of opening.
    ChannelIds GetChannelIds() const;
    const std::list<Channel*>& GetChannels() const { return m_channels; }

private:
    bool ProcessStart();
    bool ProcessOpen();
    void ProcessShutdown();
    // Cancels every open stream and answers what waited for one.
    void ShutdownStreams();
    void Cleanup();

    bool CreateLogger();
    void DestroyLogger();
    bool CreateEventProcessor();
    void DestroyEventProcessor();
    bool CreateGrpcTask();
    void DestroyGrpcTask();
    // The utterance and RDR managers (file managers over the waveform and record folders)
    // are created after the gRPC task, with the event processor for their timers, and
    // destroyed after it. A manager whose folder cannot be loaded fails the open.
    bool CreateManagers();
    bool CreateUttManager();
    bool CreateRdrManager();
    void DestroyManagers();
    void StartUsageRefreshTimer();
    // After the processor's thread is gone: deletes the retired channels.
    void DeleteRetiredChannels();
    // Gives gRPC its own log function back, if the engine had replaced it.
    void StopGrpcLogRedirection();

    void OnUsageChange();
    // The usage report a monitoring handler asks for.
    void Report(const MonitoringHandler& handler) const;

    void SetEnv(const char* name, const std::string& value);

    std::string m_name;
    mrcp_engine_t* m_hostEngine = nullptr;
    OstEdpf::SoftEventProcessor* m_eventProcessor = nullptr;
    MediaBatch m_mediaBatch;
    Task* m_grpcTask = nullptr;
    ConnectionPool m_connectionPool{StreamingRecogSettings().m_channelsPerConnection};
    TurnTimingStats m_turnTimingStats;
    UtteranceManager* m_utteranceManager = nullptr;
    RdrManager* m_rdrManager = nullptr;
    CredentialsProfile m_defaultProfile;
    std::map<std::string, CredentialsProfile> m_profiles;
    EngineSettings m_settings;
    bool m_loggerCreated = false;
    bool m_grpcLogRedirected = false;
    std::list<Channel*> m_channels;
    uint64_t m_peakChannels = 0;
    // Owned by the processor's timer queue.
    OstEdpf::Timer* m_usageRefreshTimer = nullptr;
    bool m_aprInitialized = false;
    // Guards the two fields below, which DestroyChannel (via a refused event) and Close
    // may reach from different server threads.
    std::mutex m_retiredMutex;
    bool m_processorThreadGone = true;
    std::list<Channel*> m_retiredChannels;
};

}  // namespace Zeph
