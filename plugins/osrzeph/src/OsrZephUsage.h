// Usage reports (log line, status file, channel dump) and the redirection of other
// components' logs (the framework's logger, gRPC) to the host log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <ostedpf/OstEdpfLogger.h>

#include "OsrZephSettings.h"
#include "OsrZephTurnTiming.h"

namespace Zeph {

// The engine's channel counts.
struct Usage {
    size_t m_current = 0;  // open channels
    uint64_t m_peak = 0;   // most open channels at once since start
    size_t m_max = 0;      // the server's maximum channel count for the engine
    // Percentiles of the turn timings, written after the counts; null: none.
    const TurnTimingStats* m_turnTiming = nullptr;
};

// The ids of the open channels, in order of opening: what the channel dump lists. Taken
// as plain ids so that usage reporting needs nothing of the channels.
using ChannelIds = std::vector<std::string>;

// What one monitoring handler asks for: the "ZEPH Usage: current/peak/max" line at its
// priority, the usage status file, the channel dump; each only when enabled.
//
// Threads: the engine's event processor thread.
void ReportUsage(const MonitoringHandler& handler, const Usage& usage, const ChannelIds& channels);

// Rewrites `file` with the three usage lines (and the turn timing percentiles when the usage
// has them); FALSE (logged) when it cannot be opened.
bool DumpUsage(const StatusFileSettings& file, const Usage& usage);
// Rewrites `file` with one line per channel id.
bool DumpChannels(const StatusFileSettings& file, const ChannelIds& channels);

// Hands the framework logger's records (facilities "UTTM", "RDRM", ...) to the host log on
// the plugin's log source, at the record's level (levels and host priorities share their
// numbers).
//
// Threads: ProcessLogRecord runs on the logger's own thread.
class LogRedirectDevice : public OstEdpf::LogDevice {
public:
    LogRedirectDevice() : OstEdpf::LogDevice("LRD", OstEdpf::LOG_LEVEL_DEBUG) {}
    bool ProcessLogRecord(const OstEdpf::LogRecord& record) override;
};

// gRPC's own log to the host log: debug at DEBUG, error at ERROR, anything else at INFO.
// Enable at engine start and disable at shutdown, from the engine's event processor
// thread; the installed function runs on whatever thread gRPC logs from.
void EnableGrpcLogRedirection();
void DisableGrpcLogRedirection();

}  // namespace Zeph
