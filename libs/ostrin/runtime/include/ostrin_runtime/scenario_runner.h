// Carrying out a scenario against a plugin and printing what it sends: the core of
// `ostrin run`.
//
// Output (stdout): every delivered message as a line "### CHANNEL +MILLISECONDS" (since the
// host started) followed by the message in wire format with LF line ends; every conformance
// violation as one line "!!! CHANNEL request ID METHOD: RULE: DETAIL". Errors go to `err` as
// "ostrin: error: ..." lines.
//
// Server thread: the calling thread.
#pragma once

#include <ostream>
#include <string>

#include "ostrin_runtime/host_engine.h"
#include "ostrin_runtime/scenario.h"

namespace OstrinRuntime {

struct RunOptions {
    HostOptions host;
    bool strict = false;  // a conformance violation fails the run
};

// Exit status: 0 when every step succeeded (and, with `strict`, nothing was violated).
int RunScenario(const Scenario& scenario, const RunOptions& options, std::ostream& out,
                std::ostream& err);

// Writes "ostrin: error: MESSAGE" to `err` and, when the host log writes ostrin.log (a log
// directory is set), into that file too, so that the log tells how a run ended; stderr,
// which has the line already, gets no second copy.
void ReportError(std::ostream& err, const HostOptions& options, const std::string& message);

// The wire text as printed: CR LF turned into LF, ending with a line end.
std::string PrintableText(const std::string& wire_text);
std::string FormatViolation(const std::string& channel, const Violation& violation);

}  // namespace OstrinRuntime
