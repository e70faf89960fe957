#include "ostrin_runtime/host_engine.h"

#include <strings.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <set>

#include <apr_allocator.h>
#include <apr_file_info.h>
#include <apr_file_io.h>
#include <apr_general.h>
#include <apr_strings.h>
#include <ostrin/mrcp_wire.h>

#include "ostrin_runtime/wav_file.h"

namespace OstrinRuntime {

namespace {

using Clock = std::chrono::steady_clock;

std::string ToString(const apt_str_t& text) {
    return text.buf ? std::string(text.buf, text.length) : std::string();
}

uint64_t KeyOf(const mrcp_engine_channel_t* channel) {
    return uint64_t(reinterpret_cast<uintptr_t>(channel->event_obj));
}

// An enumerated field read as the number the plugin stored: loading an out-of-range value
// through the enumeration type is undefined behaviour.
template <typename Enum>
int RawValue(const Enum& field) {
    static_assert(sizeof(Enum) == sizeof(int), "enumerations are int-sized");
    int value = 0;
    std::memcpy(&value, &field, sizeof(value));
    return value;
}

// The names of the headers as mrcp_message_generate writes them (Content-Length included),
// in `names`.
void WrittenHeaderNames(const mrcp_message_t* message, mrcp_version_e version,
                        std::vector<std::string>* names) {
    if (version == MRCP_VERSION_2)
        names->push_back("Channel-Identifier");
    bool content_length = false;
    const apr_array_header_t* order = message->header_order;
    for (int i = 0; order && i < order->nelts; ++i) {
        const mrcp_header_ref_t& ref = APR_ARRAY_IDX(order, i, mrcp_header_ref_t);
        int group = RawValue(ref.group);
        const char* name = nullptr;
        if (group == MRCP_HEADER_GROUP_GENERIC) {
            if (!mrcp_generic_header_property_check(message, ref.id))
                continue;
            if (ref.id == GENERIC_HEADER_ACTIVE_REQUEST_ID_LIST &&
                message->generic_header.active_request_id_list.count == 0) {
                continue;  // left out when empty
            }
            content_length = content_length || ref.id == GENERIC_HEADER_CONTENT_LENGTH;
            name = mrcp_generic_header_name_get(ref.id, version);
        } else if (group == MRCP_HEADER_GROUP_RESOURCE) {
            if (!mrcp_resource_header_property_check(message, ref.id))
                continue;
            name = mrcp_resource_header_name_get(ref.id, version);
        } else if (message->unknown_headers &&
                   ref.id < apt_pair_array_size_get(message->unknown_headers)) {
            const apt_pair_t* pair = apt_pair_array_get(message->unknown_headers, ref.id);
            names->push_back(ToString(pair->name));
            continue;
        }
        if (name)
            names->push_back(name);
    }
    if (message->body.length > 0 && !content_length)
        names->push_back("Content-Length");
}

// Copies what the server needs of a message the plugin sent; runs on the plugin's thread,
// which owns the message until the call returns. Nothing here trusts the plugin's values.
void Snapshot(mrcp_message_t* message, PluginMessage* out) {
    const mrcp_start_line_t& line = message->start_line;
    MessageInfo& info = out->info;
    info.raw_type = RawValue(line.message_type);
    info.kind = info.raw_type == MRCP_MESSAGE_TYPE_RESPONSE ? MessageInfo::Kind::kResponse
                : info.raw_type == MRCP_MESSAGE_TYPE_EVENT  ? MessageInfo::Kind::kEvent
                                                            : MessageInfo::Kind::kOther;
    info.request_id = line.request_id;
    info.raw_state = RawValue(line.request_state);
    info.state = info.raw_state == MRCP_REQUEST_STATE_COMPLETE     ? MessageInfo::State::kComplete
                 : info.raw_state == MRCP_REQUEST_STATE_INPROGRESS ? MessageInfo::State::kInProgress
                 : info.raw_state == MRCP_REQUEST_STATE_PENDING    ? MessageInfo::State::kPending
                                                                   : MessageInfo::State::kInvalid;
    info.status_code = RawValue(line.status_code);
    info.version = RawValue(line.version);
    mrcp_version_e version = info.version == 1   ? MRCP_VERSION_1
                             : info.version == 2 ? MRCP_VERSION_2
                                                 : MRCP_VERSION_UNKNOWN;
    bool is_event = info.kind == MessageInfo::Kind::kEvent;
    const char* name = is_event ? mrcp_event_name_get(line.method_id, version)
                                : mrcp_method_name_get(line.method_id, version);
    out->name = name ? name : ToString(line.method_name);
    if (is_event) {
        info.event_id = line.method_id;
        info.event_name = name ? name : "";
    }
    info.channel_session = ToString(message->channel_id.session_id);
    info.channel_resource = ToString(message->channel_id.resource_name);
    if (mrcp_generic_header_property_check(message, GENERIC_HEADER_ACTIVE_REQUEST_ID_LIST)) {
        const mrcp_request_id_list_t& list = message->generic_header.active_request_id_list;
        info.has_active_request_id_list = true;
        for (apr_size_t i = 0; i < list.count && i < MRCP_MAX_ACTIVE_REQUEST_ID_COUNT; ++i) {
            info.active_request_ids.push_back(list.ids[i]);
        }
    }
    if (mrcp_resource_header_property_check(message, RECOGNIZER_HEADER_COMPLETION_CAUSE)) {
        int cause = RawValue(message->resource_header.completion_cause);
        const apt_str_t* cause_name = mrcp_recog_completion_cause_get(cause, info.version);
        info.has_completion_cause = true;
        info.completion_cause = cause;
        info.completion_cause_known = cause_name != nullptr;
        char number[16];
        apr_snprintf(number, sizeof(number), "%03d", cause);
        out->completion_cause = number;
        if (cause_name)
            out->completion_cause += " " + ToString(*cause_name);
    }
    if (mrcp_resource_header_property_check(message, RECOGNIZER_HEADER_WAVEFORM_URI)) {
        info.has_waveform_uri = true;
        info.waveform_uri = ToString(message->resource_header.waveform_uri);
    }
    if (mrcp_generic_header_property_check(message, GENERIC_HEADER_CONTENT_TYPE)) {
        info.has_content_type = true;
        out->content_type = ToString(message->generic_header.content_type);
        info.content_type = out->content_type;
    }
    out->body = ToString(message->body);
    info.body = out->body;
    info.body_length = out->body.size();

    std::vector<std::string> names;
    WrittenHeaderNames(message, version == MRCP_VERSION_UNKNOWN ? MRCP_VERSION_2 : version, &names);
    for (size_t i = 0; i < names.size(); ++i) {
        if (strcasecmp(names[i].c_str(), "Content-Length") == 0)
            ++info.content_length_headers;
        // Clients spread vendor parameters over several lines.
        if (strcasecmp(names[i].c_str(), "Vendor-Specific-Parameters") == 0)
            continue;
        for (size_t j = 0; j < i; ++j) {
            if (strcasecmp(names[i].c_str(), names[j].c_str()) == 0) {
                info.duplicate_headers.push_back(names[i]);
                break;
            }
        }
    }

    apr_pool_t* pool = nullptr;
    if (apr_pool_create(&pool, nullptr) != APR_SUCCESS) {
        info.write_error = "out of memory";
        return;
    }
    apt_str_t text = {nullptr, 0};
    mrcp_wire_error_t wire_error;
    mrcp_wire_status_e status = mrcp_message_generate(message, pool, &text, &wire_error);
    if (status == MRCP_WIRE_OK) {
        out->text = ToString(text);
        // What a client would make of it: our own parser stands in for one.
        mrcp_message_t* parsed = nullptr;
        if (mrcp_message_parse(text.buf, text.length, pool, &parsed, nullptr, &wire_error) !=
            MRCP_WIRE_OK) {
            info.read_back_error = std::string("a client cannot parse it: ") + wire_error.text;
        }
    } else if (status == MRCP_WIRE_BAD_HEADER_TEXT) {
        info.header_text_error = wire_error.text;
    } else {
        info.write_error = std::string("cannot write the message: ") + wire_error.text;
    }
    apr_pool_destroy(pool);
}

// A pool with an allocator of its own: destroying it hands its memory back to malloc at
// once, so a plugin that uses a finished request is caught by ASan.
apr_pool_t* CreateRequestPool() {
    apr_allocator_t* allocator = nullptr;
    if (apr_allocator_create(&allocator) != APR_SUCCESS)
        return nullptr;
    apr_pool_t* pool = nullptr;
    if (apr_pool_create_ex(&pool, nullptr, nullptr, allocator) != APR_SUCCESS) {
        apr_allocator_destroy(allocator);
        return nullptr;
    }
    apr_allocator_owner_set(allocator, pool);
    return pool;
}

// Where a destroyed request pool's memory was. APR hands pool memory back with munmap, and
// the next pool's mmap often gets the same address at once, so a plugin reading a finished
// request would read the next request instead of faulting. The first pages of a destroyed
// pool are therefore kept mapped without access for a while (server thread only).
class FreedPoolGuard {
public:
    ~FreedPoolGuard() {
        for (void* page : guards_)
            munmap(page, kBytes);
    }
    void Add(const void* pool) {
        uintptr_t page_size = uintptr_t(sysconf(_SC_PAGESIZE));
        void* start = reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(pool) & ~(page_size - 1));
        // Fails harmlessly when the memory is still mapped (a malloc-based allocator).
        void* guard =
            mmap(start, kBytes, PROT_NONE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED_NOREPLACE, -1, 0);
        if (guard == MAP_FAILED)
            return;
        if (guard != start) {  // a kernel that took the address as a hint
            munmap(guard, kBytes);
            return;
        }
        guards_.push_back(guard);
        if (guards_.size() > kGuards) {
            munmap(guards_.front(), kBytes);
            guards_.pop_front();
        }
    }

private:
    static const size_t kBytes = 8192;  // APR's smallest block
    static const size_t kGuards = 256;
    std::deque<void*> guards_;
};

FreedPoolGuard sm_freed_pools;

// Names of destroyed channels kept for late events (see DestroyChannel).
const size_t kDestroyedKeysKept = 1024;

// HostEngines alive, for plugin calls on channels that are gone (any thread).
std::mutex sm_hosts_mutex;
std::set<const void*> sm_hosts;

// Splits a request written in a scenario into the form the parser takes: CR LF line ends,
// the right Channel-Identifier, message-length and Content-Length.
bool PrepareRequestText(const std::string& written, const std::string& channel_name, int version,
                        std::string* text, std::string* error) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < written.size()) {
        size_t end = written.find('\n', pos);
        if (end == std::string::npos)
            end = written.size();
        std::string line = written.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        pos = end + 1;
    }
    while (!lines.empty() && lines.front().empty())
        lines.erase(lines.begin());
    if (lines.empty()) {
        *error = "empty request";
        return false;
    }
    std::vector<std::string> headers;
    size_t i = 1;
    for (; i < lines.size() && !lines[i].empty(); ++i) {
        const std::string& header = lines[i];
        size_t colon = header.find(':');
        std::string name = header.substr(0, colon);
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t'))
            name.pop_back();
        if (strcasecmp(name.c_str(), "Channel-Identifier") == 0 ||
            strcasecmp(name.c_str(), "Content-Length") == 0) {
            continue;
        }
        headers.push_back(header);
    }
    std::string body;
    for (size_t b = i + 1; b < lines.size(); ++b) {
        if (b > i + 1)
            body += "\r\n";
        body += lines[b];
    }

    std::string start = lines[0];
    bool is_v2 = start.compare(0, 8, "MRCP/2.0") == 0;
    if ((version == 2) != is_v2) {
        *error = std::string("the request is MRCPv") + (is_v2 ? "2" : "1") +
                 " but the channel speaks MRCPv" + std::to_string(version);
        return false;
    }
    std::string rest;
    if (is_v2) {
        headers.insert(headers.begin(),
                       "Channel-Identifier: " + channel_name + "@" MRCP_RECOGNIZER_RESOURCE_NAME);
    }
    for (const std::string& header : headers)
        rest += header + "\r\n";
    if (!body.empty())
        rest += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    rest += "\r\n" + body;
    if (!is_v2) {
        *text = start + "\r\n" + rest;
        return true;
    }
    // "MRCP/2.0 <length> <method> <request-id>": the length counts the whole message,
    // its own digits included.
    std::vector<std::string> words;
    size_t p = 0;
    while (p < start.size()) {
        size_t q = start.find_first_of(" \t", p);
        if (q == std::string::npos)
            q = start.size();
        if (q > p)
            words.push_back(start.substr(p, q - p));
        p = q + 1;
    }
    if (words.size() != 4) {
        *error = "expected 'MRCP/2.0 LENGTH METHOD REQUEST-ID', got '" + start + "'";
        return false;
    }
    std::string tail = " " + words[2] + " " + words[3] + "\r\n" + rest;
    size_t length = 0;
    for (int round = 0; round < 4; ++round) {
        length = words[0].size() + 1 + std::to_string(length).size() + tail.size();
    }
    *text = words[0] + " " + std::to_string(length) + tail;
    return true;
}

}  // namespace

