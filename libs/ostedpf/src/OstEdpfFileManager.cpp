#include <ostedpf/OstEdpfFileManager.h>

#include <apr_file_info.h>
#include <apr_fnmatch.h>
#include <apr_pools.h>
#include <apr_strings.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <vector>

namespace OstEdpf {

apr_status_t MakeFolder(const std::string& path, mode_t mode) {
    apr_pool_t* pool = nullptr;
    apr_status_t status = apr_pool_create(&pool, nullptr);
    if (status != APR_SUCCESS)
        return status;
    apr_finfo_t info;
    if (apr_stat(&info, path.c_str(), APR_FINFO_TYPE, pool) == APR_SUCCESS &&
        info.filetype == APR_DIR) {
        apr_pool_destroy(pool);
        return APR_SUCCESS;
    }
    // Parents get the same mode; the umask would take bits away, so the folder's own mode
    // is set again once it exists.
    // APR spells permissions one hex digit per class (APR_FPROT_UREAD is 0x0400).
    const apr_fileperms_t perms =
        static_cast<apr_fileperms_t>(((mode >> 6) & 7) << 8 | ((mode >> 3) & 7) << 4 | (mode & 7));
    status = apr_dir_make_recursive(path.c_str(), perms, pool);
    if (status == APR_SUCCESS && chmod(path.c_str(), mode) != 0)
        status = APR_FROM_OS_ERROR(errno);
    apr_pool_destroy(pool);
    return status;
}

namespace {

constexpr apr_time_t kMicrosPerMinute = 60 * APR_USEC_PER_SEC;
constexpr size_t kShredBlockSize = 4096;

// Overwrites the file's length with zero bytes so its content is gone from the disk too.
void ShredFile(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY);
    if (fd < 0)
        return;
    struct stat info;
    if (fstat(fd, &info) == 0) {
        static const char zeros[kShredBlockSize] = {};
        off_t left = info.st_size;
        while (left > 0) {
            size_t chunk = left < static_cast<off_t>(kShredBlockSize) ? static_cast<size_t>(left)
                                                                      : kShredBlockSize;
            ssize_t written = write(fd, zeros, chunk);
            if (written <= 0)
                break;
            left -= written;
        }
        fsync(fd);
    }
    close(fd);
}

}  // namespace

FileManager::FileManager(const LogFacility* facility)
    : m_facility(facility), m_clock(&apr_time_now) {}

FileManager::~FileManager() {
    DestroyFileEntries();
}

void FileManager::Log(LogLevel level, const char* file, int line, const char* format, ...) {
    // Held for the call: the logger may be destroyed on another thread meanwhile.
    Logger::Use logger;
    if (!logger || !m_facility)
        return;
    va_list args;
    va_start(args, format);
    logger->FacilityLogV(*m_facility, 0, level, 0, file, line, format, args);
    va_end(args);
}

#define FM_LOG(level, ...) Log((level), __FILE__, __LINE__, __VA_ARGS__)

void FileManager::SetDirectory(const std::string& path) {
    m_directory = path;
    if (!m_directory.empty() && m_directory.back() != '/')
        m_directory += '/';
}

std::multiset<std::string> FileManager::GetFileNames() const {
    std::multiset<std::string> names;
    for (const FileEntry* entry : m_entries)
        names.insert(entry->name);
    return names;
}

bool FileManager::LoadFileEntries() {
    apr_pool_t* pool = nullptr;
    if (apr_pool_create(&pool, nullptr) != APR_SUCCESS)
        return false;
    const char* dirPath = m_directory.empty() ? "." : m_directory.c_str();

    apr_finfo_t info;
    if (apr_stat(&info, dirPath, APR_FINFO_TYPE, pool) != APR_SUCCESS || info.filetype != APR_DIR) {
        FM_LOG(LOG_LEVEL_INFO, "Create directory %s", dirPath);
        const apr_status_t status = MakeFolder(dirPath, m_directoryMode);
        if (status != APR_SUCCESS) {
            char reason[256];
            FM_LOG(LOG_LEVEL_WARNING, "Failed to create directory %s: %s", dirPath,
                   apr_strerror(status, reason, sizeof(reason)));
            apr_pool_destroy(pool);
            return false;
        }
    }

    apr_dir_t* dir = nullptr;
    if (apr_dir_open(&dir, dirPath, pool) != APR_SUCCESS) {
        apr_pool_destroy(pool);
        return false;
    }
    std::string pattern = m_filePrefix + "*" + m_fileExtension;
    FM_LOG(LOG_LEVEL_NOTICE,
           "Populate files from %s pattern [%s] max-count [%d] max-age [%d min] "
           "purge-existing [%d]",
           dirPath, pattern.c_str(), static_cast<int>(m_maxFileCount),
           static_cast<int>(m_maxFileAge), m_purgeExisting ? 1 : 0);

    apr_time_t now = 0;
    apr_time_t ageLimit = 0;
    if (m_maxFileAge && !m_purgeExisting) {
        now = m_clock();
        ageLimit = static_cast<apr_time_t>(m_maxFileAge) * kMicrosPerMinute;
    }

    const apr_int32_t wanted = APR_FINFO_TYPE | APR_FINFO_CTIME | APR_FINFO_NAME;
    apr_status_t status;
    // An entry that could not be examined (a file removed meanwhile) is incomplete: skip
    // it, but keep reading, or every file behind it would escape the limits.
    while ((status = apr_dir_read(&info, wanted, dir)) == APR_SUCCESS || status == APR_INCOMPLETE) {
        if ((info.valid & wanted) != wanted || info.filetype != APR_REG || !info.name ||
            apr_fnmatch(pattern.c_str(), info.name, 0) != APR_SUCCESS) {
            continue;
        }
        FM_LOG(LOG_LEVEL_DEBUG, "Found file %s", info.name);
        if (m_purgeExisting) {
            FM_LOG(LOG_LEVEL_NOTICE, "Remove file %s [purge existing]", info.name);
            DeleteFile(info.name);
        } else if (!ageLimit || now < info.ctime + ageLimit) {
            m_entries.insert(new FileEntry{info.name, info.ctime, nullptr});
        } else {
            FM_LOG(LOG_LEVEL_NOTICE, "Remove file %s [max file age]", info.name);
            DeleteFile(info.name);
        }
    }
    apr_dir_close(dir);
    apr_pool_destroy(pool);

    ApplyCountLimit(nullptr);

    if (ageLimit && m_timerProcessor) {
        for (FileEntry* entry : m_entries) {
            FM_LOG(LOG_LEVEL_DEBUG, "Set expiration timer for file %s [%lu min]",
                   entry->name.c_str(), static_cast<unsigned long>(m_maxFileAge));
            SetExpirationTimer(entry, (entry->time + ageLimit - now) / 1000);
        }
    }
    return true;
}

