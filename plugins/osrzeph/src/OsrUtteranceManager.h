// Utterance manager: names, writes and keeps the WAV files of saved utterances, and
// composes the URIs under which clients find them.
//
// Threads: the engine creates it on its event processor thread (after the gRPC task) and
// destroys it there; every call, and the folder's expiration timers, run on that thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <apr_file_io.h>
#include <apr_pools.h>
#include <ostedpf/OstEdpfFileManager.h>
#include <ostedpf/OstEdpfLogger.h>

#include "OsrZephSettings.h"

namespace Zeph {

// A file manager over the waveform folder, so the folder stays bounded by count and age.
class UtteranceManager : public OstEdpf::FileManager {
public:
    using Settings = UtteranceManagerSettings;

    // One WAV file of a channel: the caller's utterance (named with part number 0) or the
    // audio returned by the service (part number 1).
    struct WaveFile {
        // Caller's utterance: save it in this recognition.
        bool m_save = false;
        // Relative to the manager's folder.
        std::string m_fileName;
        std::string m_uri;
        // Null while closed.
        apr_file_t* m_file = nullptr;
        // Bytes of audio data written so far (the writer adds each write).
        std::size_t m_contentLength = 0;
        // Audio returned by the service: name and URI have been composed.
        bool m_created = false;
        // Audio returned by the service: its first chunk is written and entered in the folder.
        bool m_written = false;
        // Audio returned by the service: bytes before the audio data (the service's WAV
        // header, or ours before bare samples); 0 when its header cannot be read, so its
        // lengths are left as they came.
        std::size_t m_headerSize = 0;
        // Holds the open file, so that a channel's many recognitions do not grow its pool.
        apr_pool_t* m_pool = nullptr;

        // Forgets name, URI, length and flags; the file must be closed.
        void Reset() { *this = WaveFile(); }
    };

    // Size of the header that OpenWavefile writes.
    static constexpr std::size_t kWaveHeaderSize = 44;

    // Sets directory, prefix, extension, limits and purge-existing from `settings` and the
    // facility "UTTM" at its level. The caller then sets the timer processor and calls
    // LoadFileEntries().
    explicit UtteranceManager(const Settings& settings);
    ~UtteranceManager() override;
    UtteranceManager(const UtteranceManager&) = delete;
    UtteranceManager& operator=(const UtteranceManager&) = delete;

    // prefix + channel id + "-" + request id [+ "-" + part when not 0] [+ "-" + logging
    // tag] + extension. The tag is reduced to a safe set of characters first (see
    // SanitizeLoggingTag), so no tag can put the file outside the folder.
    bool ComposeName(std::string& name, const char* channelId, std::uint32_t requestId,
                     unsigned long part, const std::string& loggingTag, apr_pool_t* pool) const;
    // The file's path in the folder.
    bool ComposePath(std::string& path, const std::string& name, apr_pool_t* pool) const;
    // Base URI joined with the name.
    bool ComposeUri(std::string& uri, const std::string& name, apr_pool_t* pool) const;

    // Opens file.m_fileName for writing (created or truncated) and writes the 44-byte header
    // with both lengths 0. The handle lives in a pool under `pool` until CloseWavefile.
    bool OpenWavefile(WaveFile& file, int samplingRate, apr_pool_t* pool);
    // Writes the final lengths into the header, closes the file and enters it in the folder.
    bool CloseWavefile(WaveFile& file);
    // Appends one chunk of the audio returned by the service to file.m_fileName: the first
    // chunk creates the file (and enters it in the folder), each later one follows it. The
    // file is one WAV file whatever the chunks: the service's own header when the first
    // chunk begins with one, else a header for `samplingRate` before the samples; its
    // lengths are made right after every chunk. The file is closed between chunks. The
    // caller has composed name and URI. m_contentLength counts the audio data.
    bool AppendOutputFile(WaveFile& file, const void* data, std::size_t size, int samplingRate,
                          apr_pool_t* pool);

    static void PrepareWaveHeader(apr_file_t* file, int samplingRate);
    static void FinalizeWaveHeader(apr_file_t* file, std::size_t contentLength);

    bool GetSaveWaveforms() const { return m_saveWaveforms; }
    const std::string& GetBaseUri() const { return m_baseUri; }
    const OstEdpf::LogFacility& GetLogFacility() const { return m_logFacility; }

    // A client's logging tag as it may appear in a file name: letters, digits, ".", "_"
    // and "-" stay, every other byte becomes "_", and a leading "." becomes "_". Only the
    // first kMaxLoggingTagLength bytes are used, so that the name stays within the file
    // system's limit.
    static std::string SanitizeLoggingTag(const std::string& tag);
    static constexpr std::size_t kMaxLoggingTagLength = 100;

private:
    // Opens `path` for file (created or truncated; with `keep`, created or kept as it is) in
    // a pool of its own under `pool`; logs a failure.
    bool OpenForWriting(WaveFile& file, const std::string& path, apr_pool_t* pool,
                        bool keep = false);
    // Closes the file and its pool.
    static void CloseFile(WaveFile& file);

    OstEdpf::LogFacility m_logFacility;
    bool m_saveWaveforms;
    std::string m_baseUri;
    bool m_useLoggingTag;
};

}  // namespace Zeph