struct HostEngine::Channel {
    enum class State { kOpening, kOpen, kClosing, kAbandoned };

    uint64_t key = 0;
    std::string name;
    int rate = 8000;
    int version = 2;
    State state = State::kOpening;
    apr_pool_t* pool = nullptr;
    mrcp_engine_channel_t* record = nullptr;
    mpf_audio_stream_t* stream = nullptr;
    bool media_attached = false;
    int open_responses = 0;
    bool open_status = false;
    int close_responses = 0;
    ConformanceChecker checker;
    std::map<uint64_t, apr_pool_t*> request_pools;  // requests not finished yet
    std::deque<PluginMessage> unconsumed;           // delivered, not yet taken by a wait
    // What a wait for an event needs to know to fail at once when nothing more can come:
    // the requests still running (id to method) and how the last of each method ended.
    std::map<uint64_t, std::string> running;
    struct EndedRequest {
        uint64_t id = 0;
        std::string how;
    };
    std::map<std::string, EndedRequest> last_ended;
};

namespace {

// The method whose requests an event belongs to; empty for an unknown event.
std::string EventMethod(const std::string& event) {
    if (strcasecmp(event.c_str(), "START-OF-INPUT") == 0 ||
        strcasecmp(event.c_str(), "RECOGNITION-COMPLETE") == 0)
        return "RECOGNIZE";
    if (strcasecmp(event.c_str(), "INTERPRETATION-COMPLETE") == 0)
        return "INTERPRET";
    return std::string();
}

// How request `id` ended with `message`: "answered 406 COMPLETE", "RECOGNITION-COMPLETE
// 001 no-match", "stopped by STOP 3".
std::string DescribeEnd(const PluginMessage& message, uint64_t id) {
    if (message.info.kind == MessageInfo::Kind::kResponse && message.info.request_id != id)
        return "stopped by " + message.name + " " + std::to_string(message.info.request_id);
    if (message.info.kind == MessageInfo::Kind::kResponse)
        return "answered " + std::to_string(message.info.status_code) + " COMPLETE";
    std::string text = message.name;
    if (!message.completion_cause.empty())
        text += " " + message.completion_cause;
    return text;
}

}  // namespace

