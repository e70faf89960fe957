#include "OsrZephStub.h"

#include "OsrZephChannel.h"
#include "OsrZephEngine.h"
#include "OsrZephLog.h"

namespace Zeph {

const char* const MethodBase::sm_ProjectPrefix = "projects/";
std::atomic<long> MethodBase::sm_LiveCount{0};
std::atomic<uint64_t> MethodBase::sm_OperationsStarted{0};

MethodBase* Tag::GetMethod() const {
    MethodBase::sm_OperationsStarted.load(std::memory_order_acquire);
    return m_method;
}

GrpcEvent::GrpcEvent(std::shared_ptr<MethodBase> method, Tag* tag, bool ok)
    : m_method(std::move(method)), m_tag(tag), m_ok(ok) {}

GrpcEvent::GrpcEvent(GrpcEvent&& other) noexcept
    : m_method(std::move(other.m_method)), m_tag(other.m_tag), m_ok(other.m_ok) {}

GrpcEvent& GrpcEvent::operator=(GrpcEvent&& other) noexcept {
    if (this != &other) {
        Release();
        m_method = std::move(other.m_method);
        m_tag = other.m_tag;
        m_ok = other.m_ok;
    }
    return *this;
}

GrpcEvent::~GrpcEvent() {
    Release();
}

void GrpcEvent::Release() {
    // Accounted for before the reference goes: this may be the method's last one.
    if (m_method)
        m_method->m_inFlight.fetch_sub(1);
    m_method.reset();
}

void GrpcEvent::Process() {
    if (!m_method)
        return;
    m_tag->m_pending = false;
    m_method->ProcessGrpcEvent(m_tag, m_ok);
}

MethodBase::MethodBase(Channel* channel)
    : m_channel(channel), m_processor(channel->GetEngine()->GetEventProcessor()) {
    sm_LiveCount.fetch_add(1);
}

MethodBase::MethodBase(Channel* channel, OstEdpf::AsyncEventProcessor* processor)
    : m_channel(channel), m_processor(processor) {
    sm_LiveCount.fetch_add(1);
}

MethodBase::~MethodBase() {
    sm_LiveCount.fetch_sub(1);
}

bool MethodBase::ProcessNoInput() {
    if (m_contextActive)
        return Cancel();
    return false;
}

bool MethodBase::ProcessStop() {
    return ProcessNoInput();
}

bool MethodBase::ProcessStartOfSpeechInput() {
    return false;
}

bool MethodBase::ProcessSpeechInput(DataChunk& chunk, bool last) {
    if (!m_channel)
        return false;
    if (!chunk.Empty())
        m_channel->GetPendingAudio().push_back(std::move(chunk));
    if (last)
        m_channel->CompleteInput();
    return true;
}

bool MethodBase::ProcessDtmfInput(const std::string& digits, bool /*matched*/) {
    if (!m_channel)
        return false;
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Store DTMF Input [%s] <%s@%s>",
            digits.c_str(), m_channel->GetId(), Channel::sm_Suffix);
    m_channel->GetDtmfDigits() = digits;
    return true;
}

bool MethodBase::ProcessDtmfDigit(char digit) {
    if (!m_channel)
        return false;
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Store DTMF Digit [%c] <%s@%s>", digit,
            m_channel->GetId(), Channel::sm_Suffix);
    m_channel->GetDtmfDigits().push_back(digit);
    return true;
}

void MethodBase::ClearContext() {
    m_contextActive = false;
}

void MethodBase::BeginOperation(Tag& tag) {
    tag.m_pending = true;
    tag.m_hold = shared_from_this();
    m_inFlight.fetch_add(1);
    sm_OperationsStarted.fetch_add(1, std::memory_order_release);
}

GrpcEvent MethodBase::TakeCompletion(Tag* tag, bool ok) {
    // The tag's reference moves into the completion; `this` stays alive through it.
    return GrpcEvent(std::move(tag->m_hold), tag, ok);
}

}  // namespace Zeph
