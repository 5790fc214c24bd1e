/* Tuning of the firmware-update library's time limits, for tests and diagnostics. The tool
 * itself keeps the defaults. */
#ifndef HIDDFU_HIDDFU_TUNING_H
#define HIDDFU_HIDDFU_TUNING_H

#include "hiddfu/hiddfu.h"

#ifdef __cplusplus
extern "C" {
#endif

/* replyMs: how long to wait for each answer from the device before asking again (default
 * 250; a device that stays silent for several such periods has stopped responding).
 * rebootMs: how long to wait for the device to come back after it restarts into the new
 * image (default 20000). Both must be positive; applies to upgrades started afterwards. */
HIDDFU_API int hidDfuSetTimeouts(int replyMs, int rebootMs);

#ifdef __cplusplus
}
#endif

#endif /* HIDDFU_HIDDFU_TUNING_H */
