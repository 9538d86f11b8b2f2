typedef enum {
    N3D_TAG_VERSION = 0,
    N3D_MODE,
} N3D_DEBUG_TAG;
