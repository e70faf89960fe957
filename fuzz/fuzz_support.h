// Shared by the fuzz targets: APR and the host log once per process, a scratch file for the
// readers that take a path, and the check that turns a broken invariant into a crash (which
// libFuzzer keeps as a reproducer and the replay test reports).
//
// Threads: one, the fuzzer's (libFuzzer calls the target from its main thread).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <apr_general.h>
#include <apr_pools.h>
#include <ostrin/apt_log.h>
#include <unistd.h>

namespace ZephFuzz {

// Prints what broke and aborts.
[[noreturn]] inline void Fail(const char* condition, const std::string& detail) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n%s\n", condition, detail.c_str());
    std::fflush(stderr);
    std::abort();
}

#define FUZZ_CHECK(condition, detail)               \
    do {                                            \
        if (!(condition))                           \
            ::ZephFuzz::Fail(#condition, (detail)); \
    } while (0)

// APR and a host log that writes nothing but formats every record (DEBUG included), so that
// the log lines of each path run too. `source`, when given, is registered under `name`.
inline void InitProcess(const char* name = nullptr, apt_log_source_t** source = nullptr) {
    static bool done = false;
    if (done)
        return;
    done = true;
    apr_initialize();
    apr_pool_t* pool = nullptr;
    apr_pool_create(&pool, nullptr);
    apt_log_instance_create(APT_LOG_OUTPUT_NONE, APT_PRIO_DEBUG, pool);
    if (name && source)
        apt_log_source_assign(name, source);
}

// A pool for one input, released at the end of the input.
class Pool {
public:
    Pool() { apr_pool_create(&m_pool, nullptr); }
    ~Pool() { apr_pool_destroy(m_pool); }
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;
    operator apr_pool_t*() const { return m_pool; }

private:
    apr_pool_t* m_pool = nullptr;
};

// Writes the input to this process's scratch file (removed at exit) and returns its path.
inline std::string WriteScratchFile(const uint8_t* data, size_t size) {
    static std::string path;
    if (path.empty()) {
        char name[] = "/tmp/zeph-fuzz-XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0)
            Fail("mkstemp", name);
        close(fd);
        path = name;
        std::atexit([] { unlink(path.c_str()); });
    }
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file || (size && std::fwrite(data, 1, size, file) != size) || std::fclose(file) != 0)
        Fail("scratch file written", path);
    return path;
}

}  // namespace ZephFuzz
