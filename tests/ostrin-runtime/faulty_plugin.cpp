// A recognizer plugin that breaks one conformance rule on purpose, chosen per channel by the
// attribute "fault" (no attribute, or "good": it keeps every rule). The checker's tests run it
// through `ostrin run --strict` and expect each fault to be reported under its rule, and the
// host to survive every one of them.
//
// Good behaviour: RECOGNIZE is answered 200 IN-PROGRESS, START-OF-INPUT follows at once and
// RECOGNITION-COMPLETE (000, an NLSML body naming the request's session) after the request's
// Recognition-Timeout (ms, default 0). STOP ends the running recognition with 200 COMPLETE
// naming it in Active-Request-Id-List. INTERPRET and GET-RESULT are not supported (401);
// other methods get 200 COMPLETE. A recognition still running at close completes with 011
// before the close response.
//
// Threads: the server's threads call the tables, which only post to the engine's worker
// thread; everything else (all channel state, every answer) runs on the worker. Channel
// objects are shared with the worker's tasks, so a late task never meets a deleted channel.
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <apr_strings.h>
#include <apr_tables.h>
#include <ostrin/mrcp_engine.h>

namespace {

using Clock = std::chrono::steady_clock;

// Tasks in order of their due time (equal times in posting order).
class Worker {
public:
    void Start() { thread_ = std::thread(&Worker::Run, this); }
    void Stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        ready_.notify_one();
        if (thread_.joinable())
            thread_.join();
        tasks_.clear();
    }
    void Post(std::function<void()> task, int delay_ms = 0) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            tasks_.emplace(Clock::now() + std::chrono::milliseconds(delay_ms), std::move(task));
        }
        ready_.notify_one();
    }

private:
    void Run() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stopping_) {
            if (tasks_.empty()) {
                ready_.wait(lock);
                continue;
            }
            auto first = tasks_.begin();
            if (first->first > Clock::now()) {
                ready_.wait_until(lock, first->first);
                continue;
            }
            std::function<void()> task = std::move(first->second);
            tasks_.erase(first);
            lock.unlock();
            task();
            lock.lock();
        }
    }
    std::mutex mutex_;
    std::condition_variable ready_;
    std::multimap<Clock::time_point, std::function<void()>> tasks_;
    bool stopping_ = false;
    std::thread thread_;
};

struct FaultyEngine;

// Worker thread only, after creation.
struct FaultyChannel {
    ~FaultyChannel() {
        if (pool)
            apr_pool_destroy(pool);
    }
    mrcp_engine_channel_t* record = nullptr;
    FaultyEngine* engine = nullptr;
    std::string fault = "good";
    apr_pool_t* pool = nullptr;  // the plugin's own memory, for messages kept past a request
    bool destroyed = false;
    mrcp_message_t* active = nullptr;  // the running RECOGNIZE
    unsigned generation = 0;
    mrcp_message_t* previous = nullptr;  // "use-after-final": a finished request, kept
    mrcp_message_t* stopped = nullptr;   // "use-after-stop": a stopped RECOGNIZE, kept
};

using ChannelPtr = std::shared_ptr<FaultyChannel>;

struct FaultyEngine {
    mrcp_engine_t* record = nullptr;
    Worker worker;
    std::map<mrcp_engine_channel_t*, ChannelPtr> channels;  // worker thread
};

// An enumerated field set to any number, out-of-range ones included.
template <typename Enum>
void SetRaw(Enum* field, int value) {
    static_assert(sizeof(Enum) == sizeof(int), "enumerations are int-sized");
    std::memcpy(field, &value, sizeof(value));
}

void Send(const ChannelPtr& channel, mrcp_message_t* message) {
    mrcp_engine_channel_message_send(channel->record, message);
}

bool Is(const ChannelPtr& channel, const char* fault) {
    return channel->fault == fault;
}

mrcp_message_t* Response(mrcp_message_t* request, int status, int state) {
    mrcp_message_t* response = mrcp_response_create(request, request->pool);
    SetRaw(&response->start_line.status_code, status);
    SetRaw(&response->start_line.request_state, state);
    return response;
}

mrcp_message_t* Event(mrcp_message_t* request, int id, int state, apr_pool_t* pool = nullptr) {
    mrcp_message_t* event = mrcp_event_create(request, apr_size_t(id), pool ? pool : request->pool);
    SetRaw(&event->start_line.request_state, state);
    return event;
}

