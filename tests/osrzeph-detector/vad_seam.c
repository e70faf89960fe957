#include "vad_seam.h"

#include <stdatomic.h>
#include <stdlib.h>

#include "webrtc_vad.h"

struct WebRtcVadInst {
    int initialised;
    int mode;
};

static atomic_int fail_create;
static atomic_int live_instances;

void sdi_vad_seam_fail_create(int fail) {
    atomic_store(&fail_create, fail);
}
int sdi_vad_seam_live_instances(void) {
    return atomic_load(&live_instances);
}

VadInst* WebRtcVad_Create(void) {
    if (atomic_load(&fail_create))
        return NULL;
    VadInst* inst = calloc(1, sizeof(*inst));
    if (inst)
        atomic_fetch_add(&live_instances, 1);
    return inst;
}

int WebRtcVad_Init(VadInst* handle) {
    if (!handle)
        return -1;
    handle->initialised = 1;
    handle->mode = 0;
    return 0;
}

int WebRtcVad_set_mode(VadInst* handle, int mode) {
    if (!handle || mode < 0 || mode > 3)
        return -1;
    handle->mode = mode;
    return 0;
}

/* Same acceptance rules as the real detector: 10, 20 or 30 ms at 8, 16, 32 or 48 kHz. */
int WebRtcVad_Process(VadInst* handle, int fs, const int16_t* audio_frame, size_t frame_length) {
    if (!handle || !handle->initialised || !audio_frame)
        return -1;
    if (fs != 8000 && fs != 16000 && fs != 32000 && fs != 48000)
        return -1;
    size_t per_10ms = (size_t)fs / 100;
    if (frame_length != per_10ms && frame_length != 2 * per_10ms && frame_length != 3 * per_10ms)
        return -1;
    if (audio_frame[0] == SDI_SEAM_VOICED)
        return 1;
    if (audio_frame[0] == SDI_SEAM_ERROR)
        return -1;
    return 0;
}

void WebRtcVad_Free(VadInst* handle) {
    if (!handle)
        return;
    atomic_fetch_sub(&live_instances, 1);
    free(handle);
}