const mrcp_engine_event_vtable_t HostEngine::sm_engine_events = {&HostEngine::OnEngineOpen,
                                                                 &HostEngine::OnEngineClose};
const mrcp_engine_channel_event_vtable_t HostEngine::sm_channel_events = {
    &HostEngine::OnChannelOpen, &HostEngine::OnChannelClose, &HostEngine::OnChannelMessage};

HostEngine::HostEngine(HostOptions options)
    : options_(std::move(options)), start_(Clock::now()), media_(options_.pace) {
    apr_initialize();
    apr_pool_create(&pool_, nullptr);
    std::lock_guard<std::mutex> lock(sm_hosts_mutex);
    sm_hosts.insert(this);
}

HostEngine::~HostEngine() {
    std::string ignored;
    Shutdown(&ignored);
    {
        std::lock_guard<std::mutex> lock(sm_hosts_mutex);
        sm_hosts.erase(this);
    }
    if (!plugin_hung_) {
        // The plugin is unloaded: nothing can call on its records any more.
        mrcp_engine_channel_forget(this);
        apr_pool_destroy(pool_);
        apr_terminate();
    }
}

int64_t HostEngine::ElapsedMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start_).count();
}

// ---- Plugin threads ----------------------------------------------------------------------

void HostEngine::Post(InboxEvent event) {
    event.when = Clock::now();
    {
        std::lock_guard<std::mutex> lock(inbox_mutex_);
        inbox_.push_back(std::move(event));
    }
    inbox_ready_.notify_one();
}