void SetCause(mrcp_message_t* event, int cause) {
    SetRaw(&mrcp_resource_header_get(event)->completion_cause, cause);
    mrcp_resource_header_property_add(event, RECOGNIZER_HEADER_COMPLETION_CAUSE);
}

void SetBody(mrcp_message_t* event, const std::string& body, bool with_type = true,
             const char* type = "application/x-nlsml") {
    if (with_type) {
        apt_string_assign(&mrcp_generic_header_get(event)->content_type, type, event->pool);
        mrcp_generic_header_property_add(event, GENERIC_HEADER_CONTENT_TYPE);
    }
    mrcp_message_body_set(event, body.data(), body.size());
}

// The RECOGNITION-COMPLETE of `request`, in the fault's shape.
mrcp_message_t* Completion(const ChannelPtr& channel, mrcp_message_t* request, int cause) {
    int state = Is(channel, "complete-in-progress") ? MRCP_REQUEST_STATE_INPROGRESS
                                                    : MRCP_REQUEST_STATE_COMPLETE;
    mrcp_message_t* event = Event(request, RECOGNIZER_RECOGNITION_COMPLETE, state);
    if (!Is(channel, "no-cause"))
        SetCause(event, Is(channel, "cause-99") ? 99 : cause);
    std::string session =
        std::string(request->channel_id.session_id.buf ? request->channel_id.session_id.buf : "",
                    request->channel_id.session_id.length);
    std::string body =
        "<?xml version=\"1.0\"?>\n<result><interpretation><instance>session=" + session +
        "</instance></interpretation></result>\n";
    if (Is(channel, "bad-waveform-uri")) {
        apt_string_assign(&mrcp_resource_header_get(event)->waveform_uri, "<http://host/a.wav>",
                          event->pool);
        mrcp_resource_header_property_add(event, RECOGNIZER_HEADER_WAVEFORM_URI);
    }
    if (Is(channel, "bad-nlsml"))
        body = "<result><input>a & b</input></result>";
    if (Is(channel, "bad-json"))
        SetBody(event, "{\"queryText\": \"a\",}", true, "application/json");
    else
        SetBody(event, body, !Is(channel, "body-without-type"));
    if (Is(channel, "two-content-lengths"))
        mrcp_message_unknown_header_add(event, "content-length", "9");
    if (Is(channel, "header-twice"))
        mrcp_message_unknown_header_add(event, "Completion-Cause", "000 success");
    if (Is(channel, "crlf-in-header")) {
        apt_string_assign(&mrcp_resource_header_get(event)->completion_reason,
                          "done\r\nX-Forged: 1", event->pool);
        mrcp_resource_header_property_add(event, RECOGNIZER_HEADER_COMPLETION_REASON);
    }
    return event;
}

// Ends the running recognition (if it is still generation `generation`).
void Complete(const ChannelPtr& channel, unsigned generation, int cause) {
    if (channel->destroyed || !channel->active || channel->generation != generation)
        return;
    mrcp_message_t* request = channel->active;
    channel->active = nullptr;
    mrcp_message_t* event = Completion(channel, request, cause);
    mrcp_message_t* again = nullptr;
    if (Is(channel, "after-complete"))
        again = Event(request, RECOGNIZER_RECOGNITION_COMPLETE, MRCP_REQUEST_STATE_COMPLETE,
                      channel->pool);
    if (Is(channel, "swap")) {
        // Delivered through another channel of this engine.
        for (auto& entry : channel->engine->channels) {
            if (entry.second != channel && !entry.second->destroyed) {
                Send(entry.second, event);
                return;
            }
        }
    }
    Send(channel, event);
    if (again) {
        SetCause(again, 0);
        Send(channel, again);
    }
}

