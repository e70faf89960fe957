// The WAV reader of `ostrin recognize` and the scenarios' audio steps, on a file holding the
// fuzzer's bytes. Invariants: a file that is read has a positive rate and whole 16-bit
// samples no more than the file held; one that is refused says why.
#include <string>

#include <ostrin_runtime/wav_file.h>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = ZephFuzz::WriteScratchFile(data, size);
    for (int expectedRate : {0, 8000}) {
        OstrinRuntime::WavAudio audio;
        std::string error;
        if (OstrinRuntime::ReadWavFile(path, expectedRate, &audio, &error)) {
            FUZZ_CHECK(audio.sample_rate > 0, std::to_string(audio.sample_rate));
            FUZZ_CHECK(expectedRate == 0 || audio.sample_rate == expectedRate, "rate");
            FUZZ_CHECK(audio.samples.size() * 2 <= size, std::to_string(audio.samples.size()));
        } else {
            FUZZ_CHECK(!error.empty(), "refused without a reason");
        }
    }
    return 0;
}
