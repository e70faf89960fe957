// A small recognizer over the Ostrin plugin interface that keeps every MRCP rule, so that
// the host runtime, `ostrin selfcheck` and the demo can run without the real plugin. Not
// installed.
//
// Recognition: RECOGNIZE is answered IN-PROGRESS. The first loud audio frame (or the first
// DTMF digit) sends START-OF-INPUT. Speech ends after 300 ms without loud audio, digits after
// 500 ms without a digit; RECOGNITION-COMPLETE (000 success) carries the input and the number
// of audio frames received. With no input within No-Input-Timeout (default 5000 ms, counted
// in frames) it completes with 002. STOP ends a recognition with a 200 response whose
// Active-Request-Id-List names it. A recognition still running when the channel
// closes completes with 011 before the close response. SET-PARAMS, GET-PARAMS,
// DEFINE-GRAMMAR and START-INPUT-TIMERS get 200 COMPLETE; the other methods 401.
//
// Threads: the server's threads call the tables; one worker thread per engine answers
// everything; the media thread only counts frames and posts work to the worker. A channel's
// recognition state is guarded by the channel's mutex.
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include <apr_strings.h>
#include <apr_tables.h>
#include <ostrin/mrcp_engine.h>

namespace {

apt_log_source_t* sm_log = nullptr;

class Worker {
public:
    void Start() { thread_ = std::thread(&Worker::Run, this); }
    void Stop() {
        Post(nullptr);
        if (thread_.joinable())
            thread_.join();
    }
    // A null task ends the thread.
    void Post(std::function<void()> task) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            tasks_.push_back(std::move(task));
        }
        ready_.notify_one();
    }

private:
    void Run() {
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                ready_.wait(lock, [this] { return !tasks_.empty(); });
                task = std::move(tasks_.front());
                tasks_.pop_front();
            }
            if (!task)
                return;
            task();
        }
    }
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> tasks_;
    std::thread thread_;
};

struct SampleEngine {
    mrcp_engine_t* record = nullptr;
    Worker worker;
};

struct SampleChannel {
    mrcp_engine_channel_t* record = nullptr;
    SampleEngine* engine = nullptr;

    std::mutex mutex;  // guards everything below (worker and media thread)
    mrcp_message_t* active = nullptr;
    unsigned generation = 0;
    bool input_started = false;
    bool dtmf = false;
    bool completing = false;
    int quiet_frames = 0;
    int waiting_frames = 0;
    int no_input_frames = 500;
    int audio_frames = 0;
    std::string digits;
};

const int kSpeechEndFrames = 30;
const int kDtmfEndFrames = 50;
const int kLoudSample = 1000;

void Send(SampleChannel* channel, mrcp_message_t* message) {
    mrcp_engine_channel_message_send(channel->record, message);
}

void Respond(SampleChannel* channel, mrcp_message_t* request, mrcp_status_code_e status,
             mrcp_request_state_e state) {
    mrcp_message_t* response = mrcp_response_create(request, request->pool);
    response->start_line.status_code = status;
    response->start_line.request_state = state;
    Send(channel, response);
}

// Worker thread.
void StartOfInput(SampleChannel* channel, unsigned generation) {
    std::unique_lock<std::mutex> lock(channel->mutex);
    if (!channel->active || channel->generation != generation)
        return;
    mrcp_message_t* event =
        mrcp_event_create(channel->active, RECOGNIZER_START_OF_INPUT, channel->active->pool);
    lock.unlock();
    if (event)
        Send(channel, event);
}

// Worker thread.
void Complete(SampleChannel* channel, unsigned generation, mrcp_recog_completion_cause_e cause) {
    std::unique_lock<std::mutex> lock(channel->mutex);
    if (!channel->active || channel->generation != generation)
        return;
    mrcp_message_t* request = channel->active;
    mrcp_message_t* event =
        mrcp_event_create(request, RECOGNIZER_RECOGNITION_COMPLETE, request->pool);
    if (!event)
        return;
    event->start_line.request_state = MRCP_REQUEST_STATE_COMPLETE;
    mrcp_resource_header_get(event)->completion_cause = cause;
    mrcp_resource_header_property_add(event, RECOGNIZER_HEADER_COMPLETION_CAUSE);
    if (cause == RECOGNIZER_COMPLETION_CAUSE_SUCCESS) {
        const char* mode = channel->dtmf ? "dtmf" : "speech";
        const char* input = channel->dtmf ? channel->digits.c_str() : "speech";
        char* body = apr_psprintf(
            event->pool,
            "<?xml version=\"1.0\"?>\n<result>\n  <interpretation confidence=\"1.0\">\n"
            "    <instance>%s</instance>\n    <input mode=\"%s\" frames=\"%d\">%s</input>\n"
            "  </interpretation>\n</result>\n",
            input, mode, channel->audio_frames, input);
        mrcp_generic_header_t* generic = mrcp_generic_header_get(event);
        generic->content_type.buf = apr_pstrdup(event->pool, "application/x-nlsml");
        generic->content_type.length = strlen(generic->content_type.buf);
        mrcp_generic_header_property_add(event, GENERIC_HEADER_CONTENT_TYPE);
        mrcp_message_body_set(event, body, strlen(body));
    }
    channel->active = nullptr;
    lock.unlock();
    Send(channel, event);
}

