/* The five WebRTC voice activity detector functions we call. Debian's
 * libwebrtc-audio-processing exports them but ships no header. */
#ifndef ZEPH_WEBRTC_VAD_H
#define ZEPH_WEBRTC_VAD_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct WebRtcVadInst VadInst;

/* Returns a new instance, or NULL. */
VadInst* WebRtcVad_Create(void);
/* Returns 0 on success, -1 on failure. */
int WebRtcVad_Init(VadInst* handle);
/* Aggressiveness 0 (least) to 3 (most). Returns 0 on success, -1 on failure. */
int WebRtcVad_set_mode(VadInst* handle, int mode);
/* 10, 20 or 30 ms of 16-bit samples at fs 8000, 16000, 32000 or 48000 Hz.
 * Returns 1 voiced, 0 unvoiced, -1 error. */
int WebRtcVad_Process(VadInst* handle, int fs, const int16_t* audio_frame, size_t frame_length);
void WebRtcVad_Free(VadInst* handle);

#ifdef __cplusplus
}
#endif

#endif
