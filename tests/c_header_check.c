/* The public headers compile as C. */
#include "qova.h"

int qova_c_header_check(ImageDescriptor *in, ImageDescriptor *out) {
    ChromaEntry table[QOVA_TABLE_SIZE];
    (void)table;
    return QOVA_SatuVariation(in, out, 0) == QOVA_REJECTED ? ZENK_ERRNO : 0;
}
