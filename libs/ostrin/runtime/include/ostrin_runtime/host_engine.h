// The host runtime: an Ostrin server without a network. It loads a plugin, opens its engine,
// opens channels, hands them requests, feeds their audio streams from a media thread, and
// receives, checks and reports everything the plugin sends back.
//
// Threads:
//  - The server thread is the thread that creates the HostEngine: every public method is for
//    that thread only, and every plugin method table entry is called from it.
//  - The plugin answers from its own threads through the event tables; those handlers only
//    copy what was sent into the inbox (one mutex, one condition variable) and return. The
//    server thread drains the inbox in order while it waits (Pump, Wait*), so the observer
//    and the conformance checks run on the server thread.
//  - The media thread (MediaThread) writes frames; it is stopped before the engine closes.
// Channels are named by a key, never by pointer, in everything that crosses threads, and their
// records are watched (mrcp_engine_channel_watch): a plugin call on a channel that is gone is
// reported, and neither the record nor the message is read.
//
// Memory of requests: each request has a pool of its own, destroyed as soon as its final
// message (or the STOP response that ends it) has been handled, so that ASan catches a
// plugin that uses a finished request.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <ostrin/mrcp_engine.h>

#include "ostrin_runtime/conformance.h"
#include "ostrin_runtime/media_thread.h"
#include "ostrin_runtime/plugin_loader.h"

namespace OstrinRuntime {

struct HostOptions {
    std::string plugin_path;
    // Directory layout; an empty path leaves that directory unset. Set ones are created.
    std::string conf_dir, log_dir, data_dir, var_dir;
    size_t max_channels = 100;
    MediaPace pace = MediaPace::kRealtime;
    int open_timeout_ms = 15000;   // engine and channel open responses
    int close_timeout_ms = 15000;  // engine and channel close responses
    // The process's logger, when the host creates it (no other logger exists yet): stderr,
    // and "ostrin.log" in the log directory when that is set.
    apt_log_priority_e log_priority = APT_PRIO_NOTICE;
    // Delivered messages are kept for WaitForMessage. A driver that follows every message
    // through the message handler turns this off, so that a long run keeps nothing per
    // message.
    bool keep_messages = true;
};

// A message the plugin sent, as the server saw it.
struct PluginMessage {
    std::string channel;     // channel name
    int64_t elapsed_ms = 0;  // since the host was created
    // When the plugin handed it to the server (taken first thing on the plugin's thread);
    // steady_clock is CLOCK_MONOTONIC, so other processes' monotonic stamps compare with it.
    std::chrono::steady_clock::time_point sent_at;
    MessageInfo info;
    std::string name;              // event name, or the method of the request answered
    std::string completion_cause;  // "NNN name" when the header is present
    std::string content_type;
    std::string body;
    std::string text;        // wire format as delivered (after the server's fix-ups)
    bool conforming = true;  // no rule was broken by it
};

// What a wait looks for on a channel.
struct MessageFilter {
    std::string what;         // an event name, or "response" for any response
    int64_t request_id = -1;  // that request only, when not negative
    int cause = -1;           // that Completion-Cause only, when not negative
};

class HostEngine {
public:
    using MessageHandler = std::function<void(const PluginMessage&)>;
    using ViolationHandler = std::function<void(const std::string& channel, const Violation&)>;

    explicit HostEngine(HostOptions options);
    ~HostEngine();  // Shutdown()
    HostEngine(const HostEngine&) = delete;
    HostEngine& operator=(const HostEngine&) = delete;

    // Called on the server thread for every delivered message and every violation.
    void SetMessageHandler(MessageHandler handler) { on_message_ = std::move(handler); }
    void SetViolationHandler(ViolationHandler handler) { on_violation_ = std::move(handler); }

    // Loads the plugin, creates and opens its engine (waiting for the open response) and
    // starts the media thread. False with `error` on any failure.
    bool Open(std::string* error);
    // Closes every channel still open, stops the media thread, closes the engine (waiting
    // for its response), destroys it and unloads the plugin. False with `error` when some
    // step failed (the run still ends cleanly).
    bool Shutdown(std::string* error);

    // Creates and opens a channel (waiting for its open response).
    bool OpenChannel(const std::string& name, int rate, int version,
                     const std::vector<std::pair<std::string, std::string>>& attributes,
                     std::string* error);
    // Closes and destroys a channel (waiting for its close response).
    bool CloseChannel(const std::string& name, std::string* error);
    bool HasChannel(const std::string& name) const { return channels_by_name_.count(name) != 0; }
    int ChannelVersion(const std::string& name) const;

    // Sends a request written in wire format. The server fills in the Channel-Identifier,
    // message-length and Content-Length. On success `request_id` and `method` (optional)
    // tell what was sent.
    bool SendRequest(const std::string& name, const std::string& text, std::string* error,
                     uint64_t* request_id = nullptr, std::string* method = nullptr);