// Worker thread.
void ProcessRequest(SampleChannel* channel, mrcp_message_t* request) {
    mrcp_method_id method = request->start_line.method_id;
    if (method == RECOGNIZER_RECOGNIZE) {
        std::unique_lock<std::mutex> lock(channel->mutex);
        if (channel->active) {
            lock.unlock();
            Respond(channel, request, MRCP_STATUS_CODE_METHOD_NOT_VALID,
                    MRCP_REQUEST_STATE_COMPLETE);
            return;
        }
        channel->active = request;
        ++channel->generation;
        channel->input_started = channel->dtmf = channel->completing = false;
        channel->quiet_frames = channel->waiting_frames = channel->audio_frames = 0;
        channel->digits.clear();
        channel->no_input_frames = 500;
        if (mrcp_resource_header_property_check(request, RECOGNIZER_HEADER_NO_INPUT_TIMEOUT)) {
            channel->no_input_frames = int(request->resource_header.no_input_timeout / 10);
        }
        lock.unlock();
        Respond(channel, request, MRCP_STATUS_CODE_SUCCESS, MRCP_REQUEST_STATE_INPROGRESS);
        return;
    }
    if (method == RECOGNIZER_STOP) {
        std::unique_lock<std::mutex> lock(channel->mutex);
        mrcp_message_t* stopped = channel->active;
        channel->active = nullptr;
        lock.unlock();
        mrcp_message_t* response = mrcp_response_create(request, request->pool);
        response->start_line.status_code = MRCP_STATUS_CODE_SUCCESS;
        response->start_line.request_state = MRCP_REQUEST_STATE_COMPLETE;
        if (stopped) {
            mrcp_request_id_list_t& list =
                mrcp_generic_header_get(response)->active_request_id_list;
            list.ids[0] = stopped->start_line.request_id;
            list.count = 1;
            mrcp_generic_header_property_add(response, GENERIC_HEADER_ACTIVE_REQUEST_ID_LIST);
        }
        Send(channel, response);
        return;
    }
    // Interpretation, stored results and enrollment are not part of this recognizer.
    bool supported = method <= RECOGNIZER_RECOGNIZE || method == RECOGNIZER_START_INPUT_TIMERS;
    Respond(channel, request,
            supported ? MRCP_STATUS_CODE_SUCCESS : MRCP_STATUS_CODE_METHOD_NOT_ALLOWED,
            MRCP_REQUEST_STATE_COMPLETE);
}

// ---- Audio stream (media thread) ----

apt_bool_t StreamWrite(mpf_audio_stream_t* stream, const mpf_frame_t* frame) {
    auto* channel = static_cast<SampleChannel*>(stream->obj);
    std::lock_guard<std::mutex> lock(channel->mutex);
    if (!channel->active || channel->completing)
        return TRUE;
    unsigned generation = channel->generation;
    bool loud = false, digit = false;
    if (frame->type & MEDIA_FRAME_TYPE_AUDIO) {
        ++channel->audio_frames;
        const int16_t* samples = static_cast<const int16_t*>(frame->codec_frame.buffer);
        for (apr_size_t i = 0; i < frame->codec_frame.size / 2; ++i) {
            if (std::abs(samples[i]) > kLoudSample)
                loud = true;
        }
    }
    if ((frame->type & MEDIA_FRAME_TYPE_EVENT) && frame->marker == MPF_MARKER_START_OF_EVENT) {
        digit = true;
        channel->digits += mpf_event_id_to_dtmf_char(frame->event_frame.event_id);
    }
    bool input = digit || (frame->type & MEDIA_FRAME_TYPE_EVENT) || loud;
    if (input) {
        if (!channel->input_started) {
            channel->input_started = true;
            channel->dtmf = digit;
            channel->engine->worker.Post(
                [channel, generation] { StartOfInput(channel, generation); });
        }
        channel->quiet_frames = 0;
        return TRUE;
    }
    if (channel->input_started) {
        if (++channel->quiet_frames >= (channel->dtmf ? kDtmfEndFrames : kSpeechEndFrames)) {
            channel->completing = true;
            channel->engine->worker.Post([channel, generation] {
                Complete(channel, generation, RECOGNIZER_COMPLETION_CAUSE_SUCCESS);
            });
        }
    } else if (channel->no_input_frames > 0 &&
               ++channel->waiting_frames >= channel->no_input_frames) {
        channel->completing = true;
        channel->engine->worker.Post([channel, generation] {
            Complete(channel, generation, RECOGNIZER_COMPLETION_CAUSE_NO_INPUT_TIMEOUT);
        });
    }
    return TRUE;
}

