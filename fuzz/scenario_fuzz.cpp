// The scenario reader of `ostrin run`. Invariants: a scenario that parses has steps, each
// with its line number within the text and a channel (but sleep); one that is refused says
// why.
#include <algorithm>
#include <string>

#include <ostrin_runtime/scenario.h>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    OstrinRuntime::Scenario scenario;
    std::string error;
    if (!OstrinRuntime::ParseScenario(text, "/nonexistent", &scenario, &error)) {
        FUZZ_CHECK(!error.empty(), "refused without a reason");
        return 0;
    }
    FUZZ_CHECK(!scenario.steps.empty(), "a scenario without steps");
    const long lines = std::count(text.begin(), text.end(), '\n') + 1;
    for (const OstrinRuntime::ScenarioStep& step : scenario.steps) {
        FUZZ_CHECK(step.line >= 1 && step.line <= lines, "line " + std::to_string(step.line));
        FUZZ_CHECK(step.type == OstrinRuntime::ScenarioStep::Type::kSleep || !step.channel.empty(),
                   "step without channel on line " + std::to_string(step.line));
    }
    return 0;
}
