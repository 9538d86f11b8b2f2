typedef enum {
    MF_TAG_VERSION = 0,
    MF_FRAMES,
} MF_DEBUG_TAG;
