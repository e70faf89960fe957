#include "OsrZephRecogParams.h"

#include <apr_strings.h>
#include <apr_tables.h>
#include <strings.h>

#include <algorithm>

namespace Zeph {

namespace {

// A channel keeps at most this many Vendor-Specific-Parameters names: a client that keeps
// sending new ones is refused rather than growing the channel without bound.
const size_t kMaxVendorParameters = 64;

std::string StrOf(const apt_str_t& text) {
    return text.buf ? std::string(text.buf, text.length) : std::string();
}

bool IsWaveMediaType(const std::string& type) {
    return strcasecmp(type.c_str(), "audio/wav") == 0 ||
           strcasecmp(type.c_str(), "audio/wave") == 0 ||
           strcasecmp(type.c_str(), "audio/x-wav") == 0;
}

bool IsDtmfKey(char key) {
    return (key >= '0' && key <= '9') || key == '*' || key == '#' || (key >= 'A' && key <= 'D');
}

// Sensitivity 0.0 to 1.0 onto the four VAD modes; anything at or past 0.75 is the most
// aggressive.
apr_uint64_t VadModeOf(float level) {
    if (level <= 0)
        return 0;
    return std::min<apr_uint64_t>(static_cast<apr_uint64_t>(level * 4), 3);
}

// Headers that only responses and events carry, or that ask for what this recognizer does
// not do (recognizing a stored waveform): no request can set them.
bool IsUnsettable(mrcp_recognizer_header_id id) {
    switch (id) {
        case RECOGNIZER_HEADER_INPUT_TYPE:
        case RECOGNIZER_HEADER_WAVEFORM_URI:
        case RECOGNIZER_HEADER_INPUT_WAVEFORM_URI:
        case RECOGNIZER_HEADER_COMPLETION_CAUSE:
        case RECOGNIZER_HEADER_COMPLETION_REASON:
        case RECOGNIZER_HEADER_FAILED_URI:
        case RECOGNIZER_HEADER_FAILED_URI_CAUSE:
        case RECOGNIZER_HEADER_INTERPRET_TEXT:
        case RECOGNIZER_HEADER_START_INPUT_TIMERS:  // RECOGNIZE only
            return true;
        default:
            return false;
    }
}

// The recognizer headers this recognizer reads (and so sets and reports).
const mrcp_recognizer_header_id kReadHeaders[] = {
    RECOGNIZER_HEADER_CONFIDENCE_THRESHOLD,
    RECOGNIZER_HEADER_SENSITIVITY_LEVEL,
    RECOGNIZER_HEADER_N_BEST_LIST_LENGTH,
    RECOGNIZER_HEADER_NO_INPUT_TIMEOUT,
    RECOGNIZER_HEADER_RECOGNITION_TIMEOUT,
    RECOGNIZER_HEADER_SPEECH_COMPLETE_TIMEOUT,
    RECOGNIZER_HEADER_SPEECH_INCOMPLETE_TIMEOUT,
    RECOGNIZER_HEADER_DTMF_INTERDIGIT_TIMEOUT,
    RECOGNIZER_HEADER_DTMF_TERM_TIMEOUT,
    RECOGNIZER_HEADER_DTMF_TERM_CHAR,
    RECOGNIZER_HEADER_SAVE_WAVEFORM,
    RECOGNIZER_HEADER_MEDIA_TYPE,
    RECOGNIZER_HEADER_SPEECH_LANGUAGE,
    RECOGNIZER_HEADER_RECOGNITION_MODE,
};

// The timeout headers and the detector parameters they set.
struct TimeoutHeader {
    mrcp_recognizer_header_id m_id;
    apr_size_t mrcp_recog_header_t::*m_header;
    apr_uint64_t mpf_sdi_params_t::*m_detector;
};

const TimeoutHeader kTimeoutHeaders[] = {
    {RECOGNIZER_HEADER_NO_INPUT_TIMEOUT, &mrcp_recog_header_t::no_input_timeout,
     &mpf_sdi_params_t::noinput_timeout},
    {RECOGNIZER_HEADER_RECOGNITION_TIMEOUT, &mrcp_recog_header_t::recognition_timeout,
     &mpf_sdi_params_t::input_timeout},
    {RECOGNIZER_HEADER_SPEECH_COMPLETE_TIMEOUT, &mrcp_recog_header_t::speech_complete_timeout,
     &mpf_sdi_params_t::speech_complete_timeout},
    {RECOGNIZER_HEADER_SPEECH_INCOMPLETE_TIMEOUT, &mrcp_recog_header_t::speech_incomplete_timeout,
     &mpf_sdi_params_t::speech_incomplete_timeout},
    {RECOGNIZER_HEADER_DTMF_INTERDIGIT_TIMEOUT, &mrcp_recog_header_t::dtmf_interdigit_timeout,
     &mpf_sdi_params_t::dtmf_interdigit_timeout},
    {RECOGNIZER_HEADER_DTMF_TERM_TIMEOUT, &mrcp_recog_header_t::dtmf_term_timeout,
     &mpf_sdi_params_t::dtmf_term_timeout},
};

bool IsRead(mrcp_recognizer_header_id id) {
    return id == RECOGNIZER_HEADER_START_INPUT_TIMERS ||
           std::find(std::begin(kReadHeaders), std::end(kReadHeaders), id) !=
               std::end(kReadHeaders);
}

void Refuse(RecogParams::Refusal& refusal, mrcp_status_code_e status,
            mrcp_recognizer_header_id id) {
    if (!refusal.Refused())
        refusal.m_status = status;
    refusal.m_resource.push_back(id);
}

void SetString(apt_str_t& field, const std::string& value, apr_pool_t* pool) {
    field.buf = apr_pstrmemdup(pool, value.data(), value.size());
    field.length = value.size();
}

}  // namespace

RecogParams::RecogParams(const EngineSettings& settings)
    : m_detector(settings.m_sdiParams),
      m_streaming(settings.m_streaming),
      m_sensitivityLevel(static_cast<float>(settings.m_sdiParams.vad_mode) / 4),
      m_saveWaveform(settings.m_utteranceManager.m_saveWaveforms) {}

void RecogParams::Merge(const mrcp_message_t* message, Refusal& refusal) {
    const mrcp_recog_header_t& header = message->resource_header;
    auto present = [message](mrcp_recognizer_header_id id) {
        return mrcp_resource_header_property_check(message, id) == TRUE;
    };
    if (present(RECOGNIZER_HEADER_SPEECH_LANGUAGE)) {
        if (header.speech_language.length == 0)
            Refuse(refusal, MRCP_STATUS_CODE_ILLEGAL_PARAM_VALUE,
                   RECOGNIZER_HEADER_SPEECH_LANGUAGE);
        else
            m_streaming.m_language = StrOf(header.speech_language);
    }
    if (present(RECOGNIZER_HEADER_N_BEST_LIST_LENGTH)) {
        // The service gives a few alternatives at most: a longer list is only ever shorter.
        if (header.n_best_list_length == 0)
            Refuse(refusal, MRCP_STATUS_CODE_ILLEGAL_PARAM_VALUE,
                   RECOGNIZER_HEADER_N_BEST_LIST_LENGTH);
        else
            m_streaming.m_maxAlternatives =
                static_cast<int>(std::min<apr_size_t>(header.n_best_list_length, 1000));
    }
    if (present(RECOGNIZER_HEADER_START_INPUT_TIMERS))
        m_startInputTimers = header.start_input_timers == TRUE;
    for (const TimeoutHeader& timeout : kTimeoutHeaders) {
        if (present(timeout.m_id))
            m_detector.*timeout.m_detector = header.*timeout.m_header;
    }
    if (present(RECOGNIZER_HEADER_DTMF_TERM_CHAR)) {
        if (!IsDtmfKey(header.dtmf_term_char))
            Refuse(refusal, MRCP_STATUS_CODE_ILLEGAL_PARAM_VALUE, RECOGNIZER_HEADER_DTMF_TERM_CHAR);
        else
            m_detector.dtmf_term_char = header.dtmf_term_char;
    }
    if (present(RECOGNIZER_HEADER_SENSITIVITY_LEVEL)) {
        m_sensitivityLevel = header.sensitivity_level;
        m_detector.vad_mode = VadModeOf(header.sensitivity_level);
    }
    if (present(RECOGNIZER_HEADER_SAVE_WAVEFORM)) {
        m_saveWaveform = header.save_waveform == TRUE;
        m_saveWaveformAsked = true;
    }
    if (present(RECOGNIZER_HEADER_CONFIDENCE_THRESHOLD))
        m_confidenceThreshold = header.confidence_threshold;
    if (present(RECOGNIZER_HEADER_RECOGNITION_MODE)) {
        std::string mode = StrOf(header.recognition_mode);
        if (strcasecmp(mode.c_str(), "continuous") == 0)
            m_streaming.m_singleUtterance = false;
        else if (strcasecmp(mode.c_str(), "normal") == 0)
            m_streaming.m_singleUtterance = true;
        else
            Refuse(refusal,
                   strcasecmp(mode.c_str(), "hotword") == 0
                       ? MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE
                       : MRCP_STATUS_CODE_ILLEGAL_PARAM_VALUE,
                   RECOGNIZER_HEADER_RECOGNITION_MODE);
    }
    if (present(RECOGNIZER_HEADER_MEDIA_TYPE)) {
        std::string type = StrOf(header.media_type);
        if (!IsWaveMediaType(type))
            Refuse(refusal, MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE, RECOGNIZER_HEADER_MEDIA_TYPE);
        else
            m_mediaType = type;
    }

    const mrcp_generic_header_t& generic = message->generic_header;
    if (mrcp_generic_header_property_check(message, GENERIC_HEADER_LOGGING_TAG))
        m_loggingTag = StrOf(generic.logging_tag);
    if (mrcp_generic_header_property_check(message, GENERIC_HEADER_VENDOR_SPECIFIC_PARAMS) &&
        generic.vendor_specific_params) {
        // The message's parameters first (in their order: the first of a name counts), then
        // the earlier ones it does not name.
        decltype(m_vendor) merged;
        const apt_pair_arr_t* pairs = generic.vendor_specific_params;
        for (int i = 0; i < pairs->nelts; ++i) {
            const apt_pair_t& pair = APR_ARRAY_IDX(pairs, i, apt_pair_t);
            if (!pair.name.buf)
                continue;
            merged.push_back({StrOf(pair.name), {pair.value.buf != nullptr, StrOf(pair.value)}});
        }
        for (const auto& earlier : m_vendor) {
            auto named = std::find_if(merged.begin(), merged.end(), [&](const auto& entry) {
                return strcasecmp(entry.first.c_str(), earlier.first.c_str()) == 0;
            });
            if (named == merged.end())
                merged.push_back(earlier);
        }
        if (merged.size() > kMaxVendorParameters) {
            if (!refusal.Refused())
                refusal.m_status = MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE;
            refusal.m_generic.push_back(GENERIC_HEADER_VENDOR_SPECIFIC_PARAMS);
        } else {
            m_vendor = std::move(merged);
        }
    }
}

void RecogParams::MergeSettable(const mrcp_message_t* message, Refusal& refusal, bool& ignored) {
    ignored = false;
    Refusal unsettable;
    for (apr_size_t id = 0; id < RECOGNIZER_HEADER_COUNT; ++id) {
        auto header = static_cast<mrcp_recognizer_header_id>(id);
        if (!mrcp_resource_header_property_check(message, id))
            continue;
        if (IsUnsettable(header))
            Refuse(unsettable, MRCP_STATUS_CODE_UNSUPPORTED_PARAM, header);
        else if (!IsRead(header))
            ignored = true;  // an optional tuning this recognizer does without
    }
    Merge(message, refusal);
    // An illegal value decides the status; headers no request can set are named too.
    if (unsettable.Refused()) {
        if (!refusal.Refused())
            refusal.m_status = unsettable.m_status;
        refusal.m_resource.insert(refusal.m_resource.end(), unsettable.m_resource.begin(),
                                  unsettable.m_resource.end());
    }
}

void RecogParams::Describe(const mrcp_message_t* request, mrcp_message_t* response) const {
    bool all = true;
    for (mrcp_recognizer_header_id id : kReadHeaders)
        all = all && !mrcp_resource_header_property_check(request, id);
    all = all && !mrcp_generic_header_property_check(request, GENERIC_HEADER_LOGGING_TAG) &&
          !mrcp_generic_header_property_check(request, GENERIC_HEADER_VENDOR_SPECIFIC_PARAMS);
    auto asked = [&](mrcp_recognizer_header_id id) {
        return all || mrcp_resource_header_property_check(request, id);
    };
    mrcp_recog_header_t& header = *mrcp_resource_header_get(response);
    apr_pool_t* pool = response->pool;
    auto add = [&](mrcp_recognizer_header_id id) {
        mrcp_resource_header_property_add(response, id);
    };
    if (asked(RECOGNIZER_HEADER_CONFIDENCE_THRESHOLD)) {
        header.confidence_threshold = m_confidenceThreshold;
        add(RECOGNIZER_HEADER_CONFIDENCE_THRESHOLD);
    }
    if (asked(RECOGNIZER_HEADER_SENSITIVITY_LEVEL)) {
        header.sensitivity_level = m_sensitivityLevel;
        add(RECOGNIZER_HEADER_SENSITIVITY_LEVEL);
    }
    if (asked(RECOGNIZER_HEADER_N_BEST_LIST_LENGTH)) {
        header.n_best_list_length = static_cast<apr_size_t>(m_streaming.m_maxAlternatives);
        add(RECOGNIZER_HEADER_N_BEST_LIST_LENGTH);
    }
    for (const TimeoutHeader& timeout : kTimeoutHeaders) {
        if (asked(timeout.m_id)) {
            header.*timeout.m_header = static_cast<apr_size_t>(m_detector.*timeout.m_detector);
            add(timeout.m_id);
        }
    }
    // No terminating character is set: nothing to report.
    if (asked(RECOGNIZER_HEADER_DTMF_TERM_CHAR) && m_detector.dtmf_term_char != '\0') {
        header.dtmf_term_char = m_detector.dtmf_term_char;
        add(RECOGNIZER_HEADER_DTMF_TERM_CHAR);
    }
    if (asked(RECOGNIZER_HEADER_SAVE_WAVEFORM)) {
        header.save_waveform = m_saveWaveform ? TRUE : FALSE;
        add(RECOGNIZER_HEADER_SAVE_WAVEFORM);
    }
    if (asked(RECOGNIZER_HEADER_MEDIA_TYPE)) {
        SetString(header.media_type, m_mediaType, pool);
        add(RECOGNIZER_HEADER_MEDIA_TYPE);
    }
    if (asked(RECOGNIZER_HEADER_SPEECH_LANGUAGE)) {
        SetString(header.speech_language, m_streaming.m_language, pool);
        add(RECOGNIZER_HEADER_SPEECH_LANGUAGE);
    }
    if (asked(RECOGNIZER_HEADER_RECOGNITION_MODE)) {
        SetString(header.recognition_mode, m_streaming.m_singleUtterance ? "normal" : "continuous",
                  pool);
        add(RECOGNIZER_HEADER_RECOGNITION_MODE);
    }
    mrcp_generic_header_t& generic = *mrcp_generic_header_get(response);
    if ((all || mrcp_generic_header_property_check(request, GENERIC_HEADER_LOGGING_TAG)) &&
        !m_loggingTag.empty()) {
        SetString(generic.logging_tag, m_loggingTag, pool);
        mrcp_generic_header_property_add(response, GENERIC_HEADER_LOGGING_TAG);
    }
    if (!all && !mrcp_generic_header_property_check(request, GENERIC_HEADER_VENDOR_SPECIFIC_PARAMS))
        return;
    // The names asked for (all of them when the request names none).
    const apt_pair_arr_t* names = all ? nullptr : request->generic_header.vendor_specific_params;
    apt_pair_arr_t* values = apt_pair_array_create(2, pool);
    for (const auto& entry : m_vendor) {
        bool wanted = !names || names->nelts == 0;
        for (int i = 0; !wanted && i < names->nelts; ++i) {
            const apt_pair_t& name = APR_ARRAY_IDX(names, i, apt_pair_t);
            wanted = name.name.buf && strcasecmp(name.name.buf, entry.first.c_str()) == 0;
        }
        if (!wanted)
            continue;
        apt_str_t name = {const_cast<char*>(entry.first.c_str()), entry.first.size()};
        apt_str_t value = {const_cast<char*>(entry.second.second.c_str()),
                           entry.second.second.size()};
        apt_pair_array_append(values, &name, entry.second.first ? &value : nullptr, pool);
    }
    if (values->nelts > 0) {
        generic.vendor_specific_params = values;
        mrcp_generic_header_property_add(response, GENERIC_HEADER_VENDOR_SPECIFIC_PARAMS);
    }
}

const apt_pair_arr_t* RecogParams::VendorParameters(apr_pool_t* pool) const {
    if (m_vendor.empty())
        return nullptr;
    apt_pair_arr_t* pairs = apt_pair_array_create(m_vendor.size(), pool);
    for (const auto& entry : m_vendor) {
        apt_str_t name = {const_cast<char*>(entry.first.c_str()), entry.first.size()};
        apt_str_t value = {const_cast<char*>(entry.second.second.c_str()),
                           entry.second.second.size()};
        apt_pair_array_append(pairs, &name, entry.second.first ? &value : nullptr, pool);
    }
    return pairs;
}

void RecogParams::NameRefused(const Refusal& refusal, const mrcp_message_t* request,
                              mrcp_message_t* response) {
    // Only headers marked present are written, so the request's typed values serve as they
    // are (the response shares the request's pool, and with it their strings and lists).
    // The caller sets the response's own Completion-Cause afterwards.
    if (!refusal.m_resource.empty())
        *mrcp_resource_header_get(response) = request->resource_header;
    for (mrcp_recognizer_header_id id : refusal.m_resource)
        mrcp_resource_header_property_add(response, id);
    for (mrcp_generic_header_id id : refusal.m_generic) {
        mrcp_generic_header_get(response)->vendor_specific_params =
            request->generic_header.vendor_specific_params;
        mrcp_generic_header_property_add(response, id);
    }
}

}  // namespace Zeph