bool FileManager::AddFileEntry(const std::string& name, apr_time_t time) {
    // A file written again is one file: its earlier entry goes (the file stays), or the
    // count and age limits would delete the file through the stale entry.
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        FileEntry* stale = *it;
        if (stale->name != name)
            continue;
        if (stale->timer) {
            m_timers.erase(stale->timer);
            StopExpirationTimer(stale->timer);
        }
        m_entries.erase(it);
        delete stale;
        break;
    }
    auto* entry = new FileEntry{name, time, nullptr};
    m_entries.insert(entry);
    // An entry older than all the others may be dropped again at once.
    if (ApplyCountLimit(entry))
        return true;
    if (m_maxFileAge && m_timerProcessor) {
        FM_LOG(LOG_LEVEL_DEBUG, "Set expiration timer for file %s [%lu min]", name.c_str(),
               static_cast<unsigned long>(m_maxFileAge));
        SetExpirationTimer(entry, static_cast<int64_t>(m_maxFileAge) * 60000);
    }
    return true;
}

bool FileManager::RemoveFileEntry(const std::string& name) {
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        FileEntry* entry = *it;
        if (entry->name != name)
            continue;
        RemoveEntryFile(entry);
        m_entries.erase(it);
        delete entry;
        return true;
    }
    return false;
}

bool FileManager::ApplyCountLimit(const FileEntry* watched) {
    if (!m_maxFileCount || m_entries.size() <= m_maxFileCount)
        return false;
    bool watchedRemoved = false;
    size_t excess = m_entries.size() - m_maxFileCount;
    auto it = m_entries.begin();
    for (size_t i = 0; i < excess; ++i, ++it) {
        FileEntry* entry = *it;
        FM_LOG(LOG_LEVEL_NOTICE, "Remove file %s [max file count]", entry->name.c_str());
        RemoveEntryFile(entry);
        if (entry == watched)
            watchedRemoved = true;
        delete entry;
    }
    m_entries.erase(m_entries.begin(), it);
    return watchedRemoved;
}

void FileManager::SetExpirationTimer(FileEntry* entry, int64_t timeoutMs) {
    // A file within its last millisecond still gets a timer: a zero timeout would never
    // be queued and the file would escape the age limit.
    if (timeoutMs < 1)
        timeoutMs = 1;
    auto* timer = new Timer(this, timeoutMs, Timer::ONE_SHOT, Timer::LIFETIME_QUEUE);
    if (!timer->Start(m_timerProcessor)) {
        // The processor is not running: the timer never reached a queue.
        FM_LOG(LOG_LEVEL_WARNING, "Failed to set expiration timer for file %s",
               entry->name.c_str());
        delete timer;
        return;
    }
    entry->timer = timer;
    m_timers[timer] = entry;
}

void FileManager::StopExpirationTimer(Timer* timer) {
    // The stop event may run after this manager is gone: it must not call back.
    timer->DetachHandler();
    timer->Stop();
}

void FileManager::RemoveEntryFile(FileEntry* entry) {
    if (entry->timer) {
        m_timers.erase(entry->timer);
        StopExpirationTimer(entry->timer);
        entry->timer = nullptr;
    }
    DeleteFile(entry->name);
}

void FileManager::DeleteFile(const std::string& name) {
    std::string path = m_directory + name;
    if (m_shred)
        ShredFile(path);
    unlink(path.c_str());  // a file already gone is no error here
}

void FileManager::OnTimeoutElapsed(Timer* timer) {
    auto found = m_timers.find(timer);
    if (found == m_timers.end())
        return;
    FileEntry* entry = found->second;
    entry->timer = nullptr;
    m_timers.erase(found);
    delete timer;

    FM_LOG(LOG_LEVEL_NOTICE, "Remove file %s [timed out]", entry->name.c_str());
    DeleteFile(entry->name);
    // Only this entry: others of the same time have timers of their own.
    auto range = m_entries.equal_range(entry);
    for (auto it = range.first; it != range.second; ++it) {
        if (*it == entry) {
            m_entries.erase(it);
            break;
        }
    }
    delete entry;
}

void FileManager::DestroyFileEntries() {
    for (auto& item : m_timers)
        StopExpirationTimer(item.first);
    m_timers.clear();
    for (FileEntry* entry : m_entries)
        delete entry;
    m_entries.clear();
}

}  // namespace OstEdpf
