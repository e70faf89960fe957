/* Test seam for the WebRTC voice activity detector: a library that defines the five
 * WebRtcVad_* functions and classifies a frame by a code in its first sample, so that a
 * test scripts the voiced/unvoiced/error sequence in the audio it feeds. Linked instead of
 * the real library for the frame-exact detector tests. Stateless apart from the counters
 * below, so any number of detectors and threads may use it. */
#ifndef SDI_VAD_SEAM_H
#define SDI_VAD_SEAM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* First sample of a frame: what WebRtcVad_Process returns for it. Any other value is
 * unvoiced. */
#define SDI_SEAM_VOICED 1
#define SDI_SEAM_ERROR 2

/* When set, WebRtcVad_Create returns null. */
void sdi_vad_seam_fail_create(int fail);
/* Instances created and not yet freed. */
int sdi_vad_seam_live_instances(void);

#ifdef __cplusplus
}
#endif

#endif