apt_bool_t HostEngine::OnEngineOpen(mrcp_engine_t* engine, apt_bool_t status) {
    if (!engine || !engine->event_obj)
        return FALSE;
    InboxEvent event;
    event.type = InboxEvent::Type::kEngineOpen;
    event.status = status != FALSE;
    static_cast<HostEngine*>(engine->event_obj)->Post(std::move(event));
    return TRUE;
}

apt_bool_t HostEngine::OnEngineClose(mrcp_engine_t* engine) {
    if (!engine || !engine->event_obj)
        return FALSE;
    InboxEvent event;
    event.type = InboxEvent::Type::kEngineClose;
    static_cast<HostEngine*>(engine->event_obj)->Post(std::move(event));
    return TRUE;
}

apt_bool_t HostEngine::OnChannelOpen(mrcp_engine_channel_t* channel, apt_bool_t status) {
    if (!channel || !channel->engine || !channel->engine->event_obj)
        return FALSE;
    InboxEvent event;
    event.type = InboxEvent::Type::kChannelOpen;
    event.channel_key = KeyOf(channel);
    event.status = status != FALSE;
    static_cast<HostEngine*>(channel->engine->event_obj)->Post(std::move(event));
    return TRUE;
}

apt_bool_t HostEngine::OnChannelClose(mrcp_engine_channel_t* channel) {
    if (!channel || !channel->engine || !channel->engine->event_obj)
        return FALSE;
    InboxEvent event;
    event.type = InboxEvent::Type::kChannelClose;
    event.channel_key = KeyOf(channel);
    static_cast<HostEngine*>(channel->engine->event_obj)->Post(std::move(event));
    return TRUE;
}

apt_bool_t HostEngine::OnChannelMessage(mrcp_engine_channel_t* channel, mrcp_message_t* message) {
    Clock::time_point sent_at = Clock::now();
    if (!channel || !message || !channel->engine || !channel->engine->event_obj)
        return FALSE;
    InboxEvent event;
    event.type = InboxEvent::Type::kMessage;
    event.message.sent_at = sent_at;
    event.channel_key = KeyOf(channel);
    Snapshot(message, &event.message);
    static_cast<HostEngine*>(channel->engine->event_obj)->Post(std::move(event));
    return TRUE;
}

void HostEngine::OnChannelGone(void* obj, const void* channel, const char* call) {
    // `obj` may be a host that is gone too (a plugin that outlived its server): only its
    // address is compared until it is known to be alive.
    std::lock_guard<std::mutex> lock(sm_hosts_mutex);
    if (!sm_hosts.count(obj))
        return;
    InboxEvent event;
    event.type = InboxEvent::Type::kGone;
    event.record = channel;
    event.error = call;
    static_cast<HostEngine*>(obj)->Post(std::move(event));
}

// ---- Server thread: the inbox --------------------------------------------------------------

bool HostEngine::PumpOne(Clock::time_point deadline) {
    InboxEvent event;
    {
        std::unique_lock<std::mutex> lock(inbox_mutex_);
        if (!inbox_ready_.wait_until(lock, deadline, [this] { return !inbox_.empty(); })) {
            return false;
        }
        event = std::move(inbox_.front());
        inbox_.pop_front();
    }
    Handle(event);
    return true;
}

void HostEngine::PumpUntil(Clock::time_point deadline) {
    while (PumpOne(deadline)) {
    }
}

bool HostEngine::WaitUntil(const std::function<bool()>& done, int timeout_ms) {
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (!PumpOne(deadline))
            return done();
    }
    return true;
}

void HostEngine::ReportViolations(const std::string& channel,
                                  const std::vector<Violation>& violations) {
    for (const Violation& violation : violations) {
        ++violation_count_;
        apt_log(APT_LOG_SOURCE_DEFAULT, APT_LOG_MARK, APT_PRIO_WARNING,
                "MRCP Violation [%s] request %llu: %s <%s>", violation.rule.c_str(),
                static_cast<unsigned long long>(violation.request_id), violation.detail.c_str(),
                channel.c_str());
        if (on_violation_)
            on_violation_(channel, violation);
    }
}

