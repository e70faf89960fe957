#include "OsrZephUsage.h"

#include <grpc/support/log.h>

#include <cinttypes>
#include <cstdio>

#include "OsrZephLog.h"

namespace Zeph {

void ReportUsage(const MonitoringHandler& handler, const Usage& usage, const ChannelIds& channels) {
    if (handler.m_logUsage.m_enable) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, handler.m_logUsage.m_priority, "ZEPH Usage: %d/%d/%d",
                static_cast<int>(usage.m_current), static_cast<int>(usage.m_peak),
                static_cast<int>(usage.m_max));
    }
    if (handler.m_updateUsage.m_enable)
        DumpUsage(handler.m_updateUsage, usage);
    if (handler.m_dumpChannels.m_enable)
        DumpChannels(handler.m_dumpChannels, channels);
}

namespace {

FILE* OpenStatusFile(const StatusFileSettings& file) {
    FILE* out = std::fopen(file.m_statusFile.c_str(), "w");
    if (!out) {
        apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Open Status File %s",
                file.m_statusFile.c_str());
    }
    return out;
}

}  // namespace

bool DumpUsage(const StatusFileSettings& file, const Usage& usage) {
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Update usage %s",
            file.m_statusFile.c_str());
    FILE* out = OpenStatusFile(file);
    if (!out)
        return false;
    std::fprintf(out, "in-use channels: %zu\nmax used channels: %" PRIu64 "\ntotal channels: %zu\n",
                 usage.m_current, usage.m_peak, usage.m_max);
    if (usage.m_turnTiming)
        usage.m_turnTiming->Write(out);
    std::fclose(out);
    return true;
}

bool DumpChannels(const StatusFileSettings& file, const ChannelIds& channels) {
    apt_log(ZEPH_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Dump channels %s",
            file.m_statusFile.c_str());
    FILE* out = OpenStatusFile(file);
    if (!out)
        return false;
    for (const std::string& id : channels)
        std::fprintf(out, "%s\n", id.c_str());
    std::fclose(out);
    return true;
}

bool LogRedirectDevice::ProcessLogRecord(const OstEdpf::LogRecord& record) {
    apt_log(ZEPH_PLUGIN, record.file.c_str(), record.line,
            static_cast<apt_log_priority_e>(record.level), "%s", record.message.c_str());
    return true;
}

namespace {

void RedirectGrpcLog(gpr_log_func_args* args) {
    apt_log_priority_e priority = APT_PRIO_INFO;
    if (args->severity == GPR_LOG_SEVERITY_DEBUG)
        priority = APT_PRIO_DEBUG;
    else if (args->severity == GPR_LOG_SEVERITY_ERROR)
        priority = APT_PRIO_ERROR;
    apt_log(ZEPH_PLUGIN, args->file, args->line, priority, "%s", args->message);
}

}  // namespace

void EnableGrpcLogRedirection() {
    gpr_set_log_function(RedirectGrpcLog);
}

// gRPC takes a null function as its own default log.
void DisableGrpcLogRedirection() {
    gpr_set_log_function(nullptr);
}

}  // namespace Zeph
