// Keeps a folder of output files bounded by count and by age.
#pragma once

#include <apr_time.h>

#include <functional>
#include <map>
#include <set>
#include <string>

#include <ostedpf/OstEdpfLogger.h>
#include <ostedpf/OstEdpfTimer.h>

namespace OstEdpf {

// Tracks the files of one folder that match prefix + "*" + extension, oldest first, and
// deletes the oldest beyond the maximum count and each one whose age runs out.
//
// Threads: the owner configures it, sets the timer processor and then calls every
// operation (LoadFileEntries, AddFileEntry, RemoveFileEntry, destruction) on that
// processor's thread, where the expiration timers fire too.
class FileManager : public TimerHandler {
public:
    struct FileEntry {
        std::string name;  // relative to the directory
        apr_time_t time;   // µs
        Timer* timer;      // expiration timer or null
    };

    // The facility is not owned; it must outlive the manager.
    explicit FileManager(const LogFacility* facility);
    ~FileManager() override;

    void OnTimerStopped(Timer* /*timer*/) override {}
    void OnTimeoutElapsed(Timer* timer) override;

    virtual bool LoadFileEntries();
    // Stops the expiration timers and forgets every entry; files stay on disk.
    virtual void DestroyFileEntries();
    // Tracks a file just written; a name already tracked is tracked once, with the new time.
    virtual bool AddFileEntry(const std::string& name, apr_time_t time);
    virtual bool RemoveFileEntry(const std::string& name);

    // Appends "/" when missing.
    void SetDirectory(const std::string& path);
    const std::string& GetDirectory() const { return m_directory; }
    void SetPurgeExisting(bool purge) { m_purgeExisting = purge; }
    void SetShred(bool shred) { m_shred = shred; }
    // 0: no limit.
    void SetMaxFileCount(size_t count) { m_maxFileCount = count; }
    // Minutes; 0: no limit.
    void SetMaxFileAge(size_t minutes) { m_maxFileAge = minutes; }
    void SetFilePrefix(const std::string& prefix) { m_filePrefix = prefix; }
    void SetFileExtension(const std::string& extension) { m_fileExtension = extension; }
    void SetTimerProcessor(AsyncEventTimerProcessor* processor) { m_timerProcessor = processor; }
    // The wall clock that file ages are measured against at load (APR microseconds, the
    // clock of the files' change times); apr_time_now by default. Tests set their own.
    using Clock = std::function<apr_time_t()>;
    void SetClock(Clock clock) { m_clock = std::move(clock); }

    size_t GetFileCount() const { return m_entries.size(); }
    size_t GetTimerCount() const { return m_timers.size(); }
    // Names, oldest first.
    std::multiset<std::string> GetFileNames() const;

protected:
    // Oldest first; equal times in order of insertion.
    struct ByTime {
        bool operator()(const FileEntry* a, const FileEntry* b) const { return a->time < b->time; }
    };
    using EntrySet = std::multiset<FileEntry*, ByTime>;

    // Drops the oldest entries beyond the maximum count; TRUE if `watched` was one of them.
    bool ApplyCountLimit(const FileEntry* watched);
    void SetExpirationTimer(FileEntry* entry, int64_t timeoutMs);
    void StopExpirationTimer(Timer* timer);
    // Stops the entry's timer and deletes its file; the caller drops and frees the entry.
    void RemoveEntryFile(FileEntry* entry);
    void DeleteFile(const std::string& name);
    void Log(LogLevel level, const char* file, int line, const char* format, ...)
        __attribute__((format(printf, 5, 6)));

    const LogFacility* m_facility;
    std::string m_directory;
    bool m_purgeExisting = false;
    bool m_shred = false;
    size_t m_maxFileCount = 100;
    size_t m_maxFileAge = 0;
    std::string m_filePrefix;
    std::string m_fileExtension;
    AsyncEventTimerProcessor* m_timerProcessor = nullptr;
    std::map<Timer*, FileEntry*> m_timers;
    EntrySet m_entries;
    Clock m_clock;
};

}  // namespace OstEdpf
