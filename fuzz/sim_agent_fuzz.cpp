// The agent file of dialogflow-sim, read through its loader as the sim reads --agent.
// Invariant: a file that is refused says why. Relative WAV paths resolve next to the
// scratch file, where there are none.
#include <string>

#include "agent.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = ZephFuzz::WriteScratchFile(data, size);
    std::string error;
    const auto agent = DialogflowSim::Agent::Load(path, &error);
    FUZZ_CHECK(agent || !error.empty(), "refused without a reason");
    return 0;
}
