/* Speech and DTMF input detector: shared types and the parameter record. */
#include "mpf_sdi_util.h"

#include <apr_strings.h>
#include <errno.h>
#include <ostrin/apt_log.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

const char* mpf_sdi_mode_str(mpf_sdi_mode_e mode) {
    switch (mode) {
        case MPF_SDI_MODE_SPEECH:
            return "SPEECH";
        case MPF_SDI_MODE_DTMF:
            return "DTMF";
        case MPF_SDI_MODE_SPEECH_DTMF:
            return "SPEECH|DTMF";
        default:
            return "NONE";
    }
}

const char* mpf_sdi_state_str(mpf_sdi_state_e state) {
    switch (state) {
        case MPF_SDI_STATE_NO_INPUT:
            return "NO-INPUT";
        case MPF_SDI_STATE_IN_PROGRESS:
            return "IN-PROGRESS";
        case MPF_SDI_STATE_COMPLETE:
            return "COMPLETE";
        default:
            return "UNKNOWN";
    }
}

const char* mpf_sdi_completion_cause_str(mpf_sdi_completion_cause_e cause) {
    switch (cause) {
        case MPF_SDI_COMPLETION_CAUSE_SUCCESS:
            return "success";
        case MPF_SDI_COMPLETION_CAUSE_TIMEDOUT:
            return "timedout";
        case MPF_SDI_COMPLETION_CAUSE_STOPPED:
            return "stopped";
        default:
            return "UNKNOWN";
    }
}

void mpf_sdi_stats_init(mpf_sdi_stats_t* stats) {
    stats->cause = MPF_SDI_COMPLETION_CAUSE_SUCCESS;
    stats->duration = 0;
    stats->size = 0;
}

void mpf_sdi_params_init(mpf_sdi_params_t* params) {
    params->input_mode = MPF_SDI_MODE_SPEECH_DTMF;
    params->vad_mode = 2;
    params->speech_start_timeout = 300;
    params->speech_complete_timeout = 1000;
    params->speech_incomplete_timeout = 3000;
    params->noinput_timeout = 10000;
    params->input_timeout = 20000;
    params->dtmf_interdigit_timeout = 5000;
    params->dtmf_term_timeout = 5000;
    params->dtmf_term_char = '\0';
    params->dtmf_length = 0;
    params->dtmf_min_length = 0;
    params->dtmf_max_length = 0;
    params->normalize_input = TRUE;
    params->speech_leading_silence = 50;
    params->speech_trailing_silence = 50;
    params->speech_output_period = 80;
}

/* A whole decimal number (blanks around it allowed) into *number; FALSE for anything else
 * ("ten seconds", "1,5", "10 ms"), which must not be read as 0: a zero timeout ends every
 * recognition at once. */
static apt_bool_t decimal_value(const char* value, long* number) {
    char* end = NULL;
    errno = 0;
    *number = strtol(value, &end, 10);
    if (end == value || errno == ERANGE)
        return FALSE;
    while (*end == ' ' || *end == '\t')
        ++end;
    return *end == '\0';
}

static void warn_unexpected_value(const apr_xml_elem* elem, const char* name, const char* value,
                                  apr_uint64_t kept) {
    apt_log(APT_LOG_SOURCE_DEFAULT, APT_LOG_MARK, APT_PRIO_WARNING,
            "Unexpected Value <%s> for Attribute <%s> in <%s>, Using <%" APR_UINT64_T_FMT ">",
            value, name, elem->name, kept);
}

static void load_input_mode(mpf_sdi_params_t* params, const apr_xml_elem* elem, const char* name,
                            const char* value) {
    static const struct {
        const char* word;
        mpf_sdi_mode_e mode;
    } words[] = {{"none", MPF_SDI_MODE_NONE},
                 {"speech", MPF_SDI_MODE_SPEECH},
                 {"dtmf", MPF_SDI_MODE_DTMF},
                 {"both", MPF_SDI_MODE_SPEECH_DTMF}};
    for (size_t i = 0; i < sizeof(words) / sizeof(words[0]); ++i) {
        if (strcasecmp(value, words[i].word) == 0) {
            params->input_mode = words[i].mode;
            return;
        }
    }
    const char* kept = "";
    for (size_t i = 0; i < sizeof(words) / sizeof(words[0]); ++i) {
        if (params->input_mode == (apr_uint32_t)words[i].mode)
            kept = words[i].word;
    }
    apt_log(APT_LOG_SOURCE_DEFAULT, APT_LOG_MARK, APT_PRIO_WARNING,
            "Unexpected Value <%s> for SDI Attribute <%s> in <%s>, Using <%s>", value, name,
            elem->name, kept);
}

