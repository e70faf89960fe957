#include "ostrin_runtime/scenario_runner.h"

#include <cstdio>

#include <ostrin/apt_log.h>

namespace OstrinRuntime {

void ReportError(std::ostream& err, const HostOptions& options, const std::string& message) {
    err << "ostrin: error: " << message << std::endl;
    if (apt_log_instance_get() && !options.log_dir.empty()) {
        apt_log_output_mode_set(APT_LOG_OUTPUT_FILE);
        apt_log(APT_LOG_SOURCE_DEFAULT, APT_LOG_MARK, APT_PRIO_ERROR, "ostrin: error: %s",
                message.c_str());
        apt_log_output_mode_set(APT_LOG_OUTPUT_CONSOLE | APT_LOG_OUTPUT_FILE);
    }
}

std::string PrintableText(const std::string& wire_text) {
    std::string text;
    text.reserve(wire_text.size() + 1);
    for (size_t i = 0; i < wire_text.size(); ++i) {
        if (wire_text[i] == '\r' && i + 1 < wire_text.size() && wire_text[i + 1] == '\n')
            continue;
        text += wire_text[i];
    }
    if (text.empty() || text.back() != '\n')
        text += '\n';
    return text;
}

std::string FormatViolation(const std::string& channel, const Violation& violation) {
    std::string line = "!!! " + channel;
    if (violation.request_id != 0 || !violation.method.empty()) {
        line += " request " + std::to_string(violation.request_id);
        if (!violation.method.empty())
            line += " " + violation.method;
    }
    return line + ": " + violation.rule + ": " + violation.detail;
}

int RunScenario(const Scenario& scenario, const RunOptions& options, std::ostream& out,
                std::ostream& err) {
    HostEngine host(options.host);
    host.SetMessageHandler([&out](const PluginMessage& message) {
        out << "### " << message.channel << " +" << message.elapsed_ms << "\n"
            << PrintableText(message.text);
        out.flush();
    });
    host.SetViolationHandler([&out](const std::string& channel, const Violation& violation) {
        out << FormatViolation(channel, violation) << "\n";
        out.flush();
    });

    int status = 0;
    std::string error;
    if (!host.Open(&error)) {
        err << "ostrin: error: " << error << "\n";
        std::string ignored;
        host.Shutdown(&ignored);
        return 1;
    }
    for (const ScenarioStep& step : scenario.steps) {
        bool ok = true;
        error.clear();
        switch (step.type) {
            case ScenarioStep::Type::kChannel:
                ok = host.OpenChannel(step.channel, step.rate, step.version, step.attributes,
                                      &error);
                break;
            case ScenarioStep::Type::kSend:
                ok = host.SendRequest(step.channel, step.text, &error);
                break;
            case ScenarioStep::Type::kAudio:
                ok = host.AddAudio(step.channel, step.path, &error);
                break;
            case ScenarioStep::Type::kSilence:
                ok = host.AddSilence(step.channel, step.ms, &error);
                break;
            case ScenarioStep::Type::kDtmf:
                ok = host.AddDtmf(step.channel, step.digits, {step.duration_ms, step.gap_ms},
                                  &error);
                break;
            case ScenarioStep::Type::kWait: {
                MessageFilter filter;
                filter.what = step.what;
                filter.request_id = step.request_id;
                filter.cause = step.cause;
                ok = host.WaitForMessage(step.channel, filter, step.timeout_ms);
                if (!ok && !host.WaitFailure().empty()) {
                    error = "no " + step.what + " on channel '" + step.channel +
                            "': " + host.WaitFailure();
                } else if (!ok) {
                    error = "no " + step.what;
                    if (step.request_id >= 0)
                        error += " for request " + std::to_string(step.request_id);
                    if (step.cause >= 0) {
                        char cause[16];
                        std::snprintf(cause, sizeof(cause), "%03d", step.cause);
                        error += std::string(" with cause ") + cause;
                    }
                    error += " on channel '" + step.channel + "' within " +
                             std::to_string(step.timeout_ms) +
                             " ms (messages that broke a "
                             "rule do not count)";
                }
                break;
            }
            case ScenarioStep::Type::kSleep:
                host.PumpUntil(std::chrono::steady_clock::now() +
                               std::chrono::milliseconds(step.ms));
                break;
            case ScenarioStep::Type::kClose:
                ok = host.CloseChannel(step.channel, &error);
                break;
        }
        if (!ok) {
            ReportError(err, options.host,
                        scenario.path + ":" + std::to_string(step.line) + ": " + error);
            status = 1;
            break;
        }
    }
    if (!host.Shutdown(&error)) {
        ReportError(err, options.host, error);
        status = 1;
    }
    if (host.violation_count() > 0) {
        err << "ostrin: " << host.violation_count() << " conformance violation(s)\n";
        if (options.strict)
            status = 1;
    }
    return status;
}

}  // namespace OstrinRuntime
