/* The image decoder of the reader fuzz target, compiled here so that it is
 * instrumented. On an empty IDAT chunk stb_image copies zero bytes from, and
 * adds zero to, a null pointer (harmless, but flagged by the nonnull and
 * pointer-overflow checks), so this file alone is built without those. */
#define STB_IMAGE_IMPLEMENTATION
#include "stb_image.h"