void HostEngine::Handle(InboxEvent& event) {
    std::vector<Violation> violations;
    if (event.type == InboxEvent::Type::kEngineOpen) {
        if (++engine_open_responses_ == 1) {
            engine_open_status_ = event.status;
        } else {
            violations.push_back(
                {0, "", ConformanceChecker::kRuleOpenOnce, "second engine open response"});
        }
        ReportViolations("engine", violations);
        return;
    }
    if (event.type == InboxEvent::Type::kEngineClose) {
        if (++engine_close_responses_ > 1) {
            violations.push_back(
                {0, "", ConformanceChecker::kRuleCloseOnce, "second engine close response"});
        }
        ReportViolations("engine", violations);
        return;
    }
    if (event.type == InboxEvent::Type::kGone) {
        auto gone = destroyed_names_.find(event.record);
        std::string name = gone != destroyed_names_.end() ? gone->second : "?";
        violations.push_back(GoneViolation(event.error, name));
        ReportViolations(name, violations);
        return;
    }
    auto it = channels_.find(event.channel_key);
    if (it == channels_.end()) {
        // Posted before the channel was destroyed, handled after.
        auto gone = destroyed_keys_.find(event.channel_key);
        std::string name = gone != destroyed_keys_.end()
                               ? gone->second
                               : "channel#" + std::to_string(event.channel_key);
        violations.push_back(
            GoneViolation(event.type == InboxEvent::Type::kChannelOpen    ? "channel open response"
                          : event.type == InboxEvent::Type::kChannelClose ? "channel close response"
                                                                          : "message",
                          name));
        ReportViolations(name, violations);
        return;
    }
    Channel* channel = it->second.get();
    switch (event.type) {
        case InboxEvent::Type::kChannelOpen:
            if (++channel->open_responses == 1)
                channel->open_status = event.status;
            channel->checker.OnOpenResponse(&violations);
            break;
        case InboxEvent::Type::kChannelClose:
            ++channel->close_responses;
            channel->checker.OnCloseResponse(&violations);
            break;
        default:
            HandleMessage(channel, event);
            return;
    }
    ReportViolations(channel->name, violations);
}

Violation HostEngine::GoneViolation(const std::string& call, const std::string& channel) {
    // A second open or close response is what it is, however late it comes.
    const char* rule = call == "channel open response"    ? ConformanceChecker::kRuleOpenOnce
                       : call == "channel close response" ? ConformanceChecker::kRuleCloseOnce
                                                          : ConformanceChecker::kRuleChannelExists;
    return {0, "", rule,
            "a " + call + " on channel '" + channel + "' after it was destroyed (dropped unread)"};
}

void HostEngine::HandleMessage(Channel* channel, InboxEvent& event) {
    std::vector<Violation> violations;
    PluginMessage& message = event.message;
    message.channel = channel->name;
    message.elapsed_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(event.when - start_).count();
    if (channel->close_responses > 0) {
        violations.push_back({message.info.request_id, message.name,
                              ConformanceChecker::kRuleNothingAfterClose,
                              message.name + " after the channel's close response"});
        ReportViolations(channel->name, violations);
        return;
    }
    MessageVerdict verdict = channel->checker.OnMessage(message.info, &violations);
    message.conforming = verdict.conforming;
    if (!verdict.add_active_request_ids.empty() && verdict.deliver) {
        // RFC 6787: a STOP response names the requests it ended.
        apr_pool_t* pool = nullptr;
        apr_pool_create(&pool, nullptr);
        mrcp_message_t* parsed = nullptr;
        if (mrcp_message_parse(message.text.data(), message.text.size(), pool, &parsed, nullptr,
                               nullptr) == MRCP_WIRE_OK) {
            mrcp_request_id_list_t& list = parsed->generic_header.active_request_id_list;
            list.count = 0;
            for (uint64_t id : verdict.add_active_request_ids) {
                if (list.count < MRCP_MAX_ACTIVE_REQUEST_ID_COUNT) {
                    list.ids[list.count++] = mrcp_request_id(id);
                }
            }
            mrcp_generic_header_property_add(parsed, GENERIC_HEADER_ACTIVE_REQUEST_ID_LIST);
            apt_str_t text = {nullptr, 0};
            if (mrcp_message_generate(parsed, pool, &text, nullptr) == MRCP_WIRE_OK) {
                message.text = ToString(text);
                message.info.has_active_request_id_list = true;
                message.info.active_request_ids = verdict.add_active_request_ids;
            }
        }
        apr_pool_destroy(pool);
    }
    ReportViolations(channel->name, violations);
    for (uint64_t id : verdict.finished_requests) {
        auto running = channel->running.find(id);
        if (running == channel->running.end())
            continue;
        channel->last_ended[running->second] = {id, DescribeEnd(message, id)};
        channel->running.erase(running);
    }
    if (verdict.deliver) {
        if (on_message_)
            on_message_(message);
        if (options_.keep_messages)
            channel->unconsumed.push_back(std::move(message));
    }
    for (uint64_t id : verdict.finished_requests)
        FreeRequestPool(channel, id);
}

void HostEngine::FreeRequestPool(Channel* channel, uint64_t request_id) {
    auto it = channel->request_pools.find(request_id);
    if (it == channel->request_pools.end())
        return;
    apr_pool_destroy(it->second);
    sm_freed_pools.Add(it->second);
    channel->request_pools.erase(it);
}

// ---- Server thread: engine -------------------------------------------------------------------