void Recognize(const ChannelPtr& channel, mrcp_message_t* request) {
    if (channel->active && !Is(channel, "second-recognize") &&
        !Is(channel, "pending-starts-early")) {
        Send(channel, Response(request, 402, MRCP_REQUEST_STATE_COMPLETE));
        return;
    }
    if (channel->active && Is(channel, "pending-starts-early")) {
        // Held back PENDING, but started while the first one still runs.
        Send(channel, Response(request, 200, MRCP_REQUEST_STATE_PENDING));
        Send(channel, Event(request, RECOGNIZER_START_OF_INPUT, MRCP_REQUEST_STATE_INPROGRESS));
        return;
    }
    channel->active = request;
    unsigned generation = ++channel->generation;
    int timeout = 0;
    if (mrcp_resource_header_property_check(request, RECOGNIZER_HEADER_RECOGNITION_TIMEOUT))
        timeout = int(request->resource_header.recognition_timeout);

    if (Is(channel, "early-event"))
        Send(channel, Event(request, RECOGNIZER_START_OF_INPUT, MRCP_REQUEST_STATE_INPROGRESS));
    if (Is(channel, "close-early")) {
        Send(channel, Response(request, 200, MRCP_REQUEST_STATE_INPROGRESS));
        mrcp_engine_channel_close_respond(channel->record);
    } else if (Is(channel, "wrong-id")) {
        mrcp_message_t* response = Response(request, 200, MRCP_REQUEST_STATE_COMPLETE);
        response->start_line.request_id += 1000;
        Send(channel, response);
        return;  // the real request is never answered
    } else if (Is(channel, "twice")) {
        mrcp_message_t* first = Response(request, 200, MRCP_REQUEST_STATE_INPROGRESS);
        mrcp_message_t* second = mrcp_response_create(request, channel->pool);
        second->start_line.request_state = MRCP_REQUEST_STATE_INPROGRESS;
        Send(channel, first);
        Send(channel, second);
    } else if (Is(channel, "error-in-progress")) {
        Send(channel, Response(request, 407, MRCP_REQUEST_STATE_INPROGRESS));
    } else if (Is(channel, "status-300") || Is(channel, "status-999")) {
        Send(channel, Response(request, Is(channel, "status-300") ? 300 : 999,
                               MRCP_REQUEST_STATE_INPROGRESS));
    } else if (Is(channel, "state-7")) {
        Send(channel, Response(request, 200, 7));
        Send(channel, Response(request, 200, MRCP_REQUEST_STATE_INPROGRESS));
    } else if (Is(channel, "type-9")) {
        mrcp_message_t* response = Response(request, 200, MRCP_REQUEST_STATE_INPROGRESS);
        SetRaw(&response->start_line.message_type, 9);
        Send(channel, response);
        Send(channel, Response(request, 200, MRCP_REQUEST_STATE_INPROGRESS));
    } else if (Is(channel, "send-request")) {
        mrcp_message_t* copy = mrcp_request_create(MRCP_VERSION_2, RECOGNIZER_STOP, request->pool);
        apt_string_copy(&copy->channel_id.session_id, &request->channel_id.session_id,
                        request->pool);
        Send(channel, copy);
        Send(channel, Response(request, 200, MRCP_REQUEST_STATE_INPROGRESS));
    } else if (Is(channel, "version-1") || Is(channel, "version-5")) {
        mrcp_message_t* response = Response(request, 200, MRCP_REQUEST_STATE_INPROGRESS);
        SetRaw(&response->start_line.version, Is(channel, "version-1") ? 1 : 5);
        Send(channel, response);
        Send(channel, Response(request, 200, MRCP_REQUEST_STATE_INPROGRESS));
    } else if (Is(channel, "pending-event")) {
        Send(channel, Response(request, 200, MRCP_REQUEST_STATE_PENDING));
        Send(channel, Event(request, RECOGNIZER_START_OF_INPUT, MRCP_REQUEST_STATE_PENDING));
    } else {
        Send(channel, Response(request, 200, MRCP_REQUEST_STATE_INPROGRESS));
    }

    if (Is(channel, "interpretation-complete")) {
        mrcp_message_t* event =
            Event(request, RECOGNIZER_INTERPRETATION_COMPLETE, MRCP_REQUEST_STATE_INPROGRESS);
        Send(channel, event);
    } else if (Is(channel, "event-id-9")) {
        mrcp_message_t* event =
            Event(request, RECOGNIZER_START_OF_INPUT, MRCP_REQUEST_STATE_INPROGRESS);
        event->start_line.method_id = 9;
        Send(channel, event);
    } else if (!Is(channel, "pending-event")) {
        int state = Is(channel, "start-complete") ? MRCP_REQUEST_STATE_COMPLETE
                                                  : MRCP_REQUEST_STATE_INPROGRESS;
        Send(channel, Event(request, RECOGNIZER_START_OF_INPUT, state));
        if (Is(channel, "start-twice"))
            Send(channel, Event(request, RECOGNIZER_START_OF_INPUT, state));
        if (Is(channel, "start-complete")) {
            channel->active = nullptr;  // the client takes it as complete
            return;
        }
    }
    if (Is(channel, "never-complete"))
        return;
    channel->engine->worker.Post(
        [channel, generation] {
            Complete(channel, generation, RECOGNIZER_COMPLETION_CAUSE_SUCCESS);
        },
        timeout);
}

