// Auto-focus debug fields. With AFMODE 8 (full scan) each VLU is the focus
// value at lens position SCAN_START + n * SCAN_STEP.
typedef enum {
    AF_TAG_VERSION = 0,
    AFMODE,
    SCAN_START,
    SCAN_STEP,
    VLU,
    AF_BEST_POSITION,
} AF_DEBUG_TAG;
