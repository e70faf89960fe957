// The process-wide logger: records are formatted on the caller's thread and handed to
// the log devices on the logger's own thread.
#pragma once

#include <atomic>
#include <cstdarg>
#include <functional>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <string>

#include <ostedpf/OstEdpfSoftEventProcessor.h>

namespace OstEdpf {

// Same numbers as the host's log priorities.
enum LogLevel {
    LOG_LEVEL_EMERGENCY = 0,
    LOG_LEVEL_ALERT = 1,
    LOG_LEVEL_CRITICAL = 2,
    LOG_LEVEL_ERROR = 3,
    LOG_LEVEL_WARNING = 4,
    LOG_LEVEL_NOTICE = 5,
    LOG_LEVEL_INFO = 6,
    LOG_LEVEL_DEBUG = 7,
};

// "EMERGENCY" ... "DEBUG"; "" for a value out of range.
const char* GetLogLevelName(LogLevel level);
// Seven characters, space-padded: "EMERG  ", "WARN   ", ...; "" out of range.
const char* GetLogLevelFormattedName(LogLevel level);
// Exact, case-sensitive name to level.
bool TranslateLogLevel(const char* text, LogLevel& level);

// Levels configured by facility name prefix; the longest matching prefix wins.
// Threads: configure before the logger is shared.
class LogFacilityConfig {
public:
    bool Find(const std::string& name, LogLevel& level) const;
    void Walk(const std::function<void(const std::string& prefix, LogLevel level)>& visit) const;
    void Create(const std::string& prefix, LogLevel level);
    void Destroy();

private:
    std::map<std::string, LogLevel> m_levels;
};

// A named source of log records with its own level. Immutable once shared.
class LogFacility {
public:
    // INFO, or the level the logger's facility configuration has for this name.
    explicit LogFacility(const std::string& name);
    LogFacility(const std::string& name, LogLevel level);

    const std::string& GetName() const { return m_name; }
    LogLevel GetLevel() const { return m_level.load(std::memory_order_relaxed); }
    void SetLevel(LogLevel level) { m_level.store(level, std::memory_order_relaxed); }

private:
    std::string m_name;
    std::atomic<LogLevel> m_level;
};

struct LogRecord {
    std::string timestamp;  // local time, "YYYY-MM-DD hh:mm:ss.uuuuuu"
    LogLevel level = LOG_LEVEL_INFO;
    std::string facility;
    int tag = 0;
    std::string file;
    int line = 0;
    int flags = 0;
    std::string message;  // at most 1023 characters
    int reserved = 0;
};

// A sink for records. Open(), ProcessLogRecord() and Close() run on the logger's thread.
class LogDevice {
public:
    explicit LogDevice(const std::string& facilityName, LogLevel level = LOG_LEVEL_DEBUG)
        : m_facility(facilityName, level), m_level(level) {}
    virtual ~LogDevice() = default;
    virtual bool Open() { return true; }
    virtual bool Close() { return true; }
    virtual bool ProcessLogRecord(const LogRecord& record) = 0;

    const LogFacility& GetFacility() const { return m_facility; }
    LogLevel GetLevel() const { return m_level; }

protected:
    LogFacility m_facility;
    LogLevel m_level;
};

// Threads:
// - CreateInstance(), DestroyInstance(), Logger::Use: any thread. GetInstance() only for a
//   holder of a CreateInstance() reference; anyone else holds a Logger::Use for as long
//   as it uses the instance, since the last DestroyInstance() may run on another thread.
// - AddLogDevice(), RemoveLogDevice(), SetLogLevel(), facility configuration: the owner,
//   before Start() (devices are then touched only by the logger's thread).
// - Start(), Shutdown(): the owner.
// - Log(), FacilityLog(), PostLogRecord(): any thread; records posted while the logger is
//   not started are dropped.
class Logger : public SoftEventProcessor::Observer {
public:
    // The instance (or null), held for the lifetime of this object: a DestroyInstance()
    // meanwhile shuts the logger down at once but frees it only when the last use ends.
    class Use {
    public:
        Use() : m_logger(Logger::AcquireInstance()) {}
        ~Use() { Logger::ReleaseInstance(m_logger); }
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;
        Logger* operator->() const { return m_logger; }
        explicit operator bool() const { return m_logger != nullptr; }

    private:
        Logger* m_logger;
    };

    static Logger* CreateInstance();
    static void DestroyInstance();
    static Logger* GetInstance() { return sm_instance.load(std::memory_order_acquire); }

    bool Start();
    bool Shutdown();
    bool IsStarted() const;

    // Takes ownership; FALSE when a device of that facility name is present or the
    // logger is started.
    bool AddLogDevice(LogDevice* device);
    // Hands the device back to the caller; FALSE when it is not registered or the logger
    // is started.
    bool RemoveLogDevice(LogDevice* device);

    LogFacilityConfig& GetFacilityConfig() { return m_facilityConfig; }
    const LogFacility& GetGlobalFacility() const { return m_global; }
    void SetLogLevel(LogLevel level) { m_global.SetLevel(level); }
    LogLevel GetLogLevel() const { return m_global.GetLevel(); }

    void FacilityLog(const LogFacility& facility, int tag, LogLevel level, int flags,
                     const char* file, int line, const char* format, ...)
        __attribute__((format(printf, 8, 9)));
    void FacilityLogV(const LogFacility& facility, int tag, LogLevel level, int flags,
                      const char* file, int line, const char* format, va_list args);
    // Against the "GLOBAL" facility.
    void Log(LogLevel level, const char* file, int line, const char* format, ...)
        __attribute__((format(printf, 5, 6)));
    void PostLogRecord(const LogRecord& record);

    // Logger thread.
    bool OnStart(SoftEventProcessor* processor) override;
    void OnShutdown(SoftEventProcessor* processor) override;
    bool ProcessLogRecord(const LogRecord& record);

    static constexpr size_t sm_messageBufferSize = 1024;

private:
    Logger();
    ~Logger() override;

    static Logger* AcquireInstance();
    static void ReleaseInstance(Logger* logger);

    static std::atomic<Logger*> sm_instance;
    static std::atomic<uint32_t> sm_refCount;
    // Guards the instance pointer, the two fields below and the reference count's last
    // decrement.
    static std::mutex sm_instanceMutex;
    uint32_t m_uses = 0;      // Logger::Use objects holding this logger
    bool m_released = false;  // the last DestroyInstance() ran: freed with the last use

    LogFacilityConfig m_facilityConfig;
    LogFacility m_global;
    // Guards the processor pointer against posting while Shutdown() takes it away.
    mutable std::shared_mutex m_processorMutex;
    SoftEventProcessor* m_processor = nullptr;
    std::map<std::string, LogDevice*> m_devices;
};

// Posts one record to the logger's thread.
class LogRecordEvent : public AsyncEvent {
public:
    LogRecordEvent(Logger* logger, const LogRecord& record) : m_logger(logger), m_record(record) {}
    void Process() override { m_logger->ProcessLogRecord(m_record); }

private:
    Logger* m_logger;
    LogRecord m_record;
};

}  // namespace OstEdpf

// Logs through the logger instance, if there is one, against `facility`; the instance is
// held for the call (the arguments are evaluated while it is held).
#define OSTEDPF_FACILITY_LOG(facility, level, ...)                                     \
    do {                                                                               \
        ::OstEdpf::Logger::Use ostedpfLogger_;                                         \
        if (ostedpfLogger_)                                                            \
            ostedpfLogger_->FacilityLog((facility), 0, (level), 0, __FILE__, __LINE__, \
                                        __VA_ARGS__);                                  \
    } while (0)