void Stop(const ChannelPtr& channel, mrcp_message_t* request) {
    if (Is(channel, "stop-fails")) {
        Send(channel, Response(request, 407, MRCP_REQUEST_STATE_COMPLETE));
        return;  // the recognition goes on
    }
    mrcp_message_t* late = nullptr;
    if (channel->active && Is(channel, "event-after-stop")) {
        // Made now (the stopped request is gone after the STOP response), sent after it.
        late = Event(channel->active, RECOGNIZER_RECOGNITION_COMPLETE, MRCP_REQUEST_STATE_COMPLETE,
                     channel->pool);
        SetCause(late, 0);
    }
    channel->stopped = channel->active;
    channel->active = nullptr;
    int state = Is(channel, "stop-in-progress") ? MRCP_REQUEST_STATE_INPROGRESS
                                                : MRCP_REQUEST_STATE_COMPLETE;
    mrcp_message_t* response = Response(request, 200, state);
    if (channel->stopped && !Is(channel, "stop-without-list")) {
        mrcp_request_id_list_t& list = mrcp_generic_header_get(response)->active_request_id_list;
        list.ids[0] = channel->stopped->start_line.request_id;
        list.count = 1;
        mrcp_generic_header_property_add(response, GENERIC_HEADER_ACTIVE_REQUEST_ID_LIST);
    }
    Send(channel, response);
    if (late)
        Send(channel, late);
}

void ProcessRequest(const ChannelPtr& channel, mrcp_message_t* request) {
    if (channel->destroyed)
        return;
    if (Is(channel, "never"))
        return;
    if (Is(channel, "use-after-final") && channel->previous) {
        // A finished request read again: its memory is gone, so ASan stops the run here.
        volatile apr_size_t id = channel->previous->start_line.request_id;
        (void)id;
    }
    if (Is(channel, "use-after-stop") && channel->stopped) {
        // The stopped RECOGNIZE's vendor parameters, read after the STOP response.
        const void* volatile params = channel->stopped->generic_header.vendor_specific_params;
        (void)params;
    }
    channel->previous = request;
    switch (request->start_line.method_id) {
        case RECOGNIZER_RECOGNIZE:
            Recognize(channel, request);
            return;
        case RECOGNIZER_STOP:
            Stop(channel, request);
            return;
        case RECOGNIZER_INTERPRET:
        case RECOGNIZER_GET_RESULT:
            Send(channel, Response(request, Is(channel, "unsupported-200") ? 200 : 401,
                                   MRCP_REQUEST_STATE_COMPLETE));
            return;
        default: {
            bool grammar = request->start_line.method_id == RECOGNIZER_DEFINE_GRAMMAR;
            bool in_progress =
                grammar && (Is(channel, "grammar-in-progress") || Is(channel, "event-for-grammar"));
            Send(channel, Response(request, 200,
                                   in_progress ? MRCP_REQUEST_STATE_INPROGRESS
                                               : MRCP_REQUEST_STATE_COMPLETE));
            if (grammar && Is(channel, "event-for-grammar")) {
                mrcp_message_t* event =
                    Event(request, RECOGNIZER_RECOGNITION_COMPLETE, MRCP_REQUEST_STATE_COMPLETE);
                SetCause(event, 0);
                Send(channel, event);
            }
            return;
        }
    }
}

// ---- Channel table (server thread): everything is posted to the worker ----

ChannelPtr Find(mrcp_engine_channel_t* record) {
    return *static_cast<ChannelPtr*>(record->obj);
}