    bool AddAudio(const std::string& name, const std::string& wav_path, std::string* error);
    bool AddSilence(const std::string& name, int ms, std::string* error);
    bool AddDtmf(const std::string& name, const std::string& digits, const DtmfTiming& timing,
                 std::string* error);
    size_t PendingFrames(const std::string& name);
    MediaCounters Counters(const std::string& name);
    // The media thread's tick punctuality since Open() or the last ResetMediaTicks().
    MediaTiming MediaTicks() { return media_.Timing(); }
    void ResetMediaTicks() { media_.ResetTiming(); }

    // Handles inbox events until `deadline`.
    void PumpUntil(std::chrono::steady_clock::time_point deadline);
    // Waits for a message that came on channel `name`, broke no rule, was not taken by an
    // earlier wait and matches `filter`; messages before it are taken too. False on time-out,
    // and at once when nothing more can come: the request named (or, with none named, every
    // request of the event's method: RECOGNIZE for START-OF-INPUT and RECOGNITION-COMPLETE,
    // INTERPRET for INTERPRETATION-COMPLETE) has ended; then WaitFailure() says how.
    bool WaitForMessage(const std::string& name, const MessageFilter& filter, int timeout_ms,
                        PluginMessage* message = nullptr);
    // The same for `what` alone (an event name, or "response").
    bool WaitForMessage(const std::string& name, const std::string& what, int timeout_ms,
                        PluginMessage* message = nullptr);

    // Why the last WaitForMessage failed before its time-out; empty after a time-out.
    const std::string& WaitFailure() const { return wait_failure_; }

    size_t violation_count() const { return violation_count_; }
    int64_t ElapsedMs() const;

private:
    // What a plugin thread hands to the server thread.
    struct InboxEvent {
        enum class Type {
            kEngineOpen,
            kEngineClose,
            kChannelOpen,
            kChannelClose,
            kMessage,
            kGone  // a call on a destroyed channel's record
        };
        Type type = Type::kMessage;
        uint64_t channel_key = 0;
        bool status = false;
        std::chrono::steady_clock::time_point when;
        PluginMessage message;         // kMessage; `text` empty when it could not be written
        const void* record = nullptr;  // kGone: the record's address, never read
        std::string error;             // kGone: the call
    };
    struct Channel;

    // Event tables handed to the plugin (any thread).
    static apt_bool_t OnEngineOpen(mrcp_engine_t* engine, apt_bool_t status);
    static apt_bool_t OnEngineClose(mrcp_engine_t* engine);
    static apt_bool_t OnChannelOpen(mrcp_engine_channel_t* channel, apt_bool_t status);
    static apt_bool_t OnChannelClose(mrcp_engine_channel_t* channel);
    static apt_bool_t OnChannelMessage(mrcp_engine_channel_t* channel, mrcp_message_t* message);
    static void OnChannelGone(void* obj, const void* channel, const char* call);
    static const mrcp_engine_event_vtable_t sm_engine_events;
    static const mrcp_engine_channel_event_vtable_t sm_channel_events;

    void Post(InboxEvent event);
    // Waits for one inbox event until `deadline` and handles it; false on time-out.
    bool PumpOne(std::chrono::steady_clock::time_point deadline);
    void Handle(InboxEvent& event);
    void HandleMessage(Channel* channel, InboxEvent& event);
    void ReportViolations(const std::string& channel, const std::vector<Violation>& violations);
    bool WaitUntil(const std::function<bool()>& done, int timeout_ms);
    Channel* FindChannel(const std::string& name, std::string* error);
    bool CloseChannel(Channel* channel, std::string* error);
    void DestroyChannel(Channel* channel);
    void FreeRequestPool(Channel* channel, uint64_t request_id);
    // A plugin call that came after its channel was destroyed.
    static Violation GoneViolation(const std::string& call, const std::string& channel);

    HostOptions options_;
    std::chrono::steady_clock::time_point start_;
    apr_pool_t* pool_ = nullptr;
    bool logger_created_ = false;
    bool engine_open_called_ = false;  // the engine's open entry returned TRUE
    // The plugin did not answer a close: its objects may still be in use, so nothing of it
    // is destroyed or unloaded.
    bool plugin_hung_ = false;
    PluginLoader loader_;
    mrcp_engine_t* engine_ = nullptr;
    bool engine_open_ = false;
    MediaThread media_;
    MessageHandler on_message_;
    ViolationHandler on_violation_;
    size_t violation_count_ = 0;
    std::string wait_failure_;

    std::map<uint64_t, std::unique_ptr<Channel>> channels_;  // by key
    std::map<std::string, uint64_t> channels_by_name_;       // open ones
    std::map<const void*, std::string> destroyed_names_;     // by record address
    std::map<uint64_t, std::string> destroyed_keys_;         // by key; the latest ones
    uint64_t next_key_ = 1;
    // Engine responses seen (server thread).
    int engine_open_responses_ = 0;
    bool engine_open_status_ = false;
    int engine_close_responses_ = 0;

    std::mutex inbox_mutex_;
    std::condition_variable inbox_ready_;
    std::deque<InboxEvent> inbox_;
};

}  // namespace OstrinRuntime
