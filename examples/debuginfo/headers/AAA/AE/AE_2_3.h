// Auto-exposure debug fields, layout 3: adds the exposure compensation.
#pragma once

typedef enum {
    AE_TAG_VERSION = 0, // header selection
    AE_EXPOSURE_TIME_US,
    AE_SENSOR_GAIN,
    AE_ISP_GAIN,
    AE_LUMA_TARGET,
    AE_SCENE_LV,
    AE_EV_COMPENSATION,
} AE_DEBUG_TAG;