apt_bool_t ChannelDestroy(mrcp_engine_channel_t* record) {
    auto* holder = static_cast<ChannelPtr*>(record->obj);
    ChannelPtr channel = *holder;
    delete holder;
    record->obj = nullptr;
    channel->engine->worker.Post([channel] {
        channel->destroyed = true;
        channel->engine->channels.erase(channel->record);
        if (Is(channel, "send-after-destroy")) {
            // The record is gone with its channel: a faulty plugin answers on it anyway.
            mrcp_engine_channel_t* stale = channel->record;
            channel->engine->worker.Post(
                [channel, stale] {
                    mrcp_message_t* message = mrcp_message_create(channel->pool);
                    mrcp_engine_channel_message_send(stale, message);
                    mrcp_engine_channel_open_respond(stale, TRUE);
                    mrcp_engine_channel_close_respond(stale);
                },
                20);
        }
    });
    return TRUE;
}

apt_bool_t ChannelOpen(mrcp_engine_channel_t* record) {
    ChannelPtr channel = Find(record);
    const char* fault = record->attribs ? apr_table_get(record->attribs, "fault") : nullptr;
    std::string mode = fault ? fault : "good";
    channel->engine->worker.Post([channel, mode] {
        channel->fault = mode;
        channel->engine->channels[channel->record] = channel;
        mrcp_engine_channel_open_respond(channel->record, TRUE);
        if (Is(channel, "open-twice"))
            mrcp_engine_channel_open_respond(channel->record, TRUE);
    });
    return TRUE;
}

apt_bool_t ChannelClose(mrcp_engine_channel_t* record) {
    ChannelPtr channel = Find(record);
    channel->engine->worker.Post([channel] {
        bool leave_running = Is(channel, "never-complete") || Is(channel, "stop-fails");
        if (!leave_running)
            Complete(channel, channel->generation, RECOGNIZER_COMPLETION_CAUSE_CANCELLED);
        mrcp_engine_channel_close_respond(channel->record);
        if (Is(channel, "close-twice"))
            mrcp_engine_channel_close_respond(channel->record);
    });
    return TRUE;
}

apt_bool_t ChannelRequest(mrcp_engine_channel_t* record, mrcp_message_t* request) {
    ChannelPtr channel = Find(record);
    channel->engine->worker.Post([channel, request] { ProcessRequest(channel, request); });
    return TRUE;
}

const mrcp_engine_channel_method_vtable_t sm_channel_vtable = {ChannelDestroy, ChannelOpen,
                                                               ChannelClose, ChannelRequest};

// ---- Engine table (server thread) ----

apt_bool_t EngineDestroy(mrcp_engine_t* record) {
    delete static_cast<FaultyEngine*>(record->obj);
    record->obj = nullptr;
    return TRUE;
}

apt_bool_t EngineOpen(mrcp_engine_t* record) {
    auto* engine = static_cast<FaultyEngine*>(record->obj);
    engine->worker.Start();
    engine->worker.Post([record] { mrcp_engine_open_respond(record, TRUE); });
    return TRUE;
}

apt_bool_t EngineClose(mrcp_engine_t* record) {
    auto* engine = static_cast<FaultyEngine*>(record->obj);
    engine->worker.Stop();
    engine->channels.clear();
    mrcp_engine_close_respond(record);
    return TRUE;
}

mrcp_engine_channel_t* EngineCreateChannel(mrcp_engine_t* record, apr_pool_t* pool) {
    auto channel = std::make_shared<FaultyChannel>();
    channel->engine = static_cast<FaultyEngine*>(record->obj);
    apr_pool_create(&channel->pool, nullptr);
    auto* holder = new ChannelPtr(channel);
    channel->record = mrcp_engine_channel_create(record, &sm_channel_vtable, holder, nullptr, pool);
    if (!channel->record) {
        delete holder;
        return nullptr;
    }
    return channel->record;
}

const mrcp_engine_method_vtable_t sm_engine_vtable = {EngineDestroy, EngineOpen, EngineClose,
                                                      EngineCreateChannel};

}  // namespace

MRCP_PLUGIN_VERSION_DECLARE

MRCP_PLUGIN_DECLARE(apt_bool_t) mrcp_plugin_logger_set(apt_logger_t* logger) {
    return apt_log_instance_set(logger);
}

MRCP_PLUGIN_DECLARE(mrcp_engine_t*) mrcp_plugin_create(apr_pool_t* pool) {
    auto* engine = new FaultyEngine;
    engine->record = mrcp_engine_create(MRCP_RECOGNIZER_RESOURCE, engine, &sm_engine_vtable, pool);
    if (!engine->record) {
        delete engine;
        return nullptr;
    }
    return engine->record;
}
