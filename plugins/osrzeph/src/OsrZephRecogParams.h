// The recognizer settings of one channel that MRCP headers change: the channel's defaults
// (the configuration's, changed by SET-PARAMS) and, for each RECOGNIZE, a copy of those
// defaults with the request's own headers merged in. A recognition works on its copy only,
// so nothing a request sets reaches the next one.
//
// Threads: a plain value; the channel keeps and uses it on the engine's event processor
// thread.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <ostrin/mrcp_message.h>

#include "OsrZephSettings.h"
#include "mpf_sdi_util.h"

namespace Zeph {

struct RecogParams {
    // A header the recognizer refuses: the response's status and the header to name in it.
    struct Refusal {
        mrcp_status_code_e m_status = MRCP_STATUS_CODE_SUCCESS;
        std::vector<mrcp_generic_header_id> m_generic;
        std::vector<mrcp_recognizer_header_id> m_resource;
        bool Refused() const { return m_status != MRCP_STATUS_CODE_SUCCESS; }
    };

    // The configuration's values.
    explicit RecogParams(const EngineSettings& settings);

    // Merges the headers of `message` that the recognizer reads. A value it cannot take
    // (404 illegal, 409 unsupported) is named in `refusal`; the merge then stops being
    // meaningful and the caller drops this copy. Headers the recognizer does not read are
    // left alone (a RECOGNIZE may carry them).
    void Merge(const mrcp_message_t* message, Refusal& refusal);
    // SET-PARAMS: Merge, and headers that no request can set are refused with 403; optional
    // headers the recognizer does without leave `ignored` set (the answer is then 201).
    void MergeSettable(const mrcp_message_t* message, Refusal& refusal, bool& ignored);
    // GET-PARAMS: the current values of the headers `request` names (all of them when it
    // names none) written into `response`.
    void Describe(const mrcp_message_t* request, mrcp_message_t* response) const;
    // The Vendor-Specific-Parameters as one list in `pool` (null when there are none).
    const apt_pair_arr_t* VendorParameters(apr_pool_t* pool) const;
    // Copies each refused header's value from `request` into `response` and marks it present.
    static void NameRefused(const Refusal& refusal, const mrcp_message_t* request,
                            mrcp_message_t* response);

    mpf_sdi_params_t m_detector;         // timeouts, vad mode, DTMF term char and lengths
    StreamingRecogSettings m_streaming;  // language, max alternatives, single-utterance ...
    float m_confidenceThreshold = 0;
    float m_sensitivityLevel = 0;  // as last set; the vad mode follows it
    bool m_startInputTimers = true;
    bool m_saveWaveform = false;
    // Save-Waveform came from a client (request or SET-PARAMS): the URI is announced.
    bool m_saveWaveformAsked = false;
    std::string m_mediaType = "audio/x-wav";
    std::string m_loggingTag;
    // Vendor-Specific-Parameters, in order; a name without a value has `second.first` false.
    std::vector<std::pair<std::string, std::pair<bool, std::string>>> m_vendor;
};

}  // namespace Zeph
