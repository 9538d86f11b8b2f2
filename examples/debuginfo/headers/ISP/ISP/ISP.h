typedef enum {
    ISP_TAG_VERSION = 0,
    ISP_EE_CTRL,
    ISP_NR_CTRL,
    ISP_PCA_SAT,
} ISP_DEBUG_TAG;