static void load_vad_mode(mpf_sdi_params_t* params, const apr_xml_elem* elem, const char* name,
                          const char* value) {
    long mode = 0;
    if (!decimal_value(value, &mode)) {
        warn_unexpected_value(elem, name, value, params->vad_mode);
        return;
    }
    if (mode < 0 || mode > 3) {
        apt_log(APT_LOG_SOURCE_DEFAULT, APT_LOG_MARK, APT_PRIO_WARNING,
                "Inapropriate Vad Mode [%ld], Allowed Range [0..3]", mode);
        mode = 0;
    }
    params->vad_mode = (apr_uint64_t)mode;
}

static void load_boolean(apt_bool_t* field, const apr_xml_elem* elem, const char* name,
                         const char* value) {
    if (strcasecmp(value, "false") == 0) {
        *field = FALSE;
    } else if (strcasecmp(value, "true") == 0) {
        *field = TRUE;
    } else {
        apt_log(APT_LOG_SOURCE_DEFAULT, APT_LOG_MARK, APT_PRIO_WARNING,
                "Unexpected Value <%s> for Boolean Attribute <%s> in <%s>, Using <%s>", value, name,
                elem->name, *field ? "true" : "false");
    }
}

/* The numeric attributes: name, field, and whether the value is a time (bounded by
 * MPF_SDI_MAX_TIME) rather than a digit count. */
typedef struct sdi_numeric_attribute_t {
    const char* name;
    size_t offset;
    apt_bool_t is_time;
} sdi_numeric_attribute_t;

static const sdi_numeric_attribute_t sdi_numeric_attributes[] = {
    {"speech-start-timeout", offsetof(mpf_sdi_params_t, speech_start_timeout), TRUE},
    {"speech-complete-timeout", offsetof(mpf_sdi_params_t, speech_complete_timeout), TRUE},
    {"speech-incomplete-timeout", offsetof(mpf_sdi_params_t, speech_incomplete_timeout), TRUE},
    {"noinput-timeout", offsetof(mpf_sdi_params_t, noinput_timeout), TRUE},
    {"input-timeout", offsetof(mpf_sdi_params_t, input_timeout), TRUE},
    {"dtmf-interdigit-timeout", offsetof(mpf_sdi_params_t, dtmf_interdigit_timeout), TRUE},
    {"dtmf-term-timeout", offsetof(mpf_sdi_params_t, dtmf_term_timeout), TRUE},
    {"dtmf-max-length", offsetof(mpf_sdi_params_t, dtmf_max_length), FALSE},
    {"dtmf-min-length", offsetof(mpf_sdi_params_t, dtmf_min_length), FALSE},
    {"dtmf-length", offsetof(mpf_sdi_params_t, dtmf_length), FALSE},
    {"speech-leading-silence", offsetof(mpf_sdi_params_t, speech_leading_silence), TRUE},
    {"speech-trailing-silence", offsetof(mpf_sdi_params_t, speech_trailing_silence), TRUE},
    {"speech-output-period", offsetof(mpf_sdi_params_t, speech_output_period), TRUE},
};

#define SDI_NUMERIC_ATTRIBUTE_COUNT \
    (sizeof(sdi_numeric_attributes) / sizeof(sdi_numeric_attributes[0]))

static apr_uint64_t* numeric_field(mpf_sdi_params_t* params,
                                   const sdi_numeric_attribute_t* attribute) {
    return (apr_uint64_t*)((char*)params + attribute->offset);
}

static const sdi_numeric_attribute_t* find_numeric_attribute(const char* name) {
    for (size_t i = 0; i < SDI_NUMERIC_ATTRIBUTE_COUNT; ++i) {
        if (strcasecmp(name, sdi_numeric_attributes[i].name) == 0)
            return &sdi_numeric_attributes[i];
    }
    return NULL;
}