bool HostEngine::Open(std::string* error) {
    if (engine_) {
        *error = "engine already open";
        return false;
    }
    apt_dir_layout_t* layout = apt_dir_layout_create(pool_);
    const std::pair<apt_dir_entry_id, const std::string*> dirs[] = {
        {APT_LAYOUT_CONF_DIR, &options_.conf_dir},
        {APT_LAYOUT_LOG_DIR, &options_.log_dir},
        {APT_LAYOUT_DATA_DIR, &options_.data_dir},
        {APT_LAYOUT_VAR_DIR, &options_.var_dir}};
    for (const auto& dir : dirs) {
        if (dir.second->empty())
            continue;
        if (apr_dir_make_recursive(dir.second->c_str(), APR_OS_DEFAULT, pool_) != APR_SUCCESS) {
            *error = "cannot create directory " + *dir.second;
            return false;
        }
        apt_dir_layout_path_set(layout, dir.first, dir.second->c_str(), pool_);
    }
    std::string plugin_dir = options_.plugin_path;
    size_t slash = plugin_dir.rfind('/');
    plugin_dir = slash == std::string::npos ? "." : plugin_dir.substr(0, slash);
    apt_dir_layout_path_set(layout, APT_LAYOUT_PLUGIN_DIR, plugin_dir.c_str(), pool_);

    if (!apt_log_instance_get()) {
        int output = APT_LOG_OUTPUT_CONSOLE;
        if (!options_.log_dir.empty())
            output |= APT_LOG_OUTPUT_FILE;
        if (apt_log_instance_create(output, options_.log_priority, pool_)) {
            logger_created_ = true;
            if (!options_.log_dir.empty()) {
                apt_log_file_open(options_.log_dir.c_str(), "ostrin.log", pool_);
            }
        }
    }

    if (!loader_.Load(options_.plugin_path, error))
        return false;
    engine_ = loader_.CreateEngine(pool_, error);
    if (!engine_) {
        loader_.Unload();
        return false;
    }
    std::string name = options_.plugin_path.substr(slash == std::string::npos ? 0 : slash + 1);
    name = name.substr(0, name.find('.'));
    engine_->event_vtable = &sm_engine_events;
    engine_->event_obj = this;
    engine_->config = mrcp_engine_config_alloc(name.c_str(), options_.max_channels, pool_);
    engine_->dir_layout = layout;
    engine_->pool = pool_;

    if (!mrcp_engine_virtual_open(engine_)) {
        *error = "the engine's open failed";
        return false;
    }
    engine_open_called_ = true;
    if (!WaitUntil([this] { return engine_open_responses_ > 0; }, options_.open_timeout_ms)) {
        *error =
            "no engine open response within " + std::to_string(options_.open_timeout_ms) + " ms";
        return false;
    }
    if (!engine_open_status_) {
        *error = "the engine's open failed (the plugin answered FALSE)";
        return false;
    }
    engine_open_ = true;
    engine_->is_open = TRUE;
    media_.Start();
    return true;
}

bool HostEngine::Shutdown(std::string* error) {
    bool ok = true;
    auto note = [&](const std::string& what) {
        if (ok)
            *error = what;
        ok = false;
    };
    std::vector<uint64_t> keys;
    for (auto& entry : channels_) {
        if (entry.second->state != Channel::State::kAbandoned)
            keys.push_back(entry.first);
    }
    for (uint64_t key : keys) {
        std::string channel_error;
        if (!CloseChannel(channels_[key].get(), &channel_error))
            note(channel_error);
    }
    // No frame may reach the plugin once its engine closes.
    media_.Stop();
    if (engine_ && engine_open_called_) {
        if (mrcp_engine_virtual_close(engine_)) {
            if (!WaitUntil([this] { return engine_close_responses_ > 0; },
                           options_.close_timeout_ms)) {
                note("no engine close response within " +
                     std::to_string(options_.close_timeout_ms) + " ms");
                plugin_hung_ = true;
            }
        }
        engine_open_called_ = false;
    }
    // Whatever the plugin still sent on its way out.
    PumpUntil(Clock::now());
    if (plugin_hung_) {
        // The plugin may still run: leave it and its memory alone, but never follow its
        // channel records again.
        for (auto& entry : channels_) {
            if (entry.second->record)
                mrcp_engine_channel_unwatch(entry.second->record);
        }
        channels_.clear();
        channels_by_name_.clear();
        engine_ = nullptr;
        return ok;
    }
    // Channels that never answered their close are safe to destroy now that the engine is.
    std::vector<uint64_t> remaining;
    for (auto& entry : channels_)
        remaining.push_back(entry.first);
    for (uint64_t key : remaining)
        DestroyChannel(channels_[key].get());
    channels_.clear();
    channels_by_name_.clear();
    if (engine_) {
        mrcp_engine_virtual_destroy(engine_);
        engine_ = nullptr;
    }
    engine_open_ = false;
    loader_.Unload();
    if (logger_created_) {
        apt_log_instance_destroy();
        logger_created_ = false;
    }
    return ok;
}

// ---- Server thread: channels ----------------------------------------------------------------

HostEngine::Channel* HostEngine::FindChannel(const std::string& name, std::string* error) {
    auto it = channels_by_name_.find(name);
    if (it == channels_by_name_.end()) {
        *error = "no open channel '" + name + "'";
        return nullptr;
    }
    return channels_[it->second].get();
}

int HostEngine::ChannelVersion(const std::string& name) const {
    auto it = channels_by_name_.find(name);
    return it == channels_by_name_.end() ? 0 : channels_.at(it->second)->version;
}

