// Auto-exposure debug fields (default layout).
#pragma once

typedef enum {
    AE_TAG_VERSION = 0, // header selection
    AE_EXPOSURE_TIME_US,
    AE_SENSOR_GAIN,
    AE_ISP_GAIN,
    AE_LUMA_TARGET,
    AE_SCENE_LV,
} AE_DEBUG_TAG;