apr_uint64_t mpf_sdi_time_clamp(const char* name, apr_uint64_t value, const char* id) {
    if (value <= MPF_SDI_MAX_TIME)
        return value;
    if (id)
        apt_log(APT_LOG_SOURCE_DEFAULT, APT_LOG_MARK, APT_PRIO_WARNING,
                "Clamp SDI Attribute <%s> [%" APR_UINT64_T_FMT " ms] to Maximum [%d ms] <%s>", name,
                value, MPF_SDI_MAX_TIME, id);
    else
        apt_log(APT_LOG_SOURCE_DEFAULT, APT_LOG_MARK, APT_PRIO_WARNING,
                "Clamp SDI Attribute <%s> [%" APR_UINT64_T_FMT " ms] to Maximum [%d ms]", name,
                value, MPF_SDI_MAX_TIME);
    return MPF_SDI_MAX_TIME;
}

void mpf_sdi_params_clamp(mpf_sdi_params_t* params, const char* id) {
    for (size_t i = 0; i < SDI_NUMERIC_ATTRIBUTE_COUNT; ++i) {
        const sdi_numeric_attribute_t* attribute = &sdi_numeric_attributes[i];
        if (attribute->is_time) {
            apr_uint64_t* field = numeric_field(params, attribute);
            *field = mpf_sdi_time_clamp(attribute->name, *field, id);
        }
    }
}

apt_bool_t mpf_sdi_params_load(mpf_sdi_params_t* params, const apr_xml_elem* elem,
                               apr_pool_t* pool) {
    (void)pool;
    if (!params || !elem)
        return TRUE;
    /* APR's parser links the attributes last first; walk them in document order, so that
     * an attribute given twice takes the later value. Elements have few attributes. */
    size_t count = 0;
    for (const apr_xml_attr* attr = elem->attr; attr; attr = attr->next)
        ++count;
    while (count > 0) {
        const apr_xml_attr* attr = elem->attr;
        for (size_t i = 1; i < count; ++i)
            attr = attr->next;
        --count;
        const char* name = attr->name ? attr->name : "";
        const char* value = attr->value ? attr->value : "";
        apt_log(APT_LOG_SOURCE_DEFAULT, APT_LOG_MARK, APT_PRIO_DEBUG, "Load SDI Attribute: %s = %s",
                name, value);
        const sdi_numeric_attribute_t* numeric;
        if (strcasecmp(name, "input-mode") == 0) {
            load_input_mode(params, elem, name, value);
        } else if (strcasecmp(name, "vad-mode") == 0) {
            load_vad_mode(params, elem, name, value);
        } else if (strcasecmp(name, "dtmf-term-char") == 0) {
            /* One DTMF key, or nothing for none. */
            if (value[0] == '\0' || (value[1] == '\0' && strchr("0123456789*#ABCD", value[0]))) {
                params->dtmf_term_char = value[0];
            } else {
                const char kept[2] = {params->dtmf_term_char, '\0'};
                apt_log(APT_LOG_SOURCE_DEFAULT, APT_LOG_MARK, APT_PRIO_WARNING,
                        "Unexpected Value <%s> for Attribute <%s> in <%s>, Using <%s>", value, name,
                        elem->name, kept);
            }
        } else if (strcasecmp(name, "normalize-input") == 0) {
            load_boolean(&params->normalize_input, elem, name, value);
        } else if ((numeric = find_numeric_attribute(name)) != NULL) {
            apr_uint64_t* field = numeric_field(params, numeric);
            long number = 0;
            if (!decimal_value(value, &number) || number < 0 ||
                (!numeric->is_time && number > INT32_MAX)) {
                warn_unexpected_value(elem, name, value, *field);
            } else {
                *field = numeric->is_time
                             ? mpf_sdi_time_clamp(numeric->name, (apr_uint64_t)number, NULL)
                             : (apr_uint64_t)number;
            }
        } else {
            apt_log(APT_LOG_SOURCE_DEFAULT, APT_LOG_MARK, APT_PRIO_WARNING,
                    "Unknown SDI Attribute <%s>", name);
        }
    }
    return TRUE;
}
