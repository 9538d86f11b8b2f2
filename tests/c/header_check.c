/* The public header compiles as strict C99 and its exports link. */
#include <morvik/morvik.h>
#include <stdio.h>
#include <string.h>

int main(void) {
    if (AWB_GetNumOfAlgorithms() != 1) return 1;
    if (strcmp(CC_GetDescription(0), "Color Correction Matrix") != 0) return 1;
    morvik_set_log_sink(NULL, NULL);
    puts("header compiles as C");
    return 0;
}