bool HostEngine::OpenChannel(const std::string& name, int rate, int version,
                             const std::vector<std::pair<std::string, std::string>>& attributes,
                             std::string* error) {
    if (!engine_open_) {
        *error = "the engine is not open";
        return false;
    }
    if (channels_by_name_.count(name)) {
        *error = "channel '" + name + "' is already open";
        return false;
    }
    if (channels_by_name_.size() >= options_.max_channels) {
        *error = "at most " + std::to_string(options_.max_channels) + " channels";
        return false;
    }
    if (rate != 8000 && rate != 16000) {
        *error = "rate must be 8000 or 16000";
        return false;
    }
    std::unique_ptr<Channel> owned(new Channel);
    Channel* channel = owned.get();
    channel->key = next_key_++;
    channel->name = name;
    channel->rate = rate;
    channel->version = version;
    apr_pool_create(&channel->pool, nullptr);
    channel->record = mrcp_engine_channel_virtual_create(engine_, channel->pool);
    if (!channel->record) {
        apr_pool_destroy(channel->pool);
        *error = "the plugin created no channel for '" + name + "'";
        return false;
    }
    mrcp_engine_channel_t* record = channel->record;
    record->event_vtable = &sm_channel_events;
    record->event_obj = reinterpret_cast<void*>(uintptr_t(channel->key));
    record->id.buf = apr_pstrdup(channel->pool, name.c_str());
    record->id.length = name.size();
    record->mrcp_version = version == 1 ? MRCP_VERSION_1 : MRCP_VERSION_2;
    channel->checker.SetChannel(name, version);
    // From here on the plugin's answers on this record are reached through the watch list.
    mrcp_engine_channel_watch(record, &HostEngine::OnChannelGone, this);
    destroyed_names_.erase(record);
    if (!record->attribs)
        record->attribs = apr_table_make(channel->pool, 4);
    for (const auto& attribute : attributes) {
        apr_table_set(record->attribs, attribute.first.c_str(), attribute.second.c_str());
    }
    channels_[channel->key] = std::move(owned);
    channels_by_name_[name] = channel->key;

    channel->stream = mrcp_engine_channel_audio_stream_get(record);
    if (channel->stream) {
        mpf_codec_descriptor_t* codec =
            mpf_codec_lpcm_descriptor_create(apr_uint16_t(rate), channel->pool);
        if (channel->stream->capabilities &&
            !mpf_codec_capabilities_match(&channel->stream->capabilities->codecs, codec)) {
            *error =
                "the plugin's audio stream does not take LPCM at " + std::to_string(rate) + " Hz";
            // Never opened: nothing to close.
            channels_by_name_.erase(name);
            DestroyChannel(channel);
            return false;
        }
        channel->stream->tx_descriptor = codec;
    }
    if (!mrcp_engine_channel_virtual_open(record)) {
        *error = "the plugin refused to open channel '" + name + "'";
        std::string ignored;
        CloseChannel(channel, &ignored);
        return false;
    }
    if (!WaitUntil([channel] { return channel->open_responses > 0; }, options_.open_timeout_ms)) {
        *error = "no open response for channel '" + name + "' within " +
                 std::to_string(options_.open_timeout_ms) + " ms";
        std::string ignored;
        CloseChannel(channel, &ignored);
        return false;
    }
    if (!channel->open_status) {
        *error = "channel '" + name + "' failed to open (the plugin answered FALSE)";
        std::string ignored;
        CloseChannel(channel, &ignored);
        return false;
    }
    channel->state = Channel::State::kOpen;
    record->is_open = TRUE;
    if (channel->stream) {
        media_.Attach(channel->key, channel->stream, channel->stream->tx_descriptor);
        channel->media_attached = true;
    }
    return true;
}

bool HostEngine::CloseChannel(const std::string& name, std::string* error) {
    Channel* channel = FindChannel(name, error);
    return channel && CloseChannel(channel, error);
}

bool HostEngine::CloseChannel(Channel* channel, std::string* error) {
    channels_by_name_.erase(channel->name);
    if (channel->media_attached) {
        channel->media_attached = false;
        if (!media_.Detach(channel->key)) {
            *error = "the audio stream of channel '" + channel->name + "' does not return";
            channel->state = Channel::State::kAbandoned;
            plugin_hung_ = true;
            return false;
        }
    }
    channel->state = Channel::State::kClosing;
    bool answered = true;
    if (mrcp_engine_channel_virtual_close(channel->record)) {
        answered = WaitUntil([channel] { return channel->close_responses > 0; },
                             options_.close_timeout_ms);
    }
    std::vector<Violation> violations;
    channel->checker.OnChannelClosed(&violations);
    ReportViolations(channel->name, violations);
    if (!answered) {
        // The plugin may still use the channel: it is destroyed after the engine closes.
        *error = "no close response for channel '" + channel->name + "' within " +
                 std::to_string(options_.close_timeout_ms) + " ms";
        channel->state = Channel::State::kAbandoned;
        return false;
    }
    DestroyChannel(channel);
    return true;
}

void HostEngine::DestroyChannel(Channel* channel) {
    if (channel->record) {
        // Whatever the plugin sends on this record from now on is reported, not followed.
        mrcp_engine_channel_unwatch(channel->record);
        destroyed_names_[channel->record] = channel->name;
        destroyed_keys_[channel->key] = channel->name;
        // Only events posted shortly before a destroy can name its key; keys only grow, so
        // the oldest names go first and a long run keeps a bounded number of them.
        while (destroyed_keys_.size() > kDestroyedKeysKept)
            destroyed_keys_.erase(destroyed_keys_.begin());
        mrcp_engine_channel_virtual_destroy(channel->record);
        channel->record = nullptr;
    }
    for (auto& request : channel->request_pools)
        apr_pool_destroy(request.second);
    if (channel->pool)
        apr_pool_destroy(channel->pool);
    channels_.erase(channel->key);
}

