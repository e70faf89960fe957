// The configuration document, read from a file as the engine reads osrzeph.xml, loaded into
// engine settings; a detector is then made with the detector parameters it configured.
// Invariants: loading never fails on content (an unknown or bad element is skipped); at
// least one channel per connection.
#include <string>

#include "plugin_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ZephFuzz::InitPlugin();
    const std::string path = ZephFuzz::WriteScratchFile(data, size);
    ZephFuzz::Pool pool;
    Zeph::EngineSettings settings;
    const apr_xml_doc* doc = settings.ParseFile(path.c_str(), pool);
    if (!doc)
        return 0;
    const bool known = doc->root && std::string(doc->root->name) == "osrzeph";
    FUZZ_CHECK(settings.LoadDocument("osrzeph", doc, pool) == known, "document loaded");
    FUZZ_CHECK(settings.m_streaming.m_channelsPerConnection >= 1,
               std::to_string(settings.m_streaming.m_channelsPerConnection));
    mpf_sdi_detector_t* detector = ZephFuzz::CreateDetector(&settings.m_sdiParams, pool);
    if (detector)
        mpf_sdi_destroy(detector);
    return 0;
}
