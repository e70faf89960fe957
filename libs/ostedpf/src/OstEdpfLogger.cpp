#include <ostedpf/OstEdpfLogger.h>

#include <apr_strings.h>
#include <apr_time.h>

#include <cstring>

namespace OstEdpf {

namespace {

struct LevelNames {
    const char* name;
    const char* formatted;
};

constexpr LevelNames kLevelNames[] = {
    {"EMERGENCY", "EMERG  "}, {"ALERT", "ALERT  "},  {"CRITICAL", "CRITIC "}, {"ERROR", "ERROR  "},
    {"WARNING", "WARN   "},   {"NOTICE", "NOTICE "}, {"INFO", "INFO   "},     {"DEBUG", "DEBUG  "},
};

bool IsValidLevel(LogLevel level) {
    return level >= LOG_LEVEL_EMERGENCY && level <= LOG_LEVEL_DEBUG;
}

std::string FormatTimestamp(apr_time_t now) {
    apr_time_exp_t local;
    apr_time_exp_lt(&local, now);
    char text[64];
    apr_snprintf(text, sizeof(text), "%4d-%02d-%02d %02d:%02d:%02d.%06d", local.tm_year + 1900,
                 local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                 local.tm_usec);
    return text;
}

}  // namespace

const char* GetLogLevelName(LogLevel level) {
    return IsValidLevel(level) ? kLevelNames[level].name : "";
}

const char* GetLogLevelFormattedName(LogLevel level) {
    return IsValidLevel(level) ? kLevelNames[level].formatted : "";
}

bool TranslateLogLevel(const char* text, LogLevel& level) {
    if (!text)
        return false;
    for (int i = LOG_LEVEL_EMERGENCY; i <= LOG_LEVEL_DEBUG; ++i) {
        if (std::strcmp(text, kLevelNames[i].name) == 0) {
            level = static_cast<LogLevel>(i);
            return true;
        }
    }
    return false;
}

bool LogFacilityConfig::Find(const std::string& name, LogLevel& level) const {
    const std::string* best = nullptr;
    for (const auto& item : m_levels) {
        if (name.compare(0, item.first.size(), item.first) == 0 &&
            (!best || item.first.size() > best->size())) {
            best = &item.first;
            level = item.second;
        }
    }
    return best != nullptr;
}

void LogFacilityConfig::Walk(
    const std::function<void(const std::string& prefix, LogLevel level)>& visit) const {
    for (const auto& item : m_levels)
        visit(item.first, item.second);
}

void LogFacilityConfig::Create(const std::string& prefix, LogLevel level) {
    m_levels[prefix] = level;
}

void LogFacilityConfig::Destroy() {
    m_levels.clear();
}

LogFacility::LogFacility(const std::string& name) : m_name(name), m_level(LOG_LEVEL_INFO) {
    LogLevel configured;
    Logger::Use logger;
    if (logger && logger->GetFacilityConfig().Find(name, configured))
        m_level = configured;
}

LogFacility::LogFacility(const std::string& name, LogLevel level) : m_name(name), m_level(level) {}

std::atomic<Logger*> Logger::sm_instance{nullptr};
std::atomic<uint32_t> Logger::sm_refCount{0};
std::mutex Logger::sm_instanceMutex;

Logger::Logger() : m_global("GLOBAL", LOG_LEVEL_INFO) {}

Logger::~Logger() {
    Shutdown();
    for (auto& item : m_devices)
        delete item.second;
}

Logger* Logger::CreateInstance() {
    std::lock_guard<std::mutex> lock(sm_instanceMutex);
    if (sm_refCount.fetch_add(1) == 0)
        sm_instance.store(new Logger(), std::memory_order_release);
    return sm_instance.load();
}

void Logger::DestroyInstance() {
    Logger* logger;
    {
        std::lock_guard<std::mutex> lock(sm_instanceMutex);
        if (sm_refCount.load() == 0)
            return;
        if (sm_refCount.fetch_sub(1) != 1)
            return;
        logger = sm_instance.exchange(nullptr);
        // Held here too, so that a use ending meanwhile does not free it under Shutdown().
        logger->m_released = true;
        ++logger->m_uses;
    }
    // Outside the lock: the logger's thread may log through a Use while it ends.
    logger->Shutdown();
    ReleaseInstance(logger);
}

Logger* Logger::AcquireInstance() {
    std::lock_guard<std::mutex> lock(sm_instanceMutex);
    Logger* logger = sm_instance.load(std::memory_order_acquire);
    if (logger)
        ++logger->m_uses;
    return logger;
}

void Logger::ReleaseInstance(Logger* logger) {
    if (!logger)
        return;
    bool last;
    {
        std::lock_guard<std::mutex> lock(sm_instanceMutex);
        last = --logger->m_uses == 0 && logger->m_released;
    }
    if (last)
        delete logger;
}

bool Logger::Start() {
    std::unique_lock<std::shared_mutex> lock(m_processorMutex);
    if (m_processor)
        return false;
    auto* processor = new SoftEventProcessor();
    processor->AddObserver(this);
    if (!processor->Start()) {
        delete processor;
        return false;
    }
    m_processor = processor;
    return true;
}

bool Logger::Shutdown() {
    SoftEventProcessor* processor;
    {
        std::unique_lock<std::shared_mutex> lock(m_processorMutex);
        processor = m_processor;
        m_processor = nullptr;
    }
    if (!processor)
        return false;
    // Records already queued are still written before the thread ends.
    processor->Shutdown(true);
    delete processor;
    return true;
}

bool Logger::IsStarted() const {
    std::shared_lock<std::shared_mutex> lock(m_processorMutex);
    return m_processor != nullptr;
}

bool Logger::AddLogDevice(LogDevice* device) {
    if (!device || IsStarted())
        return false;
    return m_devices.emplace(device->GetFacility().GetName(), device).second;
}

bool Logger::RemoveLogDevice(LogDevice* device) {
    if (!device || IsStarted())
        return false;
    auto it = m_devices.find(device->GetFacility().GetName());
    if (it == m_devices.end() || it->second != device)
        return false;
    m_devices.erase(it);
    return true;
}

void Logger::FacilityLog(const LogFacility& facility, int tag, LogLevel level, int flags,
                         const char* file, int line, const char* format, ...) {
    va_list args;
    va_start(args, format);
    FacilityLogV(facility, tag, level, flags, file, line, format, args);
    va_end(args);
}

void Logger::Log(LogLevel level, const char* file, int line, const char* format, ...) {
    va_list args;
    va_start(args, format);
    FacilityLogV(m_global, 0, level, 0, file, line, format, args);
    va_end(args);
}

void Logger::FacilityLogV(const LogFacility& facility, int tag, LogLevel level, int flags,
                          const char* file, int line, const char* format, va_list args) {
    if (level > facility.GetLevel())
        return;
    char message[sm_messageBufferSize];
    apr_vsnprintf(message, sizeof(message), format, args);

    LogRecord record;
    record.timestamp = FormatTimestamp(apr_time_now());
    record.level = level;
    record.facility = facility.GetName();
    record.tag = tag;
    record.file = file ? file : "";
    record.line = line;
    record.flags = flags;
    record.message = message;
    PostLogRecord(record);
}

void Logger::PostLogRecord(const LogRecord& record) {
    std::shared_lock<std::shared_mutex> lock(m_processorMutex);
    if (!m_processor)
        return;
    AsyncEvent* event = new LogRecordEvent(this, record);
    event->Ref();
    m_processor->PostEvent(event);
}

bool Logger::OnStart(SoftEventProcessor* /*processor*/) {
    for (auto& item : m_devices)
        item.second->Open();
    return true;
}

void Logger::OnShutdown(SoftEventProcessor* /*processor*/) {
    for (auto& item : m_devices) {
        item.second->Close();
        delete item.second;
    }
    m_devices.clear();
}

bool Logger::ProcessLogRecord(const LogRecord& record) {
    bool result = true;
    // One failing device does not keep the record from the others.
    for (auto& item : m_devices) {
        if (!item.second->ProcessLogRecord(record))
            result = false;
    }
    return result;
}

}  // namespace OstEdpf
