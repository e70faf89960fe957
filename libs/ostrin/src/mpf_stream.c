/* Media: DTMF characters, codec capabilities and audio streams. */
#include "ostrin/mpf_stream.h"

#include <apr_strings.h>

static const char dtmf_chars[] = "0123456789*#ABCD";

char mpf_event_id_to_dtmf_char(apr_uint32_t event_id) {
    return event_id < sizeof(dtmf_chars) - 1 ? dtmf_chars[event_id] : 0;
}

apr_uint32_t mpf_dtmf_char_to_event_id(char dtmf_char) {
    char upper = (dtmf_char >= 'a' && dtmf_char <= 'd') ? (char)(dtmf_char - 'a' + 'A') : dtmf_char;
    for (apr_uint32_t i = 0; dtmf_chars[i] && upper; i++) {
        if (dtmf_chars[i] == upper) {
            return i;
        }
    }
    return 0xFF;
}

mpf_stream_capabilities_t* mpf_stream_capabilities_create(mpf_stream_direction_e direction,
                                                          apr_pool_t* pool) {
    if (!pool) {
        return NULL;
    }
    mpf_stream_capabilities_t* caps = apr_pcalloc(pool, sizeof(*caps));
    caps->direction = direction;
    caps->codecs.attrib_arr = apr_array_make(pool, 1, sizeof(mpf_codec_attribs_t));
    caps->codecs.allow_named_events = TRUE;
    return caps;
}

apt_bool_t mpf_codec_capabilities_add_ex(mpf_codec_capabilities_t* capabilities, int sample_rates,
                                         const char* codec_name, apr_byte_t bits_per_sample) {
    if (!capabilities || !capabilities->attrib_arr || !codec_name || !*codec_name) {
        return FALSE;
    }
    apr_pool_t* pool = capabilities->attrib_arr->pool;
    mpf_codec_attribs_t* attribs = apr_array_push(capabilities->attrib_arr);
    apt_string_assign(&attribs->name, codec_name, pool);
    attribs->bits_per_sample = bits_per_sample;
    attribs->sample_rates = sample_rates;
    return TRUE;
}

apt_bool_t mpf_codec_capabilities_add(mpf_codec_capabilities_t* capabilities, int sample_rates,
                                      const char* codec_name) {
    return mpf_codec_capabilities_add_ex(capabilities, sample_rates, codec_name, 0);
}

int mpf_sample_rate_mask_get(apr_uint16_t sampling_rate) {
    switch (sampling_rate) {
        case 8000:
            return MPF_SAMPLE_RATE_8000;
        case 16000:
            return MPF_SAMPLE_RATE_16000;
        case 32000:
            return MPF_SAMPLE_RATE_32000;
        case 48000:
            return MPF_SAMPLE_RATE_48000;
        default:
            return MPF_SAMPLE_RATE_NONE;
    }
}

apt_bool_t mpf_codec_capabilities_match(const mpf_codec_capabilities_t* capabilities,
                                        const mpf_codec_descriptor_t* descriptor) {
    if (!capabilities || !capabilities->attrib_arr || !descriptor || !descriptor->name.buf) {
        return FALSE;
    }
    int rate_mask = mpf_sample_rate_mask_get(descriptor->sampling_rate);
    for (int i = 0; i < capabilities->attrib_arr->nelts; i++) {
        const mpf_codec_attribs_t* attribs =
            &APR_ARRAY_IDX(capabilities->attrib_arr, i, mpf_codec_attribs_t);
        if (apt_string_equals_ci(&descriptor->name, attribs->name.buf) &&
            (attribs->sample_rates & rate_mask) &&
            (attribs->bits_per_sample == 0 ||
             attribs->bits_per_sample == descriptor->bits_per_sample)) {
            return TRUE;
        }
    }
    return FALSE;
}

mpf_codec_descriptor_t* mpf_codec_lpcm_descriptor_create(apr_uint16_t sampling_rate,
                                                         apr_pool_t* pool) {
    mpf_codec_descriptor_t* descriptor = apr_pcalloc(pool, sizeof(*descriptor));
    apt_string_set(&descriptor->name, MPF_CODEC_LPCM);
    descriptor->payload_type = 96;
    descriptor->sampling_rate = sampling_rate;
    descriptor->channel_count = 1;
    descriptor->bits_per_sample = 16;
    return descriptor;
}

mpf_audio_stream_t* mpf_audio_stream_create(void* obj, const mpf_audio_stream_vtable_t* vtable,
                                            mpf_stream_capabilities_t* capabilities,
                                            apr_pool_t* pool) {
    if (!vtable || !capabilities || !pool) {
        return NULL;
    }
    mpf_audio_stream_t* stream = apr_pcalloc(pool, sizeof(*stream));
    stream->obj = obj;
    stream->vtable = vtable;
    stream->capabilities = capabilities;
    stream->direction = capabilities->direction;
    return stream;
}
