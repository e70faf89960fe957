#include "OsrUtteranceManager.h"

#include <apr_strings.h>

#include <cstring>

namespace Zeph {

namespace {

using OstEdpf::LOG_LEVEL_DEBUG;
using OstEdpf::LOG_LEVEL_INFO;
using OstEdpf::LOG_LEVEL_WARNING;

// Offset of the RIFF length field of a WAV header.
constexpr apr_off_t kRiffLengthOffset = 4;

// Write errors are not reported: a header that cannot be written shows in the file.
void WriteBytes(apr_file_t* file, const void* data, apr_size_t size) {
    apr_file_write_full(file, data, size, nullptr);
}

void WriteLe16(apr_file_t* file, std::uint16_t value) {
    const unsigned char bytes[2] = {static_cast<unsigned char>(value),
                                    static_cast<unsigned char>(value >> 8)};
    WriteBytes(file, bytes, sizeof(bytes));
}

void WriteLe32(apr_file_t* file, std::uint32_t value) {
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
        static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
    WriteBytes(file, bytes, sizeof(bytes));
}

bool SeekTo(apr_file_t* file, apr_off_t offset) {
    return apr_file_seek(file, APR_SET, &offset) == APR_SUCCESS;
}

// The lengths in the header are 32-bit: audio beyond that cannot be described, so the
// fields say the most they can.
std::uint32_t ClampLength(std::uint64_t length) {
    return length > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(length);
}

// The RIFF length and the data length of a WAV file whose audio data starts at `headerSize`.
void WriteLengths(apr_file_t* file, std::size_t headerSize, std::uint64_t contentLength) {
    if (!SeekTo(file, static_cast<apr_off_t>(headerSize - 4)))
        return;
    WriteLe32(file, ClampLength(contentLength));
    if (!SeekTo(file, kRiffLengthOffset))
        return;
    WriteLe32(file, ClampLength(headerSize - 8 + contentLength));
}

std::uint32_t ReadLe32(const unsigned char* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// Where the audio data begins in a WAV file whose first `size` bytes are `bytes`: after the
// header of its "data" chunk. 0 when they do not hold a RIFF/WAVE header up to that chunk.
std::size_t WaveDataOffset(const unsigned char* bytes, std::size_t size) {
    if (size < 12 || std::memcmp(bytes, "RIFF", 4) != 0 || std::memcmp(bytes + 8, "WAVE", 4) != 0)
        return 0;
    std::uint64_t at = 12;
    while (at + 8 <= size) {
        if (std::memcmp(bytes + at, "data", 4) == 0)
            return static_cast<std::size_t>(at + 8);
        const std::uint32_t length = ReadLe32(bytes + at + 4);
        at += 8 + static_cast<std::uint64_t>(length) + (length & 1);  // chunks are padded
    }
    return 0;
}

}  // namespace

UtteranceManager::UtteranceManager(const Settings& settings)
    : OstEdpf::FileManager(&m_logFacility),
      m_logFacility("UTTM", static_cast<OstEdpf::LogLevel>(settings.m_logLevel)),
      m_saveWaveforms(settings.m_saveWaveforms),
      m_baseUri(settings.m_waveformBaseUri),
      m_useLoggingTag(settings.m_useLoggingTag) {
    settings.Apply(*this, settings.m_waveformFolder);
}

UtteranceManager::~UtteranceManager() {
    // Here, while the facility the base logs with still exists.
    DestroyFileEntries();
}

std::string UtteranceManager::SanitizeLoggingTag(const std::string& tag) {
    std::string safe(tag, 0, kMaxLoggingTagLength);
    for (char& c : safe) {
        const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                          (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        if (!keep)
            c = '_';
    }
    if (!safe.empty() && safe[0] == '.')
        safe[0] = '_';
    return safe;
}

bool UtteranceManager::ComposeName(std::string& name, const char* channelId,
                                   std::uint32_t requestId, unsigned long part,
                                   const std::string& loggingTag, apr_pool_t* pool) const {
    const char* base = part ? apr_psprintf(pool, "%s%s-%lu-%lu", m_filePrefix.c_str(), channelId,
                                           static_cast<unsigned long>(requestId), part)
                            : apr_psprintf(pool, "%s%s-%lu", m_filePrefix.c_str(), channelId,
                                           static_cast<unsigned long>(requestId));
    if (!base)
        return false;
    name = base;
    if (!loggingTag.empty() && m_useLoggingTag) {
        name += '-';
        name += SanitizeLoggingTag(loggingTag);
    }
    name += m_fileExtension;
    return true;
}

bool UtteranceManager::ComposePath(std::string& path, const std::string& name,
                                   apr_pool_t* pool) const {
    if (!ComposeFolderEntryPath(path, m_directory, name, pool)) {
        OSTEDPF_FACILITY_LOG(m_logFacility, LOG_LEVEL_WARNING,
                             "Failed to Compose Waveform File Path for [%s]", name.c_str());
        return false;
    }
    return true;
}

bool UtteranceManager::ComposeUri(std::string& uri, const std::string& name,
                                  apr_pool_t* pool) const {
    char* merged = nullptr;
    if (apr_filepath_merge(&merged, m_baseUri.c_str(), name.c_str(), 0, pool) != APR_SUCCESS) {
        OSTEDPF_FACILITY_LOG(m_logFacility, LOG_LEVEL_WARNING,
                             "Failed to Compose Waveform URI for [%s]", name.c_str());
        return false;
    }
    uri = merged;
    return true;
}

bool UtteranceManager::OpenForWriting(WaveFile& file, const std::string& path, apr_pool_t* pool,
                                      bool keep) {
    const apr_int32_t flags =
        APR_FOPEN_WRITE | APR_FOPEN_CREATE | APR_FOPEN_BINARY | (keep ? 0 : APR_FOPEN_TRUNCATE);
    if (apr_pool_create(&file.m_pool, pool) != APR_SUCCESS) {
        file.m_pool = nullptr;
    } else if (apr_file_open(&file.m_file, path.c_str(), flags, APR_FPROT_OS_DEFAULT,
                             file.m_pool) == APR_SUCCESS) {
        return true;
    }
    OSTEDPF_FACILITY_LOG(m_logFacility, LOG_LEVEL_WARNING,
                         "Cannot Open Waveform File for Writing %s", path.c_str());
    file.m_file = nullptr;
    if (file.m_pool) {
        apr_pool_destroy(file.m_pool);
        file.m_pool = nullptr;
    }
    return false;
}

void UtteranceManager::CloseFile(WaveFile& file) {
    apr_file_close(file.m_file);
    file.m_file = nullptr;
    apr_pool_destroy(file.m_pool);
    file.m_pool = nullptr;
}

bool UtteranceManager::OpenWavefile(WaveFile& file, int samplingRate, apr_pool_t* pool) {
    if (file.m_file)
        return false;
    std::string path;
    if (!ComposePath(path, file.m_fileName, pool))
        return false;
    OSTEDPF_FACILITY_LOG(m_logFacility, LOG_LEVEL_INFO,
                         "Open Waveform File for Writing %s, sampling-rate [%d]", path.c_str(),
                         samplingRate);
    if (!OpenForWriting(file, path, pool))
        return false;
    file.m_contentLength = 0;
    PrepareWaveHeader(file.m_file, samplingRate);
    return true;
}

bool UtteranceManager::CloseWavefile(WaveFile& file) {
    if (!file.m_file)
        return false;
    OSTEDPF_FACILITY_LOG(m_logFacility, LOG_LEVEL_DEBUG,
                         "Close Waveform File %s, content-length [%d]",
                         (m_directory + file.m_fileName).c_str(),
                         static_cast<int>(ClampLength(file.m_contentLength)));
    FinalizeWaveHeader(file.m_file, file.m_contentLength);
    CloseFile(file);
    AddFileEntry(file.m_fileName, apr_time_now());
    return true;
}

bool UtteranceManager::AppendOutputFile(WaveFile& file, const void* data, std::size_t size,
                                        int samplingRate, apr_pool_t* pool) {
    std::string path;
    if (file.m_file || !data || size == 0 || !ComposePath(path, file.m_fileName, pool))
        return false;
    if (!file.m_written) {
        OSTEDPF_FACILITY_LOG(m_logFacility, LOG_LEVEL_INFO, "Open Waveform File for Writing %s",
                             path.c_str());
    }
    if (!OpenForWriting(file, path, pool, file.m_written))
        return false;
    const auto* bytes = static_cast<const unsigned char*>(data);
    if (!file.m_written) {
        file.m_headerSize = WaveDataOffset(bytes, size);
        file.m_contentLength = size - file.m_headerSize;
        if (file.m_headerSize == 0 && (size < 4 || std::memcmp(bytes, "RIFF", 4) != 0)) {
            // Bare samples: the file gets a header of its own.
            PrepareWaveHeader(file.m_file, samplingRate);
            file.m_headerSize = kWaveHeaderSize;
        }
    } else {
        apr_off_t end = 0;
        apr_file_seek(file.m_file, APR_END, &end);
        file.m_contentLength += size;
    }
    WriteBytes(file.m_file, data, size);
    if (file.m_headerSize > 0)
        WriteLengths(file.m_file, file.m_headerSize, file.m_contentLength);
    CloseFile(file);
    if (!file.m_written)
        AddFileEntry(file.m_fileName, apr_time_now());
    file.m_written = true;
    return true;
}

void UtteranceManager::PrepareWaveHeader(apr_file_t* file, int samplingRate) {
    const std::uint32_t rate = samplingRate > 0 ? static_cast<std::uint32_t>(samplingRate) : 0;
    WriteBytes(file, "RIFF", 4);
    WriteLe32(file, 0);  // RIFF length, set at close
    WriteBytes(file, "WAVEfmt ", 8);
    WriteLe32(file, 16);  // size of the format chunk
    WriteLe16(file, 1);   // PCM
    WriteLe16(file, 1);   // one channel
    WriteLe32(file, rate);
    WriteLe32(file, rate * 2);  // bytes per second
    WriteLe16(file, 2);         // block align
    WriteLe16(file, 16);        // bits per sample
    WriteBytes(file, "data", 4);
    WriteLe32(file, 0);  // data length, set at close
}

void UtteranceManager::FinalizeWaveHeader(apr_file_t* file, std::size_t contentLength) {
    WriteLengths(file, kWaveHeaderSize, contentLength);
}

}  // namespace Zeph