const mpf_audio_stream_vtable_t sm_stream_vtable = {nullptr, nullptr, nullptr,     nullptr,
                                                    nullptr, nullptr, StreamWrite, nullptr};

// ---- Channel table (server thread) ----

apt_bool_t ChannelDestroy(mrcp_engine_channel_t* record) {
    delete static_cast<SampleChannel*>(record->obj);
    record->obj = nullptr;
    return TRUE;
}

apt_bool_t ChannelOpen(mrcp_engine_channel_t* record) {
    auto* channel = static_cast<SampleChannel*>(record->obj);
    channel->engine->worker.Post([record] { mrcp_engine_channel_open_respond(record, TRUE); });
    return TRUE;
}

apt_bool_t ChannelClose(mrcp_engine_channel_t* record) {
    auto* channel = static_cast<SampleChannel*>(record->obj);
    channel->engine->worker.Post([channel, record] {
        unsigned generation;
        {
            std::lock_guard<std::mutex> lock(channel->mutex);
            generation = channel->generation;
        }
        // Every request ends before the close response.
        Complete(channel, generation, RECOGNIZER_COMPLETION_CAUSE_CANCELLED);
        mrcp_engine_channel_close_respond(record);
    });
    return TRUE;
}

apt_bool_t ChannelRequest(mrcp_engine_channel_t* record, mrcp_message_t* request) {
    auto* channel = static_cast<SampleChannel*>(record->obj);
    channel->engine->worker.Post([channel, request] { ProcessRequest(channel, request); });
    return TRUE;
}

const mrcp_engine_channel_method_vtable_t sm_channel_vtable = {ChannelDestroy, ChannelOpen,
                                                               ChannelClose, ChannelRequest};

// ---- Engine table (server thread) ----

apt_bool_t EngineDestroy(mrcp_engine_t* record) {
    delete static_cast<SampleEngine*>(record->obj);
    record->obj = nullptr;
    return TRUE;
}

apt_bool_t EngineOpen(mrcp_engine_t* record) {
    auto* engine = static_cast<SampleEngine*>(record->obj);
    engine->worker.Start();
    engine->worker.Post([record] {
        apt_log(sm_log, APT_LOG_MARK, APT_PRIO_NOTICE, "Sample Engine Open");
        mrcp_engine_open_respond(record, TRUE);
    });
    return TRUE;
}

apt_bool_t EngineClose(mrcp_engine_t* record) {
    auto* engine = static_cast<SampleEngine*>(record->obj);
    engine->worker.Stop();
    apt_log(sm_log, APT_LOG_MARK, APT_PRIO_NOTICE, "Sample Engine Closed");
    mrcp_engine_close_respond(record);
    return TRUE;
}

mrcp_engine_channel_t* EngineCreateChannel(mrcp_engine_t* record, apr_pool_t* pool) {
    auto* channel = new SampleChannel;
    channel->engine = static_cast<SampleEngine*>(record->obj);
    mpf_stream_capabilities_t* capabilities =
        mpf_stream_capabilities_create(STREAM_DIRECTION_SEND, pool);
    mpf_codec_capabilities_add(&capabilities->codecs, MPF_SAMPLE_RATE_8000 | MPF_SAMPLE_RATE_16000,
                               MPF_CODEC_LPCM);
    mpf_termination_t* termination =
        mrcp_engine_audio_termination_create(channel, &sm_stream_vtable, capabilities, pool);
    channel->record =
        mrcp_engine_channel_create(record, &sm_channel_vtable, channel, termination, pool);
    if (!channel->record) {
        delete channel;
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

MRCP_PLUGIN_DECLARE(apt_bool_t) mrcp_plugin_log_source_set(apt_log_source_t* source) {
    apt_def_log_source_set(source);
    return apt_log_source_assign("SAMPLE", &sm_log);
}

MRCP_PLUGIN_DECLARE(mrcp_engine_t*) mrcp_plugin_create(apr_pool_t* pool) {
    auto* engine = new SampleEngine;
    engine->record = mrcp_engine_create(MRCP_RECOGNIZER_RESOURCE, engine, &sm_engine_vtable, pool);
    if (!engine->record) {
        delete engine;
        return nullptr;
    }
    return engine->record;
}
