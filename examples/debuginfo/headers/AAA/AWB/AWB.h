typedef enum {
	AWB_TAG_VERSION = 0,
	AWB_R_GAIN,
	AWB_G_GAIN,
	AWB_B_GAIN,
	AWB_CCT,
} AWB_DEBUG_TAG;