bool HostEngine::SendRequest(const std::string& name, const std::string& written,
                             std::string* error, uint64_t* request_id, std::string* method) {
    Channel* channel = FindChannel(name, error);
    if (!channel)
        return false;
    std::string text;
    if (!PrepareRequestText(written, channel->name, channel->version, &text, error))
        return false;
    apr_pool_t* pool = CreateRequestPool();
    if (!pool) {
        *error = "out of memory";
        return false;
    }
    mrcp_message_t* request = nullptr;
    mrcp_wire_error_t wire_error;
    if (mrcp_message_parse(text.data(), text.size(), pool, &request, nullptr, &wire_error) !=
        MRCP_WIRE_OK) {
        apr_pool_destroy(pool);
        *error = std::string("bad request: ") + wire_error.text;
        return false;
    }
    if (request->start_line.message_type != MRCP_MESSAGE_TYPE_REQUEST) {
        apr_pool_destroy(pool);
        *error = "not a request";
        return false;
    }
    if (request->start_line.version == MRCP_VERSION_1) {
        // MRCPv1 carries no Channel-Identifier: the session is the channel's RTSP session,
        // given in the same place as MRCPv2's.
        apt_string_assign_n(&request->channel_id.session_id, channel->name.data(),
                            channel->name.size(), pool);
        apt_string_set(&request->channel_id.resource_name, MRCP_RECOGNIZER_RESOURCE_NAME);
    }
    uint64_t id = request->start_line.request_id;
    std::string method_name = ToString(request->start_line.method_name);
    if (!channel->checker.OnRequest(id, method_name)) {
        apr_pool_destroy(pool);
        *error = "request id " + std::to_string(id) + " is still in use on channel '" + name + "'";
        return false;
    }
    channel->request_pools[id] = pool;
    channel->running[id] = method_name;
    if (request_id)
        *request_id = id;
    if (method)
        *method = method_name;
    // From here on the request belongs to the plugin until its final message.
    if (!mrcp_engine_channel_request_process(channel->record, request)) {
        *error = "the plugin refused " + method_name + " " + std::to_string(id);
        return false;
    }
    return true;
}

// ---- Server thread: media --------------------------------------------------------------------

bool HostEngine::AddAudio(const std::string& name, const std::string& wav_path,
                          std::string* error) {
    Channel* channel = FindChannel(name, error);
    if (!channel)
        return false;
    WavAudio audio;
    if (!ReadWavFile(wav_path, channel->rate, &audio, error))
        return false;
    return media_.AddAudio(channel->key, std::move(audio.samples), error);
}

bool HostEngine::AddSilence(const std::string& name, int ms, std::string* error) {
    Channel* channel = FindChannel(name, error);
    return channel && media_.AddSilence(channel->key, ms, error);
}

bool HostEngine::AddDtmf(const std::string& name, const std::string& digits,
                         const DtmfTiming& timing, std::string* error) {
    Channel* channel = FindChannel(name, error);
    return channel && media_.AddDtmf(channel->key, digits, timing, error);
}

size_t HostEngine::PendingFrames(const std::string& name) {
    std::string error;
    Channel* channel = FindChannel(name, &error);
    return channel ? media_.PendingFrames(channel->key) : 0;
}

MediaCounters HostEngine::Counters(const std::string& name) {
    std::string error;
    Channel* channel = FindChannel(name, &error);
    return channel ? media_.Counters(channel->key) : MediaCounters();
}

bool HostEngine::WaitForMessage(const std::string& name, const std::string& what, int timeout_ms,
                                PluginMessage* found) {
    MessageFilter filter;
    filter.what = what;
    return WaitForMessage(name, filter, timeout_ms, found);
}

bool HostEngine::WaitForMessage(const std::string& name, const MessageFilter& filter,
                                int timeout_ms, PluginMessage* found) {
    std::string error;
    Channel* channel = FindChannel(name, &error);
    if (!channel)
        return false;
    // Only messages that came on this channel and broke no rule count.
    auto matches = [&filter](const PluginMessage& message) {
        if (!message.conforming)
            return false;
        if (filter.what == "response") {
            if (message.info.kind != MessageInfo::Kind::kResponse)
                return false;
        } else if (message.info.kind != MessageInfo::Kind::kEvent ||
                   strcasecmp(message.name.c_str(), filter.what.c_str()) != 0) {
            return false;
        }
        if (filter.request_id >= 0 && message.info.request_id != uint64_t(filter.request_id))
            return false;
        if (filter.cause >= 0 &&
            (!message.info.has_completion_cause || message.info.completion_cause != filter.cause))
            return false;
        return true;
    };
    wait_failure_.clear();
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        for (size_t i = 0; i < channel->unconsumed.size(); ++i) {
            if (matches(channel->unconsumed[i])) {
                if (found)
                    *found = channel->unconsumed[i];
                channel->unconsumed.erase(channel->unconsumed.begin(),
                                          channel->unconsumed.begin() + long(i) + 1);
                return true;
            }
        }
        // Nothing can come for a request that has ended (the one named, or, when none is
        // named, every one of the event's method).
        const std::string method = EventMethod(filter.what);
        auto ended = channel->last_ended.find(method);
        if (ended != channel->last_ended.end()) {
            bool nothing_runs = true;
            for (const auto& running : channel->running) {
                if (running.second == method &&
                    (filter.request_id < 0 || running.first == uint64_t(filter.request_id)))
                    nothing_runs = false;
            }
            if (nothing_runs &&
                (filter.request_id < 0 || uint64_t(filter.request_id) == ended->second.id)) {
                wait_failure_ = method + " " + std::to_string(ended->second.id) +
                                " has already ended (" + ended->second.how + ")";
                return false;
            }
        }
        if (!PumpOne(deadline))
            return false;
        // Pumping never destroys channels, so `channel` stays valid.
    }
}

}  // namespace OstrinRuntime
