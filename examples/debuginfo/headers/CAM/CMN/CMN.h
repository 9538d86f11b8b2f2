typedef enum {
    CMN_TAG_VERSION = 0,
    CMN_SENSOR_ID,
    CMN_WIDTH,
    CMN_HEIGHT,
} CMN_DEBUG_TAG;
